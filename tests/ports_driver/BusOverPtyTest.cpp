// The loaded plug-in polls two stations of one simulated bus through one
// serial port on one pseudo-terminal: two devices share the port object and
// each stores what its own station holds, on a plain line and on one that
// echoes every request (the port dropping the echo).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Blob.h"
#include "DriverSession.h"
#include "HostPorts.h"
#include "plcsim/Server.h"

TEST(BusOverPty, TwoStationsOnOneLineEachGiveTheirOwnValues) {
    const struct {
        uint8_t station;
        uint16_t d0, d1;
    } kStations[] = {{3, 301, 302}, {5, 501, 502}};
    std::vector<TestRow> twoWords(2);  // D0 and D1 as unsigned words
    twoWords[1].address = 1;
    for (bool echo : {false, true}) {
        plcsim::Bus bus;
        for (const auto& s : kStations) bus.Add(s.station).SetRange("D", 0, {s.d0, s.d1});
        bus.Add(4).SetRange("D", 0, {401, 402});  // on the line, polled by nobody
        plcsim::ServerOptions options;
        options.echo = echo;
        plcsim::PtyServer server(bus, options);
        server.Start();
        SerialLineSettings line;
        line.echo = echo;
        SerialPort port(server.SlavePath(), line);
        ASSERT_EQ(port.Open(), 0) << port.ErrorText();

        std::vector<std::unique_ptr<DriverSession>> devices;
        for (const auto& s : kStations) {
            devices.push_back(std::make_unique<DriverSession>(("dev" + std::to_string(s.station)).c_str()));
            DriverSession& device = *devices.back();
            for (int c = 0; c < 2; ++c) device.Rtdb().DeclareChannel(c, DATATYPE_DOUBLE);
            std::vector<int32_t> properties = DefaultProperties();
            properties[0] = s.station;
            ASSERT_EQ(device.UsePort(&port), 0);
            ASSERT_EQ(device.Init(MakeBlob(properties, twoWords)), 0);
            ASSERT_EQ(device.RefChange(DriverSession::AllInUse(2)), 0);
        }
        for (int cycle = 0; cycle < 3; ++cycle)
            for (auto& device : devices) ASSERT_EQ(device->Collect(DriverSession::AllInUse(2)), 0);
        for (size_t i = 0; i < devices.size(); ++i) {
            EXPECT_EQ(devices[i]->Rtdb().Channel(0).d, kStations[i].d0) << "echo " << echo << " device " << i;
            EXPECT_EQ(devices[i]->Rtdb().Channel(1).d, kStations[i].d1) << "echo " << echo << " device " << i;
        }
        EXPECT_EQ(bus.At(4).RequestCount(), 0u);
    }
}
