#include "plcsim/QueuePort.h"

#include <cstring>

#include "HostTime.h"

namespace plcsim {

namespace {

// Sleeps on the host clock until the time (rounded up to whole milliseconds).
void SleepUntilUs(uint64_t dueUs) {
    uint64_t now = QueuePort::NowUs();
    if (dueUs > now) Zevo_Sleep((dueUs - now + 999u) / 1000u);
}

bool IsStop(uint8_t b, const char* stopChars) {
    return stopChars != nullptr && b != 0 && std::strchr(stopChars, b) != nullptr;
}

}  // namespace

QueuePort::QueuePort(const char* name, int portType) : m_portType(portType), m_name(name != nullptr ? name : "") {}

uint64_t QueuePort::NowUs() { return Zevo_GetTickCount() * 1000u; }

int QueuePort::WriteBytes(unsigned char* data, int* length, unsigned int) {
    if (data == nullptr || length == nullptr || *length < 0) return -1;
    Compact();
    Written(data, static_cast<size_t>(*length));
    return *length;
}

void QueuePort::Arrive(const uint8_t* data, size_t size, uint64_t atUs, uint64_t byteUs) {
    if (size == 0) return;
    Compact();
    const size_t begin = m_bytes.size();
    m_bytes.insert(m_bytes.end(), data, data + size);
    m_runs.push_back(Run{begin, m_bytes.size(), atUs, byteUs});
}

void QueuePort::DropAll() {
    m_pos = m_bytes.size();
    Compact();
}

void QueuePort::Compact() {
    if (m_pos < m_bytes.size()) return;
    m_bytes.clear();
    m_runs.clear();
    m_pos = 0;
    m_run = 0;
}

uint64_t QueuePort::NextDueUs() const {
    const Run& run = m_runs[m_run];
    return run.DueUs(m_pos);
}

size_t QueuePort::ArrivedBy(uint64_t nowUs) const {
    size_t end = m_pos;
    for (size_t r = m_run; r < m_runs.size(); ++r) {
        const Run& run = m_runs[r];
        if (run.atUs > nowUs) break;
        size_t arrived = run.end - run.begin;
        if (run.byteUs > 0) {
            uint64_t n = (nowUs - run.atUs) / run.byteUs;
            if (n < arrived) arrived = static_cast<size_t>(n);
        }
        end = run.begin + arrived;
        if (end < run.end) break;
    }
    return end > m_pos ? end - m_pos : 0;
}

int QueuePort::Deliver(unsigned char* buffer, int max, const char* stopChars, unsigned int timeoutMs, bool untilFull) {
    if (buffer == nullptr || max < 0) return -1;
    if (max == 0) return 0;
    BeforeRead(max);
    const uint64_t deadline = NowUs() + timeoutMs * 1000ull;
    int got = 0;
    bool stopped = false;
    while (got < max && !stopped) {
        const uint64_t now = NowUs();
        size_t take = ArrivedBy(now);
        if (take > static_cast<size_t>(max - got)) take = static_cast<size_t>(max - got);
        if (stopChars != nullptr) {
            for (size_t i = 0; i < take; ++i) {
                if (IsStop(m_bytes[m_pos + i], stopChars)) {
                    take = i + 1;
                    stopped = true;
                    break;
                }
            }
        }
        if (take > 0) {
            std::memcpy(buffer + got, m_bytes.data() + m_pos, take);
            got += static_cast<int>(take);
            m_pos += take;
            while (m_run < m_runs.size() && m_pos >= m_runs[m_run].end) ++m_run;
            continue;
        }
        if (got > 0 && !untilFull) break;
        if (!m_waits || now >= deadline) break;
        if (m_pos < m_bytes.size() && NextDueUs() <= deadline) {
            SleepUntilUs(NextDueUs());
        } else {
            SleepUntilUs(deadline);
            break;
        }
    }
    Compact();
    return got;
}

int QueuePort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    int n = Deliver(buffer, *length, nullptr, timeoutMs, false);
    *length = static_cast<int>(ArrivedBy(NowUs()));
    return n;
}

int QueuePort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    return Deliver(buffer, *length, nullptr, timeoutMs, true);
}

int QueuePort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    if (length == nullptr) return -1;
    return Deliver(buffer, *length, stopChars, timeoutMs, true);
}

int QueuePort::ClearInBuffer() {
    m_pos += ArrivedBy(NowUs());
    while (m_run < m_runs.size() && m_pos >= m_runs[m_run].end) ++m_run;
    Compact();
    return 0;
}

int QueuePort::SetDeviceName(const char* name) {
    m_deviceName = name != nullptr ? name : "";
    return 0;
}

}  // namespace plcsim
