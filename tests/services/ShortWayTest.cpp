// The conversions take a short way for the texts a collection step sees
// (plain digits, ASCII strings); every other text must still come out as
// the system parser and iconv make it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "DevServer.h"

namespace {

struct ValueCase {
    const char* text;
    int code;
    double expected;
};

}  // namespace

TEST(ShortWay, PlainAndUnusualDigitsDecodeAsTheSystemParserReadsThem) {
    const ValueCase cases[] = {
        {"00FF", 83, 255},           // plain hex
        {"ffff", 84, -1},            // lower case, signed
        {" 0FF", 83, 255},           // strtoull skips the blank
        {"0x1F", 83, 31},            // and takes the prefix
        {"+00A", 83, 10},            // and the plus sign
        {"12G4", 83, 0x12},          // and stops at a non-digit
        {"-001", 83, 1},             // "%x" drops the minus
        {"12345678", 88, 12345678},  // BCD, plain
        {"1234567A", 88, 1234567},   // BCD stops at the letter
        {"-0000012", 88, -12},       // BCD keeps the minus
        {"FFFFFFFFFFFFFFFF", 90, 18446744073709551615.0},
        {"9999999999999999", 92, 9999999999999999.0},
        {"00000000000000FF", 91, 255},
    };
    for (const ValueCase& c : cases) {
        CString text(c.text);
        EXPECT_EQ(CDevServer::SvrStr2Double(text, c.code, 0, 0), c.expected) << c.text << " code " << c.code;
        EXPECT_EQ(CDevServer::SvrStr2Double(c.text, text.GetLength(), c.code, 0, 0), c.expected) << c.text;
    }
    // Too few characters for the code: 0, also through the pointer form.
    EXPECT_EQ(CDevServer::SvrStr2Double("00F", 3, 83, 0, 0), 0.0);
}

TEST(ShortWay, HexPairsWithOtherCharactersConvertAsStrtoulReadsThem) {
    // "0G" -> 0, "G1" -> 0, "1g" -> 1, "aB" -> 0xAB, " 7" -> 7
    CString hex("0GG11gaB 7");
    CByteArray bytes;
    ASSERT_EQ(CDevServer::SvrHStr2HByte(hex, bytes), 1);
    ASSERT_EQ(bytes.GetSize(), 5);
    const unsigned char expected[] = {0x00, 0x00, 0x01, 0xAB, 0x07};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(bytes[i], expected[i]) << i;
}

TEST(ShortWay, AsciiStringsEndAtTheFirstZeroAndOthersStillGoThroughIconv) {
    CByteArray bytes;
    CString text;
    const unsigned char ascii[] = {'A', 'B', 0, 'C'};
    bytes.SetSize(4);
    for (int i = 0; i < 4; ++i) bytes[i] = ascii[i];
    EXPECT_EQ(CDevServer::SvrASCII2Str(bytes, text), 5);
    EXPECT_EQ(text, "AB");

    // UTF-16LE: "A", "B", a zero unit, "C"; then "ä" (0x00E4), not ASCII.
    const unsigned char units[] = {'A', 0, 'B', 0, 0, 0, 'C', 0};
    bytes.SetSize(8);
    for (int i = 0; i < 8; ++i) bytes[i] = units[i];
    CDevServer::SvrUnicode2Str(bytes, text);
    EXPECT_EQ(text, "AB");
    bytes.SetSize(2);
    bytes[0] = 0xE4;
    bytes[1] = 0x00;
    CDevServer::SvrUnicode2Str(bytes, text);
    EXPECT_EQ(text, "\xC3\xA4");
}

TEST(ShortWay, AConverterThatCannotBeOpenedLeavesAZeroedOutput) {
    char in[] = "AB";
    char out[4] = {'x', 'x', 'x', 'x'};
    int room = 4;
    EXPECT_EQ(CDevServer::ConvertCode("NO-SUCH-CHARSET", "UTF-8", in, 2, out, room), INT_MIN);
    EXPECT_EQ(std::vector<char>(out, out + 4), std::vector<char>(4, 0));
}
