// Conversions between hexadecimal frame text, bytes, numeric values of every
// data-type code, and the PLC's string encodings.
//
// Every conversion here is defined for every input on every target: doubles
// reach integers only through explicit rounding, range checks and modular
// wrapping, never through a direct cast of an out-of-range value; float and
// double bit patterns go through memcpy into fixed-width integers.
//
// SvrStr2Double and SvrDouble2Str run for every channel of every collection
// step, so they work on small local buffers and build at most the one CString
// they return.
#include <errno.h>
#include <iconv.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "DevServer.h"
#include "DevVocabulary.h"
#include "HexDigits.h"
#include "cstrtonumeric.h"

namespace {

const int kConvertFailed = INT_MIN;  // 0x80000000
const double kTwo64 = 18446744073709551616.0;

// ---------------------------------------------------------------- parsing
// These reproduce cstringToNumeric on a NUL-terminated buffer without building
// CStrings: one leading '-' is dropped and remembered, the rest goes to the
// system parser unchanged.

const char* DropMinus(const char* text, bool& negative) {
    negative = text[0] == '-';
    return negative ? text + 1 : text;
}

// The value of a text made only of digits of the base (2 to 16) with at most
// maxDigits of them, so that it cannot overflow 64 bits; false for any other
// text (empty, signs, blanks, prefixes, other characters), which then goes to
// the system parser. Both give the same value for such a text: this is only
// the short way for the texts the decoder sees on every collection step.
bool PlainDigits(const char* text, int base, int maxDigits, uint64_t& value) {
    uint64_t v = 0;
    int i = 0;
    for (; text[i] != '\0'; ++i) {
        if (i >= maxDigits) return false;
        int d = HexDigits::Value(text[i]);
        if (d < 0 || d >= base) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (i == 0) return false;
    value = v;
    return true;
}

// strtoull of the text, through the short way when the text allows it.
uint64_t ParseUnsigned(const char* text, int base) {
    uint64_t value;
    if (PlainDigits(text, base, base == 16 ? 16 : 19, value)) return value;
    return std::strtoull(text, nullptr, base);
}

// "%x", "%X": the magnitude's low 32 bits (the sign is dropped).
uint32_t ParseHex32(const char* text) {
    bool negative;
    return static_cast<uint32_t>(ParseUnsigned(DropMinus(text, negative), 16));
}

// "%d": the low 32 bits, negated for a leading '-'.
int64_t ParseDec32(const char* text) {
    bool negative;
    uint32_t bits = static_cast<uint32_t>(ParseUnsigned(DropMinus(text, negative), 10));
    if (negative) bits = 0u - bits;
    return bits >= 0x80000000u ? static_cast<int64_t>(bits) - 0x100000000LL : static_cast<int64_t>(bits);
}

// "%llx" and "%llu": 64 bits, the sign dropped.
uint64_t Parse64(const char* text, int base) {
    bool negative;
    return ParseUnsigned(DropMinus(text, negative), base);
}

// "%lf": negated for a leading '-'.
double ParseDouble(const char* text) {
    bool negative;
    double value = std::strtod(DropMinus(text, negative), nullptr);
    return negative ? -value : value;
}

// One pair of hex digits as "%x" gives it, reduced to a byte.
unsigned char ParsePair(const char* pair) {
    int high = HexDigits::Value(pair[0]);
    int low = HexDigits::Value(pair[1]);
    if (high >= 0 && low >= 0) return static_cast<unsigned char>(high * 16 + low);
    char buffer[3] = {pair[0], pair[1], 0};
    return static_cast<unsigned char>(ParseHex32(buffer) & 0xFFu);
}

// ---------------------------------------------------------------- rounding

// Half away from zero. std::round is exact, unlike adding 0.5 in double
// arithmetic, which turns odd integers between 2^52 and 2^53 into the next even
// one.
double RoundHalfAway(double value) { return std::round(value); }

// An integral double, reduced modulo 2^64 to its two's complement bits, so that
// a negative or over-long value keeps its low digits. NaN and infinities give 0.
uint64_t WrapToBits64(double integral) {
    if (!std::isfinite(integral)) return 0;
    double m = std::fmod(integral, kTwo64);  // exact; |m| < 2^64
    if (m < 0) return 0u - static_cast<uint64_t>(-m);
    return static_cast<uint64_t>(m);
}

// The low w decimal digits of the magnitude of an integral double, as a number
// below 10^w (w is 8 or 16, so the result fits 64 bits and fmod stays exact).
uint64_t LowDecimalDigits(double integral, double tenPowerW) {
    if (!std::isfinite(integral)) return 0;
    return static_cast<uint64_t>(std::fmod(std::fabs(integral), tenPowerW));
}

// A double narrowed to float as IEEE round-to-nearest does it, without an
// out-of-range conversion: beyond the largest float plus half its step the
// result is infinite.
float NarrowToFloat(double value) {
    const double overflow = static_cast<double>(FLT_MAX) + 0x1p103;
    if (std::isnan(value)) return NAN;
    if (value >= overflow) return INFINITY;
    if (value <= -overflow) return -INFINITY;
    if (value > FLT_MAX) return FLT_MAX;
    if (value < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(value);
}

// ---------------------------------------------------------------- buffers

// A character buffer on the stack for the usual small fields, on the heap only
// for long decimal texts.
class FieldBuffer {
public:
    explicit FieldBuffer(int size) {
        if (static_cast<size_t>(size) + 1 > sizeof m_small) {
            m_big.reset(new char[static_cast<size_t>(size) + 1]);
            m_data = m_big.get();
        } else {
            m_data = m_small;
        }
    }
    char* data() { return m_data; }

private:
    char m_small[72];
    std::unique_ptr<char[]> m_big;
    char* m_data;
};

// Rebuilds the n characters of src from groups of `group` characters taken
// from its end towards its start: the group at n - group first, then the one at
// n - 2 * group, and so on. With group 2 this reverses the byte order, with 4
// the order of the 16-bit words. A group that does not divide n (or is larger
// than n) has no whole-group order to reverse, and the text is left as it is;
// so regrouping always uses every character once and, applied twice with the
// same group, gives back the original text (writing and reading agree).
// dst receives n characters and a terminator; it must not overlap src.
void Regroup(const char* src, int n, int group, char* dst) {
    if (group <= 0 || n % group != 0) {
        std::memcpy(dst, src, static_cast<size_t>(n));
    } else {
        for (int start = n - group, out = 0; start >= 0; start -= group, out += group)
            std::memcpy(dst + out, src + start, static_cast<size_t>(group));
    }
    dst[n] = '\0';
}

// Field width of a code when reading, in hex digits; 0 for an unknown code.
long long ReadWidth(int code, int length) {
    if (code >= 0 && code <= static_cast<int>(DATACODE_BIT_LAST)) return 2LL * length;
    if (code >= 80 && code <= 88) return 2LL << ((code - 80) / 3);
    if (code == static_cast<int>(DATACODE_DF)) return 8;
    if (code >= static_cast<int>(DATACODE_LUB) && code <= static_cast<int>(DATACODE_LF)) return 16;
    if (code == static_cast<int>(DATACODE_DECIMAL)) return length;
    return 0;
}

// True when every byte is below 0x80 (plain ASCII).
bool AllBelow0x80(const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i)
        if (bytes[i] >= 0x80) return false;
    return true;
}

// True when every UTF-16LE code unit (count bytes, even) is below 0x80.
bool AsciiUnits(const unsigned char* bytes, int count) {
    for (int i = 0; i + 1 < count; i += 2)
        if (bytes[i] >= 0x80 || bytes[i + 1] != 0) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- text and bytes

int CDevServer::SvrStr2Byte(CString& text, CByteArray& bytes) {
    int n = text.GetLength();
    bytes.SetSize(n);
    if (n > 0) std::memcpy(bytes.GetData(), text.c_str(), static_cast<size_t>(n));
    return n;
}

int CDevServer::SvrByte2Str(CByteArray& bytes, CString& text) {
    bytes.Add(0);
    text = reinterpret_cast<const char*>(bytes.GetData());
    return bytes.GetSize();
}

int CDevServer::SvrHStr2HByte(CString& hex, CByteArray& bytes) {
    int n = hex.GetLength();
    if (n == 0 || n % 2 != 0) return 0;
    const char* digits = hex.c_str();
    bytes.SetSize(n / 2);
    unsigned char* out = bytes.GetData();
    for (int i = 0; i < n / 2; ++i) out[i] = ParsePair(digits + 2 * i);
    return 1;
}

int CDevServer::SvrHByte2HStr(CByteArray& bytes, CString& hex) {
    int n = bytes.GetSize();
    if (n == 0) {
        hex.Empty();
        return 1;
    }
    CString result;
    char* out = result.GetBufferSetLength(2 * n);
    const unsigned char* in = bytes.GetData();
    for (int i = 0; i < n; ++i) {
        out[2 * i] = HexDigits::UpperDigit(in[i] >> 4u);
        out[2 * i + 1] = HexDigits::UpperDigit(in[i]);
    }
    result.ReleaseBuffer(2 * n);
    hex = result;
    return 1;
}

int CDevServer::SvrChangeStrIncode(CByteArray& bytes, int order) {
    if (order != 0) return 1;
    if (bytes.GetSize() % 2 != 0) bytes.Add(0);
    unsigned char* data = bytes.GetData();
    for (int i = 0; i + 1 < bytes.GetSize(); i += 2) {
        unsigned char first = data[i];
        data[i] = data[i + 1];
        data[i + 1] = first;
    }
    return 1;
}

// ---------------------------------------------------------------- values

double CDevServer::SvrStr2Double(CString text, int code, int group, int length) {
    return SvrStr2Double(text.c_str(), text.GetLength(), code, group, length);
}

double CDevServer::SvrStr2Double(const char* text, int textLength, int code, int group, int length) {
    long long width = ReadWidth(code, length);
    if (width <= 0 || textLength < width) return 0;
    int w = static_cast<int>(width);

    FieldBuffer buffer(w);
    char* field = buffer.data();
    Regroup(text, w, group, field);

    if (code >= 0 && code <= static_cast<int>(DATACODE_BIT_LAST)) return (ParseHex32(field) >> code) & 1u;

    switch (code) {
        case 80:
            return ParseHex32(field) & 0xFFu;
        case 81: {
            int value = static_cast<int>(ParseHex32(field) & 0xFFu);
            return value >= 0x80 ? value - 0x100 : value;
        }
        case DATACODE_WUB:
            return ParseHex32(field) & 0xFFFFu;
        case DATACODE_WB: {
            int value = static_cast<int>(ParseHex32(field) & 0xFFFFu);
            return value >= 0x8000 ? value - 0x10000 : value;
        }
        case DATACODE_DUB:
            return ParseHex32(field);
        case DATACODE_DB: {
            uint32_t bits = ParseHex32(field);
            return bits >= 0x80000000u ? static_cast<double>(bits) - 4294967296.0 : bits;
        }
        case 82:
        case DATACODE_WD:
        case DATACODE_DD:
            return static_cast<double>(ParseDec32(field));
        case DATACODE_DF: {
            uint32_t bits = 0;
            for (int i = 0; i < 4; ++i) bits = (bits << 8) | ParsePair(field + 2 * i);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        case DATACODE_LUB:
            return static_cast<double>(Parse64(field, 16));
        case DATACODE_LB: {
            uint64_t bits = Parse64(field, 16);
            int64_t value;
            std::memcpy(&value, &bits, sizeof value);
            return static_cast<double>(value);
        }
        case DATACODE_LD:
            return static_cast<double>(Parse64(field, 10));
        case DATACODE_LF: {
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits = (bits << 8) | ParsePair(field + 2 * i);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        case DATACODE_DECIMAL:
            return ParseDouble(field);
        default:
            return 0;
    }
}

CString CDevServer::SvrDouble2Str(double value, int code, int group, int length) {
    int w;
    if (code >= 80 && code <= 88)
        w = 2 << ((code - 80) / 3);
    else if (code == static_cast<int>(DATACODE_DF))
        w = 8;
    else if (code >= static_cast<int>(DATACODE_LUB) && code <= static_cast<int>(DATACODE_LF))
        w = 16;
    else
        w = length;

    if (code == static_cast<int>(DATACODE_DECIMAL)) {
        // Width and decimals are kept within sane bounds; a negative width or
        // precision would otherwise change the meaning of the format. A length
        // below 1 means no minimum width and cuts nothing.
        int width = length < 0 ? 0 : (length > 512 ? 512 : length);
        int decimals = group < 0 ? 0 : (group > 64 ? 64 : group);
        CString text;
        text.Format("%*.*f", width, decimals, value);
        if (length >= 1 && text.GetLength() > length) text = text.Right(length);
        return text;
    }

    // Every other code prints at most 16 characters.
    char digits[32];
    double rounded = RoundHalfAway(value);
    uint64_t bits = WrapToBits64(rounded);
    switch (code) {
        case 80:
        case 81:
            std::snprintf(digits, sizeof digits, "%.2x", static_cast<unsigned>(bits & 0xFFu));
            break;
        case 82:
            std::snprintf(digits, sizeof digits, "%.2u", static_cast<unsigned>(bits & 0xFFu));
            break;
        case DATACODE_WUB:
        case DATACODE_WB:
            std::snprintf(digits, sizeof digits, "%.4x", static_cast<unsigned>(bits & 0xFFFFu));
            break;
        case DATACODE_WD:
            std::snprintf(digits, sizeof digits, "%.4u", static_cast<unsigned>(bits & 0xFFFFu));
            break;
        case DATACODE_DUB:
        case DATACODE_DB:
            std::snprintf(digits, sizeof digits, "%.8x", static_cast<unsigned>(bits & 0xFFFFFFFFu));
            break;
        case DATACODE_DD:
            // The low eight decimal digits of the magnitude: what printing the
            // number and keeping the last eight characters gives, sign dropped.
            std::snprintf(digits, sizeof digits, "%08llu",
                          static_cast<unsigned long long>(LowDecimalDigits(rounded, 1e8)));
            break;
        case DATACODE_DF: {
            float single = NarrowToFloat(value);
            uint32_t raw;
            std::memcpy(&raw, &single, sizeof raw);
            std::snprintf(digits, sizeof digits, "%.8x", static_cast<unsigned>(raw));
            break;
        }
        case DATACODE_LUB:
            // A negative value gives the two's complement of its rounded value,
            // the same digits as the signed code; values of 2^64 and above wrap.
        case DATACODE_LB:
            std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(bits));
            break;
        case DATACODE_LD:
            // As for the 32-bit BCD code: the low sixteen decimal digits of the
            // magnitude, so a negative value never puts a '-' into the frame.
            std::snprintf(digits, sizeof digits, "%016llu",
                          static_cast<unsigned long long>(LowDecimalDigits(rounded, 1e16)));
            break;
        case DATACODE_LF: {
            uint64_t raw;
            std::memcpy(&raw, &value, sizeof raw);
            std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(raw));
            break;
        }
        default:
            return CString();
    }

    int n = static_cast<int>(std::strlen(digits));
    const char* kept = digits;
    if (w >= 0 && n > w) {
        kept += n - w;
        n = w;
    }
    if (group < 1) return CString(kept, n);
    char regrouped[32];
    Regroup(kept, n, group, regrouped);
    return CString(regrouped, n);
}

int CDevServer::Double2Int(double& value) {
    // Half away from zero; values beyond the int range saturate, NaN gives 0.
    double rounded = RoundHalfAway(value);
    if (std::isnan(rounded)) return 0;
    if (rounded >= 2147483647.0) return INT_MAX;
    if (rounded <= -2147483648.0) return INT_MIN;
    return static_cast<int>(rounded);
}

// ---------------------------------------------------------------- character sets

int CDevServer::ConvertCode(const char* from, const char* to, char* in, int inLength, char* out, int& outRoom) {
    if (from == nullptr || to == nullptr) return kConvertFailed;
    // The output is zeroed first, also when no converter can be opened, so
    // that a caller reading it as a NUL-terminated text never reads garbage.
    size_t outLeft = (out != nullptr && outRoom > 0) ? static_cast<size_t>(outRoom) : 0;
    if (outLeft > 0) std::memset(out, 0, outLeft);
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return kConvertFailed;
    size_t inLeft = (in != nullptr && inLength > 0) ? static_cast<size_t>(inLength) : 0;
    char* inPtr = in;
    char* outPtr = out;
    // "//IGNORE" asks to skip what cannot be converted. glibc then reports
    // EILSEQ after skipping; an incomplete sequence at the end is skipped here
    // as well, byte by byte, so that the conversion always ends.
    bool ignore = std::strstr(to, "//IGNORE") != nullptr;

    int result = 0;
    while (inLeft > 0) {
        char* before = inPtr;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG || !ignore) {
            result = kConvertFailed;
            break;
        }
        if (inLeft > 0 && inPtr == before) {
            ++inPtr;
            --inLeft;
        }
    }
    if (result == 0 && outPtr != nullptr && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1))
        result = kConvertFailed;
    if (out != nullptr && outRoom > 0) outRoom = static_cast<int>(outLeft);
    iconv_close(cd);
    return result;
}

int CDevServer::SvrStr2ASCII(CString& text, CByteArray& bytes) {
    // A character can take up to twice its UTF-8 bytes in GB18030 (two UTF-8
    // bytes become four for some Latin letters), so the room is twice the
    // length, kept even; the array is cut to what was produced.
    int n = text.GetLength();
    int room = 2 * n + 2;
    bytes.SetSize(room);
    int left = room;
    if (ConvertCode("UTF-8", "GB18030//IGNORE", const_cast<char*>(text.c_str()), n,
                    reinterpret_cast<char*>(bytes.GetData()), left) != 0)
        return 0;
    bytes.SetSize(room - left);
    return bytes.GetSize();
}

int CDevServer::SvrASCII2Str(CByteArray& bytes, CString& text) {
    bytes.Add(0);
    int count = bytes.GetSize();
    // Plain ASCII is the same text in GB18030 and in UTF-8: no converter needed.
    if (AllBelow0x80(bytes.GetData(), count)) {
        const char* in = reinterpret_cast<const char*>(bytes.GetData());
        text = CString(in, static_cast<int>(strnlen(in, static_cast<size_t>(count))));
        return count;
    }
    // GB18030 grows by at most half in UTF-8 (two bytes become three).
    CString result;
    int room = 2 * count;
    char* buffer = result.GetBuffer(room);
    int left = room;
    int rc = ConvertCode("GB18030", "UTF-8//IGNORE", reinterpret_cast<char*>(bytes.GetData()), count, buffer, left);
    result.ReleaseBuffer(static_cast<int>(strnlen(buffer, static_cast<size_t>(room))));
    text = result;
    return rc == 0 ? count : 0;
}

int CDevServer::SvrStr2Unicode(CString& text, CByteArray& bytes) {
    int n = text.GetLength();
    int room = 4 * (n + 1);
    bytes.SetSize(room);
    int left = room;
    if (ConvertCode("UTF-8", "UTF-16LE//IGNORE", const_cast<char*>(text.c_str()), n + 1,
                    reinterpret_cast<char*>(bytes.GetData()), left) != 0)
        return 0;
    bytes.SetSize(room - left);
    return bytes.GetSize();
}

int CDevServer::SvrUnicode2Str(CByteArray& bytes, CString& text) {
    if (bytes.GetSize() % 2 != 0) bytes.SetSize(bytes.GetSize() - 1);
    if (bytes.IsEmpty() || bytes[bytes.GetSize() - 1] != 0) {
        bytes.Add(0);
        bytes.Add(0);
    }
    int count = bytes.GetSize();
    // Code units below 0x80 are the same characters in UTF-8, one byte each.
    if (AsciiUnits(bytes.GetData(), count)) {
        CString result;
        char* out = result.GetBuffer(count / 2);
        int n = 0;
        while (n < count / 2 && bytes[2 * n] != 0) {
            out[n] = static_cast<char>(bytes[2 * n]);
            ++n;
        }
        result.ReleaseBuffer(n);
        text = result;
        return text.GetLength();
    }
    // A UTF-16 code unit becomes at most three UTF-8 bytes, so twice the byte
    // count always leaves a zero after the converted text.
    CString result;
    int room = 2 * count;
    char* buffer = result.GetBuffer(room);
    int left = room;
    int rc = ConvertCode("UTF-16LE", "UTF-8//IGNORE", reinterpret_cast<char*>(bytes.GetData()), count, buffer, left);
    result.ReleaseBuffer(static_cast<int>(strnlen(buffer, static_cast<size_t>(room))));
    text = result;
    return rc == 0 ? text.GetLength() : 0;
}
