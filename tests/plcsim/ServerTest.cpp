// The simulator's servers on a pseudo-terminal and on TCP, and the plcsim
// program itself, driven through raw byte links.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "ScriptedPort.h"
#include "SimLink.h"
#include "plcsim/Server.h"

using namespace simlink;

namespace {

const Bytes kReadTenWords = HexBytes("01 20 80 00 00 00 00 0A 3F C2");  // answered by 25 bytes

int ConnectTcp(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one line of a pipe within the timeout.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    Clock::time_point start = Clock::now();
    while (line.empty() || line.back() != '\n') {
        int left = timeoutMs - MsSince(start);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        line += c;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

}  // namespace

TEST(PtyServer, AnswersRequestsOnThePseudoTerminal) {
    plcsim::Plc plc;
    plc.SetRange("D", 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    plcsim::PtyServer server(plc);
    server.Start();
    int fd = OpenTty(server.SlavePath());
    ASSERT_GE(fd, 0) << server.SlavePath();
    EXPECT_EQ(BytesHex(Transact(fd, kReadTenWords, 25)),
              "01 20 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A DE 19");
    // Two requests in one write are two frames, answered one after the other.
    Bytes two = WithCrc(HexBytes("01 21 80 00 00 00 00 01 02 AB CD"));
    Bytes read = WithCrc(HexBytes("01 20 80 00 00 00 00 01"));
    two.insert(two.end(), read.begin(), read.end());
    Bytes answers = Transact(fd, two, 10 + 7);
    ASSERT_EQ(answers.size(), 17u);
    EXPECT_EQ(BytesHex(Bytes(answers.begin() + 10, answers.end())), BytesHex(WithCrc(HexBytes("01 20 02 AB CD"))));
    ::close(fd);
    // A client that comes back later finds the same line.
    fd = OpenTty(server.SlavePath());
    EXPECT_EQ(Transact(fd, kReadTenWords, 25).size(), 25u);
    ::close(fd);
    EXPECT_EQ(server.FramesReceived(), 4u);
}

TEST(PtyServer, DropsScrapsAtASilenceAndAnswersTheNextRequest) {
    plcsim::Plc plc;
    plcsim::ServerOptions options;
    options.silenceMs = 10;
    plcsim::PtyServer server(plc, options);
    server.Start();
    int fd = OpenTty(server.SlavePath());
    ASSERT_GE(fd, 0);
    // Half a request, then silence: nothing comes back.
    ASSERT_TRUE(WriteAll(fd, Bytes(kReadTenWords.begin(), kReadTenWords.begin() + 5)));
    EXPECT_TRUE(ReadFor(fd, 1, 100).empty());
    // A request of an unknown function ends at the silence and gets its exception.
    EXPECT_EQ(BytesHex(Transact(fd, WithCrc(HexBytes("01 42 00")), 5)), BytesHex(WithCrc(HexBytes("01 C2 01"))));
    EXPECT_EQ(Transact(fd, kReadTenWords, 25).size(), 25u);
    ::close(fd);
}

TEST(PtyServer, SendsSplitAnswersInChunksWithGaps) {
    plcsim::Plc plc;
    plcsim::FaultRule split;
    split.kind = plcsim::FaultKind::Split;
    split.chunk = 10;
    split.gapMs = 40;
    plc.AddFault(split);
    plcsim::PtyServer server(plc);
    server.Start();
    int fd = OpenTty(server.SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, kReadTenWords));
    Clock::time_point start = Clock::now();
    std::vector<size_t> sizes;
    Bytes answer = ReadFor(fd, 25, 2000, &sizes);
    int elapsed = MsSince(start);
    EXPECT_EQ(answer.size(), 25u);
    // 25 bytes in chunks of 10, 10, 5 with two gaps of 40 ms between them.
    EXPECT_EQ(sizes, (std::vector<size_t>{10, 10, 5}));
    EXPECT_GE(elapsed, 75);
    ::close(fd);
}

TEST(PtyServer, PacesAnswersAtTheBaudRate) {
    plcsim::Plc plc;
    plcsim::ServerOptions options;
    options.baud = 9600;
    plcsim::PtyServer server(plc, options);
    server.Start();
    int fd = OpenTty(server.SlavePath());
    ASSERT_GE(fd, 0);
    Clock::time_point start = Clock::now();
    Bytes answer = Transact(fd, kReadTenWords, 25);
    int elapsed = MsSince(start);
    EXPECT_EQ(answer.size(), 25u);
    // At 9600 baud a byte takes 10 / 9600 s = 1.04 ms: 10 request bytes, a gap
    // of 3.5 bytes and 25 answer bytes make 38.5 bytes, 40.1 ms.
    EXPECT_GE(elapsed, 39);
    EXPECT_LT(elapsed, 1000);
    ::close(fd);
}

TEST(TcpServer, AnswersOneClientAtATimeAndCanDropIt) {
    plcsim::Plc plc;
    plcsim::TcpServer server(plc);
    server.Start();
    ASSERT_NE(server.Port(), 0);
    int a = ConnectTcp(server.Port());
    ASSERT_GE(a, 0);
    EXPECT_EQ(Transact(a, kReadTenWords, 25).size(), 25u);
    // A second connection replaces the first, as on a serial device server.
    int b = ConnectTcp(server.Port());
    ASSERT_GE(b, 0);
    EXPECT_EQ(Transact(b, kReadTenWords, 25).size(), 25u);
    EXPECT_TRUE(ReadFor(a, 1, 200).empty());
    // A dropped connection ends at the client: read gives end of file.
    server.DropConnection();
    pollfd p{b, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    char c;
    EXPECT_EQ(::read(b, &c, 1), 0);
    ::close(a);
    ::close(b);
    int again = ConnectTcp(server.Port());
    EXPECT_EQ(Transact(again, kReadTenWords, 25).size(), 25u);
    ::close(again);
}

TEST(PlcsimProgram, PrintsThePathFirstAnswersAndStopsCleanlyOnSigterm) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(PLCSIM_PATH, "plcsim", "--pty", "--station", "3", "--set", "D7=0x1234", "--trace",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // Whatever fails below, the child does not outlive the test.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};
    std::string path = ReadLine(out[0], 5000);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    int fd = OpenTty(path);
    ASSERT_GE(fd, 0);
    Bytes answer = Transact(fd, WithCrc(HexBytes("03 20 80 00 00 07 00 01")), 7);
    EXPECT_EQ(BytesHex(answer), BytesHex(WithCrc(HexBytes("03 20 02 12 34"))));
    ::close(fd);
    std::string rx = ReadLine(out[0], 2000);
    std::string tx = ReadLine(out[0], 2000);
    EXPECT_NE(rx.find(" rx 03 20 80 00 00 07 00 01 "), std::string::npos) << rx;
    EXPECT_NE(tx.find(" tx 03 20 02 12 34 "), std::string::npos) << tx;
    ::kill(pid, SIGTERM);
    // Its output ends when it exits.
    Clock::time_point stopping = Clock::now();
    EXPECT_EQ(ReadLine(out[0], 5000), "");
    ASSERT_LT(MsSince(stopping), 5000);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    reaper.pid = 0;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(out[0]);
}
