// Numeric text by printf-style format: the sign rule, format matching and the
// width of every target.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "cstrtonumeric.h"

namespace {

// A 32-bit target followed by a guard word, to catch parsers that write more
// than their target's width.
struct Guarded32 {
    int32_t value = 0x11111111;
    int32_t guard = 0x5A5A5A5A;
};

int32_t Int(const char* text, const char* format) {
    Guarded32 t;
    cstringToNumeric(text, format, &t.value);
    EXPECT_EQ(t.guard, 0x5A5A5A5A) << format;
    return t.value;
}

}  // namespace

TEST(NumericParsing, TheMinusSignIsKeptOnlyByDecimalAndFloatingFormats) {
    EXPECT_EQ(Int("-12", "%d"), -12);
    EXPECT_EQ(Int("-12", "%ld"), -12);
    EXPECT_EQ(Int("-12", "%x"), 0x12);
    EXPECT_EQ(Int("-17", "%o"), 017);
    uint32_t u = 0;
    cstringToNumeric("-1", "%u", &u);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    int64_t ll = 0;
    cstringToNumeric("-12", "%lld", &ll);
    EXPECT_EQ(ll, 12);
    uint64_t ull = 0;
    cstringToNumeric("-5", "%llu", &ull);
    EXPECT_EQ(ull, 5u);
    double d = 0;
    cstringToNumeric("-1.5", "%lf", &d);
    EXPECT_EQ(d, -1.5);
    float f = 0;
    cstringToNumeric("-1.5", "%f", &f);
    EXPECT_EQ(f, -1.5f);
}

TEST(NumericParsing, FormatsMatchWithoutRegardToCase) {
    EXPECT_EQ(Int("ff", "%X"), 255);
    uint64_t v = 0;
    cstringToNumeric("ff", "%LLX", &v);
    EXPECT_EQ(v, 255u);
}

TEST(NumericParsing, AnUnknownFormatReturnsOneAndLeavesTheTarget) {
    EXPECT_EQ(Int("10", "%i"), 0x11111111);
    EXPECT_EQ(Int("10", ""), 0x11111111);
    int32_t v = 7;
    EXPECT_EQ(cstringToNumeric("10", "%i", &v), 1);
    EXPECT_EQ(v, 7);
}

TEST(NumericParsing, ResultIsZeroFor32BitAndFloatingFormatsAndOneFor64Bit) {
    uint64_t room = 0;
    const int expected[] = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
    for (int i = 0; i < CONVERT_TABLE_SIZE; ++i)
        EXPECT_EQ(cstringToNumeric("1", CONVERT_TABLE[i].format, &room), expected[i]) << CONVERT_TABLE[i].format;
}

TEST(NumericParsing, ParsingStopsAtTheFirstCharacterThatDoesNotFit) {
    EXPECT_EQ(Int("12AB", "%d"), 12);
    EXPECT_EQ(Int("", "%x"), 0);
    EXPECT_EQ(Int("zz", "%d"), 0);
    EXPECT_EQ(Int("  +0x1F", "%x"), 31);
    EXPECT_EQ(Int("19", "%o"), 1);
}

TEST(NumericParsing, OutOfRangeNumbersKeepTheirLow32Or64Bits) {
    EXPECT_EQ(Int("4294967297", "%d"), 1);
    EXPECT_EQ(Int("1ffffffff", "%x"), -1);
    // strtoull saturates at 2^64 - 1 first; its low 32 bits are all ones.
    EXPECT_EQ(Int("99999999999999999999", "%d"), -1);
    uint64_t v = 0;
    cstringToNumeric("99999999999999999999", "%llu", &v);
    EXPECT_EQ(v, UINT64_MAX);
    cstringToNumeric("FFFFFFFFFFFFFFFF", "%llx", &v);
    EXPECT_EQ(v, UINT64_MAX);
}

TEST(NumericParsing, LongIsA32BitTargetOnEveryTarget) {
    // 2^32 + 5: a 64-bit long would store all of it and overrun the guard.
    EXPECT_EQ(Int("4294967301", "%ld"), 5);
}
