// Text commands: KEYWORD(items) read or write PLC elements named in the
// command and exchange their values with host variables.
#include <cmath>
#include <cstdint>
#include <vector>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "cstrtonumeric.h"

namespace {

const int CMD_ATTEMPTS = 3;

bool IsWriteKind(int kind) { return (kind & 1) != 0; }

// Truncation toward zero into 64 bits, saturating, NaN as 0: defined on every
// target, unlike a plain cast of an out-of-range double.
int64_t TruncInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

uint64_t TruncUInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 18446744073709551615.0) return UINT64_MAX;
    if (v >= 9223372036854775808.0) return static_cast<uint64_t>(v);
    return static_cast<uint64_t>(TruncInt64(v));  // negative values wrap
}

// The low 32 bits of the truncated value.
uint32_t TruncUInt32(double v) { return static_cast<uint32_t>(static_cast<uint64_t>(TruncInt64(v))); }
int32_t TruncInt32(double v) { return static_cast<int32_t>(TruncUInt32(v)); }

bool Is64Bit(unsigned int code) { return code >= DATACODE_LUB && code <= DATACODE_LF; }

// A value as text by its data type. 32-bit kinds: "%f" for floats, "%u" for
// unsigned, "%ld" otherwise. The 64-bit codes keep their full width, so that
// integers beyond the 32-bit range are not cut.
CString FormatValue(double v, unsigned int code, bool wide) {
    CString text;
    if (code == DATACODE_DF || (wide && code == DATACODE_LF)) {
        text.Format("%f", v);
    } else if (code == DATACODE_DUB) {
        text.Format("%u", TruncUInt32(v));
    } else if (wide && (code == DATACODE_LUB || code == DATACODE_LD)) {
        text.Format("%llu", static_cast<unsigned long long>(TruncUInt64(v)));
    } else if (wide && code == DATACODE_LB) {
        text.Format("%lld", static_cast<long long>(TruncInt64(v)));
    } else {
        text.Format("%ld", static_cast<long>(TruncInt32(v)));
    }
    return text;
}

// A text as a value by its data type (the inverse of FormatValue).
double ParseValue(CString text, unsigned int code, bool wide) {
    if (code == DATACODE_DF || (wide && code == DATACODE_LF)) {
        double d = 0.0;
        cstringToNumeric(text, "%lf", &d);
        return d;
    }
    if (code == DATACODE_DUB) {
        uint32_t u = 0;
        cstringToNumeric(text, "%u", &u);
        return static_cast<double>(u);
    }
    if (wide && Is64Bit(code)) {
        text.TrimLeft();
        bool negative = !text.IsEmpty() && text[0] == '-';
        uint64_t magnitude = 0;
        cstringToNumeric(text, "%llu", &magnitude);  // the parser drops the sign
        double v = static_cast<double>(magnitude);
        return negative ? -v : v;
    }
    int32_t i = 0;
    cstringToNumeric(text, "%ld", &i);
    return static_cast<double>(i);
}

void StoreResult(ZEVO_DATA& data, const CString& resultName, double value) {
    if (resultName.IsEmpty()) return;
    CDevServer::SvrSetParaValue(data, resultName, value);
}

unsigned int RowCode(CDevTable& table, int row) { return table.Row(row).GetdwValue(DEVROW_STR_CHLDATATYPE); }

}  // namespace

bool CDevBas::mfSplitCommands(const CString& command, std::vector<DevCommandText>& commands) {
    // Collected in a loop, not by recursion, so a long text cannot exhaust
    // the stack, and by positions in the text, so a long chain costs time in
    // proportion to its length.
    commands.clear();
    const int length = command.GetLength();
    int from = 0;
    while (from < length) {
        int open = command.Find('(', from);
        int close = command.Find(')', from);
        if (open < 0 || close < 0 || close < open) break;
        DevCommandText c;
        c.keyword = command.Mid(from, open - from);
        c.keyword.Trim();
        c.keyword.MakeUpper();
        c.args = command.Mid(open + 1, close - open - 1);
        commands.push_back(c);
        from = close + 1;
    }
    return !commands.empty();
}

int CDevBas::mfCommandKind(const CString& keyword) {
    for (int kind = 0; kind < IOCTRL_KIND_COUNT; ++kind)
        if (keyword.CompareNoCase(IOCTRL_STR_PROPERTYNAME[kind]) == 0) return kind;
    return -1;
}

int CDevBas::mfDevIOCtrl(ZEVO_DATA& data, CString& command, CArray<double, double>&, CStringArray&) {
    // The commands of one text run from the last to the first; only the
    // first one's result counts. A keyword the driver does not know does
    // nothing and counts 0.
    std::vector<DevCommandText> commands;
    if (!mfSplitCommands(command, commands)) return DEV_ERR_COMMAND;
    int result = 0;
    for (size_t i = commands.size(); i-- > 0;) {
        int kind = mfCommandKind(commands[i].keyword);
        result = kind < 0 ? 0 : mfDevIOWriteAndRead(data, commands[i].args, kind);
    }
    return result;
}

void CDevBas::mfSplitItems(const CString& args, CStringArray& items) {
    // The items, cut out by position into an array sized once: a text of
    // many items is neither copied nor regrown once per item.
    int itemCount = 1;
    for (int at = args.Find(';'); at >= 0; at = args.Find(';', at + 1)) ++itemCount;
    items.SetSize(itemCount);
    for (int i = 0, from = 0; i < itemCount; ++i) {
        int at = i + 1 < itemCount ? args.Find(';', from) : args.GetLength();
        items[i] = args.Mid(from, at - from);
        from = at + 1;
    }
}

double CDevBas::mfCommandTextValue(const CString& text, unsigned int code, bool wide) {
    return ParseValue(text, code, wide);
}

int CDevBas::mfDevIOWriteAndRead(ZEVO_DATA& data, CString& args, int kind) {
    CStringArray items;
    mfSplitItems(args, items);
    args.Empty();

    ZEVO_DATA work;
    mfCreateMydata(data, work);
    CStringArray names;
    CArray<int, int> lineFlags;
    CString resultName;
    if (mfBuildDevTableFromCmd(work, items, names, lineFlags, resultName, kind) != 1) {
        mfDeleteMydata(work);
        StoreResult(data, resultName, 5.0);
        return DEV_ERR_COMMAND;
    }
    CDevTable& table = *work.pDevData->pTable;
    int rows = table.GetRowCount();
    CArray<int, int> flags;
    CArray<double, double> values;
    CStringArray strings;
    flags.SetSize(rows + 1);
    values.SetSize(rows + 1);
    strings.SetSize(rows + 1);
    for (int i = 0; i <= rows; ++i) flags[i] = 1;
    mfMakeBlockDynamic(work, flags, IsWriteKind(kind) ? PLAN_CMDWRITE : PLAN_CMDREAD, kind);

    auto name = [&](int i) { return i < names.GetSize() ? names[i] : CString(); };
    if (IsWriteKind(kind)) {
        for (int i = 0; i < rows; ++i) {
            unsigned int code = RowCode(table, i);
            bool text = code == DATACODE_STR;
            switch (kind) {
                case IOCTRL_WRITE:
                case IOCTRL_WRITEP:
                case IOCTRL_WRITEPV:
                    // A string row takes its text from the string variable (or the literal).
                    if (text)
                        CDevServer::SvrGetParaValue(data, name(i), strings[i + 1]);
                    else
                        CDevServer::SvrGetParaValue(data, name(i), values[i + 1]);
                    break;
                case IOCTRL_WRITE32:
                case IOCTRL_WRITE64: {
                    CString value;
                    CDevServer::SvrGetParaValue(data, name(i), value);
                    if (text)
                        strings[i + 1] = value;
                    else
                        values[i + 1] = ParseValue(value, code, kind == IOCTRL_WRITE64);
                    break;
                }
                default:  // WRITEBLOCK, WriteMutiReg: the names are the value texts
                    if (text)
                        strings[i + 1] = name(i);
                    else
                        cstringToNumeric(name(i), "%lf", &values[i + 1]);
                    break;
            }
        }
    }

    DEV_DATA& work_dev = *work.pDevData;
    int outcome = 0;
    for (int block = 0; block < work_dev.nRankCount; ++block) {
        int r = IsWriteKind(kind) ? mfWriteBlockToDev(work, flags, values, strings, block, 1)
                                  : mfReadBlockFromDev(work, flags, values, strings, block, CMD_ATTEMPTS);
        if (r < 0) {
            mfDeleteMydata(work);
            if (r == DEV_ERR_COLLECT) r = DEV_ERR_WRITE;
            StoreResult(data, resultName, -static_cast<double>(r));
            return r;
        }
        outcome = r;  // writes: the last block's reply decides
    }

    if (!IsWriteKind(kind)) {
        if (kind == IOCTRL_READBLOCK || kind == IOCTRL_READMUTIREG) {
            // All rows as one text: values separated by ",", lines by CR LF.
            CString joined;
            for (int i = 0; i < rows; ++i) {
                unsigned int code = RowCode(table, i);
                joined += code == DATACODE_STR ? strings[i + 1] : FormatValue(values[i + 1], code, true);
                bool lineEnd = kind == IOCTRL_READBLOCK && i < lineFlags.GetSize() && lineFlags[i] == 1;
                if (lineEnd)
                    joined += "\r\n";
                else if (i + 1 < rows)
                    joined += ",";
            }
            outcome = CDevServer::SvrSetParaValue(data, name(0), joined);
        } else {
            for (int i = 0; i < rows; ++i) {
                unsigned int code = RowCode(table, i);
                if (code == DATACODE_STR) {
                    outcome = CDevServer::SvrSetParaValue(data, name(i), strings[i + 1]);
                } else if (kind == IOCTRL_READ32 || kind == IOCTRL_READ64) {
                    CString text = FormatValue(values[i + 1], code, kind == IOCTRL_READ64);
                    outcome = CDevServer::SvrSetParaValue(data, name(i), text);
                } else {
                    outcome = CDevServer::SvrSetParaValue(data, name(i), values[i + 1]);
                }
            }
        }
    }
    mfDeleteMydata(work);
    if (outcome > 0) {
        StoreResult(data, resultName, 0.0);
        return 1;
    }
    StoreResult(data, resultName, 6.0);
    return DEV_ERR_NOTRANSFER;
}
