// Address changes at run time and hostile counts: requests are formed from the
// rows' current addresses, a planned request that no longer makes sense is
// not sent, and no row is decoded from outside its answer or indexed outside
// the exchange arrays.
#include <climits>

#include "CollectFixture.h"

using namespace collect;

namespace {

const int kBadArgument = DEVCTRL_ERR_ARGUMENT;

class AddressChange : public CollectTest {
protected:
    void SetUp() override {
        ScriptThroughPlc();
        for (uint32_t a = 0; a < 2048; ++a) plc.Set("D", a, static_cast<uint16_t>(1000 + a));
        for (uint32_t a = 0; a < 4096; a += 3) plc.Set("M", a, 1);
    }
    // Rows D10, D11, D12 (one request) and M0, M1, M2 (another).
    void StartSix() {
        Start({Row(kD, 10, kWub), Row(kD, 11, kWub), Row(kD, 12, kWub), Row(kM, 0, kBitArea), Row(kM, 1, kBitArea),
               Row(kM, 2, kBitArea)});
    }
    int Move(int channel, int offset) { return session->Ctrl()->SetChannelAddress(channel, offset); }
};

}  // namespace

TEST_F(AddressChange, OffsetsApplyToTheConfiguredAddressAndTheNextRequestUsesThem) {
    StartSix();
    EXPECT_EQ(Move(2, 10), 0);
    EXPECT_EQ(Move(2, 5), 0);  // not added up: D12 + 5
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(BytesHex(script.Writes().back()).substr(0, 23), "01 20 80 00 00 0A 00 08");  // D10 to D17
    EXPECT_EQ(Value(2), 1017.0);
    EXPECT_EQ(Move(2, 0), 0);
    EXPECT_EQ(Collect(), 0);  // rank 1
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(BytesHex(script.Writes().back()).substr(0, 23), "01 20 80 00 00 0A 00 03");
    EXPECT_EQ(Value(1), 1011.0);
    EXPECT_EQ(Value(2), 1012.0);
}

TEST_F(AddressChange, OffsetsOutOfRangeChangeNothingAndChannelsBeyondTheTableAreRefused) {
    StartSix();
    EXPECT_EQ(Move(1, -12), 0);  // negative address
    EXPECT_EQ(Move(1, INT_MAX), 0);
    EXPECT_EQ(Move(6, 1), kBadArgument);
    EXPECT_EQ(Move(1000000, 1), kBadArgument);
    EXPECT_EQ(Move(-1, 1), kBadArgument);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(BytesHex(script.Writes().back()).substr(0, 23), "01 20 80 00 00 0A 00 03");
    EXPECT_EQ(Value(1), 1011.0);
}

// The first row moved past the last: the request's length would be negative.
// Nothing is sent; the rank counts as not readable (1), stays due, and the
// other rank is not held up once this one is no longer wanted.
TEST_F(AddressChange, ARequestWhoseLengthTurnsNegativeIsNotSent) {
    StartSix();
    EXPECT_EQ(Move(0, 100), 0);
    EXPECT_EQ(Collect(), 1);
    EXPECT_TRUE(script.Writes().empty());
    EXPECT_TRUE(Stored().empty());
    EXPECT_EQ(Collect(), 1);
    EXPECT_TRUE(script.Writes().empty());
    EXPECT_EQ(Collect({0, 0, 0, 1, 1, 1}), 0);
    EXPECT_EQ(script.Writes().size(), 1u);
    EXPECT_EQ(Stored(), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(Move(0, 0), 0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(LastRequestAddress(), 10);
}

// Requests longer than an area allows (120 words, 1024 bits) or beyond the
// 24-bit element address are not sent; up to the limits they are.
TEST_F(AddressChange, RequestsBeyondTheAreaLimitsAreNotSent) {
    StartSix();
    EXPECT_EQ(Move(2, 200), 0);   // D10 .. D212: 203 words
    EXPECT_EQ(Move(5, 2000), 0);  // M0 .. M2002: 2003 bits
    EXPECT_EQ(Collect(), 1);
    EXPECT_EQ(Collect(), 1);
    EXPECT_EQ(Collect({0, 0, 0, 1, 1, 1}), 1);
    EXPECT_TRUE(script.Writes().empty());
    EXPECT_TRUE(Stored().empty());

    EXPECT_EQ(Move(5, 1021), 0);  // M0 .. M1023: 1024 bits
    EXPECT_EQ(Collect(), 0);      // the cursor stayed on rank 1
    EXPECT_EQ(BytesHex(script.Writes().back()).substr(0, 23), "01 1E 03 00 00 00 04 00");
    EXPECT_EQ(Value(5), static_cast<double>(plc.Get("M", 1023)));
    EXPECT_EQ(Move(2, 117), 0);  // D10 .. D129: 120 words
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(BytesHex(script.Writes().back()).substr(0, 23), "01 20 80 00 00 0A 00 78");
    EXPECT_EQ(Value(2), 1129.0);

    for (int c = 0; c < 3; ++c) EXPECT_EQ(Move(c, 0xFFFFF6), 0);  // D16777216 .. D16777218: past 24 bits
    EXPECT_EQ(Collect(), 0);                                      // rank 1
    size_t sent = script.Writes().size();
    EXPECT_EQ(Collect(), 1);
    EXPECT_EQ(script.Writes().size(), sent);
}

// A row moved inside its request reads its digits from where it now lies in
// the answer; one moved before the request's start or beyond its end has no
// digits in the answer and reads 0.
TEST_F(AddressChange, RowsMovedOutsideTheirAnswerReadZero) {
    StartSix();
    EXPECT_EQ(Move(1, 1), 0);  // D12, inside
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(1), 1012.0);
    EXPECT_EQ(Move(1, -5), 0);  // D6, before the start
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(1), 0.0);
    EXPECT_EQ(Value(0), 1010.0);
    EXPECT_EQ(Value(2), 1012.0);
    EXPECT_EQ(Move(1, 1000), 0);  // D1011, far beyond the three words read
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(1), 0.0);
    EXPECT_EQ(Value(2), 1012.0);
    EXPECT_EQ(Move(4, 3002), 0);  // M3003, far past the three bits read
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(3), 1.0);
    EXPECT_EQ(Value(4), 0.0);
    EXPECT_EQ(plc.Get("M", 3003), 1);
}

// Reference arrays shorter than the table: the missing channels count as not
// in use, the exchange arrays still cover every row, and rows inside a read
// request are stored although the host gave no entry for them.
TEST_F(AddressChange, CountsBelowTheRowCountIndexNothingOutsideTheArrays) {
    StartSix();
    EXPECT_EQ(session->Collect({1}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(session->Collect({1}), 0);  // rank 1 holds no wanted channel: rank 0 again
    EXPECT_EQ(LastRequestAddress(), 10);
    Stored();
    EXPECT_EQ(session->RefChange({0, 0, 0, 1}), 0);  // only M0 planned
    EXPECT_EQ(session->Collect({0, 0, 0, 1}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{3}));
    EXPECT_EQ(session->RefChange({1}), 0);  // only D10 planned
    EXPECT_EQ(session->Collect({1}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0}));
    int one = 1;
    EXPECT_EQ(session->Ctrl()->CollectDevData(&one, -1), -3);
    EXPECT_EQ(session->Ctrl()->ChannelRefChange(&one, -1), kBadArgument);
    EXPECT_EQ(session->Ctrl()->ChannelRefChange(nullptr, 1), kBadArgument);
    EXPECT_EQ(session->Ctrl()->CollectDevData(nullptr, 1), 0);
    // A reference change of count 0 plans from no channel in use.
    EXPECT_EQ(session->Ctrl()->ChannelRefChange(&one, 0), 0);
    size_t sent = script.Writes().size();
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(script.Writes().size(), sent);
}

// Arrays sized before the configuration was read (a reference change before
// InitDevice) still cover the whole table once it is there.
TEST_F(AddressChange, ArraysSizedBeforeTheConfigurationCoverTheTable) {
    session = std::make_unique<DriverSession>();
    for (int c = 0; c < 5; ++c) Db().DeclareChannel(c, DATATYPE_DOUBLE);
    ASSERT_EQ(session->UsePort(&script), 0);
    EXPECT_EQ(session->RefChange({1, 1}), 0);
    ASSERT_EQ(session->Init(MakeBlob(DefaultProperties(), {Row(kD, 10, kWub), Row(kD, 11, kWub), Row(kD, 12, kWub),
                                                           Row(kD, 13, kWub), Row(kD, 14, kWub)})),
              0);
    EXPECT_EQ(session->RefChange({1, 0}), 0);
    EXPECT_EQ(session->Collect({1, 0}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0}));
    EXPECT_EQ(session->RefChange({1, 0, 0, 0, 1}), 0);  // D10 and D14: one request across the hole
    EXPECT_EQ(session->Collect({1, 0}), 0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(Value(4), 1014.0);
}
