// Hex fields to values and values to hex fields for every data-type code,
// with regrouping, rounding and the defined results of out-of-range values.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "DevServer.h"

namespace {

double Read(const char* text, int code, int group = 0, int length = 0) {
    return CDevServer::SvrStr2Double(text, code, group, length);
}

std::string Write(double value, int code, int group = 0, int length = 0) {
    return CDevServer::SvrDouble2Str(value, code, group, length).c_str();
}

}  // namespace

// ---------------------------------------------------------------- reading

TEST(HexFieldToValue, SixteenBitSignedCodeSignExtends) {
    EXPECT_EQ(Read("00FF", 84), 255);
    EXPECT_EQ(Read("FF80", 84), -128);
    EXPECT_EQ(Read("8000", 84), -32768);
    EXPECT_EQ(Read("ff80", 83), 0xFF80);
}

TEST(HexFieldToValue, EightAndThirtyTwoBitCodesUseTheirOwnWidth) {
    EXPECT_EQ(Read("FF", 80), 255);
    EXPECT_EQ(Read("FF", 81), -1);
    EXPECT_EQ(Read("80", 81), -128);
    EXPECT_EQ(Read("7F", 81), 127);
    EXPECT_EQ(Read("FFFFFFFF", 86), 4294967295.0);
    EXPECT_EQ(Read("FFFFFFFF", 87), -1);
    EXPECT_EQ(Read("80000000", 87), -2147483648.0);
}

TEST(HexFieldToValue, OnlyTheFirstFieldWidthOfCharactersCounts) {
    EXPECT_EQ(Read("00FF1234", 83), 255);
    EXPECT_EQ(Read("12", 83), 0);  // shorter than the field
    EXPECT_EQ(Read("", 80), 0);
    EXPECT_EQ(Read("1234567", 86), 0);
}

TEST(HexFieldToValue, BcdCodesReadTheDigitsAsDecimal) {
    EXPECT_EQ(Read("99", 82), 99);
    EXPECT_EQ(Read("1234", 85), 1234);
    EXPECT_EQ(Read("12345678", 88), 12345678);
    EXPECT_EQ(Read("0000001234567890", 92), 1234567890.0);
    EXPECT_EQ(Read("12A4", 85), 12);  // stops at the first non-decimal digit
}

TEST(HexFieldToValue, BitCodesTakeBitNOfTwiceTheLengthInDigits) {
    // Length 1: the field is "12" = 0001 0010.
    EXPECT_EQ(Read("1234", 3, 0, 1), 0);
    EXPECT_EQ(Read("1234", 1, 0, 1), 1);
    EXPECT_EQ(Read("1234", 4, 0, 1), 1);
    // Length 2: "8000", bit 15.
    EXPECT_EQ(Read("8000", 15, 0, 2), 1);
    EXPECT_EQ(Read("8000", 15, 0, 1), 0);
    EXPECT_EQ(Read("1234", 0, 0, 0), 0);
    EXPECT_EQ(Read("12", 0, 0, 2), 0);  // shorter than the field
}

TEST(HexFieldToValue, IeeeSingleInBothGroupings) {
    EXPECT_EQ(Read("3F800000", 89), 1.0);
    EXPECT_EQ(Read("0000803F", 89, 2), 1.0);  // bytes reversed
    EXPECT_EQ(Read("00003F80", 89, 4), 1.0);  // words reversed
    EXPECT_EQ(Read("c0490fdb", 89), static_cast<double>(3.14159274f) * -1);
    EXPECT_TRUE(std::isinf(Read("7F800000", 89)));
}

TEST(HexFieldToValue, IeeeDoubleInBothGroupings) {
    EXPECT_EQ(Read("3FF0000000000000", 93), 1.0);
    EXPECT_EQ(Read("000000000000F03F", 93, 2), 1.0);
    EXPECT_EQ(Read("0000000000003FF0", 93, 4), 1.0);
    EXPECT_EQ(Read("C000000000000000", 93), -2.0);
    EXPECT_EQ(Read("3FB999999999999A", 93), 0.1);
}

TEST(HexFieldToValue, SixtyFourBitIntegers) {
    EXPECT_EQ(Read("FFFFFFFFFFFFFFFF", 90), 18446744073709551615.0);
    EXPECT_EQ(Read("FFFFFFFFFFFFFFFF", 91), -1);
    EXPECT_EQ(Read("8000000000000000", 91), -9223372036854775808.0);
    EXPECT_EQ(Read("0100000000000000", 91, 2), 1);
}

TEST(HexFieldToValue, DecimalTextIsParsedWithinTheLength) {
    EXPECT_EQ(Read("12.50", 100, 0, 5), 12.5);
    EXPECT_EQ(Read("-3.25", 100, 0, 5), -3.25);
    EXPECT_EQ(Read("12.5999", 100, 0, 4), 12.5);
    EXPECT_EQ(Read("123", 100, 0, 5), 0);
}

TEST(HexFieldToValue, AGroupThatDoesNotDivideTheFieldLeavesItAsItIs) {
    EXPECT_EQ(Read("12345678", 86, 3), 0x12345678);
    EXPECT_EQ(Read("1234", 83, 16), 0x1234);
    EXPECT_EQ(Read("12345678", 86, 8), 0x12345678);
}

TEST(HexFieldToValue, UnknownCodesGiveZero) {
    EXPECT_EQ(Read("1234", 50, 0, 4), 0);
    EXPECT_EQ(Read("1234", -1, 0, 4), 0);
    EXPECT_EQ(Read("1234", 131, 0, 4), 0);
}

// ---------------------------------------------------------------- writing

TEST(ValueToHexField, RoundsHalfAwayFromZero) {
    EXPECT_EQ(Write(2.5, 83), "0003");
    EXPECT_EQ(Write(2.4, 83), "0002");
    EXPECT_EQ(Write(-2.5, 87), "fffffffd");
    EXPECT_EQ(Write(-2.4, 87), "fffffffe");
    EXPECT_EQ(Write(-0.4, 84), "0000");
}

TEST(ValueToHexField, NegativeValuesKeepTheirLowDigits) {
    EXPECT_EQ(Write(-2, 84), "fffe");
    EXPECT_EQ(Write(-1, 80), "ff");
    EXPECT_EQ(Write(-128, 81), "80");
    EXPECT_EQ(Write(-1, 86), "ffffffff");
    EXPECT_EQ(Write(-2, 91), "FFFFFFFFFFFFFFFE");
    EXPECT_EQ(Write(70000, 83), "1170");  // 0x11170
}

TEST(ValueToHexField, UnsignedThirtyTwoBitValuesAboveTheIntRange) {
    EXPECT_EQ(Write(4294967295.0, 86), "ffffffff");
    EXPECT_EQ(Write(3e9, 86), "b2d05e00");
    EXPECT_EQ(Write(4294967296.0, 86), "00000000");
}

TEST(ValueToHexField, BcdCodesKeepTheirLowDecimalDigits) {
    EXPECT_EQ(Write(7, 82), "07");
    EXPECT_EQ(Write(12345, 85), "2345");
    EXPECT_EQ(Write(12345678, 88), "12345678");
    EXPECT_EQ(Write(123456789, 88), "23456789");
    EXPECT_EQ(Write(1234567890, 92), "0000001234567890");
    EXPECT_EQ(Write(1e17, 92), "0000000000000000");
}

TEST(ValueToHexField, NegativeBcdValuesGiveTheDigitsOfTheirMagnitude) {
    // No '-' ever reaches the frame.
    EXPECT_EQ(Write(-5, 88), "00000005");
    EXPECT_EQ(Write(-5, 92), "0000000000000005");
    EXPECT_EQ(Write(-123456789, 88), "23456789");
}

TEST(ValueToHexField, IeeeSingleAndDoubleBitPatterns) {
    EXPECT_EQ(Write(1.0, 89), "3f800000");
    EXPECT_EQ(Write(-2.0, 89), "c0000000");
    EXPECT_EQ(Write(1.0, 89, 2), "0000803f");
    EXPECT_EQ(Write(1.0, 89, 4), "00003f80");
    EXPECT_EQ(Write(1.0, 93), "3ff0000000000000");
    EXPECT_EQ(Write(1.0, 93, 2), "000000000000f03f");
    EXPECT_EQ(Write(1.0, 93, 4), "0000000000003ff0");
    EXPECT_EQ(Write(-0.0, 93), "8000000000000000");
    EXPECT_EQ(Write(0.1, 93), "3fb999999999999a");
}

TEST(ValueToHexField, SinglesOutsideTheFloatRangeBecomeInfinite) {
    EXPECT_EQ(Write(1e300, 89), "7f800000");
    EXPECT_EQ(Write(-1e300, 89), "ff800000");
    EXPECT_EQ(Write(3.4028234663852886e38, 89), "7f7fffff");  // the largest float
    EXPECT_EQ(Write(NAN, 89), "7fc00000");
    EXPECT_EQ(Write(1e-50, 89), "00000000");
}

TEST(ValueToHexField, SixtyFourBitCodesAreDefinedForEveryValue) {
    EXPECT_EQ(Write(2.5, 90), "0000000000000003");
    // An odd integer between 2^52 and 2^53 stays as it is (adding 0.5 in
    // double arithmetic would round it up to the next even number).
    EXPECT_EQ(Write(4503599627370497.0, 90), "0010000000000001");
    EXPECT_EQ(Write(9223372036854775808.0, 90), "8000000000000000");
    EXPECT_EQ(Write(18446744073709549568.0, 90), "FFFFFFFFFFFFF800");
    // 2^64 and above wrap modulo 2^64; NaN and infinities give zero.
    EXPECT_EQ(Write(18446744073709551616.0, 90), "0000000000000000");
    EXPECT_EQ(Write(INFINITY, 91), "0000000000000000");
    EXPECT_EQ(Write(NAN, 83), "0000");
}

TEST(ValueToHexField, NegativeValuesForTheUnsignedSixtyFourBitCodeWrapLikeTheSignedCode) {
    EXPECT_EQ(Write(-1, 90), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(Write(-2.5, 90), "FFFFFFFFFFFFFFFD");
    EXPECT_EQ(Write(-2.5, 91), "FFFFFFFFFFFFFFFD");
    EXPECT_EQ(Write(-9223372036854775808.0, 90), "8000000000000000");
    EXPECT_EQ(Write(-0.4, 90), "0000000000000000");
}

TEST(ValueToHexField, GroupsReorderTheDigits) {
    EXPECT_EQ(Write(4660, 83, 2), "3412");
    EXPECT_EQ(Write(0x12345678, 86, 2), "78563412");
    EXPECT_EQ(Write(0x12345678, 86, 4), "56781234");
    // A group that does not divide the width leaves the digits as they are.
    EXPECT_EQ(Write(0x12345678, 86, 3), "12345678");
    EXPECT_EQ(Write(0x12, 80, 4), "12");
}

TEST(ValueToHexField, DecimalTextUsesLengthAndDecimals) {
    EXPECT_EQ(Write(3.14159, 100, 2, 8), "    3.14");
    EXPECT_EQ(Write(-2.6, 100, 0, 3), " -3");
    // Longer than the length: the last characters are kept.
    EXPECT_EQ(Write(12345.678, 100, 2, 5), "45.68");
    // No minimum width cuts nothing; negative decimals count as none.
    EXPECT_EQ(Write(3.14159, 100, 1, 0), "3.1");
    EXPECT_EQ(Write(3.6, 100, -1, 0), "4");
}

TEST(ValueToHexField, BitAndUnknownCodesGiveNoText) {
    EXPECT_EQ(Write(1, 0, 0, 2), "");
    EXPECT_EQ(Write(1, 15, 0, 2), "");
    EXPECT_EQ(Write(1, 131, 0, 2), "");
    EXPECT_EQ(Write(1, -7, 2, 2), "");
}

TEST(ValueToHexField, EveryNumericCodeReadsBackWhatItWrites) {
    const double values[] = {0, 1, 2, 42, 99};
    const int codes[] = {80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93};
    for (int code : codes)
        for (int group : {0, 2, 4})
            for (double v : values) {
                std::string text = Write(v, code, group);
                EXPECT_EQ(Read(text.c_str(), code, group), v) << code << " group " << group << " " << text;
            }
    EXPECT_EQ(Read(Write(-12345, 84, 2).c_str(), 84, 2), -12345);
    EXPECT_EQ(Read(Write(-123456789, 87, 4).c_str(), 87, 4), -123456789);
    EXPECT_EQ(Read(Write(-1e18, 91, 2).c_str(), 91, 2), -1e18);
    EXPECT_EQ(Read(Write(1.5e19, 90, 4).c_str(), 90, 4), 1.5e19);
    EXPECT_EQ(Read(Write(9999999999999998.0, 92, 2).c_str(), 92, 2), 9999999999999998.0);
    EXPECT_EQ(Read(Write(-0.15625, 89, 2).c_str(), 89, 2), -0.15625);
    EXPECT_EQ(Read(Write(-1.0 / 3, 93, 2).c_str(), 93, 2), -1.0 / 3);
}

// ---------------------------------------------------------------- Double2Int

TEST(Double2Int, RoundsHalfAwayFromZeroAndSaturates) {
    auto r = [](double v) { return CDevServer::Double2Int(v); };
    EXPECT_EQ(r(2.5), 3);
    EXPECT_EQ(r(-2.5), -3);
    EXPECT_EQ(r(0.4), 0);
    EXPECT_EQ(r(-0.4), 0);
    EXPECT_EQ(r(0.5), 1);
    EXPECT_EQ(r(-0.5), -1);
    EXPECT_EQ(r(2147483646.6), INT_MAX);
    EXPECT_EQ(r(3e9), INT_MAX);
    EXPECT_EQ(r(-3e9), INT_MIN);
    EXPECT_EQ(r(-2147483648.4), INT_MIN);
    EXPECT_EQ(r(NAN), 0);
    EXPECT_EQ(r(INFINITY), INT_MAX);
}
