// Faults end to end: the driver collects, writes and runs commands through a
// real port (a pseudo-terminal or a TCP link) against the simulated PLC while
// it misbehaves. For every fault: the documented result, the previous values
// kept in the database, the cursor kept on a failed request, the configured
// table and plan untouched by failing commands, and recovery once the PLC
// answers properly again. Waits are the device's own (150 ms).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FaultDevice.h"
#include "HostPorts.h"
#include "plcsim/Server.h"

namespace {

using plcsim::FaultKind;

enum class Transport { Pty, Tcp };

// A running server of the simulator and the host port connected to it.
struct Line {
    Line(plcsim::Plc& plc, Transport transport) {
        if (transport == Transport::Pty) {
            auto pty = std::make_unique<plcsim::PtyServer>(plc);
            port = std::make_unique<SerialPort>(pty->SlavePath());
            server = std::move(pty);
        } else {
            auto tcp = std::make_unique<plcsim::TcpServer>(plc);
            port = std::make_unique<TcpPort>("127.0.0.1:" + std::to_string(tcp->Port()));
            server = std::move(tcp);
        }
        server->Start();
        port->Open();
    }
    std::unique_ptr<plcsim::Server> server;
    std::unique_ptr<ICommunication> port;
};

struct FaultCase {
    FaultKind kind;
    int collect;  // CollectDevData
    int write;    // WriteChannel
    int command;  // DevIOCtrl, READ of one word
};

// A write answer is judged by its length and function code only, so a bad
// CRC passes there; every read answer has its CRC tested.
const FaultCase kFaultCases[] = {
    {FaultKind::NoAnswer, 2, 4, 2},    {FaultKind::BadCrc, 7, 0, 7}, {FaultKind::WrongFunction, 7, 4, 7},
    {FaultKind::ShortAnswer, 7, 4, 7}, {FaultKind::Split, 0, 0, 0},  {FaultKind::Delay, 0, 0, 0},
    {FaultKind::Byte5B, 7, 4, 7},
};

class EveryFault : public ::testing::TestWithParam<std::tuple<Transport, FaultCase>> {};

// Collects every rank once; all must succeed.
void FullCycle(FaultDevice& device) {
    for (int i = 0; i < device.RankCount(); ++i) ASSERT_EQ(device.Collect(), 0) << "rank " << device.Cursor();
}

}  // namespace

TEST_P(EveryFault, GivesItsResultKeepsValuesCursorAndPlanAndRecovers) {
    const Transport transport = std::get<0>(GetParam());
    const FaultCase fault = std::get<1>(GetParam());
    plcsim::Plc plc;
    Line line(plc, transport);
    FaultDevice device(line.port.get());
    ASSERT_EQ(device.RankCount(), 3);
    FaultDevice::SetValues(plc, 11, -22, 1, 33);
    FullCycle(device);
    const std::vector<double> before = FaultDevice::Held(plc);
    ASSERT_EQ(device.Stored(), before);
    const std::string plan = device.TableAndPlan();

    FaultDevice::SetValues(plc, 111, -222, 0, 333);
    plcsim::FaultRule rule;
    rule.kind = fault.kind;
    rule.length = 4;     // a short answer: station, function, count and one byte
    rule.gapMs = 30;     // a split answer: chunks of 3 bytes within the wait time
    rule.delayMs = 60;   // a late answer, still within the wait time
    plc.AddFault(rule);  // every request from now on

    const int rank = device.Cursor();
    EXPECT_EQ(device.Collect(), fault.collect);
    if (fault.collect != 0) {
        EXPECT_EQ(device.Stored(), before);  // nothing stored, the old values stay
        EXPECT_EQ(device.Cursor(), rank);
        EXPECT_EQ(device.Collect(), fault.collect);  // the same rank is asked for again
        EXPECT_EQ(device.Cursor(), rank);
    } else {
        EXPECT_EQ(device.Cursor(), (rank + 1) % 3);
        EXPECT_EQ(device.Stored()[0], 111);
    }

    device.Rtdb().SetVariable("v", -1.0);
    device.Rtdb().SetVariable("res", -1.0);
    int written = 77;
    EXPECT_EQ(device.Ctrl()->WriteChannel(3, DATATYPE_INT, &written), fault.write);
    EXPECT_EQ(device.Ctrl()->DevIOCtrl("READ(D,1,WB=v=res)"), fault.command);
    EXPECT_EQ(device.Rtdb().Variable("v").d, fault.command == 0 ? -222.0 : -1.0);
    EXPECT_EQ(device.Rtdb().Variable("res").d, fault.command);
    EXPECT_EQ(device.TableAndPlan(), plan);
    EXPECT_EQ(device.Cursor(), fault.collect != 0 ? rank : (rank + 1) % 3);

    plc.ClearFaults();
    FullCycle(device);
    EXPECT_EQ(device.Stored(), FaultDevice::Held(plc));
    EXPECT_EQ(device.Stored()[1], -222);
}

INSTANTIATE_TEST_SUITE_P(OverPtyAndTcp, EveryFault,
                         ::testing::Combine(::testing::Values(Transport::Pty, Transport::Tcp),
                                            ::testing::ValuesIn(kFaultCases)),
                         [](const ::testing::TestParamInfo<EveryFault::ParamType>& test) {
                             return std::string(std::get<0>(test.param) == Transport::Pty ? "Pty_" : "Tcp_") +
                                    plcsim::FaultName(std::get<1>(test.param).kind);
                         });
