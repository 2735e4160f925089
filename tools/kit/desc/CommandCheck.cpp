#include "toolkit/CommandCheck.h"

#include <cmath>

#include "DevBas.h"
#include "DevServer.h"
#include "cstrtonumeric.h"
#include "qdevctrl.h"
#include "toolkit/Number.h"
#include "toolkit/ValueRule.h"

namespace toolkit {

namespace {

bool IsWriteKind(int kind) { return (kind & 1) != 0; }

// A temporary device record whose host variables are the command's only.
class Record {
public:
    Record(const Variables& variables, const std::vector<int32_t>& properties) {
        for (const auto& [name, value] : variables) m_rtdb.DeclareVariable(name, value);
        m_data.pDevData = new DEV_DATA;
        m_data.pDevData->pTable = new CDevTable;
        m_data.pDevData->arProperty.SetSize(DEV_PROPERTY_COUNT);
        for (size_t i = 0; i < properties.size() && i < static_cast<size_t>(DEV_PROPERTY_COUNT); ++i)
            m_data.pDevData->arProperty[static_cast<int>(i)] = properties[i];
        m_data.pRtdb = &m_rtdb;
        m_data.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
        m_data.pfnGetParamValue = &CDevCtrl::GetParamValue_Fun;
    }
    ~Record() { CDevBas::mfDeleteMydata(m_data); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    ZEVO_DATA& Data() { return m_data; }
    const Value* Variable(const std::string& name) const {
        auto it = m_rtdb.Variables().find(name);
        return it == m_rtdb.Variables().end() ? nullptr : &it->second;
    }

private:
    Database m_rtdb;
    ZEVO_DATA m_data;
};

// A literal the driver reads as a number: the number it reads must be the
// one written.
bool LiteralNumber(const CString& name, Asked& out) {
    CString trimmed = name;
    trimmed.Trim();
    double read = 0.0;
    if (!ParseNumber(trimmed.c_str(), out) || trimmed.Find('x') >= 0 || trimmed.Find('X') >= 0) return false;
    cstringToNumeric(trimmed, "%lf", &read);
    return out.exact && read == out.number;
}

// The value of one row of a write command as the driver will take it, or
// why it cannot be taken as asked.
bool RowValue(Record& record, int kind, const CString& name, bool stringRow, unsigned int code, Asked& asked,
              std::string& why) {
    std::string n = name.c_str();
    const Value* v = record.Variable(n);
    switch (kind) {
        case IOCTRL_WRITEBLOCK:
        case IOCTRL_WRITEMUTIREG:  // the names are the value texts
            if (stringRow) {
                asked = Asked::Text(n);
                return true;
            }
            if (LiteralNumber(name, asked)) return true;
            why = "\"" + n + "\" is no number";
            return false;
        case IOCTRL_WRITE32:
        case IOCTRL_WRITE64: {
            if (v != nullptr && v->type != DATATYPE_STRING) {
                why = n + " is a number variable, but this command reads its values as text";
                return false;
            }
            std::string text = v != nullptr ? v->s : n;
            if (stringRow) {
                asked = Asked::Text(text);
                if (v == nullptr) why = n + " is no variable of the command; a string row takes a string variable";
                return v != nullptr;
            }
            double read = CDevBas::mfCommandTextValue(text.c_str(), code, kind == IOCTRL_WRITE64);
            if (!ParseNumber(text, asked) || text.find_first_of("xX") != std::string::npos) {
                why = (v != nullptr ? n + " holds \"" + text + "\", which is" : "\"" + n + "\" is") +
                      " neither a variable of the command nor a number";
                return false;
            }
            if (asked.exact && read != asked.number && std::isfinite(read)) {
                why = text + " would be written as " + NumberText(read) + " by this command";
                return false;
            }
            return true;
        }
        default:  // WRITE, WRITEP, WRITEPV: a variable or a literal
            if (v == nullptr) {
                if (!stringRow && LiteralNumber(name, asked)) return true;
                why = n + " is neither a variable of the command nor a number";
                return false;
            }
            if (stringRow != (v->type == DATATYPE_STRING)) {
                why = n + (stringRow ? " is a number variable; a string row takes a string variable"
                                     : " is a string variable; this row takes a number");
                return false;
            }
            asked =
                v->type == DATATYPE_STRING ? Asked::Text(v->s) : Asked::Number(v->type == DATATYPE_INT ? v->i : v->d);
            return true;
    }
}

}  // namespace

std::string CommandKeywords() {
    std::string out;
    for (int kind = 0; kind < IOCTRL_KIND_COUNT; ++kind)
        out += (kind == 0 ? "" : ", ") + std::string(IOCTRL_STR_PROPERTYNAME[kind].c_str());
    return out;
}

bool CheckCommand(const std::string& text, const Variables& variables, const std::vector<int32_t>& properties,
                  std::string& why) {
    static const bool ready = (CDevBas::mfInitBlockAndRow(), true);
    (void)ready;
    std::vector<DevCommandText> commands;
    if (!CDevBas::mfSplitCommands(text.c_str(), commands)) {
        why = "no command: a command is KEYWORD(items)";
        return false;
    }
    for (const DevCommandText& c : commands) {
        int kind = CDevBas::mfCommandKind(c.keyword);
        if (kind < 0) {
            why =
                "unknown command keyword \"" + std::string(c.keyword.c_str()) + "\" (one of " + CommandKeywords() + ")";
            return false;
        }
        if (!IsWriteKind(kind)) continue;
        Record record(variables, properties);
        CStringArray items, names;
        CArray<int, int> lineFlags;
        CString resultName;
        CDevBas::mfSplitItems(c.args, items);
        if (CDevBas::mfBuildDevTableFromCmd(record.Data(), items, names, lineFlags, resultName, kind) != 1) continue;
        CDevTable& table = *record.Data().pDevData->pTable;
        for (int i = 0; i < table.GetRowCount(); ++i) {
            CDevRow& row = table.Row(i);
            unsigned int code = row.GetdwValue(DEVROW_STR_CHLDATATYPE);
            ChannelKind kindOf = KindOf(row.GetdwValue(DEVROW_STR_CHLTYPE), row.GetdwValue(DEVROW_STR_CHLADDRESS), code,
                                        row.GetdwValue(DEVROW_STR_CHLBIT), properties);
            CString name = i < names.GetSize() ? names[i] : CString();
            Asked asked;
            Value value;
            std::string fault;
            if (!RowValue(record, kind, name, code == DATACODE_STR, code, asked, fault) ||
                !Admit(kindOf, asked, value, fault)) {
                why = c.keyword.c_str() + std::string("(") + c.args.c_str() + "): " + fault;
                return false;
            }
        }
    }
    return true;
}

}  // namespace toolkit
