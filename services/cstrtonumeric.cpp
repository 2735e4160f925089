// Numeric text parsing by printf-style format.
//
// cstringToNumeric drops one leading '-' and remembers it; the parser of the
// format then decides whether the sign is applied. The integer parsers go
// through strtoull/strtoll and keep the low 32 or 64 bits, so every input has
// a defined result (strtoull saturates at the largest 64-bit value first).
#include "cstrtonumeric.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

const CONVERT_ENTRY CONVERT_TABLE[CONVERT_TABLE_SIZE] = {
    {"%d", cstringToInt, "c string to int number"},
    {"%u", cstringToUInt, "c string to unsigned int number"},
    {"%ld", cstringToLong, "c string to long number"},
    {"%x", cstringToHex, "c string to hex number"},
    {"%o", cstringToOct, "c string to oct number"},
    {"%f", cstringToFloat, "c string to float number"},
    {"%lf", cstringToDouble, "c string to float number"},
    {"%lld", cstringToLongLong, "c string to longlong number"},
    {"%llu", cstringToULongLong, "c string to unsigned longlong number"},
    {"%llx", cstringToLLHex, "c string to longlong hex number"},
};

namespace {

// Low 32 bits of the number, negated in unsigned arithmetic (no overflow).
uint32_t Low32(const CString& text, int base, bool negate) {
    uint32_t value = static_cast<uint32_t>(std::strtoull(text, nullptr, base));
    return negate ? 0u - value : value;
}

// Two's complement reinterpretation without relying on narrowing conversions.
int32_t AsSigned(uint32_t bits) {
    int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

int cstringToNumeric(CString text, CString format, void* target) {
    bool negative = false;
    if (!text.IsEmpty() && text[0] == '-') {
        text = text.Mid(1);
        negative = true;
    }
    for (int i = 0; i < CONVERT_TABLE_SIZE; ++i) {
        if (strcasecmp(format, CONVERT_TABLE[i].format) == 0) return CONVERT_TABLE[i].parser(text, target, !negative);
    }
    return 1;
}

int cstringToInt(CString text, void* target, bool positive) {
    if (target != nullptr) *static_cast<int32_t*>(target) = AsSigned(Low32(text, 10, !positive));
    return 0;
}

int cstringToUInt(CString text, void* target, bool positive) {
    if (target != nullptr) *static_cast<uint32_t*>(target) = Low32(text, 10, !positive);
    return 0;
}

int cstringToLong(CString text, void* target, bool positive) {
    if (target != nullptr) *static_cast<int32_t*>(target) = AsSigned(Low32(text, 10, !positive));
    return 0;
}

// Hex and octal store the magnitude: the sign is not applied.
int cstringToHex(CString text, void* target, bool /*positive*/) {
    if (target != nullptr) *static_cast<int32_t*>(target) = AsSigned(Low32(text, 16, false));
    return 0;
}

int cstringToOct(CString text, void* target, bool /*positive*/) {
    if (target != nullptr) *static_cast<int32_t*>(target) = AsSigned(Low32(text, 8, false));
    return 0;
}

int cstringToFloat(CString text, void* target, bool positive) {
    if (target != nullptr) {
        float value = std::strtof(text, nullptr);
        *static_cast<float*>(target) = positive ? value : -value;
    }
    return 0;
}

int cstringToDouble(CString text, void* target, bool positive) {
    if (target != nullptr) {
        double value = std::strtod(text, nullptr);
        *static_cast<double*>(target) = positive ? value : -value;
    }
    return 0;
}

// The 64-bit parsers store the magnitude as well.
int cstringToLongLong(CString text, void* target, bool /*positive*/) {
    if (target != nullptr) *static_cast<int64_t*>(target) = std::strtoll(text, nullptr, 10);
    return 1;
}

int cstringToULongLong(CString text, void* target, bool /*positive*/) {
    if (target != nullptr) *static_cast<uint64_t*>(target) = std::strtoull(text, nullptr, 10);
    return 1;
}

int cstringToLLHex(CString text, void* target, bool /*positive*/) {
    if (target != nullptr) *static_cast<uint64_t*>(target) = std::strtoull(text, nullptr, 16);
    return 1;
}
