// Host variables by name, through the record's parameter functions, and the
// splitting of command texts into tokens.
//
// A name that is no host variable stands for itself: read as a number it is
// parsed as a literal, read as text it is the text.
#include <cstring>

#include "DevServer.h"
#include "cstrtonumeric.h"

namespace {

// The type the host reports for a name; anything but 1, 2 or 3 means the name
// is no host variable. The answer starts out as -2, which is no value of
// DATATYPE: it is written and read through the object's bytes so that no
// out-of-range enumeration value is ever formed or loaded here.
static_assert(sizeof(DATATYPE) == sizeof(int), "DATATYPE is passed as an int");

int AskType(ZEVO_DATA& data, const CString& name) {
    DATATYPE type;
    const int preset = -2;
    std::memcpy(&type, &preset, sizeof type);
    data.pfnGetParamType(data, name, type);
    int answer;
    std::memcpy(&answer, &type, sizeof answer);
    return answer;
}

}  // namespace

int CDevServer::SvrGetParaValue(ZEVO_DATA& data, CString name, double& value) {
    value = 0.0;
    if (data.pfnGetParamType != nullptr) {
        switch (AskType(data, name)) {
            case DATATYPE_DOUBLE: {
                double number = 0.0;
                if (data.pfnGetParamValue != nullptr) data.pfnGetParamValue(data, name, DATATYPE_DOUBLE, &number);
                value = number;
                return 1;
            }
            case DATATYPE_INT: {
                int number = 0;
                if (data.pfnGetParamValue != nullptr) data.pfnGetParamValue(data, name, DATATYPE_INT, &number);
                value = number;
                return 1;
            }
            case DATATYPE_STRING:
                return 0;
            default:
                break;
        }
    }
    // No such variable: the name is a literal number.
    name.Trim();
    if (!name.IsEmpty()) cstringToNumeric(name, "%lf", &value);
    return 1;
}

int CDevServer::SvrGetParaValue(ZEVO_DATA& data, CString name, CString& value) {
    value = "";
    if (data.pfnGetParamType != nullptr) {
        switch (AskType(data, name)) {
            case DATATYPE_INT:
            case DATATYPE_DOUBLE:
                return 0;
            case DATATYPE_STRING:
                if (data.pfnGetParamValue != nullptr) data.pfnGetParamValue(data, name, DATATYPE_STRING, &value);
                return 1;
            default:
                break;
        }
    }
    value = name;
    return 1;
}

int CDevServer::SvrSetParaValue(ZEVO_DATA& data, CString name, double& value) {
    if (data.pfnGetParamType == nullptr) return 0;
    switch (AskType(data, name)) {
        case DATATYPE_INT: {
            // Half away from zero; beyond the int range the value saturates.
            int number = Double2Int(value);
            if (data.pfnSetParamValue != nullptr) data.pfnSetParamValue(data, name, DATATYPE_INT, &number);
            return 1;
        }
        case DATATYPE_DOUBLE: {
            double number = value;
            if (data.pfnSetParamValue != nullptr) data.pfnSetParamValue(data, name, DATATYPE_DOUBLE, &number);
            return 1;
        }
        default:
            return 0;
    }
}

int CDevServer::SvrSetParaValue(ZEVO_DATA& data, CString name, CString& value) {
    if (data.pfnGetParamType == nullptr) return 0;
    if (AskType(data, name) != DATATYPE_STRING) return 0;
    if (data.pfnSetParamValue != nullptr) data.pfnSetParamValue(data, name, DATATYPE_STRING, &value);
    return 1;
}

int CDevServer::SvrGetCmdStr(CString& text, CString& separator, CString& left, CString& rest) {
    // An empty separator is never found: taken as found at the start, it would
    // eat one character per call and a loop that consumes the text by it
    // would not end on an empty text.
    if (separator.IsEmpty()) return 0;
    int at = text.Find(separator);
    if (at < 0) return 0;
    // The parts are built before either output is written: the text, the
    // separator and the outputs may be the same strings.
    CString head = text.Left(at);
    CString tail = text.Mid(at + 1);
    head.Trim();
    tail.Trim();
    left = head;
    rest = tail;
    return 1;
}
