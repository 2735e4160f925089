#include <charconv>
#include <cmath>

#include "toolkit/Database.h"
#include "toolkit/Number.h"

namespace toolkit {

std::string NumberText(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string Value::Text() const {
    switch (type) {
        case DATATYPE_INT:
            return std::to_string(i);
        case DATATYPE_DOUBLE:
            return NumberText(d);
        case DATATYPE_STRING:
            return s;
        default:
            return "";
    }
}

}  // namespace toolkit
