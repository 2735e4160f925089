// Channel rows from channel definitions: data-type lookups, row names, the
// expansion of one definition into consecutive rows, and the split of a
// variable name into a stem and a running number.
#include <climits>
#include <cstring>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "cstrtonumeric.h"

namespace {

// Rows one definition builds at most; larger (and negative) counts build this many.
const unsigned int DEF_ROW_LIMIT = 5000;
// Bounds of a string row's length in bytes; a length outside them becomes the maximum.
const int STR_LENGTH_MIN = 1;
const int STR_LENGTH_MAX = 120;
// The code mfGetDataType gives for an index that names no data type.
const unsigned int DATACODE_NONE = 0xFFFFFFFFu;
// Data-type indexes of the word-area selection group.
const int DTINDEX_BIT_LAST = 15;
const int DTINDEX_STR = 27;
const int DTINDEX_LAST = SELECT2_GROUP_SIZE - 1;
// Width given for a string before the real length replaces it.
const unsigned int STR_WIDTH_PLACEHOLDER = 128;
// Difference between a numeric data-type index and its code (index 16 is code 83).
const int DTINDEX_TO_CODE = 67;

bool SameBytes(const CString& a, const CString& b) {
    return a.GetLength() == b.GetLength() && std::memcmp(a.c_str(), b.c_str(), a.GetLength()) == 0;
}

bool ValidChlType(int chlType) { return chlType >= 0 && chlType < CHL_TYPE_COUNT; }

// Position of label within the selection group of n labels that starts at start; -1 if absent.
int FindInGroup(const CString& label, int start, int n) {
    for (int j = 0; j < n && start + j < SELECT2_COUNT; ++j)
        if (SameBytes(SELECT2_STR_PROPERTYNAME[start + j], label)) return j;
    return -1;
}

}  // namespace

int CDevBas::mfGetDataTypeListNum(CString& typeName, int chlType) {
    if (!ValidChlType(chlType)) return -1;
    int n = SELECT2_DWORD_PROPERTYNUM[chlType];
    if (n == 0) return 0;
    int start = 0;
    for (int t = 0; t < chlType; ++t) start += SELECT2_DWORD_PROPERTYNUM[t];
    typeName.MakeUpper();
    if (typeName.GetLength() <= 1) return -1;
    for (int i = 0; i < DATATYPE_COUNT; ++i)
        if (SameBytes(typeName, DATATYPE_STR_NAME[i])) return FindInGroup(DATATYPE_STR_SELECT2NAME[i], start, n);
    for (int b = 0; b < DATATYPE_BIT_COUNT; ++b)
        if (SameBytes(typeName, DATATYPE_STR_BITNAME[b])) return FindInGroup(DATATYPE_STR_SELECT2BITNAME[b], start, n);
    return -1;
}

unsigned int CDevBas::mfGetDataType(int dataTypeIndex, int chlType, unsigned int& width) {
    if (!ValidChlType(chlType)) {
        width = 0;
        return DATACODE_NONE;
    }
    if (SELECT2_DWORD_PROPERTYNUM[chlType] == 0) {
        width = 1;
        return DATACODE_BITAREA;
    }
    if (dataTypeIndex < 0 || dataTypeIndex > DTINDEX_LAST) {
        width = 0;
        return DATACODE_NONE;
    }
    if (dataTypeIndex <= DTINDEX_BIT_LAST) {
        width = 16;
        return static_cast<unsigned int>(dataTypeIndex);
    }
    if (dataTypeIndex == DTINDEX_STR) {
        width = STR_WIDTH_PLACEHOLDER;
        return DATACODE_STR;
    }
    unsigned int code = static_cast<unsigned int>(dataTypeIndex + DTINDEX_TO_CODE);
    if (code > DATACODE_DF)
        width = 4;
    else if (code >= DATACODE_DUB)
        width = 2;
    else
        width = 1;
    return code;
}

int CDevBas::mfFormRowName(CDevRow& row) {
    unsigned int rw = row.GetdwValue(DEVROW_STR_CHLRWFLAG);
    unsigned int type = row.GetdwValue(DEVROW_STR_CHLTYPE);
    unsigned int code = row.GetdwValue(DEVROW_STR_CHLDATATYPE);
    unsigned int address = row.GetdwValue(DEVROW_STR_CHLADDRESS);
    unsigned int bit = row.GetdwValue(DEVROW_STR_CHLBIT);
    // Rows may come from anywhere; a flag, type or code outside the tables
    // contributes nothing to the name instead of reading past a table.
    CString name;
    if (rw < 3) name += CHLNAME_STR_RWFLAG[rw];
    bool knownType = type < static_cast<unsigned int>(CHL_TYPE_COUNT);
    if (knownType) name += CHL_STR_NAME[type];
    if (code == DATACODE_STR)
        name += "STR";
    else if (code >= DATACODE_WUB && code - DATACODE_WUB < static_cast<unsigned int>(DATATYPE_COUNT))
        name += DATATYPE_STR_NAME[code - DATACODE_WUB];
    CString part;
    if (knownType)
        part.Format(DEV_STR_ADDRESSFORMAT[type], static_cast<int>(address));
    else
        part.Format("%.4d", static_cast<int>(address));
    name += part;
    if (knownType && !DEV_STR_BITFORMAT[type].IsEmpty() && code <= DATACODE_BIT_LAST) {
        part.Format(DEV_STR_BITFORMAT[type], static_cast<int>(code));
        name += part;
    } else if (code == DATACODE_STR) {
        part.Format("_%u", bit);
        name += part;
    }
    name.MakeUpper();
    row.SetstrValue(DEVROW_STR_CHLNAME, name);
    return 1;
}

int CDevBas::mfMakeDevRowsFromSChlInfo(SChlInfo& def, CArray<CDevRow, CDevRow&>& rows) {
    CDevRow row;

    CString addressText = def.m_strAddress;
    int underscore = addressText.Find('_');
    if (underscore >= 0) {
        int bit = def.m_nBit;
        cstringToNumeric(addressText.Mid(underscore + 1), "%d", &bit);
        def.m_nBit = bit;
        addressText = addressText.Left(underscore);
    }
    int parsed = 0;
    cstringToNumeric(addressText, "%d", &parsed);
    // Addresses advance in 64 bits so that no run of rows overflows.
    long long address = parsed < 0 ? 0 : parsed;
    row.SetdwValue(DEVROW_STR_CHLADDRESS, static_cast<unsigned int>(address));

    unsigned int width = 0;
    unsigned int code = mfGetDataType(def.m_nDataType, def.m_nChlType, width);
    if (code == DATACODE_NONE) return 0;  // no such area or data type: nothing to build

    if (code <= DATACODE_BIT_LAST) row.SetdwValue(DEVROW_STR_CHLBIT, code);
    if (code == DATACODE_STR) {
        int length = def.m_nBit;
        if (length < 0) {
            length = 0;
            if (def.m_strArParam.GetSize() > 0) cstringToNumeric(def.m_strArParam[0], "%d", &length);
        }
        if (length < STR_LENGTH_MIN || length > STR_LENGTH_MAX) length = STR_LENGTH_MAX;
        def.m_nBit = length;
        row.SetdwValue(DEVROW_STR_CHLBIT, static_cast<unsigned int>(length));
        width = static_cast<unsigned int>(length);
    }
    row.SetdwValue(DEVROW_STR_CHLDATATYPE, code);
    row.SetdwValue(DEVROW_STR_CHLTYPE, static_cast<unsigned int>(def.m_nChlType));

    if (CHLTYPE_DWORD_RWFLAG[def.m_nChlType] == 0) def.m_nRWFlag = 0;
    row.SetdwValue(DEVROW_STR_CHLRWFLAG, static_cast<unsigned int>(def.m_nRWFlag));
    row.SetdwValue(DEVROW_STR_CHLREADMAX, 0);
    row.SetdwValue(DEVROW_STR_CHLREADFASTFLAG, 0);

    unsigned int count = static_cast<unsigned int>(def.m_nCount);
    if (count == 0)
        count = 1;
    else if (count > DEF_ROW_LIMIT)
        count = DEF_ROW_LIMIT;

    for (unsigned int i = 0; i < count; ++i) {
        mfFormRowName(row);
        int at = rows.GetSize();
        rows.SetSize(at + 1);
        rows[at] = row;
        if (code <= DATACODE_BIT_LAST) {
            // Bits of a word step through the word, then on to bit 0 of the next.
            if (code >= width - 1) {
                ++address;
                code = 0;
            } else {
                ++code;
            }
            row.SetdwValue(DEVROW_STR_CHLBIT, code);
            row.SetdwValue(DEVROW_STR_CHLDATATYPE, code);
        } else if (code == DATACODE_STR) {
            address += (width + 1) / 2;
        } else {
            address += width;
        }
        row.SetdwValue(DEVROW_STR_CHLADDRESS, static_cast<unsigned int>(address));
    }

    def.m_strAddress.Format("%lld", address);
    return 1;
}

int CDevBas::mfGetVarAutoName(CString& name, CString& format, int& number) {
    int length = name.GetLength();
    int stemLength = length;
    while (stemLength > 0 && name[stemLength - 1] >= '0' && name[stemLength - 1] <= '9') --stemLength;
    if (stemLength == 0) return 0;  // empty, or digits only
    int digits = length - stemLength;

    int value = 0;
    if (digits > 0) {
        double parsed = CDevServer::SvrStr2Double(name.Mid(stemLength), DATACODE_DECIMAL, 0, digits);
        // A running number beyond the int range cannot be counted on from.
        if (!(parsed >= 0.0 && parsed <= static_cast<double>(INT_MAX))) return 0;
        value = static_cast<int>(parsed);
    }

    // The stem goes into a printf format: its own '%' signs are doubled so
    // that the format prints the stem as it is and takes exactly one number.
    CString stem = name.Left(stemLength);
    stem.Replace("%", "%%");
    CString precision;
    precision.Format("%%.%dd", digits);
    format = stem + precision;
    number = value;
    return digits > 0 ? 1 : 0;
}

int CDevBas::mfGetRWFlag(int kind) {
    return (kind >= IOCTRL_WRITE && kind <= IOCTRL_WRITEMUTIREG && kind % 2 == 1) ? 1 : 0;
}
