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

ScriptedPort::ScriptedPort() : QueuePort("scripted") { SetWaits(false); }

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
    m_writeTimeouts.push_back(timeoutMs);
    int written = QueuePort::WriteBytes(data, length, timeoutMs);
    return m_writeResult >= 0 ? m_writeResult : written;
}

void ScriptedPort::Written(const uint8_t* data, size_t size) {
    Bytes request(data, data + size);
    m_writes.push_back(request);
    if (m_responder) {
        m_chunks.clear();
        DropAll();
        QueueChunks(m_responder(request));
    }
}

void ScriptedPort::BeforeRead(int) {
    if (Queued() > 0 || m_chunks.empty()) return;
    const Bytes& chunk = m_chunks.front();
    Arrive(chunk.data(), chunk.size(), 0);
    m_chunks.pop_front();
}

int ScriptedPort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({11, max, timeoutMs});
    int n = QueuePort::ReadAvailable(buffer, length, timeoutMs);
    // What waits: the rest of this chunk, or else the whole next one.
    if (length != nullptr && *length == 0 && !m_chunks.empty()) *length = static_cast<int>(m_chunks.front().size());
    return n;
}

int ScriptedPort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({12, max, timeoutMs});
    return QueuePort::ReadLength(buffer, length, timeoutMs);
}

int ScriptedPort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    int max = length != nullptr ? *length : 0;
    m_reads.push_back({13, max, timeoutMs});
    return QueuePort::ReadUntilChar(buffer, length, stopChars, timeoutMs);
}

int ScriptedPort::ClearInBuffer() {
    // The script decides what each read sees; a clear is only counted.
    ++m_clears;
    return 0;
}

int ScriptedPort::SetDeviceName(const char* name) {
    m_deviceNames.push_back(name != nullptr ? name : "");
    return QueuePort::SetDeviceName(name);
}
