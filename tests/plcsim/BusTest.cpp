// Several stations on one simulated line: each answers from its own memory
// with its own faults, an absent station stays silent, the command line gives
// each station its own options, and a server in echo mode sends every request
// back before its answer.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ScriptedPort.h"
#include "SimLink.h"
#include "plcsim/Options.h"
#include "plcsim/Server.h"

namespace {

Bytes ReadD0(uint8_t station) { return WithCrc({station, 0x20, 0x80, 0, 0, 0, 0, 1}); }
Bytes D0Answer(uint8_t station) {  // station * 100 in D0
    uint16_t value = static_cast<uint16_t>(station * 100);
    return WithCrc({station, 0x20, 0x02, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
}

// Stations 3, 4 and 5, 4 with a fault that silences it.
void AddThreeStations(plcsim::Bus& bus) {
    for (uint8_t station : {3, 4, 5}) bus.Add(station).Set("D", 0, static_cast<uint16_t>(station * 100));
    plcsim::FaultRule silent;
    silent.kind = plcsim::FaultKind::NoAnswer;
    bus.At(4).AddFault(silent);
}

}  // namespace

TEST(PlcBus, AnswersEachStationFromItsOwnMemoryWithItsOwnFaultsAndLeavesAbsentOnesSilent) {
    plcsim::Bus bus;
    AddThreeStations(bus);
    EXPECT_EQ(bus.Stations(), (std::vector<uint8_t>{3, 4, 5}));
    const struct {
        uint8_t station;
        bool answers;
        uint64_t requests;  // counted by the station's PLC
    } cases[] = {{3, true, 1}, {4, false, 1}, {5, true, 1}, {1, false, 0}, {6, false, 0}, {3, true, 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(BytesHex(bus.Handle(ReadD0(c.station))), c.answers ? BytesHex(D0Answer(c.station)) : "")
            << +c.station;
        plcsim::Plc* plc = bus.Find(c.station);
        EXPECT_EQ(plc != nullptr ? plc->RequestCount() : 0u, c.requests) << +c.station;
    }
    EXPECT_EQ(bus.Find(6), nullptr);
    EXPECT_THROW(bus.At(6), std::out_of_range);
    EXPECT_THROW(bus.Add(4), std::invalid_argument);
}

TEST(PlcBus, CommandLineGivesEachStationItsOwnOptionsAndTheCommonOnes) {
    const struct {
        std::vector<std::string> args;
        const char* stations;  // station, CRC order, assignments, fault count; null: refused
    } cases[] = {
        {{"--set", "D1=9", "--fault", "delay", "--station", "3", "--set", "D0=5", "--station=4", "--set", "D0=7",
          "--fault", "noanswer", "--crc", "hl"},
         "3 lh D1=9 D0=5 1; 4 hl D1=9 D0=7 2; "},
        {{"--set", "D1=9", "--station", "7", "--set", "D0=5"}, "7 lh D1=9 D0=5 0; "},  // one station: all its own
        {{"--crc", "hl", "--echo"}, "1 hl 0; "},
        {{"--station", "3", "--station", "3"}, nullptr},
    };
    for (const auto& c : cases) {
        plcsim::Options o;
        std::string error, text;
        ASSERT_EQ(plcsim::ParseCommandLine(c.args, o, error), c.stations != nullptr) << error;
        for (const plcsim::StationOptions& s : o.stations) {
            text += std::to_string(s.station) + (s.crcOrder == plcsim::CrcOrder::HighFirst ? " hl" : " lh");
            for (const std::string& a : s.assignments) text += " " + a;
            text += " " + std::to_string(s.faults.size()) + "; ";
        }
        EXPECT_EQ(text, c.stations != nullptr ? c.stations : "");
        EXPECT_TRUE(o.stations.size() != 1 || o.assignments == o.stations[0].assignments);
        EXPECT_EQ(o.echo, c.args.back() == "--echo");
    }
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
    for (uint8_t station : {3, 4, 6, 5}) {
        Bytes expected = ReadD0(station);
        Bytes answer = station == 3 || station == 5 ? D0Answer(station) : Bytes();  // 4 is silenced, 6 absent
        expected.insert(expected.end(), answer.begin(), answer.end());
        EXPECT_EQ(BytesHex(simlink::Transact(fd, ReadD0(station), expected.size())), BytesHex(expected)) << +station;
        EXPECT_TRUE(simlink::ReadFor(fd, 1, 100).empty()) << +station;  // nothing after it
    }
    ::close(fd);
}
