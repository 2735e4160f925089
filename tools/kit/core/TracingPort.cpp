#include "toolkit/TracingPort.h"

#include <sys/time.h>

#include <algorithm>
#include <ctime>

namespace toolkit {

void TracingPort::Trace(const char* direction, const unsigned char* data, int count) {
    if (m_trace == nullptr || count <= 0) return;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    std::fprintf(m_trace, "%02d:%02d:%02d.%06ld %s", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<long>(tv.tv_usec), direction);
    for (int i = 0; i < count; ++i) std::fprintf(m_trace, " %02X", data[i]);
    std::fputc('\n', m_trace);
    std::fflush(m_trace);
}

void TracingPort::EndRequest() {
    if (!m_pending) return;
    m_pending = false;
    if (!m_answered) {
        ++m_unanswered;
        return;
    }
    double ms = std::chrono::duration<double, std::milli>(m_lastByteAt - m_sentAt).count();
    m_minMs = m_answeredCount == 0 ? ms : std::min(m_minMs, ms);
    m_maxMs = m_answeredCount == 0 ? ms : std::max(m_maxMs, ms);
    ++m_answeredCount;
    if (m_latencies.size() < kLatenciesKept) {
        m_latencies.push_back(ms);
    } else {
        m_latencies[m_nextLatency] = ms;
        m_nextLatency = (m_nextLatency + 1) % kLatenciesKept;
    }
}

void TracingPort::Received(const unsigned char* data, int count) {
    if (count <= 0) return;
    Trace("rx", data, count);
    if (m_pending) {
        m_answered = true;
        m_lastByteAt = Clock::now();
    }
}

int TracingPort::WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) {
    EndRequest();
    int wanted = length != nullptr ? *length : 0;
    int result = m_inner.WriteBytes(data, length, timeoutMs);
    Trace("tx", data, result > 0 ? result : 0);
    if (result <= 0 && m_trace != nullptr && wanted > 0)
        std::fprintf(m_trace, "tx of %d bytes failed (%d)\n", wanted, result);
    ++m_requests;
    m_pending = true;
    m_answered = false;
    m_sentAt = Clock::now();
    return result;
}

int TracingPort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int result = m_inner.ReadAvailable(buffer, length, timeoutMs);
    Received(buffer, result);
    return result;
}

int TracingPort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int result = m_inner.ReadLength(buffer, length, timeoutMs);
    Received(buffer, result);
    return result;
}

int TracingPort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    int result = m_inner.ReadUntilChar(buffer, length, stopChars, timeoutMs);
    Received(buffer, result);
    return result;
}

}  // namespace toolkit
