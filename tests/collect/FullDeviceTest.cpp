// A full device of several hundred channels of mixed kinds, collected from
// the simulated PLC until every request was read, under several settings of
// the decode orders, string encoding and CRC order: every channel holds what
// the PLC's memory says, twice over with fresh memory.
#include "CollectFixture.h"
#include "MixedDevice.h"

using namespace collect;

namespace {

class FullDevice : public CollectTest, public ::testing::WithParamInterface<mixed::Orders> {
protected:
    // Collects until every channel was stored since the last call; the number
    // of calls that took (the device's ranks).
    int CollectAll(size_t channels) {
        std::vector<bool> seen(channels, false);
        size_t left = channels;
        int calls = 0;
        while (left > 0 && calls < 1000) {
            ++calls;
            EXPECT_EQ(Collect(), 0) << "call " << calls;
            for (int c : Stored())
                if (c >= 0 && static_cast<size_t>(c) < channels && !seen[c]) seen[c] = true, --left;
        }
        EXPECT_EQ(left, 0u);
        return calls;
    }
    void ExpectValues(const mixed::Device& device) {
        for (size_t c = 0; c < device.rows.size(); ++c) {
            const MemoryRtdb::Value& stored = Db().Channel(static_cast<int>(c));
            const TestRow& r = device.rows[c];
            std::string where = std::string(mixed::Device::AreaName(r.chlType)) + std::to_string(r.address) + " code " +
                                std::to_string(r.dataType) + " channel " + std::to_string(c);
            if (device.types[c] == DATATYPE_STRING)
                EXPECT_EQ(stored.s, device.ExpectedText(plc, c)) << where;
            else if (device.types[c] == DATATYPE_INT)
                EXPECT_EQ(stored.i, mixed::Device::Truncated(device.Expected(plc, c))) << where;
            else
                EXPECT_EQ(stored.d, device.Expected(plc, c)) << where;
        }
    }
};

}  // namespace

TEST_P(FullDevice, EveryChannelReadsWhatThePlcHolds) {
    mixed::Device device(GetParam(), 20261208);
    ASSERT_GE(device.rows.size(), 400u);
    device.Fill(plc, 1);
    session = std::make_unique<DriverSession>();
    for (size_t c = 0; c < device.rows.size(); ++c) Db().DeclareChannel(static_cast<int>(c), device.types[c]);
    ASSERT_EQ(session->UsePort(&loop), 0);
    ASSERT_EQ(session->Init(MakeBlob(device.Properties(100), device.rows)), 0);
    count = static_cast<int>(device.rows.size());
    ASSERT_EQ(session->RefChange(DriverSession::AllInUse(count)), 0);

    int ranks = CollectAll(device.rows.size());
    EXPECT_GT(ranks, 20);
    EXPECT_EQ(static_cast<int>(loop.WriteCount()), ranks);
    ExpectValues(device);

    device.Fill(plc, 2);
    EXPECT_EQ(CollectAll(device.rows.size()), ranks);
    ExpectValues(device);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, FullDevice,
    ::testing::Values(mixed::Orders{0, 0, 0, 0, 0, 0, 1, false}, mixed::Orders{1, 1, 2, 4, 7, 1, 0, true},
                      mixed::Orders{0, 3, 3, 5, 2, 0, 0, false}, mixed::Orders{1, 2, 1, 7, 6, 1, 1, true},
                      mixed::Orders{0, 0, 0, 1, 3, 1, 0, false}, mixed::Orders{5, 4, -1, 8, 9, 0, 2, false}));
