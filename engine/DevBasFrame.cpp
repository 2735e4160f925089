// Frames, CRC and transactions: the read request of a block, the CRC-16 of
// every frame, and one request/answer exchange with its waiting, completion
// rules and attempts.
#include <cstdint>
#include <cstring>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "HexDigits.h"
#include "HostTime.h"
#include "cstrtonumeric.h"

namespace {

// Function codes of the read requests.
const int kFuncReadBits = 0x1E;
const int kFuncReadWords = 0x20;
// A second answer byte of this value makes the answer one byte longer.
const unsigned char kLongAnswerMark = 0x5B;
// Sleep between two reads of an answer.
const uint64_t kReadPauseMs = 10;
// Time granted to each answer byte beyond the wait time before a PLC that
// keeps sending (without ever completing its answer) is cut off; at 1200 baud
// one byte takes about 9 ms.
const int64_t kByteAllowanceMs = 10;
// Answers gathered by one transaction never grow beyond this: far more than
// any frame of the protocol.
const unsigned int kMaxAnswerBytes = 65536;

// CRC-16 with the reflected polynomial 0xA001, one table entry per byte value.
struct CrcTable {
    uint16_t entry[256];
    constexpr CrcTable() : entry() {
        for (int value = 0; value < 256; ++value) {
            uint16_t crc = static_cast<uint16_t>(value);
            for (int step = 0; step < 8; ++step)
                crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
            entry[value] = crc;
        }
    }
};
constexpr CrcTable kCrcTable;

// The device wait time in ms; a negative value counts as 0.
unsigned int WaitTime(ZEVO_DATA& data) {
    int value = Property(data, DEVPROP_WAITTIME);
    return value > 0 ? static_cast<unsigned int>(value) : 0;
}

// The two CRC bytes in the order of the device: low byte first when the CRC
// order property is 0, high byte first for any other value.
void CrcBytes(ZEVO_DATA& data, uint16_t crc, unsigned char out[2]) {
    unsigned char low = static_cast<unsigned char>(crc & 0xFF);
    unsigned char high = static_cast<unsigned char>(crc >> 8);
    bool highFirst = Property(data, DEVPROP_CRCORDER) != 0;
    out[0] = highFirst ? high : low;
    out[1] = highFirst ? low : high;
}

// The CRC bytes as four upper-case hex digits and a terminator.
void CrcDigits(ZEVO_DATA& data, uint16_t crc, char out[5]) {
    unsigned char bytes[2];
    CrcBytes(data, crc, bytes);
    out[0] = HexDigits::UpperDigit(bytes[0] >> 4);
    out[1] = HexDigits::UpperDigit(bytes[0]);
    out[2] = HexDigits::UpperDigit(bytes[1] >> 4);
    out[3] = HexDigits::UpperDigit(bytes[1]);
    out[4] = 0;
}

// True when the text holds only the digits 0-9 and A-F.
bool UpperHexOnly(const CString& text) {
    const char* p = text.c_str();
    for (int i = 0; i < text.GetLength(); ++i) {
        char c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// CRC-16 of the first count bytes written as hex digits at hex, a text of
// length characters.
uint16_t HexCrc16(const char* hex, int length, int count) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        unsigned int byte = HexDigits::ByteAt(hex, length, 2 * i);
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable.entry[(crc ^ byte) & 0xFF]);
    }
    return crc;
}

}  // namespace

unsigned short CDevBas::mfCrc16(const unsigned char* bytes, int count) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < count; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable.entry[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

int CDevBas::mfFormReadOrder(ZEVO_DATA& /*data*/, CString& order, CDevTable& table, int station, int count,
                             int rowIndex) {
    // A row or channel type outside the tables gives no request rather than
    // a read past their ends.
    if (rowIndex < 0 || rowIndex >= table.GetRowCount()) {
        order.Empty();
        return 0;
    }
    CDevRow& row = table.Row(rowIndex);
    unsigned int type = row.GetdwValue(DEVROW_STR_CHLTYPE);
    if (type >= static_cast<unsigned int>(CHL_TYPE_COUNT)) {
        order.Empty();
        return 0;
    }
    unsigned int address = row.GetdwValue(DEVROW_STR_CHLADDRESS);
    bool bits = type <= static_cast<unsigned int>(CHL_BITAREA_LAST);
    order.Format("%.2x%s%s%.6x%.4x", static_cast<unsigned int>(station), bits ? "1e" : "20",
                 CHL_STR_READORDER[type].c_str(), address, static_cast<unsigned int>(count));
    return bits ? (count + 7) / 8 + 5 : count * 2 + 5;
}

int CDevBas::mfFormReadOrderMix(ZEVO_DATA& /*data*/, CString& /*order*/, int /*unused*/) { return 0; }

int CDevBas::mfAddSum(ZEVO_DATA& data, int mode, CString& frame) {
    // Frames from the port and from the request builders are upper-case hex
    // already; only other text needs the conversion.
    bool plainHex = UpperHexOnly(frame);
    if (!plainHex) {
        frame.MakeUpper();
        plainHex = UpperHexOnly(frame);
    }
    if (mode != 0 && mode != 1) return 1;

    // Odd or empty text converts to no bytes; the CRC of nothing is 0xFFFF.
    uint16_t crc;
    if (plainHex) {
        int length = frame.GetLength();
        int count = (length % 2 == 0 ? length / 2 : 0) - (mode == 1 ? 2 : 0);
        crc = HexCrc16(frame.c_str(), length, count);
    } else {
        CByteArray bytes;
        CDevServer::SvrHStr2HByte(frame, bytes);
        crc = mfCrc16(bytes.GetData(), bytes.GetSize() - (mode == 1 ? 2 : 0));
    }
    char digits[5];
    CrcDigits(data, crc, digits);

    if (mode == 0) {
        frame += digits;
        return 1;
    }
    int length = frame.GetLength();
    if (length >= 4 && std::memcmp(frame.c_str() + length - 4, digits, 4) == 0) return 1;
    frame.Empty();
    return 0;
}

int CDevBas::mfWriteAndRead(ZEVO_DATA& data, CString& order, unsigned int expectedLength, DEV_RWTYPE /*kind*/,
                            int attempts) {
    int requestFunction = 0;
    cstringToNumeric(order.Mid(2, 2), "%X", &requestFunction);
    if (attempts < 1) return DEV_ERR_NOANSWER;

    // The request as it goes on the wire: the bytes of the text and their
    // CRC, the same as converting the text with its CRC appended. Odd text
    // converts to nothing, so nothing is sent.
    CByteArray request;
    if (order.GetLength() % 2 == 0) {
        CDevServer::SvrHStr2HByte(order, request);
        unsigned char crc[2];
        CrcBytes(data, mfCrc16(request.GetData(), request.GetSize()), crc);
        request.Add(crc[0]);
        request.Add(crc[1]);
    }
    const bool isRead = request.GetSize() > 5 && (request[1] == kFuncReadBits || request[1] == kFuncReadWords);
    const unsigned int timeout = WaitTime(data);
    const unsigned int expected = expectedLength < kMaxAnswerBytes ? expectedLength : kMaxAnswerBytes;

    // Room for the expected answer and the one byte it may be widened by; the
    // port reads straight into it, never past what was asked for.
    CByteArray answer;
    answer.SetSize(static_cast<int>(expected) + 1);

    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // Bytes that came after an earlier transaction gave up (a late answer,
        // line noise) would be taken for this request's answer, and every
        // later answer would then belong to the request before it.
        CDevServer::SvrClearCommInBuff(data);
        CDevServer::SvrWriteTcpip(data, request);

        int received = 0;
        unsigned int wanted = expected;
        const uint64_t start = Zevo_GetTickCount();
        int64_t elapsed = 0;
        for (;;) {
            // A PLC that keeps sending without completing its answer is given
            // the wait time and a byte allowance for every answer byte; no
            // read may wait beyond that either.
            const int64_t limit = static_cast<int64_t>(timeout) + kByteAllowanceMs * static_cast<int64_t>(wanted);
            unsigned int readTimeout = timeout;
            if (received > 0 && elapsed + static_cast<int64_t>(timeout) > limit)
                readTimeout = elapsed < limit ? static_cast<unsigned int>(limit - elapsed) : 0;

            int got = CDevServer::mfReadCommIntoBuffer(data, answer.GetData() + received,
                                                       static_cast<int>(wanted) - received, readTimeout);
            elapsed = static_cast<int64_t>(Zevo_GetTickCount() - start);
            if (got <= 0) {
                if (elapsed >= static_cast<int64_t>(timeout)) break;
                Zevo_Sleep(kReadPauseMs);
                elapsed = static_cast<int64_t>(Zevo_GetTickCount() - start);
                continue;
            }

            int before = received;
            received += got;
            if (before < 2 && received >= 2 && answer[1] == kLongAnswerMark) ++wanted;
            // A read answer that announces fewer data bytes is complete by
            // its own byte count.
            if (isRead && received > 5 && received == answer[2] + 5) break;
            if (received >= static_cast<int>(wanted)) break;
            if (elapsed >= limit) break;
            Zevo_Sleep(kReadPauseMs);
            elapsed = static_cast<int64_t>(Zevo_GetTickCount() - start);
        }

        if (received == 0) {
            order.Empty();
            if (attempt == attempts) return DEV_ERR_NOANSWER;
            continue;
        }
        answer.SetSize(received);
        CDevServer::SvrHByte2HStr(answer, order);
        if (received <= 4 && static_cast<unsigned int>(received) < expectedLength) return DEV_ERR_ANSWER;
        int answerFunction = received >= 2 ? answer[1] : 0;
        if (answerFunction != requestFunction) return DEV_ERR_ANSWER;
        return received;
    }
    return DEV_ERR_NOANSWER;
}
