// Several stations on one simulated line: each answers from its own memory
// with its own faults, an absent station stays silent, the command line gives
// each station its own options, and a server in echo mode sends every request
// back before its answer.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ScriptedPort.h"
#include "SimLink.h"
#include "plcsim/Bus.h"
#include "plcsim/Options.h"
#include "plcsim/Server.h"

namespace {

Bytes ReadD0(uint8_t station) { return WithCrc({station, 0x20, 0x80, 0, 0, 0, 0, 1}); }
Bytes D0Answer(uint8_t station, uint16_t value) {
    return WithCrc({station, 0x20, 0x02, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
}

// Stations 3, 4 and 5 holding 300, 400 and 500 in D0.
void AddThreeStations(plcsim::Bus& bus) {
    for (uint8_t station : {3, 4, 5}) bus.Add(station).Set("D", 0, static_cast<uint16_t>(station * 100));
}

}  // namespace

TEST(PlcBus, AnswersEachStationFromItsOwnMemoryAndLeavesAbsentOnesSilent) {
    plcsim::Bus bus;
    AddThreeStations(bus);
    EXPECT_EQ(bus.Stations(), (std::vector<uint8_t>{3, 4, 5}));
    for (uint8_t station : {3, 4, 5})
        EXPECT_EQ(BytesHex(bus.Handle(ReadD0(station))), BytesHex(D0Answer(station, station * 100))) << +station;
    for (uint8_t absent : {0, 1, 6, 255}) EXPECT_TRUE(bus.Handle(ReadD0(absent)).empty()) << +absent;
    EXPECT_EQ(bus.Find(6), nullptr);
    EXPECT_THROW(bus.At(6), std::out_of_range);
    EXPECT_THROW(bus.Add(4), std::invalid_argument);
}

TEST(PlcBus, AFaultOnOneStationLeavesTheOthersAlone) {
    plcsim::Bus bus;
    AddThreeStations(bus);
    plcsim::FaultRule silent;
    silent.kind = plcsim::FaultKind::NoAnswer;
    bus.At(4).AddFault(silent);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(bus.Handle(ReadD0(3)), D0Answer(3, 300));
        EXPECT_TRUE(bus.Handle(ReadD0(4)).empty());
        EXPECT_EQ(bus.Handle(ReadD0(5)), D0Answer(5, 500));
    }
    for (uint8_t station : {3, 4, 5}) EXPECT_EQ(bus.At(station).RequestCount(), 2u) << +station;
}

TEST(PlcBus, CommandLineGivesEachStationItsOwnOptionsAndTheCommonOnes) {
    plcsim::Options o;
    std::string error;
    ASSERT_TRUE(
        plcsim::ParseCommandLine({"--set", "D1=9", "--fault", "delay", "--station", "3", "--set", "D0=5", "--station=4",
                                  "--set", "D0=7", "--fault", "noanswer", "--crc", "hl", "--echo"},
                                 o, error))
        << error;
    EXPECT_TRUE(o.echo);
    ASSERT_EQ(o.stations.size(), 2u);
    EXPECT_EQ(o.stations[0].station, 3);
    EXPECT_EQ(o.stations[0].assignments, (std::vector<std::string>{"D1=9", "D0=5"}));
    EXPECT_EQ(o.stations[0].faults.size(), 1u);
    EXPECT_EQ(o.stations[0].crcOrder, plcsim::CrcOrder::LowFirst);
    EXPECT_EQ(o.stations[1].station, 4);
    EXPECT_EQ(o.stations[1].assignments, (std::vector<std::string>{"D1=9", "D0=7"}));
    EXPECT_EQ(o.stations[1].faults.size(), 2u);
    EXPECT_EQ(o.stations[1].crcOrder, plcsim::CrcOrder::HighFirst);

    // One station takes every option, wherever it stands.
    plcsim::Options one;
    ASSERT_TRUE(plcsim::ParseCommandLine({"--set", "D1=9", "--station", "7", "--set", "D0=5"}, one, error));
    ASSERT_EQ(one.stations.size(), 1u);
    EXPECT_EQ(one.station, 7);
    EXPECT_EQ(one.stations[0].assignments, (std::vector<std::string>{"D1=9", "D0=5"}));
    EXPECT_EQ(one.assignments, one.stations[0].assignments);
    EXPECT_FALSE(plcsim::ParseCommandLine({"--station", "3", "--station", "3"}, one, error));
    EXPECT_FALSE(plcsim::ParseCommandLine({"--echo=1"}, one, error));
}

TEST(PtyServer, InEchoModeSendsEveryRequestBackBeforeItsAnswer) {
    plcsim::Bus bus;
    AddThreeStations(bus);
    plcsim::ServerOptions options;
    options.echo = true;
    plcsim::PtyServer server(bus, options);
    server.Start();
    int fd = simlink::OpenTty(server.SlavePath());
    ASSERT_GE(fd, 0);
    const struct {
        uint8_t station;
        Bytes answer;
    } cases[] = {{3, D0Answer(3, 300)}, {6, {}}, {5, D0Answer(5, 500)}};
    for (const auto& c : cases) {
        Bytes expected = ReadD0(c.station);
        expected.insert(expected.end(), c.answer.begin(), c.answer.end());
        EXPECT_EQ(BytesHex(simlink::Transact(fd, ReadD0(c.station), expected.size())), BytesHex(expected))
            << +c.station;
        EXPECT_TRUE(simlink::ReadFor(fd, 1, 100).empty()) << +c.station;  // nothing after it
    }
    ::close(fd);
}
