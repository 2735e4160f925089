// Planned blocks written as text commands write them: one request per block,
// every row into its own elements, found by its own address and bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FakeClock.h"
#include "ScriptedPort.h"
#include "WriteHelpers.h"
#include "plcsim/LoopbackPort.h"

namespace {

const unsigned int kM = 0;   // bit area M
const unsigned int kD = 14;  // word area D

// The PLC register after bit `bit` of the driver's view of it was set or
// cleared: with 16-bit order 1 that view has the register's bytes swapped.
uint16_t WithBit(uint16_t plcWord, int bit, bool on, int order16) {
    int plcBit = order16 == 1 ? bit ^ 8 : bit;
    uint16_t mask = static_cast<uint16_t>(1u << plcBit);
    return on ? static_cast<uint16_t>(plcWord | mask) : static_cast<uint16_t>(plcWord & ~mask);
}

class BlockWrite : public ::testing::Test {
protected:
    FakeClock clock;
    plcsim::Plc plc;
    plcsim::LoopbackPort loopback{plc};
    BlockDevice device;
};

}  // namespace

TEST_F(BlockWrite, NineBitRowsPackIntoTwoDataBytes) {
    ScriptedPort port;
    port.SetResponder(EchoWrite);
    device.data.pComm = &port;
    device.AddRow(kD, 0, DATACODE_WUB, 0);  // the bits are rows 1-9 of the table
    const double bits[9] = {1, 0, 1, 1, 0, 0, 0, 1, 1};
    for (unsigned int i = 0; i < 9; ++i) device.AddRow(kM, 100 + i, DATACODE_BITAREA, bits[i]);
    ASSERT_EQ(device.Plan(), 2);
    EXPECT_EQ(device.WriteBlock(1), 10);
    ASSERT_EQ(port.Writes().size(), 1u);
    // 1F write bits, 03 area M, 00 00 64 element 100, 00 09 bits, 02 bytes;
    // rows 0-7 give bits 0-7: 1+4+8+0x80 = 8D; row 8 gives bit 0 of 01.
    EXPECT_EQ(BytesHex(port.Writes()[0]), "01 1F 03 00 00 64 00 09 02 8D 01 29 A5");
}

TEST_F(BlockWrite, BitsOfRegistersChangeOnlyTheirOwnBits) {
    // Rows of one block that are not consecutive bits: two bits of D0 in
    // reverse order, bits 15 and 2 of D1, then a block opened by a 16-bit row
    // whose register is followed by a bit of D11. No other bit may move.
    for (int order16 = 0; order16 <= 1; ++order16) {
        SCOPED_TRACE(order16);
        BlockDevice dev;
        dev.data.pComm = &loopback;
        dev.Prop(DEVPROP_ORDER16) = order16;
        plc.SetRange("D", 0, {0x5AF0, 0x1234, 0xAAAA});
        plc.SetRange("D", 10, {0, 0xF0F0});
        dev.AddRow(kD, 0, 5, 1);
        dev.AddRow(kD, 0, 0, 1);
        dev.AddRow(kD, 0, 4, 0);
        dev.AddRow(kD, 1, 15, 1);
        dev.AddRow(kD, 1, 2, 0);
        dev.AddRow(kD, 10, DATACODE_WUB, 0x0707);
        dev.AddRow(kD, 11, 3, 1);
        ASSERT_EQ(dev.Plan(), 2);
        ASSERT_EQ(dev.data.pDevData->arBlock[0].nEndRow, 4);  // all five bits share one block
        EXPECT_EQ(dev.WriteBlock(0), 10);
        EXPECT_EQ(dev.WriteBlock(1), 10);
        uint16_t d0 = WithBit(WithBit(WithBit(0x5AF0, 5, true, order16), 0, true, order16), 4, false, order16);
        uint16_t d1 = WithBit(WithBit(0x1234, 15, true, order16), 2, false, order16);
        EXPECT_EQ(plc.GetRange("D", 0, 3), (std::vector<uint16_t>{d0, d1, 0xAAAA}));
        EXPECT_EQ(plc.GetRange("D", 10, 2), (std::vector<uint16_t>{0x0707, WithBit(0xF0F0, 3, true, order16)}));
    }
}

TEST_F(BlockWrite, RowsAfterAStringRowAreWrittenToo) {
    device.data.pComm = &loopback;
    device.AddRow(kD, 20, DATACODE_STR, 0, "AB", 4);  // D20-D21
    device.AddRow(kD, 22, DATACODE_WUB, 0x1234);
    device.AddRow(kD, 23, DATACODE_WB, -2);
    ASSERT_EQ(device.Plan(), 1);
    ASSERT_EQ(device.data.pDevData->arBlock[0].nEndRow, 2);  // the string opened the block
    EXPECT_EQ(device.WriteBlock(0), 10);
    // ASCII, string order 0: "AB" goes out as 42 41 00 00.
    EXPECT_EQ(plc.GetRange("D", 20, 4), (std::vector<uint16_t>{0x4241, 0x0000, 0x1234, 0xFFFE}));
    EXPECT_EQ(plc.RequestCount(), 2u);
}

TEST_F(BlockWrite, StringBlockFailsWhenTheRowsAfterItAreRefused) {
    device.data.pComm = &loopback;
    plcsim::FaultRule refuse;
    refuse.kind = plcsim::FaultKind::WrongFunction;
    refuse.firstRequest = 2;  // the request for the rows after the string
    plc.AddFault(refuse);
    device.AddRow(kD, 20, DATACODE_STR, 0, "AB", 4);
    device.AddRow(kD, 22, DATACODE_WUB, 0x1234);
    ASSERT_EQ(device.Plan(), 1);
    EXPECT_EQ(device.WriteBlock(0), DEV_ERR_WRITE);
}

TEST_F(BlockWrite, RegisterAnswerShorterThanTheBlockStopsTheWrite) {
    // Bits of D5 and D6 read two registers; an answer that announces and
    // carries only one (with a valid CRC) leaves D6 unknown.
    ScriptedPort port;
    port.SetResponder([](const Bytes& request) {
        return request[1] == 0x20 ? std::vector<Bytes>{WithCrc(HexBytes("01 20 02 00 F0"))} : EchoWrite(request);
    });
    device.data.pComm = &port;
    device.AddRow(kD, 5, 3, 1);
    device.AddRow(kD, 6, 3, 1);
    ASSERT_EQ(device.Plan(), 1);
    EXPECT_EQ(device.WriteBlock(0), DEV_ERR_WRITE);
    ASSERT_EQ(port.Writes().size(), 1u);
    EXPECT_EQ(BytesHex(port.Writes()[0]).substr(0, 23), "01 20 80 00 00 05 00 02");
}
