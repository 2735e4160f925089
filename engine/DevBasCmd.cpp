// Command-defined channel tables: the items of a text command become channel
// rows of a temporary record, with the names of the host variables (or the
// literal values) that supply or receive each row's value.
#include <climits>
#include <cstring>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "cstrtonumeric.h"

namespace {

// Rows one definition builds at most (its count is bounded to it).
const int DEF_ROW_LIMIT = 5000;
// Longest variable name from which running names are generated.
const int AUTONAME_LENGTH_LIMIT = 1024;
// Read/write flag of every row a command builds.
const int CMD_RWFLAG = 2;
// Channel types whose addresses are written in octal digits.
const int CHLTYPE_X = 1;
const int CHLTYPE_Y = 2;

bool SameBytes(const CString& a, const CString& b) {
    return a.GetLength() == b.GetLength() && std::memcmp(a.c_str(), b.c_str(), a.GetLength()) == 0;
}

// Consumes one token of the item up to the separator; false (item unchanged)
// when the item does not contain it.
bool NextToken(CString& item, const char* separator, CString& token) {
    CString sep(separator);
    return CDevServer::SvrGetCmdStr(item, sep, token, item) == 1;
}

// As NextToken, but without the separator the whole remaining item is the
// token and the item becomes empty.
void NextTokenOrRest(CString& item, const char* separator, CString& token) {
    if (NextToken(item, separator, token)) return;
    token = item;
    token.Trim();
    item.Empty();
}

CString TextValue(ZEVO_DATA& data, const CString& name) {
    CString value;
    CDevServer::SvrGetParaValue(data, name, value);
    return value;
}

// The numeric value of a token rounded to an integer (saturating; not a number gives 0).
int IntValue(ZEVO_DATA& data, const CString& name) {
    double value = 0.0;
    CDevServer::SvrGetParaValue(data, name, value);
    return CDevServer::Double2Int(value);
}

// An element address: false when the value is negative, not a number, or
// beyond the int range (saturating it would name a different element).
bool AddressValue(ZEVO_DATA& data, const CString& name, long long& out) {
    double value = 0.0;
    CDevServer::SvrGetParaValue(data, name, value);
    if (!(value > -0.5 && value < 2147483647.5)) return false;
    out = CDevServer::Double2Int(value);
    return true;
}

// Removes white space and leading CR LF pairs.
void StripLineEnds(CString& item) {
    item.Trim();
    while (item.GetLength() >= 2 && item[0] == '\r' && item[1] == '\n') {
        item.Delete(0, 2);
        item.Trim();
    }
}

// The variable token of "WRITEBLOCK" and "WriteMutiReg": its text value,
// followed by ",", is put in front of the rest of the item. False for an
// empty token or a "," after it.
bool SpliceValueText(ZEVO_DATA& data, CString& item) {
    CString token;
    if (NextToken(item, ",", token)) {
        if (item.Find(',') >= 0) return false;
    } else {
        token = item;
        token.Trim();
        item.Empty();
    }
    if (token.IsEmpty()) return false;
    // Trailing line ends of the text end its last line, as the "," does.
    CString values = TextValue(data, token);
    values.TrimRight();
    item = values + "," + item;
    return true;
}

// Rows the definition count gives (0 builds one, anything above the bound or
// negative builds the bound).
int RowsOfCount(int count) {
    unsigned int n = static_cast<unsigned int>(count);
    if (n == 0) return 1;
    if (n > static_cast<unsigned int>(DEF_ROW_LIMIT)) return DEF_ROW_LIMIT;
    return static_cast<int>(n);
}

// The bracketed type list of a block item: "[T1][T2]...", consumed from the
// item. False when there is no pair, or a "]" comes before its "[".
bool TakeBracketList(CString& item, CStringArray& typeNames) {
    int pos = 0;
    for (;;) {
        int open = item.Find('[', pos);
        int close = item.Find(']', pos);
        if (open < 0 || close < 0) break;
        if (close < open) return false;
        if (typeNames.GetSize() >= DEVTABLE_ROW_CEILING) return false;  // more types than rows a table may hold
        CString name = item.Mid(open + 1, close - open - 1);
        name.Trim();
        name.MakeUpper();
        typeNames.Add(name);
        pos = close + 1;
    }
    if (typeNames.GetSize() == 0) return false;
    item = item.Mid(pos);
    item.TrimLeft();
    if (!item.IsEmpty() && item[0] == ',') item.Delete(0, 1);
    return true;
}

}  // namespace

int CDevBas::mfBuildDevTableFromCmd(ZEVO_DATA& data, CStringArray& items, CStringArray& names,
                                    CArray<int, int>& lineFlags, CString& resultName, int kind) {
    if (data.pDevData == nullptr || data.pDevData->pTable == nullptr) return 0;
    CDevTable& table = *data.pDevData->pTable;
    CString item;
    for (int i = 0; i < items.GetSize(); ++i) {
        item = items[i];
        CArray<CDevRow, CDevRow&> rows;
        if (mfMakeDevRowsFromCmd(data, rows, item, names, lineFlags, kind) != 1) return 0;
        if (table.GetRowCount() + rows.GetSize() > DEVTABLE_ROW_CEILING) return 0;
        table.AddRows(rows, 0);
    }
    if (items.GetSize() > 0) resultName = item;
    return table.GetRowCount() >= 1 ? 1 : 0;
}

int CDevBas::mfMakeDevRowsFromCmd(ZEVO_DATA& data, CArray<CDevRow, CDevRow&>& rows, CString& item, CStringArray& names,
                                  CArray<int, int>& lineFlags, int kind) {
    if (kind < IOCTRL_READ || kind > IOCTRL_WRITEMUTIREG) return 0;
    CString token;

    // Area.
    if (!NextToken(item, ",", token)) return 0;
    CString area = TextValue(data, token);
    area.MakeUpper();
    int chlType = -1;
    for (int t = 0; t < CHL_TYPE_COUNT && chlType < 0; ++t)
        if (SameBytes(area, CHL_STR_NAME[t])) chlType = t;
    if (chlType < 0) return 0;
    if (mfGetRWFlag(kind) == 1 && CHLTYPE_DWORD_RWFLAG[chlType] == 0) return 0;

    // Address; X and Y addresses are written in octal digits.
    long long address = 0;
    if (!NextToken(item, ",", token) || !AddressValue(data, token, address)) return 0;
    if (chlType == CHLTYPE_X || chlType == CHLTYPE_Y) {
        CString digits;
        digits.Format("%lld", address);
        // 8 and 9 are no octal digits: such an address names no element.
        if (digits.FindOneOf("89") >= 0) return 0;
        int octal = 0;
        cstringToNumeric(digits, "%o", &octal);
        address = octal;
    }

    // Data types, count and repetitions.
    CStringArray typeNames;
    int count = 1;
    long long repetitions = 1;
    switch (kind) {
        case IOCTRL_READ:
        case IOCTRL_WRITE:
        case IOCTRL_READ32:
        case IOCTRL_WRITE32:
        case IOCTRL_READ64:
        case IOCTRL_WRITE64:
            if (!NextToken(item, "=", token)) return 0;
            typeNames.Add(token);
            break;
        case IOCTRL_READP:
        case IOCTRL_WRITEP:
        case IOCTRL_READPV:
        case IOCTRL_WRITEPV:
            if (!NextToken(item, ",", token)) return 0;
            typeNames.Add(token);
            if (!NextToken(item, ",", token)) return 0;
            count = IntValue(data, token);
            break;
        case IOCTRL_READBLOCK:
        case IOCTRL_WRITEBLOCK:
            if (!TakeBracketList(item, typeNames)) return 0;
            if (!NextToken(item, ",", token)) return 0;
            repetitions = IntValue(data, token);
            break;
        default:  // ReadMutiReg, WriteMutiReg
            if (!NextToken(item, ",", token)) return 0;
            count = IntValue(data, token);
            if (!NextToken(item, ",", token)) return 0;
            typeNames.Add(token);
            break;
    }

    CArray<int, int> typeIndex;
    for (int i = 0; i < typeNames.GetSize(); ++i) {
        CString typeName = TextValue(data, typeNames[i]);
        int index = mfGetDataTypeListNum(typeName, chlType);
        if (index < 0) return 0;
        typeIndex.Add(index);
    }
    int typeCount = typeIndex.GetSize();
    if (repetitions < 0) repetitions = 0;
    // A block item whose rows would pass the table's ceiling is refused
    // before anything is built.
    if (repetitions * typeCount > DEVTABLE_ROW_CEILING) return 0;
    int rowsPerDef = RowsOfCount(count);

    // Rows: the definitions of an item continue one after another.
    SChlInfo def;
    def.m_nChlType = chlType;
    def.m_nRWFlag = CMD_RWFLAG;
    def.m_strAddress.Format("%lld", address);
    for (long long r = 0; r < repetitions; ++r) {
        for (int i = 0; i < typeCount; ++i) {
            def.m_nDataType = typeIndex[i];
            def.m_nCount = count;
            if (mfMakeDevRowsFromSChlInfo(def, rows) != 1) return 0;
        }
    }

    // Names and line flags.
    switch (kind) {
        case IOCTRL_READP:
        case IOCTRL_WRITEP:
            for (int i = 0; i < rowsPerDef; ++i) {
                if (!NextToken(item, ",", token)) {
                    if (i < rowsPerDef - 1) return 0;  // the values ran out early
                    NextTokenOrRest(item, ",", token);
                }
                names.Add(token);
            }
            break;
        case IOCTRL_READPV:
        case IOCTRL_WRITEPV: {
            NextTokenOrRest(item, ",", token);
            CString format;
            int number = 0;
            if (token.GetLength() > AUTONAME_LENGTH_LIMIT) return 0;
            if (mfGetVarAutoName(token, format, number) != 1) return 0;
            if (static_cast<long long>(number) + rowsPerDef - 1 > INT_MAX) return 0;
            CString name;
            for (int i = 0; i < rowsPerDef; ++i) {
                name.Format(format, number + i);
                names.Add(name);
            }
            break;
        }
        case IOCTRL_READBLOCK:
            NextTokenOrRest(item, ",", token);
            names.Add(token);
            for (long long r = 0; r < repetitions; ++r) {
                for (int i = 0; i < typeCount - 1; ++i) lineFlags.Add(0);
                lineFlags.Add(r < repetitions - 1 ? 1 : 0);
            }
            break;
        case IOCTRL_WRITEBLOCK:
            if (!SpliceValueText(data, item)) return 0;
            StripLineEnds(item);
            for (long long r = 0; r < repetitions; ++r) {
                for (int i = 0; i < typeCount - 1; ++i) {
                    if (!NextToken(item, ",", token)) {
                        item.Empty();
                        return 0;
                    }
                    names.Add(token);
                }
                // The last value of a line ends at its CR LF, or else at the next ",".
                int lineEnd = item.Find("\r\n");
                if (lineEnd > 0) {
                    token = item.Left(lineEnd);
                    token.Trim();
                    item = item.Mid(lineEnd + 2);
                } else {
                    NextTokenOrRest(item, ",", token);
                }
                names.Add(token);
                StripLineEnds(item);
            }
            break;
        case IOCTRL_READMUTIREG:
            NextTokenOrRest(item, ",", token);
            names.Add(token);
            break;
        case IOCTRL_WRITEMUTIREG:
            if (!SpliceValueText(data, item)) return 0;
            for (int i = 0; i < rowsPerDef; ++i) {
                if (item.IsEmpty()) return 0;  // the values ran out early
                NextTokenOrRest(item, ",", token);
                names.Add(token);
            }
            break;
        default:  // READ ... WRITE64
            NextTokenOrRest(item, "=", token);
            names.Add(token);
            break;
    }
    return 1;
}
