// The TCP port against the simulator's TCP server (a serial device server),
// including broken links, a vanished server and large writes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

int Receive(ICommunication& port, int count, unsigned timeoutMs) {
    unsigned char buf[256];
    int length = count;
    return port.ReadLength(buf, &length, timeoutMs);
}

std::string Address(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace

TEST(TcpPort, CarriesRequestsAndAnswersToTheDeviceServer) {
    plcsim::Plc plc;
    plcsim::TcpServer server(plc);
    server.Start();
    TcpPort port(Address(server.Port()));
    ASSERT_EQ(port.Open(), 0) << port.GetLastError();
    EXPECT_EQ(port.GetPortType(), 2);
    EXPECT_EQ(std::string(port.GetPortName()), Address(server.Port()));
    EXPECT_EQ(Send(port, kReadTenWords), 10);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Receive(port, 25, 5000), 25);
    EXPECT_LT(MsSince(start), 1000);
    // An answer that arrived but is not wanted any more is dropped.
    Send(port, kReadTenWords);
    unsigned char buf[4];
    int length = 1;
    EXPECT_EQ(port.ReadLength(buf, &length, 1000), 1);
    EXPECT_EQ(port.ClearInBuffer(), 0);
    EXPECT_EQ(Receive(port, 24, 100), 0);
}

TEST(TcpPort, ConnectsAgainAfterTheServerDroppedTheLink) {
    plcsim::Plc plc;
    plcsim::TcpServer server(plc);
    server.Start();
    TcpPort port(Address(server.Port()));
    ASSERT_EQ(port.Open(), 0);
    Send(port, kReadTenWords);
    EXPECT_EQ(Receive(port, 25, 2000), 25);
    server.DropConnection();
    // The read sees the end of the connection and says so at once.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Receive(port, 25, 5000), -1);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(Receive(port, 25, 5000), -1);  // still closed: at once
    // The next request goes over a new connection.
    EXPECT_EQ(Send(port, kReadTenWords), 10);
    EXPECT_EQ(port.IsOpen(), 1);
    EXPECT_EQ(Receive(port, 25, 2000), 25);
    EXPECT_LT(MsSince(start), 2000);
}

TEST(TcpPort, FailsQuicklyWhileTheServerIsGoneAndRecoversWhenItReturns) {
    plcsim::Plc plc;
    auto server = std::make_unique<plcsim::TcpServer>(plc);
    server->Start();
    const uint16_t at = server->Port();
    TcpPort port(Address(at));
    ASSERT_EQ(port.Open(), 0);
    server.reset();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Receive(port, 25, 5000), -1);
    // Connection refused, without SIGPIPE or a wait.
    EXPECT_EQ(Send(port, kReadTenWords), -1);
    EXPECT_EQ(port.GetLastError(), ECONNREFUSED);
    EXPECT_LT(MsSince(start), 1000);
    // The server comes back on the same port: the next write connects.
    server = std::make_unique<plcsim::TcpServer>(plc, at);
    server->Start();
    port.SetReconnectInterval(0);
    EXPECT_EQ(Send(port, kReadTenWords), 10);
    EXPECT_EQ(Receive(port, 25, 2000), 25);
}

TEST(TcpPort, WaitsOutTheReconnectIntervalAfterAFailedAttempt) {
    // A port nobody listens on: bind one and close it again.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ::close(probe);
    TcpPort port("127.0.0.1", ntohs(addr.sin_port));
    EXPECT_EQ(port.Open(), -1);
    EXPECT_EQ(port.GetLastError(), ECONNREFUSED);
    port.SetReconnectInterval(60000);
    // Within the interval the write does not even try.
    EXPECT_EQ(Send(port, kReadTenWords), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    TcpPort bad("no-port-here");
    EXPECT_EQ(bad.Open(), -1);
    EXPECT_EQ(bad.GetLastError(), EINVAL);
    EXPECT_EQ(bad.Configure("127.0.0.1:99999"), -1);
    EXPECT_EQ(bad.Configure("[::1]:502"), 0);
    EXPECT_EQ(std::string(bad.GetPortName()), "[::1]:502");
}

TEST(TcpPort, WritesLargeBlocksCompletelyAcrossPartialWrites) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    const size_t size = 8u << 20;  // far beyond the socket buffers
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    std::vector<unsigned char> received;
    std::thread sink([&] {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;
        int fd = ::accept(listener, nullptr, nullptr);
        unsigned char buf[65536];
        while (received.size() < size) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 5000) != 1) break;
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            received.insert(received.end(), buf, buf + n);
        }
        ::close(fd);
    });
    TcpPort port("127.0.0.1", ntohs(addr.sin_port));
    ASSERT_EQ(port.Open(), 0);
    int length = static_cast<int>(size);
    EXPECT_EQ(port.WriteBytes(data.data(), &length, 10000), static_cast<int>(size));
    EXPECT_EQ(length, static_cast<int>(size));
    sink.join();
    ::close(listener);
    EXPECT_TRUE(received == data);
}
