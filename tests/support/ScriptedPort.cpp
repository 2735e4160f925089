#include "ScriptedPort.h"

#include <cctype>
#include <cstdio>
#include <cstring>

Bytes HexBytes(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string BytesHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

uint16_t TestCrc16(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

Bytes WithCrc(Bytes bytes, bool highFirst) {
    uint16_t crc = TestCrc16(bytes);
    uint8_t lo = crc & 0xFF, hi = crc >> 8;
    bytes.push_back(highFirst ? hi : lo);
    bytes.push_back(highFirst ? lo : hi);
    return bytes;
}

void ScriptedPort::QueueChunks(const std::vector<Bytes>& chunks) {
    for (const Bytes& c : chunks) m_chunks.push_back(c);
}

void ScriptedPort::ClearLog() {
    m_writes.clear();
    m_reads.clear();
    m_writeTimeouts.clear();
    m_deviceNames.clear();
    m_clears = 0;
}

int ScriptedPort::WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) {
    int n = length != nullptr ? *length : 0;
    Bytes request(data, data + (n > 0 ? n : 0));
    m_writes.push_back(request);
    m_writeTimeouts.push_back(timeoutMs);
    if (m_responder) {
        m_chunks.clear();
        QueueChunks(m_responder(request));
    }
    return m_writeResult >= 0 ? m_writeResult : n;
}

int ScriptedPort::Take(unsigned char* buffer, int max, const char* stopChars) {
    if (m_chunks.empty() || max <= 0) {
        if (!m_chunks.empty() && max <= 0) return 0;
        return 0;
    }
    Bytes& chunk = m_chunks.front();
    int n = 0;
    while (n < max && n < static_cast<int>(chunk.size())) {
        buffer[n] = chunk[n];
        ++n;
        if (stopChars != nullptr && std::strchr(stopChars, static_cast<char>(buffer[n - 1])) != nullptr &&
            buffer[n - 1] != 0)
            break;
    }
    if (n >= static_cast<int>(chunk.size()))
        m_chunks.pop_front();
    else
        chunk.erase(chunk.begin(), chunk.begin() + n);
    return n;
}

int ScriptedPort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({11, max, timeoutMs});
    int n = Take(buffer, max, nullptr);
    if (length != nullptr) *length = m_chunks.empty() ? 0 : static_cast<int>(m_chunks.front().size());
    return n;
}

int ScriptedPort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({12, max, timeoutMs});
    return Take(buffer, max, nullptr);
}

int ScriptedPort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({13, max, timeoutMs});
    return Take(buffer, max, stopChars);
}

int ScriptedPort::ClearInBuffer() {
    ++m_clears;
    return 0;
}

int ScriptedPort::SetDeviceName(const char* name) {
    m_deviceNames.push_back(name != nullptr ? name : "");
    return 0;
}
