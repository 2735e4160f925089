// The serial port against the simulator on a pseudo-terminal, and against bare
// pseudo-terminals for its line settings and write timeouts. Every wait is
// bounded by the port's own timeouts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "HostPorts.h"
#include "ScriptedPort.h"
#include "plcsim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

const Bytes kReadTenWords = HexBytes("01 20 80 00 00 00 00 0A 3F C2");  // answered by 25 bytes

int Send(ICommunication& port, Bytes request) {
    int length = static_cast<int>(request.size());
    return port.WriteBytes(request.data(), &length, 1000);
}

plcsim::FaultRule Fault(plcsim::FaultKind kind) {
    plcsim::FaultRule rule;
    rule.kind = kind;
    return rule;
}

// A pseudo-terminal pair of our own, nobody reading the master side.
struct BarePty {
    int master = -1;
    std::string slave;
    BarePty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
            ::ptsname_r(master, name, sizeof name) == 0)
            slave = name;
    }
    ~BarePty() {
        if (master >= 0) ::close(master);
    }
};

}  // namespace

TEST(SerialPort, ReturnsTheAnswerAsSoonAsItsLastByteArrived) {
    plcsim::Plc plc;
    plc.Set("D", 9, 0x0A0B);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0) << port.GetLastError();
    EXPECT_EQ(port.IsOpen(), 1);
    EXPECT_EQ(port.GetPortType(), 1);
    EXPECT_EQ(std::string(port.GetPortName()), server.SlavePath());
    EXPECT_EQ(Send(port, kReadTenWords), 10);
    unsigned char buf[64];
    int length = 25;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(port.ReadLength(buf, &length, 5000), 25);
    EXPECT_LT(MsSince(start), 1000);  // not the timeout
    EXPECT_EQ(buf[21], 0x0A);
    EXPECT_EQ(buf[22], 0x0B);
    EXPECT_EQ(port.SetDeviceName("boiler 3"), 0);
    EXPECT_EQ(port.DeviceName(), "boiler 3");
}

TEST(SerialPort, GathersSplitAnswersAndStopsAtTheTimeoutWithWhatCame) {
    plcsim::Plc plc;
    plcsim::FaultRule split = Fault(plcsim::FaultKind::Split);
    split.chunk = 10;
    split.gapMs = 30;
    split.firstRequest = split.lastRequest = 1;
    plcsim::FaultRule shortAnswer = Fault(plcsim::FaultKind::ShortAnswer);
    shortAnswer.length = 5;
    shortAnswer.firstRequest = shortAnswer.lastRequest = 2;
    plc.AddFault(split);
    plc.AddFault(shortAnswer);
    plc.AddFault([] {
        plcsim::FaultRule r = Fault(plcsim::FaultKind::NoAnswer);
        r.firstRequest = r.lastRequest = 3;
        return r;
    }());
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0);
    unsigned char buf[64];

    // Request 1: three chunks 30 ms apart, gathered by one call.
    Send(port, kReadTenWords);
    int length = 25;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(port.ReadLength(buf, &length, 2000), 25);
    EXPECT_GE(MsSince(start), 55);
    EXPECT_LT(MsSince(start), 1000);

    // Request 2: 5 of 25 bytes, then the timeout.
    Send(port, kReadTenWords);
    start = Clock::now();
    EXPECT_EQ(port.ReadLength(buf, &length, 200), 5);
    EXPECT_GE(MsSince(start), 195);
    EXPECT_LT(MsSince(start), 1000);

    // Request 3: nothing at all.
    Send(port, kReadTenWords);
    start = Clock::now();
    EXPECT_EQ(port.ReadLength(buf, &length, 150), 0);
    EXPECT_GE(MsSince(start), 145);
    EXPECT_LT(MsSince(start), 1000);
}

TEST(SerialPort, ReadsWhatIsThereAndStopsAfterAStopCharacter) {
    plcsim::Plc plc;
    plc.Set("D", 0, 0x0D0A);
    plcsim::FaultRule split = Fault(plcsim::FaultKind::Split);
    split.chunk = 3;
    split.gapMs = 50;
    split.firstRequest = split.lastRequest = 1;
    plc.AddFault(split);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0);
    const Bytes readD0 = WithCrc(HexBytes("01 20 80 00 00 00 00 01"));  // answer 01 20 02 0D 0A + CRC
    unsigned char buf[64];

    // ReadAvailable waits for the first chunk and takes only it; the rest is
    // still on its way, so nothing is said to be waiting.
    Send(port, readD0);
    int length = 64;
    EXPECT_EQ(port.ReadAvailable(buf, &length, 2000), 3);
    EXPECT_EQ(length, 0);
    length = 4;
    EXPECT_EQ(port.ReadLength(buf, &length, 2000), 4);

    // ReadUntilChar stops after 0x0A; the CRC behind it stays for the next read.
    Send(port, readD0);
    length = 64;
    EXPECT_EQ(port.ReadUntilChar(buf, &length, "\n", 2000), 5);
    EXPECT_EQ(BytesHex(Bytes(buf, buf + 5)), "01 20 02 0D 0A");
    length = 1;
    EXPECT_EQ(port.ReadAvailable(buf, &length, 100), 1);
    EXPECT_EQ(length, 1);  // the second CRC byte
    length = 1;
    EXPECT_EQ(port.ReadLength(buf, &length, 100), 1);
    EXPECT_EQ(buf[0], WithCrc(HexBytes("01 20 02 0D 0A"))[6]);

    // A stop character that never comes: the capacity ends the read.
    Send(port, readD0);
    length = 4;
    EXPECT_EQ(port.ReadUntilChar(buf, &length, "\x7E", 2000), 4);
    // ClearInBuffer drops the rest.
    EXPECT_EQ(port.ClearInBuffer(), 0);
    length = 3;
    EXPECT_EQ(port.ReadLength(buf, &length, 100), 0);
}

namespace {
extern "C" void IgnoreSignal(int) {}
}  // namespace

TEST(SerialPort, KeepsWaitingThroughInterruptingSignals) {
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = IgnoreSignal;  // no SA_RESTART: poll and read return EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    plcsim::Plc plc;
    plcsim::FaultRule delay = Fault(plcsim::FaultKind::Delay);
    delay.delayMs = 150;
    plc.AddFault(delay);
    plcsim::PtyServer server(plc);
    server.Start();
    SerialPort port(server.SlavePath());
    ASSERT_EQ(port.Open(), 0);

    std::atomic<bool> done{false};
    pthread_t reader = pthread_self();
    std::thread interrupter([&] {
        while (!done.load()) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing of the signals
        }
    });
    Send(port, kReadTenWords);
    unsigned char buf[64];
    int length = 25;
    Clock::time_point start = Clock::now();
    int got = port.ReadLength(buf, &length, 3000);
    int elapsed = MsSince(start);
    done.store(true);
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(got, 25);
    EXPECT_GE(elapsed, 140);
    EXPECT_LT(elapsed, 2000);
}

TEST(SerialPort, ReportsAVanishedDeviceAtOnceAndStaysUsable) {
    plcsim::Plc plc;
    auto server = std::make_unique<plcsim::PtyServer>(plc);
    server->Start();
    SerialPort port(server->SlavePath());
    ASSERT_EQ(port.Open(), 0);
    server.reset();  // the line disappears
    unsigned char buf[64];
    int length = 25;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(port.ReadLength(buf, &length, 5000), -1);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(port.IsOpen(), 0);
    // Later calls fail at once: the device cannot be opened again.
    EXPECT_EQ(port.ReadAvailable(buf, &length, 5000), -1);
    EXPECT_EQ(Send(port, kReadTenWords), -1);
    EXPECT_EQ(port.ClearInBuffer(), -1);
    EXPECT_LT(MsSince(start), 1000);
}

TEST(SerialPort, RefusesWhatIsNoSerialDevice) {
    SerialPort missing("/dev/does-not-exist");
    EXPECT_EQ(missing.Open(), -1);
    EXPECT_EQ(missing.GetLastError(), ENOENT);
    SerialPort notTty("/dev/null");
    EXPECT_EQ(notTty.Open(), -1);
    EXPECT_EQ(notTty.GetLastError(), ENOTTY);
    unsigned char buf[4];
    int length = 4;
    EXPECT_EQ(notTty.ReadLength(buf, &length, 1000), -1);
    EXPECT_EQ(notTty.WriteBytes(buf, &length, 1000), -1);
    EXPECT_EQ(notTty.ReadLength(nullptr, &length, 0), -1);
}

TEST(SerialPort, SetsTheLineAsConfigured) {
    SerialPort::LineSettings line;
    EXPECT_TRUE(SerialPort::ParseLineSettings("19200, 7, e, 2", line));
    EXPECT_EQ(line.baud, 19200u);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, 'E');
    EXPECT_EQ(line.stopBits, 2);
    EXPECT_TRUE(SerialPort::ParseLineSettings("115200", line));
    EXPECT_EQ(line.dataBits, 8);
    for (const char* bad : {"", "12345", "9600,9", "9600,8,X", "9600,8,N,3", "9600,8,N,1,1", "-9600"})
        EXPECT_FALSE(SerialPort::ParseLineSettings(bad, line)) << bad;

    BarePty pty;
    ASSERT_FALSE(pty.slave.empty());
    SerialPort port(pty.slave);
    ASSERT_EQ(port.Open(), 0);
    ASSERT_EQ(port.Configure("19200,7,O,2"), 0);
    EXPECT_EQ(port.Configure("19200,7,Q,2"), -1);
    int probe = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    termios tio;
    ASSERT_EQ(::tcgetattr(probe, &tio), 0);
    ::close(probe);
    // A pseudo-terminal keeps 8 data bits without parity whatever it is told,
    // so those two are seen in the port's settings only.
    EXPECT_EQ(port.Line().dataBits, 7);
    EXPECT_EQ(port.Line().parity, 'O');
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // raw
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialPort, WritesWhatFitsWithinTheTimeoutWhenTheLineIsStuck) {
    BarePty pty;  // nobody reads the master side: the line fills up
    ASSERT_FALSE(pty.slave.empty());
    SerialPort port(pty.slave);
    ASSERT_EQ(port.Open(), 0);
    std::vector<unsigned char> big(1 << 20, 0x55);
    int length = static_cast<int>(big.size());
    Clock::time_point start = Clock::now();
    int written = port.WriteBytes(big.data(), &length, 200);
    int elapsed = MsSince(start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    EXPECT_EQ(length, written);
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 2000);
}
