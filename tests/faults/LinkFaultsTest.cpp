// Faults of the link itself: the pseudo-terminal going away in the middle of
// a collection, a device server resetting the TCP connection, the port taken
// away by the host, and a PLC that streams bytes without end. Each failed call
// gives its documented result and keeps the values and the cursor; the next
// calls recover once the line works again. The simulator's servers play every
// fault (the reset and the endless stream are fault kinds of its own).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "FaultDevice.h"
#include "HostPorts.h"
#include "plcsim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits (yielding) until the condition holds; false after five seconds.
template <class Condition>
bool Eventually(Condition condition) {
    Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

plcsim::FaultRule LineFault(plcsim::FaultKind kind) {
    plcsim::FaultRule rule;
    rule.kind = kind;
    return rule;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The device path the serial port opens: a link that the test points at the
// pseudo-terminal of the current server, as a udev name follows a replugged
// adapter.
class DeviceLink {
public:
    DeviceLink() : m_path(std::string(::testing::TempDir()) + "faults-tty-" + std::to_string(::getpid())) {}
    ~DeviceLink() { ::unlink(m_path.c_str()); }
    void PointAt(const std::string& target) {
        ::unlink(m_path.c_str());
        ASSERT_EQ(::symlink(target.c_str(), m_path.c_str()), 0);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace

TEST(LinkFaults, APseudoTerminalClosingDuringACollectionFailsItAndTheReopenedLineRecovers) {
    plcsim::Plc plc;
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    DeviceLink link;
    auto server = std::make_unique<plcsim::PtyServer>(plc);
    server->Start();
    link.PointAt(server->SlavePath());
    SerialPort port(link.Path());
    ASSERT_EQ(port.Open(), 0);
    FaultDevice device(&port, 400);
    ASSERT_EQ(device.Collect(), 0);
    const std::vector<double> before = device.Stored();

    // The answer is held back; the line goes away while the driver waits.
    FaultDevice::SetValues(plc, 111, -222, 0, 333);
    plcsim::FaultRule hold;
    hold.kind = plcsim::FaultKind::Delay;
    hold.delayMs = 5000;
    plc.AddFault(hold);
    const uint64_t frames = server->FramesReceived();
    const int rank = device.Cursor();
    std::future<int> collecting = std::async(std::launch::async, [&device] { return device.Collect(); });
    ASSERT_TRUE(Eventually([&] { return server->FramesReceived() > frames; }));
    server.reset();  // closes the pseudo-terminal
    Clock::time_point start = Clock::now();
    EXPECT_EQ(collecting.get(), 2);
    EXPECT_LT(MsSince(start), 400 + 200);
    EXPECT_EQ(device.Stored(), before);
    EXPECT_EQ(device.Cursor(), rank);

    // Without a line every call fails the same way.
    EXPECT_EQ(device.Collect(), DEVCTRL_NOANSWER);
    EXPECT_EQ(device.Cursor(), rank);

    plc.ClearFaults();
    server = std::make_unique<plcsim::PtyServer>(plc);
    server->Start();
    link.PointAt(server->SlavePath());
    for (int i = 0; i < device.RankCount(); ++i) EXPECT_EQ(device.Collect(), 0);
    EXPECT_EQ(device.Stored(), FaultDevice::Held(plc));
}

TEST(LinkFaults, ADeviceServerResettingTheConnectionFailsTheCallAndTheNextConnectionRecovers) {
    plcsim::Plc plc;
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    plcsim::TcpServer server(plc);
    server.Start();
    TcpPort port("127.0.0.1", server.Port());
    ASSERT_EQ(port.Open(), 0);
    FaultDevice device(&port);
    ASSERT_EQ(device.Collect(), 0);
    const std::vector<double> before = device.Stored();
    FaultDevice::SetValues(plc, 111, -222, 0, 333);

    plc.AddFault(LineFault(plcsim::FaultKind::Reset));
    const int rank = device.Cursor();
    EXPECT_EQ(device.Collect(), DEVCTRL_NOANSWER);
    EXPECT_EQ(device.Stored(), before);
    EXPECT_EQ(device.Cursor(), rank);
    int written = 5;
    EXPECT_EQ(device.Ctrl()->WriteChannel(0, DATATYPE_INT, &written), DEVCTRL_WRITEFAILED);
    EXPECT_EQ(plc.Get("D", 0), 111);

    plc.ClearFaults();
    EXPECT_EQ(device.Collect(), 0);  // the port connects again for the request
    EXPECT_EQ(device.Cursor(), (rank + 1) % 3);
    EXPECT_EQ(device.Ctrl()->WriteChannel(0, DATATYPE_INT, &written), 0);
    EXPECT_EQ(plc.Get("D", 0), 5);
}

TEST(LinkFaults, APortTakenAwayBetweenCallsFailsEveryOperationUntilItIsGivenBack) {
    plcsim::Plc plc;
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0);
    FaultDevice device(&port);
    ASSERT_EQ(device.Collect(), 0);
    const std::vector<double> before = device.Stored();
    const std::string plan = device.TableAndPlan();
    const int rank = device.Cursor();
    FaultDevice::SetValues(plc, 111, -222, 0, 333);

    ASSERT_EQ(device.Ctrl()->UpdataCommunication(nullptr), 0);
    device.Rtdb().SetVariable("v", -1.0);
    int written = 5;
    EXPECT_EQ(device.Collect(), -2);
    EXPECT_EQ(device.Ctrl()->WriteChannel(0, DATATYPE_INT, &written), -2);
    EXPECT_EQ(device.Ctrl()->DevIOCtrl("READ(D,1,WB=v)"), -2);
    EXPECT_EQ(server.FramesReceived(), 1u);  // nothing went out
    EXPECT_EQ(device.Stored(), before);
    EXPECT_EQ(device.Rtdb().Variable("v").d, -1.0);
    EXPECT_EQ(device.Cursor(), rank);
    EXPECT_EQ(device.TableAndPlan(), plan);

    ASSERT_EQ(device.Ctrl()->UpdataCommunication(&port), 0);
    EXPECT_EQ(device.Cursor(), rank);
    for (int i = 0; i < device.RankCount(); ++i) EXPECT_EQ(device.Collect(), 0);
    EXPECT_EQ(device.Stored(), FaultDevice::Held(plc));
}

TEST(LinkFaults, APlcStreamingBytesWithoutEndIsCutOffWithinTheWaitAndTheLineRecovers) {
    plcsim::Plc plc;
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0);
    FaultDevice device(&port);
    ASSERT_EQ(device.Collect(), 0);
    const std::vector<double> before = device.Stored();
    FaultDevice::SetValues(plc, 111, -222, 0, 333);

    plc.AddFault(LineFault(plcsim::FaultKind::Stream));
    const int rank = device.Cursor();
    for (int i = 0; i < 3; ++i) {
        // Whatever arrives is taken up to the expected length and refused
        // (AA is no function code).
        Clock::time_point start = Clock::now();
        EXPECT_EQ(device.Collect(), DEVCTRL_BADANSWER);
        EXPECT_LT(MsSince(start), 150 + 300);
        EXPECT_EQ(device.Cursor(), rank);
    }
    device.Rtdb().SetVariable("v", -1.0);
    EXPECT_EQ(device.Ctrl()->DevIOCtrl("READ(D,1,WB=v)"), DEVCTRL_BADANSWER);
    EXPECT_EQ(device.Stored(), before);
    EXPECT_EQ(device.Rtdb().Variable("v").d, -1.0);

    // The stream stops (no byte goes out once the fault is cleared); what is
    // still in the line is dropped before the next request, so the answers
    // are the PLC's own again.
    plc.ClearFaults();
    for (int i = 0; i < device.RankCount(); ++i) EXPECT_EQ(device.Collect(), 0);
    EXPECT_EQ(device.Stored(), FaultDevice::Held(plc));
}
