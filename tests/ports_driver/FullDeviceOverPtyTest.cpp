// The loaded plug-in collects a full device of several hundred mixed
// channels through a serial port on a pseudo-terminal, answered by the
// simulated PLC: every request is read once per cycle and every channel holds
// what the PLC's memory says.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../collect/MixedDevice.h"
#include "DriverSession.h"
#include "HostPorts.h"
#include "plcsim/Server.h"

TEST(FullDeviceOverPty, EveryChannelReadsWhatThePlcHolds) {
    plcsim::Plc plc;
    mixed::Device device(mixed::Orders{1, 3, 1, 6, 5, 0, 0, true}, 7);
    device.Fill(plc, 3);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0) << port.GetLastError();

    DriverSession session;
    const int count = static_cast<int>(device.rows.size());
    for (int c = 0; c < count; ++c) session.Rtdb().DeclareChannel(c, device.types[c]);
    ASSERT_EQ(session.UsePort(&port), 0);
    ASSERT_EQ(session.Init(MakeBlob(device.Properties(500), device.rows)), 0);
    ASSERT_EQ(session.RefChange(DriverSession::AllInUse(count)), 0);

    // Collects until every channel was stored, then once more for each rank
    // (a second cycle): each call sends exactly one request.
    std::vector<bool> seen(static_cast<size_t>(count), false);
    int left = count, calls = 0;
    while (left > 0 && calls < 1000) {
        ++calls;
        ASSERT_EQ(session.Collect(DriverSession::AllInUse(count)), 0) << "call " << calls;
        for (int c : session.Rtdb().Stores())
            if (!seen[static_cast<size_t>(c)]) seen[static_cast<size_t>(c)] = true, --left;
        session.Rtdb().ClearStores();
    }
    ASSERT_EQ(left, 0);
    uint64_t requests = plc.RequestCount();
    EXPECT_EQ(requests, static_cast<uint64_t>(calls));
    for (int call = 0; call < calls; ++call) ASSERT_EQ(session.Collect(DriverSession::AllInUse(count)), 0);
    EXPECT_EQ(plc.RequestCount(), 2 * requests);
    server.Stop();

    for (int c = 0; c < count; ++c) {
        const MemoryRtdb::Value& stored = session.Rtdb().Channel(c);
        if (device.types[c] == DATATYPE_STRING)
            EXPECT_EQ(stored.s, device.ExpectedText(plc, c)) << "channel " << c;
        else if (device.types[c] == DATATYPE_INT)
            EXPECT_EQ(stored.i, mixed::Device::Truncated(device.Expected(plc, c))) << "channel " << c;
        else
            EXPECT_EQ(stored.d, device.Expected(plc, c)) << "channel " << c;
    }
}
