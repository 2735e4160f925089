// A test double of the host's port: records every call, and answers reads
// from a script of chunks (one chunk per read call) or through a responder
// that sees each written request. A layer on the queue port: a read that
// finds the queue empty lets the next chunk arrive, and reads never wait (the
// script, not the clock, says what each read sees).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "plcsim/QueuePort.h"

using Bytes = std::vector<uint8_t>;

// Bytes from a hex text such as "01 20 06 FF" (blanks are ignored).
Bytes HexBytes(const std::string& hex);
// Hex text "01 20 06" of bytes.
std::string BytesHex(const Bytes& bytes);
// CRC-16 of the Modbus RTU standard (for building answers in tests).
uint16_t TestCrc16(const Bytes& bytes);
// The bytes with their CRC appended, low byte first (or high byte first).
Bytes WithCrc(Bytes bytes, bool highFirst = false);

class ScriptedPort : public plcsim::QueuePort {
public:
    struct ReadCall {
        int slot;  // 11 ReadAvailable, 12 ReadLength, 13 ReadUntilChar
        int length;
        unsigned int timeoutMs;
    };

    ScriptedPort();

    // Queues chunks for the following read calls; an empty chunk makes one
    // read return nothing.
    void QueueChunks(const std::vector<Bytes>& chunks);
    void QueueChunk(const Bytes& chunk) { QueueChunks({chunk}); }
    // Answers every written request: the responder returns the chunks that
    // the following reads deliver (replacing what is still queued).
    void SetResponder(std::function<std::vector<Bytes>(const Bytes& request)> responder) {
        m_responder = std::move(responder);
    }
    void SetWriteResult(int result) { m_writeResult = result; }

    const std::vector<Bytes>& Writes() const { return m_writes; }
    const std::vector<ReadCall>& Reads() const { return m_reads; }
    const std::vector<unsigned int>& WriteTimeouts() const { return m_writeTimeouts; }
    const std::vector<std::string>& DeviceNames() const { return m_deviceNames; }
    int ClearCount() const { return m_clears; }
    size_t Pending() const { return m_chunks.size() + (Queued() > 0 ? 1 : 0); }
    void ClearLog();

    int Flush() override { return 0; }

    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override;
    int SetDeviceName(const char* name) override;

protected:
    void Written(const uint8_t* data, size_t size) override;
    // The next chunk arrives when nothing is left of the one before.
    void BeforeRead(int max) override;

private:
    std::deque<Bytes> m_chunks;
    std::function<std::vector<Bytes>(const Bytes&)> m_responder;
    std::vector<Bytes> m_writes;
    std::vector<ReadCall> m_reads;
    std::vector<unsigned int> m_writeTimeouts;
    std::vector<std::string> m_deviceNames;
    int m_clears = 0;
    int m_writeResult = -1;  // -1: answer the count written
};
