// Frame text and bytes: plain bytes, hex digit pairs, and the byte-pair swap
// of string channels.
#include <gtest/gtest.h>

#include <vector>

#include "DevServer.h"

namespace {

std::vector<unsigned char> Bytes(const CByteArray& a) {
    return std::vector<unsigned char>(a.GetData(), a.GetData() + a.GetSize());
}

void Fill(CByteArray& a, const std::vector<unsigned char>& bytes) {
    a.SetSize(static_cast<int>(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i) a[static_cast<int>(i)] = bytes[i];
}

}  // namespace

TEST(TextAndBytes, TextBecomesItsCharactersWithoutATerminator) {
    CByteArray bytes;
    CString text("AB");
    EXPECT_EQ(CDevServer::SvrStr2Byte(text, bytes), 2);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{'A', 'B'}));
    CString empty;
    EXPECT_EQ(CDevServer::SvrStr2Byte(empty, bytes), 0);
    EXPECT_TRUE(bytes.IsEmpty());
}

TEST(TextAndBytes, BytesBecomeTextUpToTheFirstZeroAndGrowByOne) {
    CByteArray bytes;
    CString text;
    Fill(bytes, {'A', 'B'});
    EXPECT_EQ(CDevServer::SvrByte2Str(bytes, text), 3);
    EXPECT_EQ(text, "AB");
    Fill(bytes, {'A', 0, 'B'});
    EXPECT_EQ(CDevServer::SvrByte2Str(bytes, text), 4);
    EXPECT_EQ(text, "A");
    bytes.RemoveAll();
    EXPECT_EQ(CDevServer::SvrByte2Str(bytes, text), 1);
    EXPECT_EQ(text, "");
}

TEST(HexText, PairsOfEitherCaseBecomeBytes) {
    CByteArray bytes;
    CString hex("0a1B");
    EXPECT_EQ(CDevServer::SvrHStr2HByte(hex, bytes), 1);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x0A, 0x1B}));
}

TEST(HexText, OddOrEmptyTextLeavesTheBytesUntouched) {
    CByteArray bytes;
    Fill(bytes, {1, 2, 3, 4});
    CString odd("abc");
    EXPECT_EQ(CDevServer::SvrHStr2HByte(odd, bytes), 0);
    CString empty;
    EXPECT_EQ(CDevServer::SvrHStr2HByte(empty, bytes), 0);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{1, 2, 3, 4}));
}

TEST(HexText, UnparsablePairsGiveZero) {
    CByteArray bytes;
    CString hex("zzG1-1FF");
    EXPECT_EQ(CDevServer::SvrHStr2HByte(hex, bytes), 1);
    // "-1" loses its sign as the "%x" parser does.
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x00, 0x00, 0x01, 0xFF}));
}

TEST(HexText, BytesBecomeUpperCasePairs) {
    CByteArray bytes;
    Fill(bytes, {0x00, 0xAB, 0x7F});
    CString hex("old");
    EXPECT_EQ(CDevServer::SvrHByte2HStr(bytes, hex), 1);
    EXPECT_EQ(hex, "00AB7F");
    bytes.RemoveAll();
    EXPECT_EQ(CDevServer::SvrHByte2HStr(bytes, hex), 1);
    EXPECT_EQ(hex, "");
}

TEST(HexText, EveryByteSurvivesTheRoundTrip) {
    CByteArray bytes, back;
    bytes.SetSize(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
    CString hex;
    CDevServer::SvrHByte2HStr(bytes, hex);
    ASSERT_EQ(hex.GetLength(), 512);
    ASSERT_EQ(CDevServer::SvrHStr2HByte(hex, back), 1);
    EXPECT_EQ(Bytes(back), Bytes(bytes));
    hex.MakeLower();
    ASSERT_EQ(CDevServer::SvrHStr2HByte(hex, back), 1);
    EXPECT_EQ(Bytes(back), Bytes(bytes));
}

TEST(StringByteOrder, OrderZeroSwapsEveryPairAndPadsAnOddCount) {
    CByteArray bytes;
    Fill(bytes, {0x41, 0x42, 0x43});
    EXPECT_EQ(CDevServer::SvrChangeStrIncode(bytes, 0), 1);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x42, 0x41, 0x00, 0x43}));
    EXPECT_EQ(CDevServer::SvrChangeStrIncode(bytes, 0), 1);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x41, 0x42, 0x43, 0x00}));
}

TEST(StringByteOrder, OtherOrdersAndEmptyArraysChangeNothing) {
    CByteArray bytes;
    Fill(bytes, {0x41, 0x42, 0x43});
    EXPECT_EQ(CDevServer::SvrChangeStrIncode(bytes, 1), 1);
    EXPECT_EQ(Bytes(bytes), (std::vector<unsigned char>{0x41, 0x42, 0x43}));
    CByteArray empty;
    EXPECT_EQ(CDevServer::SvrChangeStrIncode(empty, 0), 1);
    EXPECT_TRUE(empty.IsEmpty());
}
