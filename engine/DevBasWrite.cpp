// Writes: one channel of the configured table, or one planned block of a
// command table, as one write request per row range.
#include <vector>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "HexDigits.h"

namespace {

const unsigned int WRITE_REPLY_LENGTH = 10;
const int WRITE_ATTEMPTS = 3;

double ValueOf(CArray<double, double>& values, int row) { return row + 1 < values.GetSize() ? values[row + 1] : 0.0; }

// Digits of a numeric row value, in the device's byte order for its width.
CString NumericDigits(const DEV_DATA& dev, double value, unsigned int code) {
    CString digits = CDevServer::SvrDouble2Str(value, static_cast<int>(code), 0, 0);
    if (code <= DATACODE_WD) {
        if (Property(dev, DEVPROP_ORDER16) == 1 && digits.GetLength() == 4) digits = digits.Mid(2, 2) + digits.Left(2);
    } else if (code <= DATACODE_DF) {
        int order = Property(dev, code == DATACODE_DF ? DEVPROP_ORDERFLOAT : DEVPROP_ORDER32) & 0xFF;
        CDevBas::mfReorderDigits(digits, 4, order);  // an unknown order leaves the bytes as they are
    } else {
        int order = Property(dev, code == DATACODE_LF ? DEVPROP_ORDERDOUBLE : DEVPROP_ORDER64) & 0xFF;
        CDevBas::mfReorderDigits(digits, 8, order);
    }
    return digits;
}

// Header of a write request: station, function, area code, start element.
CString WriteHeader(const DEV_DATA& dev, bool bitArea, int chlType, unsigned int address) {
    CString header;
    header.Format("%.2x%s%s%.6x", Property(dev, DEVPROP_STATION), bitArea ? "1f" : "21",
                  CHL_STR_READORDER[chlType].c_str(), address);
    return header;
}

// A string row: its text in the device's encoding and byte order, cut or
// filled with zero bytes to its even length.
int FormStringWrite(ZEVO_DATA& data, CStringArray& strings, CString& request, int row) {
    const DEV_DATA& dev = *data.pDevData;
    CDevRow& r = dev.pTable->Row(row);
    int chlType = static_cast<int>(r.GetdwValue(DEVROW_STR_CHLTYPE));
    unsigned int address = r.GetdwValue(DEVROW_STR_CHLADDRESS);
    unsigned int bit = r.GetdwValue(DEVROW_STR_CHLBIT);
    int length = CDevBas::mfStringWriteBytes(bit);
    if (length < 2) return 0;  // nothing that could be written
    CString text = row + 1 < strings.GetSize() ? strings[row + 1] : CString();
    CByteArray bytes;
    if (Property(dev, DEVPROP_STRENCODING) == 0)
        CDevServer::SvrStr2ASCII(text, bytes);
    else
        CDevServer::SvrStr2Unicode(text, bytes);
    CDevServer::SvrChangeStrIncode(bytes, Property(dev, DEVPROP_STRORDER));
    if (bytes.GetSize() > length) bytes.SetSize(length);
    CString hex;
    CDevServer::SvrHByte2HStr(bytes, hex);
    for (int i = bytes.GetSize(); i < length; ++i) hex += "00";
    CString header;
    header.Format("%.2x21%s%.6x%.4x%.2x", Property(dev, DEVPROP_STATION), CHL_STR_READORDER[chlType].c_str(), address,
                  length / 2, length);
    request = header + hex;
    return static_cast<int>(WRITE_REPLY_LENGTH);
}

unsigned int Swap16(unsigned int v) { return ((v & 0xFFu) << 8) | ((v >> 8) & 0xFFu); }

// Reads the registers a bit write will rewrite, as they are on the wire. The answer must be whole
// (CRC and every register present): a register image built from a broken
// answer would change bits that no row asked to change.
int ReadRegisters(ZEVO_DATA& data, int first, int count, std::vector<unsigned int>& registers) {
    DEV_DATA& dev = *data.pDevData;
    CString order;
    int expected = CDevBas::mfFormReadOrder(data, order, *dev.pTable, Property(dev, DEVPROP_STATION), count, first);
    int result = CDevBas::mfWriteAndRead(data, order, static_cast<unsigned int>(expected), DEV_RWTYPE_READ, 1);
    if (result < 0) return result;
    if (!CDevBas::mfAnswerCarriesRequest(order, expected) || !CDevBas::mfAddSum(data, 1, order)) return DEV_ERR_ANSWER;
    for (int i = 0; i < count; ++i) registers[i] = HexDigits::WordAt(order.c_str(), order.GetLength(), 6 + 4 * i);
    return 0;
}

// Rows first..last of one area as one request. Every row writes its own
// elements, found by its own address: bits of a bit area into a bit image,
// register rows into a register image, so rows that share or skip elements
// never move another row's value onto a neighbour.
int FormRangeWrite(ZEVO_DATA& data, CArray<double, double>& values, CStringArray& strings, CString& request, int first,
                   int last) {
    DEV_DATA& dev = *data.pDevData;
    CDevTable& table = *dev.pTable;
    if (first < 0 || last < first || last >= table.GetRowCount()) return 0;
    CDevRow& head = table.Row(first);
    int chlType = static_cast<int>(head.GetdwValue(DEVROW_STR_CHLTYPE));
    if (chlType < 0 || chlType >= CHL_TYPE_COUNT) return 0;
    if (head.GetdwValue(DEVROW_STR_CHLDATATYPE) == DATACODE_STR) return FormStringWrite(data, strings, request, first);
    unsigned int base = head.GetdwValue(DEVROW_STR_CHLADDRESS);
    if (base > 0xFFFFFFu) return 0;
    bool bitArea = chlType <= CHL_BITAREA_LAST;
    int span = CDevBas::mfFetchBlockLen(table, first, last);
    int limit = bitArea ? 8 * 255 : 127;  // the one-byte byte count bounds a request
    if (span < 1 || span > limit) return 0;

    CString data_;
    int count = 0;
    int bytes = 0;
    if (bitArea) {
        std::vector<unsigned char> image((span + 7) / 8, 0);
        for (int row = first; row <= last; ++row) {
            CDevRow& r = table.Row(row);
            int64_t offset = static_cast<int64_t>(r.GetdwValue(DEVROW_STR_CHLADDRESS)) - base;
            if (offset < 0 || offset >= span) continue;
            double v = ValueOf(values, row);
            if (CDevServer::Double2Int(v) != 0)
                image[static_cast<size_t>(offset / 8)] |= static_cast<unsigned char>(1u << (offset % 8));
        }
        count = span;
        bytes = static_cast<int>(image.size());
        if (span == 1) {
            data_ = image[0] ? "01" : "00";
        } else {
            CString byte;
            for (unsigned char b : image) {
                byte.Format("%.2X", b);
                data_ += byte;
            }
        }
    } else {
        std::vector<unsigned int> registers(span, 0);
        bool swap16 = Property(dev, DEVPROP_ORDER16) == 1;
        bool hasBits = false;
        for (int row = first; row <= last; ++row)
            if (table.Row(row).GetdwValue(DEVROW_STR_CHLDATATYPE) <= DATACODE_BIT_LAST) hasBits = true;
        if (hasBits) {
            int result = ReadRegisters(data, first, span, registers);
            if (result < 0) return result;
        }
        for (int row = first; row <= last; ++row) {
            CDevRow& r = table.Row(row);
            unsigned int code = r.GetdwValue(DEVROW_STR_CHLDATATYPE);
            int64_t offset = static_cast<int64_t>(r.GetdwValue(DEVROW_STR_CHLADDRESS)) - base;
            if (offset < 0 || offset >= span) continue;
            size_t at = static_cast<size_t>(offset);
            double v = ValueOf(values, row);
            if (code <= DATACODE_BIT_LAST) {
                // The register's value is its wire bytes in the 16-bit order.
                unsigned int logical = swap16 ? Swap16(registers[at]) : registers[at];
                unsigned int mask = 1u << code;
                if (CDevServer::Double2Int(v) != 0)
                    logical |= mask;
                else
                    logical &= ~mask;
                registers[at] = swap16 ? Swap16(logical) : logical;
                continue;
            }
            if (code < DATACODE_WUB || code == DATACODE_STR) continue;
            CString digits = NumericDigits(dev, v, code);
            for (int w = 0; 4 * w + 4 <= digits.GetLength() && offset + w < span; ++w)
                registers[at + static_cast<size_t>(w)] = HexDigits::WordAt(digits.c_str(), digits.GetLength(), 4 * w);
        }
        // The register image holds every register as it goes on the wire.
        CString word;
        for (int i = 0; i < span; ++i) {
            unsigned int value = registers[i] & 0xFFFFu;
            word.Format("%.4x", value);
            data_ += word;
        }
        count = span;
        bytes = 2 * span;
    }
    CString sizes;
    sizes.Format("%.4x%.2x", count, bytes);
    request += WriteHeader(dev, bitArea, chlType, base) + sizes + data_;
    return static_cast<int>(WRITE_REPLY_LENGTH);
}

}  // namespace

int CDevBas::mfFormWriteOrder(ZEVO_DATA& data, CArray<double, double>& values, CStringArray& strings, CString& request,
                              int index, int mode, int&) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr || dev->pTable == nullptr) return 0;
    int first = index;
    int last = index;
    if (mode == 1) {
        if (index < 0 || index >= dev->arBlock.GetSize()) return 0;
        first = dev->arBlock[index].nStartRow;
        last = dev->arBlock[index].nEndRow;
    }
    return FormRangeWrite(data, values, strings, request, first, last);
}

int CDevBas::mfWriteBlockToDev(ZEVO_DATA& data, CArray<int, int>&, CArray<double, double>& values,
                               CStringArray& strings, int index, int mode) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr || dev->pTable == nullptr) return DEV_ERR_WRITE;
    int first = index;
    int last = index;
    if (mode == 1) {
        if (index < 0 || index >= dev->arBlock.GetSize()) return DEV_ERR_WRITE;
        first = dev->arBlock[index].nStartRow;
        last = dev->arBlock[index].nEndRow;
    }
    // A block opened by a string row goes out as that row alone, then the rows
    // after it as a request of their own, so that none is left unwritten.
    int result = DEV_ERR_WRITE;
    while (first <= last) {
        int end = last;
        if (first >= 0 && first < dev->pTable->GetRowCount() &&
            dev->pTable->Row(first).GetdwValue(DEVROW_STR_CHLDATATYPE) == DATACODE_STR)
            end = first;
        CString request;
        int expected = FormRangeWrite(data, values, strings, request, first, end);
        if (expected <= 0) return DEV_ERR_WRITE;
        result = mfWriteAndRead(data, request, static_cast<unsigned int>(expected), DEV_RWTYPE_WRITE, WRITE_ATTEMPTS);
        if (result <= 0 || result != expected) return DEV_ERR_WRITE;
        first = end + 1;
    }
    return result;
}

int CDevBas::mfDevIOWriteChannel(ZEVO_DATA& data, int channel, DATATYPE type, void* value) {
    DEV_DATA* dev = data.pDevData;
    if (dev == nullptr || dev->pTable == nullptr || value == nullptr) return DEV_ERR_COMMAND;
    int rows = dev->pTable->GetRowCount();
    if (channel < 0 || channel >= rows || dev->pTable->Row(channel).GetdwValue(DEVROW_STR_CHLRWFLAG) == 0)
        return DEV_ERR_COMMAND;
    CArray<int, int> flags;
    CArray<double, double> values;
    CStringArray strings;
    flags.SetSize(rows + 1);
    values.SetSize(rows + 1);
    strings.SetSize(rows + 1);
    for (int i = 0; i <= rows; ++i) flags[i] = 1;
    switch (type) {
        case DATATYPE_INT:
            values[channel + 1] = *static_cast<const int*>(value);
            break;
        case DATATYPE_DOUBLE:
            values[channel + 1] = *static_cast<const double*>(value);
            break;
        case DATATYPE_STRING:
            strings[channel + 1] = static_cast<const char*>(value);
            break;
        default:
            break;
    }
    return mfWriteBlockToDev(data, flags, values, strings, channel, 0);
}
