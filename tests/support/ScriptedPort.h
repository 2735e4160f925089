// A test double of the host's port: records every call, and answers reads
// from a script of chunks (one chunk per read call) or through a responder
// that sees each written request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ICommunication.h"

using Bytes = std::vector<uint8_t>;

// Bytes from a hex text such as "01 20 06 FF" (blanks are ignored).
Bytes HexBytes(const std::string& hex);
// Hex text "01 20 06" of bytes.
std::string BytesHex(const Bytes& bytes);
// CRC-16 of the Modbus RTU standard (for building answers in tests).
uint16_t TestCrc16(const Bytes& bytes);
// The bytes with their CRC appended, low byte first (or high byte first).
Bytes WithCrc(Bytes bytes, bool highFirst = false);

class ScriptedPort : public ICommunication {
public:
    struct ReadCall {
        int slot;  // 11 ReadAvailable, 12 ReadLength, 13 ReadUntilChar
        int length;
        unsigned int timeoutMs;
    };

    ScriptedPort() = default;

    // Queues chunks for the following read calls; an empty chunk makes one
    // read return nothing.
    void QueueChunks(const std::vector<Bytes>& chunks);
    void QueueChunk(const Bytes& chunk) { QueueChunks({chunk}); }
    // Answers every written request: the responder returns the chunks that
    // the following reads deliver (replacing what is still queued).
    void SetResponder(std::function<std::vector<Bytes>(const Bytes& request)> responder) {
        m_responder = std::move(responder);
    }
    void SetPortType(int type) { m_portType = type; }
    void SetWriteResult(int result) { m_writeResult = result; }

    const std::vector<Bytes>& Writes() const { return m_writes; }
    const std::vector<ReadCall>& Reads() const { return m_reads; }
    const std::vector<unsigned int>& WriteTimeouts() const { return m_writeTimeouts; }
    const std::vector<std::string>& DeviceNames() const { return m_deviceNames; }
    int ClearCount() const { return m_clears; }
    size_t Pending() const { return m_chunks.size(); }
    void ClearLog();

    int Open() override { return 0; }
    int Close() override { return 0; }
    int IsOpen() override { return 1; }
    int SetTimeouts(unsigned int, unsigned int) override { return 0; }
    int GetLastError() override { return 0; }
    const char* GetPortName() override { return "scripted"; }
    int Flush() override { return 0; }
    int Configure(const char*) override { return 0; }

    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override;
    int SetDeviceName(const char* name) override;
    int GetPortType() override { return m_portType; }

private:
    // Takes up to max bytes of the next chunk (the rest of it stays queued).
    int Take(unsigned char* buffer, int max, const char* stopChars);

    std::deque<Bytes> m_chunks;
    std::function<std::vector<Bytes>(const Bytes&)> m_responder;
    std::vector<Bytes> m_writes;
    std::vector<ReadCall> m_reads;
    std::vector<unsigned int> m_writeTimeouts;
    std::vector<std::string> m_deviceNames;
    int m_clears = 0;
    int m_portType = 1;
    int m_writeResult = -1;  // -1: answer the count written
};
