// Serial transport: bytes between the driver and the host's port object.
//
// Frames travel through the engine as hex text and through the port as raw
// bytes; the conversion happens here. The transport keeps no state: every
// buffer lives for one call.
#include <cstring>

#include "DevServer.h"
#include "DevVocabulary.h"
#include "ICommunication.h"

namespace {

// Port chunk of read modes 0 and 2.
const int kChunkSize = 512;
// Read modes 0, 2 and 3 never wait less than this.
const unsigned int kMinReadTimeoutMs = 100;
// Upper bound of what one read call gathers or asks for: far above any frame
// of the protocol, it keeps a port that never stops delivering (or a caller
// asking for an absurd length) from exhausting the memory or the thread.
const int kMaxReadBytes = 65536;

unsigned int FloorTimeout(unsigned int timeoutMs) {
    return timeoutMs < kMinReadTimeoutMs ? kMinReadTimeoutMs : timeoutMs;
}

// The device wait time in ms; a missing or negative property counts as 0.
unsigned int WaitTime(ZEVO_DATA& data) {
    if (data.pDevData == nullptr || data.pDevData->arProperty.GetSize() <= DEVPROP_WAITTIME) return 0;
    int value = data.pDevData->arProperty[DEVPROP_WAITTIME];
    return value > 0 ? static_cast<unsigned int>(value) : 0;
}

int ClampLength(unsigned int length) {
    return length > static_cast<unsigned int>(kMaxReadBytes) ? kMaxReadBytes : static_cast<int>(length);
}

// Appends the first count bytes of chunk to bytes.
void AppendBytes(CByteArray& bytes, const unsigned char* chunk, int count) {
    int old = bytes.GetSize();
    bytes.SetSize(old + count);
    std::memcpy(bytes.GetData() + old, chunk, static_cast<size_t>(count));
}

// A port result as a byte count of a buffer of capacity bytes: 0 or less
// stays as it is, more than the buffer holds is cut to the buffer.
int WithinBuffer(int result, int capacity) { return result > capacity ? capacity : result; }

}  // namespace

int CDevServer::SvrClearCommInBuff(ZEVO_DATA& data) {
    if (data.pComm == nullptr) return 0;
    return data.pComm->ClearInBuffer() == 0 ? 1 : 0;
}

int CDevServer::SvrWriteTcpip(ZEVO_DATA& data, CByteArray& bytes) {
    if (data.pComm == nullptr || bytes.GetSize() <= 0) return 0;
    int length = bytes.GetSize();
    return data.pComm->WriteBytes(bytes.GetData(), &length, WaitTime(data));
}

int CDevServer::mfWriteComm(ZEVO_DATA& data, CByteArray& bytes) { return SvrWriteTcpip(data, bytes); }

int CDevServer::SvrReadTcpip(ZEVO_DATA& data, CByteArray& bytes) {
    return mfReadCommUseSleep(data, bytes, WaitTime(data));
}

int CDevServer::mfReadComm(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, int readMode,
                           unsigned int length, unsigned char stopChar) {
    bytes.RemoveAll();
    switch (readMode) {
        case COMM_READ_STOPCHAR:
            return mfReadCommUseStopChar(data, bytes, timeoutMs, stopChar);
        case COMM_READ_INPUTLEN:
            return mfReadCommUseInputLen(data, bytes, timeoutMs, length);
        case COMM_READ_SLEEP:
            return mfReadCommUseSleep(data, bytes, timeoutMs);
        case COMM_READ_CHARORLEN:
            return mfReadCommUseCharOrLen(data, bytes, stopChar, timeoutMs, length);
        default:
            return -2;
    }
}

int CDevServer::mfReadCommUseStopChar(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs,
                                      unsigned char stopChar) {
    timeoutMs = FloorTimeout(timeoutMs);
    if (data.pComm == nullptr) return -1;
    bytes.RemoveAll();
    const char stop[2] = {static_cast<char>(stopChar), 0};
    unsigned char chunk[kChunkSize];
    for (;;) {
        std::memset(chunk, 0, sizeof chunk);
        int length = kChunkSize;
        int got = WithinBuffer(data.pComm->ReadUntilChar(chunk, &length, stop, timeoutMs), kChunkSize);
        if (got <= 0) break;
        AppendBytes(bytes, chunk, got);
        // A full chunk without the stop character at its end means more is
        // coming; anything else ends the read.
        if (got != kChunkSize || chunk[kChunkSize - 1] == stopChar) break;
        if (bytes.GetSize() >= kMaxReadBytes) break;
    }
    return bytes.GetSize();
}

int CDevServer::mfReadCommIntoBuffer(ZEVO_DATA& data, unsigned char* buffer, int length, unsigned int timeoutMs) {
    if (data.pComm == nullptr) return -1;
    if (length < 0) length = 0;
    int portLength = length;
    int got = WithinBuffer(data.pComm->ReadLength(buffer, &portLength, timeoutMs), length);
    return got > 0 ? got : 0;
}

int CDevServer::mfReadCommUseInputLen(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, unsigned int length) {
    // Without a port nothing was received: the array stays empty rather than
    // holding zeros that look like an answer.
    if (data.pComm == nullptr) {
        bytes.RemoveAll();
        return -1;
    }
    bytes.SetSize(ClampLength(length));
    bytes.SetSize(mfReadCommIntoBuffer(data, bytes.GetData(), bytes.GetSize(), timeoutMs));
    return bytes.GetSize();
}

int CDevServer::mfReadCommUseSleep(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs) {
    timeoutMs = FloorTimeout(timeoutMs);
    if (data.pComm == nullptr) return -1;
    bytes.RemoveAll();
    unsigned char chunk[kChunkSize];
    int length = 0;
    do {
        std::memset(chunk, 0, sizeof chunk);
        length = kChunkSize;
        int got = WithinBuffer(data.pComm->ReadAvailable(chunk, &length, timeoutMs), kChunkSize);
        if (got <= 0) break;
        AppendBytes(bytes, chunk, got);
    } while (length > 0 && bytes.GetSize() < kMaxReadBytes);
    return bytes.GetSize();
}

int CDevServer::mfReadCommUseCharOrLen(ZEVO_DATA& data, CByteArray& bytes, unsigned char stopChar,
                                       unsigned int timeoutMs, unsigned int length) {
    timeoutMs = FloorTimeout(timeoutMs);
    if (data.pComm == nullptr) return -1;
    const char stop[2] = {static_cast<char>(stopChar), 0};
    int wanted = ClampLength(length);
    bytes.RemoveAll();
    bytes.SetSize(wanted);
    int portLength = wanted;
    int got = WithinBuffer(data.pComm->ReadUntilChar(bytes.GetData(), &portLength, stop, timeoutMs), wanted);
    if (got > 0) {
        bytes.SetSize(got);
        return got;
    }
    bytes.RemoveAll();
    return 0;
}

int CDevServer::SvrWriteComm(ZEVO_DATA& data, int textMode, CString& text) {
    CByteArray bytes;
    switch (textMode) {
        case COMM_TEXT_PLAIN:
            SvrStr2Byte(text, bytes);
            break;
        case COMM_TEXT_HEX:
            // Odd or empty hex text converts to no bytes, so nothing is written.
            SvrHStr2HByte(text, bytes);
            break;
        default:
            return 0;
    }
    return SvrWriteTcpip(data, bytes);
}

int CDevServer::SvrReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                            unsigned int length, unsigned char stopChar) {
    CByteArray bytes;
    int result = mfReadComm(data, bytes, timeoutMs, readMode, length, stopChar);
    switch (textMode) {
        case COMM_TEXT_PLAIN:
            SvrByte2Str(bytes, text);
            break;
        case COMM_TEXT_HEX:
            SvrHByte2HStr(bytes, text);
            break;
        default:
            return -1;
    }
    return result;
}

int CDevServer::SvrWriteAndReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                                    unsigned int length, unsigned char stopChar) {
    if (data.pComm != nullptr) data.pComm->ClearInBuffer();
    SvrWriteComm(data, textMode, text);
    return SvrReadComm(data, textMode, text, timeoutMs, readMode, length, stopChar);
}
