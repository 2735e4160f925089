// Read requests, their expected answer lengths, and the CRC-16 appended to
// and checked on frames.
#include <algorithm>
#include <random>

#include "FrameFixture.h"

namespace {

class ReadOrder : public FrameTest {
protected:
    // The bytes that go on the wire for a read request of count elements at
    // the row (the port stays silent; one attempt).
    Bytes WireRequest(int row, int count, int* expected = nullptr) {
        CString request;
        int length = CDevBas::mfFormReadOrder(data, request, Table(), Prop(DEVPROP_STATION), count, row);
        if (expected != nullptr) *expected = length;
        CDevBas::mfWriteAndRead(data, request, static_cast<unsigned int>(length), DEV_RWTYPE_READ, 1);
        return port.Writes().empty() ? Bytes() : port.Writes().back();
    }
};

}  // namespace

TEST_F(ReadOrder, TenWordsOfTypeFourteenAtAddressZeroGoOutWithTheirCrcLowByteFirst) {
    int row = AddRow(14, 0);
    CString text;
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 10, row), 25);  // 10 words * 2 + 5
    EXPECT_STREQ(text, "012080000000000a");

    // 01 station, 20 read words, 80 area of type 14, 00 00 00 address,
    // 00 0A ten words; CRC-16 of those 8 bytes = 0xC23F, low byte 3F first.
    const Bytes expected = {0x01, 0x20, 0x80, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x3F, 0xC2};
    EXPECT_EQ(BytesHex(WireRequest(row, 10)), BytesHex(expected));
}

TEST_F(ReadOrder, AnyNonZeroCrcOrderPutsTheHighByteFirst) {
    int row = AddRow(14, 0);
    // Same request, CRC 0xC23F high byte first: ... C2 3F.
    const Bytes expected = {0x01, 0x20, 0x80, 0x00, 0x00, 0x00, 0x00, 0x0A, 0xC2, 0x3F};
    for (int crcOrder : {1, 5}) {
        Prop(DEVPROP_CRCORDER) = crcOrder;
        EXPECT_EQ(BytesHex(WireRequest(row, 10)), BytesHex(expected)) << "order " << crcOrder;
    }
}

TEST_F(ReadOrder, TenBitsOfTypeZeroUseTheBitFunction) {
    int row = AddRow(0, 0);
    int expected = 0;
    // 01 station, 1E read bits, 03 area of type 0, address 0, count 0x000A;
    // CRC-16 = 0xF2FF, low byte FF first. (10 + 7) / 8 + 5 = 7 bytes expected.
    const Bytes request = {0x01, 0x1E, 0x03, 0x00, 0x00, 0x00, 0x00, 0x0A, 0xFF, 0xF2};
    EXPECT_EQ(BytesHex(WireRequest(row, 10, &expected)), BytesHex(request));
    EXPECT_EQ(expected, 7);
}

TEST_F(ReadOrder, AddressAndCountAreBigEndianFields) {
    int row = AddRow(15, 0x123456);
    Prop(DEVPROP_STATION) = 0x1F;
    // 1F station, 20 words, 86 area of type 15, 12 34 56 address, 00 03 count;
    // CRC-16 of 1F 20 86 12 34 56 00 03 computed by the test helper.
    Bytes body = {0x1F, 0x20, 0x86, 0x12, 0x34, 0x56, 0x00, 0x03};
    EXPECT_EQ(BytesHex(WireRequest(row, 3)), BytesHex(WithCrc(body)));
}

TEST_F(ReadOrder, ExpectedLengthsCountBitsInBytesAndWordsTwice) {
    int bits = AddRow(3, 0);
    int words = AddRow(20, 0);
    CString text;
    // Bits: (count + 7) / 8 data bytes + 5; words: count * 2 + 5.
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 1, bits), 6);     // 8/8 + 5
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 8, bits), 6);     // 15/8 + 5
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 9, bits), 7);     // 16/8 + 5
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 145, bits), 24);  // 152/8 + 5
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 120, words), 245);
    EXPECT_STREQ(text, "0120850000000078");  // type 20 is area 85; 120 = 0x78
}

TEST_F(ReadOrder, TheLastBitAreaAndTheFirstWordAreaPickTheirFunctions) {
    int lastBits = AddRow(13, 1);
    int firstWords = AddRow(14, 1);
    CString text;
    CDevBas::mfFormReadOrder(data, text, Table(), 1, 1, lastBits);
    EXPECT_STREQ(text, "011e0C0000010001");  // area codes keep the table's case
    CDevBas::mfFormReadOrder(data, text, Table(), 1, 1, firstWords);
    EXPECT_STREQ(text, "0120800000010001");
}

TEST_F(ReadOrder, RowsAndChannelTypesOutsideTheTablesGiveNoRequest) {
    AddRow(14, 0);
    int badType = AddRow(29, 0);
    CString text = "stale";
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 10, 5), 0);
    EXPECT_TRUE(text.IsEmpty());
    text = "stale";
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 10, badType), 0);
    EXPECT_TRUE(text.IsEmpty());
    text = "stale";
    EXPECT_EQ(CDevBas::mfFormReadOrder(data, text, Table(), 1, 10, -1), 0);
    EXPECT_EQ(CDevBas::mfFormReadOrderMix(data, text, 3), 0);
}

TEST(Crc16, MatchesTheBitwiseDefinitionOnRandomFrames) {
    std::mt19937 rng(6);
    for (int round = 0; round < 200; ++round) {
        Bytes bytes(rng() % 300);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
        EXPECT_EQ(CDevBas::mfCrc16(bytes.data(), static_cast<int>(bytes.size())), TestCrc16(bytes));
    }
    EXPECT_EQ(CDevBas::mfCrc16(nullptr, 0), 0xFFFF);
    EXPECT_EQ(CDevBas::mfCrc16(nullptr, -2), 0xFFFF);
}

TEST_F(ReadOrder, AddSumAppendsTheCrcInUpperCaseInTheDeviceOrder) {
    CString frame = "012080000000000a";
    EXPECT_EQ(CDevBas::mfAddSum(data, 0, frame), 1);
    EXPECT_STREQ(frame, "012080000000000A3FC2");
    Prop(DEVPROP_CRCORDER) = 1;
    frame = "011e03000000000a";
    EXPECT_EQ(CDevBas::mfAddSum(data, 0, frame), 1);
    EXPECT_STREQ(frame, "011E03000000000AF2FF");
    // Text of no bytes (empty or odd) gets the CRC of nothing.
    frame = "";
    CDevBas::mfAddSum(data, 0, frame);
    EXPECT_STREQ(frame, "FFFF");
}

TEST_F(ReadOrder, AddSumCheckKeepsAGoodFrameAndEmptiesABadOne) {
    // A 2-word answer 01 20 04 00 01 00 02 with its CRC, low byte first.
    std::string good = BytesHex(WithCrc(HexBytes("01 20 04 00 01 00 02")));
    good.erase(std::remove(good.begin(), good.end(), ' '), good.end());
    CString frame = good.c_str();
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, frame), 1);
    EXPECT_STREQ(frame, good.c_str());

    CString lower = CString(good.c_str());
    lower.MakeLower();
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, lower), 1);
    EXPECT_STREQ(lower, good.c_str());

    // The same frame read with the other CRC order fails the check.
    Prop(DEVPROP_CRCORDER) = 1;
    frame = good.c_str();
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, frame), 0);
    EXPECT_TRUE(frame.IsEmpty());
}

TEST_F(ReadOrder, AddSumCheckOfTwoBytesComparesTheCrcOfNothing) {
    // n = 2 - 2 = 0 bytes: CRC 0xFFFF, "FFFF" against "0103": mismatch.
    CString frame = "0103";
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, frame), 0);
    EXPECT_TRUE(frame.IsEmpty());
    frame = "01";
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, frame), 0);
    // "FFFF" itself is the CRC of nothing.
    frame = "ffff";
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, frame), 1);
}

TEST_F(ReadOrder, AddSumInOtherModesOnlyUpperCases) {
    CString frame = "01ab";
    EXPECT_EQ(CDevBas::mfAddSum(data, 2, frame), 1);
    EXPECT_STREQ(frame, "01AB");
    EXPECT_EQ(CDevBas::mfAddSum(data, -1, frame), 1);
    EXPECT_STREQ(frame, "01AB");
}
