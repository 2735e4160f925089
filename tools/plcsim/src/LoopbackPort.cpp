#include "plcsim/LoopbackPort.h"

#include <cstring>

#include "HostTime.h"

namespace plcsim {

namespace {

uint64_t NowUs() { return Zevo_GetTickCount() * 1000u; }

// Sleeps on the host clock until the time (rounded up to whole milliseconds).
void SleepUntilUs(uint64_t dueUs) {
    uint64_t now = NowUs();
    if (dueUs > now) Zevo_Sleep((dueUs - now + 999u) / 1000u);
}

}  // namespace

LoopbackPort::LoopbackPort(Plc& plc, unsigned baud) : m_plc(plc), m_baud(baud) { m_reply.bytes.reserve(512); }

int LoopbackPort::WriteBytes(unsigned char* data, int* length, unsigned int) {
    if (data == nullptr || length == nullptr || *length < 0) return -1;
    const size_t size = static_cast<size_t>(*length);
    ++m_writes;
    m_plc.Handle(data, size, m_reply);
    if (m_pos == m_bytes.size()) {
        m_bytes.clear();
        m_dueUs.clear();
        m_pos = 0;
    }
    const uint64_t byteUs = m_baud > 0 ? 10000000u / m_baud : 0;
    uint64_t start = NowUs() + m_reply.delayMs * 1000ull;
    if (m_baud > 0) start += size * byteUs + byteUs * 7 / 2;
    for (size_t i = 0; i < m_reply.bytes.size(); ++i) {
        uint64_t chunk = m_reply.chunkSize > 0 ? i / m_reply.chunkSize : 0;
        m_bytes.push_back(m_reply.bytes[i]);
        m_dueUs.push_back(start + (m_baud > 0 ? (i + 1) * byteUs : 0) + chunk * m_reply.gapMs * 1000ull);
    }
    return *length;
}

int LoopbackPort::Deliver(unsigned char* buffer, int max, const char* stopChars, unsigned int timeoutMs,
                          bool untilFull) {
    if (buffer == nullptr || max < 0) return -1;
    const uint64_t deadline = NowUs() + timeoutMs * 1000ull;
    int got = 0;
    while (got < max) {
        uint64_t now = NowUs();
        if (m_pos < m_bytes.size() && m_dueUs[m_pos] <= now) {
            uint8_t b = m_bytes[m_pos++];
            buffer[got++] = b;
            if (stopChars != nullptr && b != 0 && std::strchr(stopChars, b) != nullptr) break;
            continue;
        }
        if (got > 0 && !untilFull) break;
        if (now >= deadline) break;
        if (m_pos < m_bytes.size() && m_dueUs[m_pos] <= deadline) {
            SleepUntilUs(m_dueUs[m_pos]);
        } else {
            SleepUntilUs(deadline);
            break;
        }
    }
    return got;
}

int LoopbackPort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    int n = Deliver(buffer, *length, nullptr, timeoutMs, false);
    uint64_t now = NowUs();
    int waiting = 0;
    for (size_t i = m_pos; i < m_bytes.size() && m_dueUs[i] <= now; ++i) ++waiting;
    *length = waiting;
    return n;
}

int LoopbackPort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    return Deliver(buffer, *length, nullptr, timeoutMs, true);
}

int LoopbackPort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    return Deliver(buffer, *length, stopChars, timeoutMs, true);
}

int LoopbackPort::ClearInBuffer() {
    uint64_t now = NowUs();
    while (m_pos < m_bytes.size() && m_dueUs[m_pos] <= now) ++m_pos;
    return 0;
}

int LoopbackPort::SetDeviceName(const char* name) {
    m_deviceName = name != nullptr ? name : "";
    return 0;
}

}  // namespace plcsim
