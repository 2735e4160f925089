// The simulated PLC's side of the protocol: CRC, reads, writes, exceptions and
// the standard Modbus functions on the same memory.
#include <gtest/gtest.h>

#include <cstring>

#include "ScriptedPort.h"
#include "plcsim/Plc.h"

using plcsim::CrcOrder;
using plcsim::Plc;

namespace {

// A request frame: the hex text with its CRC appended (low byte first, or
// high byte first), computed by the test support's own CRC.
Bytes Frame(const std::string& hex, bool highFirst = false) { return WithCrc(HexBytes(hex), highFirst); }

}  // namespace

TEST(PlcCrc, MatchesThePublishedCheckValuesOfCrc16Modbus) {
    const char* text = "123456789";
    EXPECT_EQ(plcsim::Crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0x4B37);
    EXPECT_EQ(plcsim::Crc16(nullptr, 0), 0xFFFF);
    // The driver's word read example: 01 20 80 000000 000A carries CRC 0xC23F,
    // on the wire 3F C2 low byte first, C2 3F high byte first.
    std::vector<uint8_t> frame = HexBytes("01 20 80 00 00 00 00 0A");
    plcsim::AppendCrc(frame, CrcOrder::LowFirst);
    EXPECT_EQ(BytesHex(frame), "01 20 80 00 00 00 00 0A 3F C2");
    frame.resize(8);
    plcsim::AppendCrc(frame, CrcOrder::HighFirst);
    EXPECT_EQ(BytesHex(frame), "01 20 80 00 00 00 00 0A C2 3F");
    // The bit read example: 01 1E 03 000000 000A -> FF F2.
    Bytes bits = HexBytes("01 1E 03 00 00 00 00 0A FF F2");
    EXPECT_TRUE(plcsim::HasValidCrc(bits.data(), bits.size(), CrcOrder::LowFirst));
    EXPECT_FALSE(plcsim::HasValidCrc(bits.data(), bits.size(), CrcOrder::HighFirst));
    EXPECT_FALSE(plcsim::HasValidCrc(bits.data(), 2, CrcOrder::LowFirst));
}

TEST(PlcRead, AnswersTheWordReadExampleWithBigEndianWords) {
    Plc plc;
    plc.SetRange("D", 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    // Request: station 1, 0x20, area 0x80 (D), address 000000, count 000A, CRC 3F C2.
    Bytes answer = plc.Handle(HexBytes("01 20 80 00 00 00 00 0A 3F C2"));
    // Answer: 01 20, byte count 0x14 = 10 words x 2, the words 0001..000A, CRC DE 19:
    // 3 + 20 + 2 = 25 bytes, the length the driver expects (count x 2 + 5).
    EXPECT_EQ(BytesHex(answer), "01 20 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A DE 19");
}

TEST(PlcRead, PacksBitsLeastSignificantFirst) {
    Plc plc;
    plc.Set("M", 1, 1);
    plc.Set("M", 9, 1);
    // 10 bits from M0: M1 -> byte 0 bit 1 (0x02), M9 -> byte 1 bit 1 (0x02);
    // (10 + 7) / 8 = 2 data bytes, 7 bytes in all, CRC 3E 89.
    EXPECT_EQ(BytesHex(plc.Handle(HexBytes("01 1E 03 00 00 00 00 0A FF F2"))), "01 1E 02 02 02 3E 89");
    // 9 bits from M100 (0x64) with M100 and M108 set: 01 then 01.
    plc.Set("M", 100, 1);
    plc.Set("M", 108, 1);
    Bytes answer = plc.Handle(Frame("01 1E 03 00 00 64 00 09"));
    EXPECT_EQ(BytesHex(answer), BytesHex(WithCrc(HexBytes("01 1E 02 01 01"))));
}

TEST(PlcRead, ServesEveryAreaByItsOwnCode) {
    Plc plc;
    for (const plcsim::Area& area : plcsim::AreaTable()) plc.Set(area.code, 7, static_cast<uint16_t>(area.index + 1));
    for (const plcsim::Area& area : plcsim::AreaTable()) {
        char hex[64];
        std::snprintf(hex, sizeof hex, "01 %02X %02X 00 00 07 00 01", area.isBit ? 0x1E : 0x20, area.code);
        Bytes answer = plc.Handle(Frame(hex));
        ASSERT_EQ(answer.size(), area.isBit ? 6u : 7u) << area.name;
        if (area.isBit)
            EXPECT_EQ(answer[3], 1) << area.name;
        else
            EXPECT_EQ(answer[4], area.index + 1) << area.name;
    }
    // The areas do not share memory: D7 and SD7 hold different values.
    EXPECT_EQ(plc.Get("D", 7), 15);
    EXPECT_EQ(plc.Get("SD", 7), 18);
}

TEST(PlcRead, UsesTheCrcByteOrderItIsSetTo) {
    Plc plc;
    plc.SetCrcOrder(CrcOrder::HighFirst);
    plc.Set("D", 0x64, 0x1234);
    // A request with its CRC low byte first is a bad CRC for this PLC: no answer.
    EXPECT_TRUE(plc.Handle(Frame("01 20 80 00 00 64 00 01")).empty());
    // High byte first: answered, and the answer's CRC is high byte first too.
    Bytes answer = plc.Handle(Frame("01 20 80 00 00 64 00 01", true));
    EXPECT_EQ(BytesHex(answer), BytesHex(WithCrc(HexBytes("01 20 02 12 34"), true)));
}

TEST(PlcRead, StaysSilentForOtherStationsBadCrcsAndScraps) {
    Plc plc(Plc::Settings{7, CrcOrder::LowFirst, 1});
    plcsim::Reply reply;
    Bytes other = Frame("01 20 80 00 00 00 00 01");
    plc.Handle(other.data(), other.size(), reply);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_EQ(reply.drop, plcsim::Drop::OtherStation);
    Bytes mine = Frame("07 20 80 00 00 00 00 01");
    mine[9] ^= 0x01;
    plc.Handle(mine.data(), mine.size(), reply);
    EXPECT_EQ(reply.drop, plcsim::Drop::BadCrc);
    plc.Handle(mine.data(), 3, reply);
    EXPECT_EQ(reply.drop, plcsim::Drop::TooShort);
    EXPECT_EQ(plc.RequestCount(), 0u);
    mine[9] ^= 0x01;
    EXPECT_EQ(plc.Handle(mine).size(), 7u);
    EXPECT_EQ(plc.RequestCount(), 1u);
}

TEST(PlcRead, AnswersBadRequestsWithExceptions) {
    Plc plc;
    // Unknown area 0x7F: 01 A0 (0x20 | 0x80), code 02, CRC D9 C1.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 20 7F 00 00 00 00 01"))), "01 A0 02 D9 C1");
    // A bit area through the word read is no area of that function either.
    EXPECT_EQ(plc.Handle(Frame("01 20 03 00 00 00 00 01"))[2], plcsim::kIllegalAddress);
    // Count 0: code 03, CRC 18 01.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 20 80 00 00 00 00 00"))), "01 A0 03 18 01");
    // Word areas read at most 120 (0x78) words, bit areas 1024 (0x400) bits.
    EXPECT_EQ(plc.Handle(Frame("01 20 80 00 00 00 00 78")).size(), 120u * 2 + 5);
    EXPECT_EQ(plc.Handle(Frame("01 20 80 00 00 00 00 79"))[1], 0xA0);
    EXPECT_EQ(plc.Handle(Frame("01 1E 03 00 00 00 04 00")).size(), 128u + 5);
    EXPECT_EQ(plc.Handle(Frame("01 1E 03 00 00 00 04 01"))[2], plcsim::kIllegalValue);
    // Unknown function 0x42: 01 C2 01, CRC B0 A0.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 42 00 00"))), "01 C2 01 B0 A0");
    // A read frame one byte too long.
    EXPECT_EQ(plc.Handle(Frame("01 20 80 00 00 00 00 01 00"))[2], plcsim::kIllegalValue);
}

TEST(PlcRead, CoversTheWholeTwentyFourBitAddressRangeSparsely) {
    Plc plc;
    plc.Set("D", 0xFFFFFF, 0xBEEF);
    plc.Set("HSCD", 0x800000, 0x0102);
    // The last word of the area.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 20 80 FF FF FF 00 01"))), BytesHex(WithCrc(HexBytes("01 20 02 BE EF"))));
    // Two words from FFFFFF would run past the last address: code 02.
    EXPECT_EQ(plc.Handle(Frame("01 20 80 FF FF FF 00 02"))[2], plcsim::kIllegalAddress);
    // A read across a page boundary (1023, 1024) sees both pages.
    plc.Set("D", 1023, 1);
    plc.Set("D", 1024, 2);
    EXPECT_EQ(plc.GetRange("D", 1022, 4), (std::vector<uint16_t>{0, 1, 2, 0}));
    EXPECT_EQ(plc.Get("HSCD", 0x800000), 0x0102);
    EXPECT_THROW(plc.Get("D", 0x1000000), std::out_of_range);
    EXPECT_THROW(plc.Set("Q", 0, 1), std::invalid_argument);
    EXPECT_THROW(plc.Get(uint8_t{0x7F}, 0), std::invalid_argument);
}

TEST(PlcWrite, WritesABitAndEchoesTheHeaderInTenBytes) {
    Plc plc;
    // Writing 1 to M10, station 1: 01 1F 03 00000A 0001, byte count 01, data 01, CRC E4 76.
    Bytes answer = plc.Handle(HexBytes("01 1F 03 00 00 0A 00 01 01 01 E4 76"));
    // Answer: station, function, area, address, count, CRC 8E F7: 10 bytes.
    EXPECT_EQ(BytesHex(answer), "01 1F 03 00 00 0A 00 01 8E F7");
    EXPECT_EQ(plc.Get("M", 10), 1);
    plc.Handle(Frame("01 1F 03 00 00 0A 00 01 01 00"));
    EXPECT_EQ(plc.Get("M", 10), 0);
}

TEST(PlcWrite, UnpacksBlocksOfBitsLeastSignificantFirst) {
    Plc plc;
    // Nine bits from M100: count 0009, byte count 02, bits 0-7 = 0xA5 (1,0,1,0,0,1,0,1), bit 8 = 1.
    Bytes answer = plc.Handle(Frame("01 1F 03 00 00 64 00 09 02 A5 01"));
    EXPECT_EQ(answer.size(), 10u);
    EXPECT_EQ(plc.GetRange("M", 100, 10), (std::vector<uint16_t>{1, 0, 1, 0, 0, 1, 0, 1, 1, 0}));
}

TEST(PlcWrite, WritesWordsBigEndian) {
    Plc plc;
    // 0x1234 to D100 (0x64): 01 21 80 000064 0001, byte count 02, 12 34.
    Bytes answer = plc.Handle(Frame("01 21 80 00 00 64 00 01 02 12 34"));
    // Answer 01 21 80 000064 0001, CRC 2F 1A.
    EXPECT_EQ(BytesHex(answer), "01 21 80 00 00 64 00 01 2F 1A");
    EXPECT_EQ(plc.Get("D", 100), 0x1234);
    // 48 words, the most the driver writes in one block, and 60 of a string row.
    Bytes big = HexBytes("01 21 88 00 01 00 00 3C 78");
    for (int i = 0; i < 60; ++i) {
        big.push_back(static_cast<uint8_t>(i));
        big.push_back(0xA0);
    }
    EXPECT_EQ(plc.Handle(WithCrc(big)).size(), 10u);
    EXPECT_EQ(plc.Get("HD", 0x100 + 59), 59 << 8 | 0xA0);
}

TEST(PlcWrite, RefusesInconsistentWrites) {
    Plc plc;
    // Byte count 04 for one word: code 03, nothing written.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 21 80 00 00 64 00 01 04 12 34 56 78"))),
              BytesHex(WithCrc(HexBytes("01 A1 03"))));
    // Byte count 02 but only one data byte in the frame.
    EXPECT_EQ(plc.Handle(Frame("01 21 80 00 00 64 00 01 02 12"))[2], plcsim::kIllegalValue);
    // A word area through the bit write.
    EXPECT_EQ(plc.Handle(Frame("01 1F 80 00 00 64 00 01 01 01"))[2], plcsim::kIllegalAddress);
    // Count 0.
    EXPECT_EQ(plc.Handle(Frame("01 21 80 00 00 64 00 00 00"))[2], plcsim::kIllegalValue);
    EXPECT_EQ(plc.Get("D", 100), 0);
}

TEST(PlcStandardModbus, SharesMAsCoilsAndDAsHoldingRegisters) {
    Plc plc;
    // 0x10 writes D10, D11 = 0x0102, 0x0304; the answer echoes address and count.
    Bytes answer = plc.Handle(Frame("01 10 00 0A 00 02 04 01 02 03 04"));
    EXPECT_EQ(BytesHex(answer), BytesHex(WithCrc(HexBytes("01 10 00 0A 00 02"))));
    EXPECT_EQ(plc.GetRange("D", 10, 2), (std::vector<uint16_t>{0x0102, 0x0304}));
    // ... and 0x20 reads them back.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 20 80 00 00 0A 00 02"))),
              BytesHex(WithCrc(HexBytes("01 20 04 01 02 03 04"))));
    // 0x06 writes one register, answered by an echo; 0x03 reads.
    Bytes single = Frame("01 06 00 0C AB CD");
    EXPECT_EQ(plc.Handle(single), single);
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 03 00 0B 00 02"))), BytesHex(WithCrc(HexBytes("01 03 04 03 04 AB CD"))));
    // 0x05 sets coil M3 (FF00), 0x0F writes M8..M17 (10 bits: 0x01, 0x02 -> M8, M17).
    Bytes coil = Frame("01 05 00 03 FF 00");
    EXPECT_EQ(plc.Handle(coil), coil);
    plc.Handle(Frame("01 0F 00 08 00 0A 02 01 02"));
    EXPECT_EQ(plc.GetRange("M", 0, 18), (std::vector<uint16_t>{0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    // 0x01 reads coils 0..9: M3 -> bit 3 (0x08), M8 -> byte 1 bit 0.
    EXPECT_EQ(BytesHex(plc.Handle(Frame("01 01 00 00 00 0A"))), BytesHex(WithCrc(HexBytes("01 01 02 08 01"))));
    // A coil value other than FF00 or 0000, or a count beyond 125 registers.
    EXPECT_EQ(plc.Handle(Frame("01 05 00 03 12 34"))[2], plcsim::kIllegalValue);
    EXPECT_EQ(plc.Handle(Frame("01 03 00 00 00 7E"))[2], plcsim::kIllegalValue);
    EXPECT_EQ(plc.Handle(Frame("01 03 FF FF 00 02"))[2], plcsim::kIllegalAddress);
    // Functions it does not serve.
    EXPECT_EQ(plc.Handle(Frame("01 04 00 00 00 01"))[1], 0x84);
}

TEST(PlcFraming, TellsRequestLengthsByTheirFunctionCode) {
    auto length = [](const std::string& hex) {
        Bytes b = HexBytes(hex);
        return plcsim::RequestLength(b.data(), b.size());
    };
    EXPECT_EQ(length("01"), 0u);
    EXPECT_EQ(length("01 20"), 10u);
    EXPECT_EQ(length("01 1E"), 10u);
    EXPECT_EQ(length("01 21 80 00 00 00 00"), 0u);         // byte count not there yet
    EXPECT_EQ(length("01 21 80 00 00 00 00 02 04"), 15u);  // 9 + 4 data + 2 CRC
    EXPECT_EQ(length("01 03"), 8u);
    EXPECT_EQ(length("01 10 00 00 00 02 04"), 13u);
    EXPECT_EQ(length("01 42"), plcsim::kUnknownLength);
}
