// Block collection: one planned rank per collection call, read with one
// request and decoded row by row into the exchange arrays.
#include <cstring>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "HexDigits.h"
#include "cstrtonumeric.h"

namespace {

// Byte permutations of the decode orders, most significant value byte first:
// entry i names the received byte (1-based) that becomes value byte i.
const char* const ORDER32[4] = {"1234", "2143", "3412", "4321"};
const char* const ORDER64[8] = {"12345678", "21436587", "34127856", "43218765",
                                "56781234", "65872143", "78563412", "87654321"};

// The longest request a block may send: the joined-link limits of the area
// (1024 bits, 120 words), and the element address must fit its 24 bits.
bool BlockReadable(int chlType, unsigned int address, int count) {
    if (chlType < 0 || chlType >= CHL_TYPE_COUNT) return false;
    int limit = DEV_READBLK_MAXNUM[chlType];
    return count >= 1 && count <= limit && address <= 0xFFFFFFu;
}

// Where the row properties the decoder reads sit in a row's values. The
// schema is class-wide, so the names are looked up once per answer instead of
// once per row and property; a missing name reads as GetdwValue reads it.
struct RowSlots {
    int rwFlag = -1, type = -1, address = -1, dataType = -1, bit = -1;
    RowSlots() = default;
    explicit RowSlots(const CDevRow& any)
        : rwFlag(any.GetIndexFromName(DEVROW_STR_CHLRWFLAG)),
          type(any.GetIndexFromName(DEVROW_STR_CHLTYPE)),
          address(any.GetIndexFromName(DEVROW_STR_CHLADDRESS)),
          dataType(any.GetIndexFromName(DEVROW_STR_CHLDATATYPE)),
          bit(any.GetIndexFromName(DEVROW_STR_CHLBIT)) {}
};

unsigned int Value(const CDevRow& row, int slot) {
    return slot >= 0 && slot < row.m_dwArValue.GetSize() ? row.m_dwArValue[slot] : 0xFFFFFFFFu;
}

// A PLC may answer a string with its own length, fewer bytes than asked for:
// a block opened by a string row is then decoded from an answer complete by
// its own byte count N (at least one data byte, no more than asked for, and
// the answer N + 5 bytes long), provided every other row the decoder reads
// lies within those N bytes; the string takes at most N of them. Otherwise a
// value would be read from the CRC or decode as 0.
bool StringBlockAnswered(const CString& answer, int expectedLength, CDevTable& table, const DynBlock& block) {
    if (block.nStartRow < 0 || block.nEndRow >= table.GetRowCount() || block.nStartRow > block.nEndRow) return false;
    const CDevRow& first = table.Row(block.nStartRow);
    const RowSlots slots(first);
    if (Value(first, slots.type) <= static_cast<unsigned int>(CHL_BITAREA_LAST) ||
        Value(first, slots.dataType) != DATACODE_STR)
        return false;
    int length = answer.GetLength();
    int announced = static_cast<int>(HexDigits::ByteAt(answer.c_str(), length, 4));
    if (announced < 1 || announced > expectedLength - 5 || length != 2 * (announced + 5)) return false;
    unsigned int firstAddress = Value(first, slots.address);
    for (int row = block.nStartRow + 1; row <= block.nEndRow; ++row) {
        const CDevRow& r = table.Row(row);
        unsigned int rw = Value(r, slots.rwFlag);
        unsigned int code = Value(r, slots.dataType);
        // Rows the decoder skips, strings (cut to what came) and rows before
        // the block's first address (no data) read nothing beyond N.
        if ((rw != 0 && rw != 2) || code == DATACODE_STR) continue;
        int64_t offset = static_cast<int64_t>(Value(r, slots.address)) - static_cast<int64_t>(firstAddress);
        if (offset >= 0 && 2 * (offset + CDevBas::mfGetRowWidth(code, 0)) > announced) return false;
    }
    return true;
}

// Characters of a row's digits in the answer text: count from at, fewer at
// the end of the text (as Mid cuts them); at lies inside the text.
int Available(int textLength, int64_t at, int count) {
    int64_t left = textLength - at;
    return static_cast<int>(left < count ? left : count);
}

// Puts the first byteCount bytes of the digits into a decode order, into out
// (2 * byteCount characters and a terminator); false for an order outside
// the labels or a text shorter than that.
bool Reorder(const char* in, int length, int byteCount, int order, char* out) {
    const char* pattern = nullptr;
    if (byteCount == 4 && order >= 0 && order < 4) pattern = ORDER32[order];
    if (byteCount == 8 && order >= 0 && order < 8) pattern = ORDER64[order];
    if (pattern == nullptr || length < 2 * byteCount) return false;
    for (int i = 0; i < byteCount; ++i) {
        int from = pattern[i] - '1';
        out[2 * i] = in[2 * from];
        out[2 * i + 1] = in[2 * from + 1];
    }
    out[2 * byteCount] = '\0';
    return true;
}

// The value of one row from length hex digits at text (mfGetChlValue).
double ChlValue(const DEV_DATA& dev, const char* text, int length, int chlType, int code) {
    int order16 = Property(dev, DEVPROP_ORDER16);
    if (code <= 79) {
        if (code < 0) return 0.0;
        if (chlType >= 0 && chlType <= CHL_BITAREA_LAST) return CDevServer::SvrStr2Double(text, length, code, 0, 1);
        // A bit of a word: the word's two bytes are swapped for order 1 only.
        return CDevServer::SvrStr2Double(text, length, code, order16 == 1 ? 2 : 0, 2);
    }
    if (code <= 85) {
        if (order16 != 0 && order16 != 1) return 0.0;
        return CDevServer::SvrStr2Double(text, length, code, order16 == 1 ? 2 : 0, 0);
    }
    char digits[17];
    if (code <= 89) {
        int order = Property(dev, code == static_cast<int>(DATACODE_DF) ? DEVPROP_ORDERFLOAT : DEVPROP_ORDER32);
        if (!Reorder(text, length < 8 ? length : 8, 4, order, digits)) return 0.0;
        return CDevServer::SvrStr2Double(digits, 8, code, 0, 0);
    }
    int order = Property(dev, code == static_cast<int>(DATACODE_LF) ? DEVPROP_ORDERDOUBLE : DEVPROP_ORDER64);
    if (!Reorder(text, length < 16 ? length : 16, 8, order, digits)) return 0.0;
    return CDevServer::SvrStr2Double(digits, 16, code, 0, 0);
}

}  // namespace

bool CDevBas::mfReorderDigits(CString& digits, int byteCount, int order) {
    char out[17];
    if (byteCount != 4 && byteCount != 8) return false;
    if (!Reorder(digits.c_str(), digits.GetLength(), byteCount, order, out)) return false;
    digits = out;
    return true;
}

double CDevBas::mfGetChlValue(ZEVO_DATA& data, CString& text, int chlType, int code) {
    return ChlValue(*data.pDevData, text.c_str(), text.GetLength(), chlType, code);
}

bool CDevBas::mfAnswerCarriesRequest(const CString& answer, int expectedLength) {
    return expectedLength > 5 && answer.GetLength() == 2 * expectedLength &&
           static_cast<int>(HexDigits::ByteAt(answer.c_str(), answer.GetLength(), 4)) == expectedLength - 5;
}

int CDevBas::mfExplainCommByteData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                   CStringArray& strings, CString& response, int rank, int) {
    if (!mfAddSum(data, 1, response)) return 0;
    DEV_DATA& dev = *data.pDevData;
    CDevTable& table = *dev.pTable;
    int rows = table.GetRowCount();
    int start = dev.nReadIndex < 0 ? 0 : dev.nReadIndex;
    int textLength = response.GetLength();
    const char* text = response.c_str();
    const RowSlots slots = rows > 0 ? RowSlots(table.Row(0)) : RowSlots();
    for (int b = start; b < dev.arBlock.GetSize(); ++b) {
        const DynBlock& block = dev.arBlock[b];
        if (block.nRank > rank) break;
        if (block.nRank < rank) continue;
        if (block.nStartRow < 0 || block.nStartRow >= rows) continue;
        CDevRow& first = table.Row(block.nStartRow);
        int chlType = static_cast<int>(Value(first, slots.type));
        unsigned int firstAddress = Value(first, slots.address);
        bool bitArea = chlType >= 0 && chlType <= CHL_BITAREA_LAST;
        int last = block.nEndRow < rows ? block.nEndRow : rows - 1;
        for (int row = block.nStartRow; row <= last; ++row) {
            CDevRow& r = table.Row(row);
            unsigned int rw = Value(r, slots.rwFlag);
            if (rw != 0 && rw != 2) continue;
            unsigned int address = Value(r, slots.address);
            unsigned int code = Value(r, slots.dataType);
            // A row before the block's first address has no data in this answer.
            int64_t offset = static_cast<int64_t>(address) - static_cast<int64_t>(firstAddress);
            bool inAnswer = offset >= 0;
            double value = 0.0;
            if (bitArea) {
                if (inAnswer) {
                    int64_t at = 6 + 2 * (offset / 8);
                    value = at < textLength ? ChlValue(dev, text + at, Available(textLength, at, 2), chlType,
                                                       static_cast<int>(offset % 8))
                                            : ChlValue(dev, "", 0, chlType, static_cast<int>(offset % 8));
                }
                if (row + 1 < values.GetSize()) values[row + 1] = value;
            } else if (code == DATACODE_STR) {
                int announced = static_cast<int>(HexDigits::ByteAt(text, textLength, 4));
                unsigned int length = Value(r, slots.bit);
                int bytes = static_cast<int>(length < static_cast<unsigned int>(announced) ? length : announced);
                // Never past what was received (the answer's text from offset 6).
                int available = (textLength - 6) / 2;
                if (bytes > available) bytes = available;
                CString decoded;
                if (bytes > 0) {
                    CString hex = response.Mid(6, 2 * bytes);
                    CByteArray raw;
                    CDevServer::SvrHStr2HByte(hex, raw);
                    CDevServer::SvrChangeStrIncode(raw, Property(dev, DEVPROP_STRORDER));
                    if (Property(dev, DEVPROP_STRENCODING) == 0)
                        CDevServer::SvrASCII2Str(raw, decoded);
                    else
                        CDevServer::SvrUnicode2Str(raw, decoded);
                }
                if (row + 1 < strings.GetSize()) strings[row + 1] = decoded;
            } else {
                if (inAnswer) {
                    int64_t at = 6 + 4 * offset;
                    int digits = 4 * static_cast<int>(CDevBas::mfGetRowWidth(code, 0));
                    value = at < textLength ? ChlValue(dev, text + at, Available(textLength, at, digits), chlType,
                                                       static_cast<int>(code))
                                            : ChlValue(dev, "", 0, chlType, static_cast<int>(code));
                }
                if (row + 1 < values.GetSize()) values[row + 1] = value;
            }
            if (row + 1 < flags.GetSize()) flags[row + 1] = 3;
        }
    }
    return 1;
}

int CDevBas::mfReadBlockFromDev(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                CStringArray& strings, int rank, int attempts) {
    DEV_DATA& dev = *data.pDevData;
    CDevTable& table = *dev.pTable;
    int start = dev.nReadIndex < 0 ? 0 : dev.nReadIndex;
    int found = -1;
    for (int b = start; b < dev.arBlock.GetSize(); ++b) {
        if (dev.arBlock[b].nRank == rank) {
            found = b;
            break;
        }
    }
    if (found < 0) return -1;
    const DynBlock& block = dev.arBlock[found];
    if (block.nStartRow < 0 || block.nEndRow >= table.GetRowCount() || block.nStartRow > block.nEndRow) return -1;
    int count = mfFetchBlockLen(table, block.nStartRow, block.nEndRow);
    CDevRow& first = table.Row(block.nStartRow);
    // Address changes can make a planned block nonsense (negative or over-long):
    // such a block is not sent, and reads as a block that cannot be read.
    if (!BlockReadable(static_cast<int>(first.GetdwValue(DEVROW_STR_CHLTYPE)), first.GetdwValue(DEVROW_STR_CHLADDRESS),
                       count))
        return -1;
    CString order;
    int expected = mfFormReadOrder(data, order, table, Property(dev, DEVPROP_STATION), count, block.nStartRow);
    int result = mfWriteAndRead(data, order, static_cast<unsigned int>(expected), DEV_RWTYPE_READ, attempts);
    if (result < 0) return result;
    // An answer that does not carry the data asked for (another byte count,
    // or fewer bytes than it announces) or whose CRC does not match is a wrong
    // answer: nothing is decoded and the rank counts as failed, so no digit of
    // the CRC or of a missing word passes for a value. A string block may be
    // answered with the string's own length (StringBlockAnswered).
    if (!mfAnswerCarriesRequest(order, expected) && !StringBlockAnswered(order, expected, table, block))
        return DEV_ERR_ANSWER;
    if (!mfExplainCommByteData(data, flags, values, strings, order, rank, 0)) return DEV_ERR_ANSWER;
    return 0;
}

int CDevBas::mfCollectDevData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                              CStringArray& strings) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr || dev->nRankCount <= 0) return 0;
    int result = mfReadBlockFromDev(data, flags, values, strings, dev->nReadRank, 1);
    if (result == 0) {
        mfSetCollectFlag(data, flags, dev->nReadRank, 3);
        if (++dev->nReadRank >= dev->nRankCount) {
            dev->nReadRank = 0;
            dev->nReadIndex = 0;
        }
        values[0] = 0.0;
        return 0;
    }
    mfSetCollectFlag(data, flags, dev->nReadRank, 4);
    values[0] = -static_cast<double>(result);
    return DEV_ERR_COLLECT;
}
