#include "toolkit/ValueRule.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "toolkit/Number.h"

namespace toolkit {

namespace {

constexpr double kExact = 9007199254740992.0;  // 2^53: no larger integer is exact in a double

struct Range {
    double low, high;
    const char* text;
};

// The range of an integer type, or nullptr for the float types.
const Range* RangeOf(uint32_t code) {
    static const Range wub{0, 65535, "0..65535"}, wb{-32768, 32767, "-32768..32767"}, wd{0, 9999, "0..9999"},
        dub{0, 4294967295.0, "0..4294967295"}, db{-2147483648.0, 2147483647.0, "-2147483648..2147483647"},
        dd{0, 99999999, "0..99999999"}, lub{0, kExact, "0..9007199254740992"},
        lb{-kExact, kExact, "-9007199254740992..9007199254740992"}, bit{0, 1, "0 or 1"};
    switch (code) {
        case DATACODE_WUB:
            return &wub;
        case DATACODE_WB:
            return &wb;
        case DATACODE_WD:
            return &wd;
        case DATACODE_DUB:
            return &dub;
        case DATACODE_DB:
            return &db;
        case DATACODE_DD:
            return &dd;
        case DATACODE_LUB:
        case DATACODE_LD:
            return &lub;
        case DATACODE_LB:
            return &lb;
        case DATACODE_DF:
        case DATACODE_LF:
            return nullptr;
        default:
            return &bit;
    }
}

bool AllDigits(const char* p, int base) {
    if (*p == '\0') return false;
    for (; *p != '\0'; ++p)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(*p))
                         : std::isdigit(static_cast<unsigned char>(*p))))
            return false;
    return true;
}

// Bytes of the text in the device's encoding, through the driver's own
// converter, strictly: -1 when the text is no UTF-8 or has a character the
// encoding lacks (the driver's write would drop it).
int EncodedBytes(const std::string& text, bool utf16) {
    std::vector<char> in(text.begin(), text.end()), out(4 * text.size() + 4);
    int room = static_cast<int>(out.size());
    if (CDevServer::ConvertCode("UTF-8", utf16 ? "UTF-16LE" : "GB18030", in.data(), static_cast<int>(in.size()),
                                out.data(), room) != 0)
        return -1;
    return static_cast<int>(out.size()) - room;
}

}  // namespace

Asked Asked::Number(double number) {
    Asked a;
    a.number = number;
    a.text = NumberText(number);
    return a;
}

Asked Asked::Whole(bool negative, uint64_t magnitude) {
    Asked a;
    a.number = static_cast<double>(magnitude) * (negative ? -1.0 : 1.0);
    a.exact = magnitude <= static_cast<uint64_t>(kExact);
    a.text = (negative && magnitude != 0 ? "-" : "") + std::to_string(magnitude);
    return a;
}

Asked Asked::Text(std::string text) {
    Asked a;
    a.isText = true;
    a.text = std::move(text);
    return a;
}

bool ParseNumber(const std::string& text, Asked& out) {
    const char* p = text.c_str();
    if (text.empty() || text.size() != std::char_traits<char>::length(p)) return false;
    bool negative = *p == '-';
    const char* digits = negative || *p == '+' ? p + 1 : p;
    bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (AllDigits(hex ? digits + 2 : digits, hex ? 16 : 10)) {
        errno = 0;
        uint64_t magnitude = std::strtoull(digits, nullptr, hex ? 16 : 10);
        if (errno == ERANGE) return false;
        out = Asked::Whole(negative, magnitude);
        out.text = text;
        return true;
    }
    if (hex || !(std::isdigit(static_cast<unsigned char>(*digits)) || *digits == '.')) return false;  // no inf, nan
    // from_chars reads subnormal numbers as they are (strtod calls them a range error).
    double v = 0.0;
    const char* end = p + text.size();
    auto r = std::from_chars(*p == '+' ? p + 1 : p, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    out = Asked::Number(v);
    out.text = text;
    return true;
}

ChannelKind KindOf(uint32_t chlType, uint32_t address, uint32_t code, uint32_t stringLength,
                   const std::vector<int32_t>& properties) {
    ChannelKind k;
    k.code = code;
    k.bit = ChlIsBitArea(static_cast<int>(chlType)) || code <= DATACODE_BIT_LAST || code == DATACODE_BITAREA;
    if (code == DATACODE_STR) k.stringBytes = static_cast<uint32_t>(CDevBas::mfStringWriteBytes(stringLength));
    k.utf16 = properties.size() > DEVPROP_STRENCODING && properties[DEVPROP_STRENCODING] != 0;
    devdesc::Row row;
    row.type = chlType;
    row.address = address;
    row.code = code;
    row.bit = stringLength;
    k.type = devdesc::ValueType(row);
    k.label = devdesc::AddressText(row) + ", " + devdesc::TypeName(row);
    return k;
}

ChannelKind KindOf(const devdesc::Row& row, const std::vector<int32_t>& properties) {
    ChannelKind k = KindOf(row.type, row.address, row.code, row.bit, properties);
    k.label = row.name + " (" + k.label + ")";
    return k;
}

bool Admit(const ChannelKind& ch, const Asked& asked, Value& value, std::string& why) {
    if (ch.code == DATACODE_STR && !ch.bit) {
        if (!asked.isText) {
            why = ch.label + " takes a string, not " + asked.text;
            return false;
        }
        int bytes = EncodedBytes(asked.text, ch.utf16);
        if (bytes < 0) {
            why = ch.label + " takes text that " + (ch.utf16 ? "UTF-16LE" : "GB18030") + " can carry, not \"" +
                  asked.text + "\"";
            return false;
        }
        if (bytes > static_cast<int>(ch.stringBytes)) {
            why = ch.label + " takes at most " + std::to_string(ch.stringBytes) + " bytes in " +
                  (ch.utf16 ? "UTF-16LE" : "GB18030") + ", not " + std::to_string(bytes) + " bytes";
            return false;
        }
        value = Value{DATATYPE_STRING, 0, 0.0, asked.text};
        return true;
    }
    Asked n = asked;
    if (asked.isText && !ParseNumber(asked.text, n)) {
        why = ch.label + " takes a number, not \"" + asked.text + "\"";
        return false;
    }
    const Range* range = ch.bit ? RangeOf(DATACODE_BITAREA) : RangeOf(ch.code);
    double x = n.number;
    bool ok = n.exact && std::isfinite(x);
    if (range != nullptr)
        ok = ok && x >= range->low && x <= range->high && std::floor(x) == x;
    else if (ch.code == DATACODE_DF)
        ok = ok && std::fabs(x) <= FLT_MAX;
    if (!ok) {
        why = ch.label + " holds " +
              (range != nullptr         ? std::string("whole numbers ") + range->text
               : ch.code == DATACODE_DF ? "finite numbers within the float range"
                                        : "finite numbers") +
              ", not " + n.text;
        return false;
    }
    if (ch.type == DATATYPE_DOUBLE)
        value = Value{DATATYPE_DOUBLE, 0, x, ""};
    else
        value = Value{DATATYPE_INT, static_cast<int>(x), 0.0, ""};
    return true;
}

}  // namespace toolkit
