// The gateway's metrics in the Prometheus text exposition format (version
// 0.0.4): per line and device the requests, failures by code, state, scan and
// cycle times, the request latency histogram and the offline transitions;
// what each face reports of its health; the process's resident memory and CPU
// time. Counters end in _total, times are in seconds.
#pragma once

#include <ostream>
#include <string>

#include "gateway/Face.h"
#include "gateway/Gateway.h"

namespace gateway {

// The value between the quotes of a label: backslash, double quote and line
// feed escaped.
std::string MetricLabel(const std::string& value);

// The process's resident memory (bytes) and CPU time (user and system,
// seconds), from /proc/self; false when they cannot be read.
bool ProcessUsage(double& residentBytes, double& cpuSeconds);

void WriteMetrics(std::ostream& out, const Gateway& gateway, const FaceHealth& faces);

}  // namespace gateway
