// Host text (UTF-8) to and from the PLC's string encodings: GB18030 for
// "ASCII" strings and UTF-16LE for "UNICODE" strings.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "DevServer.h"

namespace {

const char kSensor[] = "温度传感器A";

std::vector<unsigned char> Bytes(const CByteArray& a) {
    return std::vector<unsigned char>(a.GetData(), a.GetData() + a.GetSize());
}

void Fill(CByteArray& a, const std::vector<unsigned char>& bytes) {
    a.SetSize(static_cast<int>(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i) a[static_cast<int>(i)] = bytes[i];
}

}  // namespace

TEST(AsciiStrings, ChineseTextBecomesGb18030WithoutATerminator) {
    CString text(kSensor);
    CByteArray bytes;
    EXPECT_EQ(CDevServer::SvrStr2ASCII(text, bytes), 11);
    EXPECT_EQ(Bytes(bytes),
              (std::vector<unsigned char>{0xCE, 0xC2, 0xB6, 0xC8, 0xB4, 0xAB, 0xB8, 0xD0, 0xC6, 0xF7, 0x41}));
}

TEST(AsciiStrings, ChineseTextSurvivesTheRoundTrip) {
    CString text(kSensor), back;
    CByteArray bytes;
    CDevServer::SvrStr2ASCII(text, bytes);
    EXPECT_EQ(CDevServer::SvrASCII2Str(bytes, back), 12);  // a zero byte was appended
    EXPECT_EQ(back, kSensor);
}

TEST(AsciiStrings, LettersThatTakeFourBytesInGb18030StillFit) {
    // "À" is two bytes in UTF-8 and four (81 30 86 38) in GB18030.
    CString text("ÀÀÀ"), back;
    CByteArray bytes;
    EXPECT_EQ(CDevServer::SvrStr2ASCII(text, bytes), 12);
    EXPECT_EQ(Bytes(bytes)[0], 0x81);
    EXPECT_EQ(Bytes(bytes)[3], 0x38);
    CDevServer::SvrASCII2Str(bytes, back);
    EXPECT_EQ(back, "ÀÀÀ");
}

TEST(AsciiStrings, ZeroPaddingEndsTheTextAndInvalidBytesAreSkipped) {
    CByteArray bytes;
    CString text;
    Fill(bytes, {'A', 'B', 0, 0, 'C'});
    EXPECT_EQ(CDevServer::SvrASCII2Str(bytes, text), 6);
    EXPECT_EQ(text, "AB");
    Fill(bytes, {'A', 0xFF, 'B', 0xC4});  // a stray byte, and half a character at the end
    CDevServer::SvrASCII2Str(bytes, text);
    EXPECT_EQ(text, "AB");
    bytes.RemoveAll();
    EXPECT_EQ(CDevServer::SvrASCII2Str(bytes, text), 1);
    EXPECT_EQ(text, "");
}

TEST(AsciiStrings, MalformedHostTextIsSkippedNotFailed) {
    CString text(
        "A\xFF"
        "B\xE6\xB8");  // a stray byte, and a character cut short at the end
    CByteArray bytes;
    EXPECT_EQ(CDevServer::SvrStr2ASCII(text, bytes), 2);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{'A', 'B'}));
    CString empty;
    EXPECT_EQ(CDevServer::SvrStr2ASCII(empty, bytes), 0);
    EXPECT_TRUE(bytes.IsEmpty());
}

TEST(UnicodeStrings, ChineseTextBecomesUtf16LeWithAZeroCodeUnit) {
    CString text(kSensor);
    CByteArray bytes;
    EXPECT_EQ(CDevServer::SvrStr2Unicode(text, bytes), 14);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x29, 0x6E, 0xA6, 0x5E, 0x20, 0x4F, 0x1F, 0x61, 0x68, 0x56,
                                                        0x41, 0x00, 0x00, 0x00}));
}

TEST(UnicodeStrings, ChineseTextSurvivesTheRoundTripInBothByteOrders) {
    CString text(kSensor), back;
    CByteArray bytes;
    CDevServer::SvrStr2Unicode(text, bytes);
    EXPECT_EQ(CDevServer::SvrUnicode2Str(bytes, back), 16);
    EXPECT_EQ(back, kSensor);

    CDevServer::SvrStr2Unicode(text, bytes);
    CDevServer::SvrChangeStrIncode(bytes, 0);
    CDevServer::SvrChangeStrIncode(bytes, 0);
    CDevServer::SvrUnicode2Str(bytes, back);
    EXPECT_EQ(back, kSensor);
}

TEST(UnicodeStrings, OddCountsAndMissingTerminatorsAreHandled) {
    CByteArray bytes;
    CString text;
    Fill(bytes, {0x41, 0x00, 0x42});  // the odd last byte is dropped
    EXPECT_EQ(CDevServer::SvrUnicode2Str(bytes, text), 1);
    EXPECT_EQ(text, "A");
    Fill(bytes, {0x29, 0x6E});  // no zero code unit: two zero bytes are appended
    EXPECT_EQ(CDevServer::SvrUnicode2Str(bytes, text), 3);
    EXPECT_EQ(bytes.GetSize(), 4);
    EXPECT_EQ(text, "温");
    Fill(bytes, {0x41});
    EXPECT_EQ(CDevServer::SvrUnicode2Str(bytes, text), 0);
    EXPECT_EQ(text, "");
    Fill(bytes, {0x41, 0x00, 0x00, 0xD8, 0x42, 0x00});  // a lone surrogate is skipped
    CDevServer::SvrUnicode2Str(bytes, text);
    EXPECT_EQ(text, "AB");
}

TEST(ConvertCode, ZeroFillsTheOutputAndReportsTheRoomLeft) {
    char in[] = "AB";
    char out[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    int room = 8;
    EXPECT_EQ(CDevServer::ConvertCode("UTF-8", "UTF-16LE", in, 2, out, room), 0);
    EXPECT_EQ(room, 4);
    EXPECT_EQ(std::vector<char>(out, out + 8), (std::vector<char>{'A', 0, 'B', 0, 0, 0, 0, 0}));
}

TEST(ConvertCode, UnknownCharsetsAndTooLittleRoomFail) {
    char in[] = "AB";
    char out[3];
    int room = 3;
    EXPECT_EQ(CDevServer::ConvertCode("UTF-8", "NO-SUCH-CHARSET", in, 2, out, room), INT_MIN);
    room = 3;
    EXPECT_EQ(CDevServer::ConvertCode("UTF-8", "UTF-16LE", in, 2, out, room), INT_MIN);
    EXPECT_EQ(room, 1);
    char bad[] = "A\xFF";
    room = 3;
    EXPECT_EQ(CDevServer::ConvertCode("UTF-8", "GB18030", bad, 2, out, room), INT_MIN);
}
