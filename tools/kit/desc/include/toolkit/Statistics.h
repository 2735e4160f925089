// What a polling run measured: calls and failures by result code, full scans
// (from a scan's start until every channel that is read was stored once), and
// the request latencies the tracing port saw.
#pragma once

#include <chrono>
#include <map>
#include <ostream>
#include <vector>

#include "DeviceDescription.h"
#include "toolkit/TracingPort.h"

namespace toolkit {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d);
double Median(std::vector<double> v);

class Statistics {
public:
    explicit Statistics(const std::vector<devdesc::Row>& rows);

    // A value was stored into the channel.
    void Stored(size_t channel);
    // A CollectDevData call ended with the result code.
    void Called(int rc);
    // Starts the scan under way anew, from now (a device that was left out
    // of the polling for a while).
    void RestartScan();

    long Calls() const { return m_calls; }
    // The channel's value was stored during the scan under way.
    bool SeenThisScan(size_t channel) const { return channel < m_seen.size() && m_seen[channel] != 0; }
    long Failed() const;
    // Full scans completed, and the first and last one's duration, ms (the
    // durations are not kept: a host polls around the clock).
    size_t ScanCount() const { return m_scanCount; }
    double FirstScanMs() const { return m_firstScanMs; }
    double LastScanMs() const { return m_lastScanMs; }
    const std::map<int, long>& Failures() const { return m_failures; }

    // The summary lines: calls, failures by code, full scans, latencies.
    void Summary(std::ostream& out, double elapsedMs, const toolkit::TracingPort& port) const;

private:
    std::vector<char> m_read;  // the channel is read (not write-only)
    std::vector<char> m_seen;
    size_t m_readable = 0;
    size_t m_seenCount = 0;
    Clock::time_point m_scanStart = Clock::now();
    size_t m_scanCount = 0;
    double m_firstScanMs = 0.0;
    double m_lastScanMs = 0.0;
    long m_calls = 0;
    std::map<int, long> m_failures;
};

}  // namespace toolkit
