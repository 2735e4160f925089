// One collection step end to end: the request on the wire, the answer decoded
// into the database, which channels a step reads and stores, and how values
// reach channels of each database type.
#include <climits>
#include <cmath>
#include <cstring>

#include "CollectFixture.h"

using namespace collect;

namespace {

uint32_t FloatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

}  // namespace

// Word rows at D10 (signed 16-bit) and D11 (float over two words) are one
// request of three words; the answer FFFE 0000 3F80 reads as -2 and, with the
// float order "2 - 3412", as 1.0.
TEST_F(CollectTest, AWholeReadSendsTheExactRequestAndDecodesItsAnswer) {
    useScript = true;
    std::vector<int32_t> properties = DefaultProperties();
    properties[4] = 2;
    Start({Row(kD, 10, kWb), Row(kD, 11, kDf)}, properties);
    script.QueueChunk(HexBytes("01 20 06 FF FE 00 00 3F 80 4E F3"));
    EXPECT_EQ(Collect(), 0);
    ASSERT_EQ(script.Writes().size(), 1u);
    EXPECT_EQ(BytesHex(script.Writes()[0]), "01 20 80 00 00 0A 00 03 DF C6");
    ASSERT_FALSE(script.Reads().empty());
    EXPECT_EQ(script.Reads()[0].length, 11);  // the whole answer is asked for at once
    EXPECT_EQ(Value(0), -2.0);
    EXPECT_EQ(Value(1), 1.0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1}));
}

TEST_F(CollectTest, NoPlanYetReadsAndStoresNothing) {
    session = std::make_unique<DriverSession>();
    Db().DeclareChannel(0, DATATYPE_DOUBLE);
    ASSERT_EQ(session->UsePort(&loop), 0);
    ASSERT_EQ(session->Init(MakeBlob(DefaultProperties(), {Row(kD, 0, kWub)})), 0);
    EXPECT_EQ(session->Collect({1}), 0);
    EXPECT_EQ(loop.WriteCount(), 0u);
    EXPECT_TRUE(Db().Stores().empty());
}

// D0 and D100 are two requests. A channel whose host flag is 2 never causes a
// read by itself, but is stored like any other when its request is read.
TEST_F(CollectTest, FlagTwoChannelsAreStoredOnlyWithARequestReadForAnother) {
    plc.SetRange("D", 0, {7, 8});
    plc.Set("D", 100, 9);
    Start({Row(kD, 0, kWub), Row(kD, 1, kWub), Row(kD, 100, kWub)});
    EXPECT_EQ(Collect({2, 2, 2}), 0);
    EXPECT_EQ(Collect({2, 0, 0}), 0);
    EXPECT_EQ(loop.WriteCount(), 0u);
    EXPECT_TRUE(Stored().empty());
    EXPECT_EQ(Collect({2, 1, 2}), 0);  // rank 0, read for channel 1
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1}));
    EXPECT_EQ(Value(0), 7.0);
    EXPECT_EQ(Value(1), 8.0);
    EXPECT_EQ(Collect({2, 1, 2}), 0);  // rank 1 is not due: rank 0 again
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1}));
    EXPECT_EQ(loop.WriteCount(), 2u);
}

// D0 and D2 are in use, D1 (not in use) lies inside their request: it is
// decoded and stored as well; so is a channel of the request that the host
// stops using.
TEST_F(CollectTest, ChannelsNotInUseInsideAReadRequestAreDecodedAndStored) {
    plc.SetRange("D", 0, {11, 12, 13});
    session = std::make_unique<DriverSession>();
    for (int c = 0; c < 3; ++c) Db().DeclareChannel(c, DATATYPE_DOUBLE);
    ASSERT_EQ(session->UsePort(&loop), 0);
    ASSERT_EQ(session->Init(MakeBlob(DefaultProperties(), {Row(kD, 0, kWub), Row(kD, 1, kWub), Row(kD, 2, kWub)})), 0);
    ASSERT_EQ(session->RefChange({1, 0, 1}), 0);
    EXPECT_EQ(session->Collect({1, 0, 1}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Value(1), 12.0);
    plc.Set("D", 2, 33);
    EXPECT_EQ(session->Collect({1, 0, 0}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Value(2), 33.0);
}

// A float read as 12.9 goes to an integer channel as 12, -12.9 as -12; values
// beyond the range of an integer channel are held at its ends and a NaN
// stores 0, the same on every processor.
TEST_F(CollectTest, IntegerChannelsTakeValuesTruncatedTowardZero) {
    uint32_t up = FloatBits(12.9f), down = FloatBits(-12.9f), nan = FloatBits(std::nanf(""));
    plc.SetRange("D", 0,
                 {static_cast<uint16_t>(up >> 16), static_cast<uint16_t>(up), static_cast<uint16_t>(down >> 16),
                  static_cast<uint16_t>(down), 0xFFFF, 0xFFFF, 0x8000, 0, 0, 0, static_cast<uint16_t>(nan >> 16),
                  static_cast<uint16_t>(nan), 0x7FFF, 0xFFFF});
    Start({Row(kD, 0, kDf), Row(kD, 2, kDf), Row(kD, 4, kDub), Row(kD, 6, kLb), Row(kD, 10, kDf), Row(kD, 12, kDb)},
          DefaultProperties(), DATATYPE_INT);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Db().Channel(0).i, 12);
    EXPECT_EQ(Db().Channel(1).i, -12);
    EXPECT_EQ(Db().Channel(2).i, INT_MAX);  // 4294967295
    EXPECT_EQ(Db().Channel(3).i, INT_MIN);  // -2^63
    EXPECT_EQ(Db().Channel(4).i, 0);
    EXPECT_EQ(Db().Channel(5).i, INT_MAX);  // 2147483647 itself
    EXPECT_EQ(Stored().size(), 6u);
}

TEST_F(CollectTest, StringChannelsTakeTheTextAndOtherTypesAreSkipped) {
    plc.SetRange("D", 0, {0x4142, 0x4344, 5});
    session = std::make_unique<DriverSession>();
    Db().DeclareChannel(0, DATATYPE_STRING);
    Db().DeclareChannel(1, DATATYPE_NONE);
    ASSERT_EQ(session->UsePort(&loop), 0);
    std::vector<int32_t> properties = DefaultProperties();
    properties[6] = 1;  // bytes as received
    ASSERT_EQ(session->Init(MakeBlob(properties, {Row(kD, 0, kStr, 4), Row(kD, 2, kWub), Row(kD, 3, kWub)})), 0);
    ASSERT_EQ(session->RefChange({1, 1, 1}), 0);
    EXPECT_EQ(session->Collect({1, 1, 1}), 0);
    EXPECT_EQ(Db().Channel(0).s, "ABCD");
    EXPECT_EQ(Stored(), (std::vector<int>{0}));  // channel 2 is not declared at all
}

// Interface version 0: the PLC is still read and the result returned, but no
// database call gets through, so nothing is stored.
TEST_F(CollectTest, InterfaceVersionZeroReadsButStoresNothing) {
    plc.Set("D", 0, 5);
    Start({Row(kD, 0, kWub)}, DefaultProperties(), DATATYPE_DOUBLE, 0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(loop.WriteCount(), 1u);
    EXPECT_TRUE(Db().Stores().empty());
    EXPECT_EQ(Db().CollectFlagCalls(), 0);
    plcsim::FaultRule silent;
    silent.kind = plcsim::FaultKind::NoAnswer;
    plc.AddFault(silent);
    EXPECT_EQ(Collect(), DEVCTRL_NOANSWER);
    EXPECT_EQ(loop.WriteCount(), 2u);
}
