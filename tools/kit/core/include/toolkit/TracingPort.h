// A port wrapper between the driver and the real port: passes every call on,
// prints every frame as hex with a time stamp when tracing, and measures the
// requests (a write to the port) and how long their answers took.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <utility>
#include <vector>

#include "ICommunication.h"

namespace toolkit {

class TracingPort : public ICommunication {
public:
    using Clock = std::chrono::steady_clock;

    // trace: where frames go (nullptr: no tracing).
    TracingPort(ICommunication& inner, FILE* trace) : m_inner(inner), m_trace(trace) {}

    int Open() override { return m_inner.Open(); }
    int Close() override { return m_inner.Close(); }
    int IsOpen() override { return m_inner.IsOpen(); }
    int SetTimeouts(unsigned int readMs, unsigned int writeMs) override { return m_inner.SetTimeouts(readMs, writeMs); }
    int GetLastError() override { return m_inner.GetLastError(); }
    const char* GetPortName() override { return m_inner.GetPortName(); }
    int Flush() override { return m_inner.Flush(); }
    int Configure(const char* settings) override { return m_inner.Configure(settings); }
    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override { return m_inner.ClearInBuffer(); }
    int SetDeviceName(const char* name) override { return m_inner.SetDeviceName(name); }
    int GetPortType() override { return m_inner.GetPortType(); }

    // Closes the measurement of the last request (call after each driver call).
    void EndRequest();
    unsigned long Requests() const { return m_requests; }
    unsigned long Unanswered() const { return m_unanswered; }
    unsigned long Answered() const { return m_answeredCount; }
    // The shortest and longest latency of all answered requests, ms.
    double MinLatencyMs() const { return m_minMs; }
    double MaxLatencyMs() const { return m_maxMs; }
    // Time from the end of each answered request's write to its last answer
    // byte, of the latest kLatenciesKept answered requests (in no particular
    // order once that many were answered): a host polls around the clock.
    static constexpr size_t kLatenciesKept = 65536;
    const std::vector<double>& LatenciesMs() const { return m_latencies; }
    // Hands over the latencies kept so far and forgets them (a host that
    // keeps its own bounded record).
    std::vector<double> TakeLatencies() {
        m_nextLatency = 0;
        return std::exchange(m_latencies, {});
    }

private:
    void Trace(const char* direction, const unsigned char* data, int count);
    void Received(const unsigned char* data, int count);

    ICommunication& m_inner;
    FILE* m_trace;
    unsigned long m_requests = 0;
    unsigned long m_unanswered = 0;
    bool m_pending = false;
    bool m_answered = false;
    Clock::time_point m_sentAt{};
    Clock::time_point m_lastByteAt{};
    unsigned long m_answeredCount = 0;
    double m_minMs = 0.0, m_maxMs = 0.0;
    std::vector<double> m_latencies;
    size_t m_nextLatency = 0;  // the oldest kept, once kLatenciesKept are
};

}  // namespace toolkit
