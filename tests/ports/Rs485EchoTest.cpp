// The serial port's RS-485 settings: direction control, which a
// pseudo-terminal refuses, and a line that echoes what the port writes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HostPorts.h"
#include "ScriptedPort.h"
#include "plcsim/Server.h"

namespace {

const Bytes kReadTenWords = HexBytes("01 20 80 00 00 00 00 0A 3F C2");  // answered by 25 bytes

}  // namespace

TEST(SerialPortSettings, TakeTheWordsRs485AndEchoAfterTheLine) {
    const struct {
        const char* text;
        bool rs485, echo;
    } good[] = {{"9600,8,N,1,rs485,echo", true, true}, {"19200,echo", false, true}, {"9600,8, E ,RS485", true, false}};
    for (const auto& c : good) {
        SerialLineSettings line;
        ASSERT_TRUE(SerialPort::ParseLineSettings(c.text, line)) << c.text;
        EXPECT_EQ(line.rs485, c.rs485) << c.text;
        EXPECT_EQ(line.echo, c.echo) << c.text;
    }
    SerialLineSettings line;
    for (const char* bad : {"rs485", "9600,echo,8", "9600,8,N,1,rs485,x", "9600,8,N,1,2,echo"})
        EXPECT_FALSE(SerialPort::ParseLineSettings(bad, line)) << bad;
}

TEST(SerialPortSettings, Rs485OnAPseudoTerminalFailsWithAMessageNamingThePort) {
    plcsim::Plc plc;
    plcsim::PtyServer server(plc);
    SerialLineSettings line;
    line.rs485 = true;
    SerialPort port(server.SlavePath(), line);
    EXPECT_EQ(port.Open(), -1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_NE(port.GetLastError(), 0);
    EXPECT_EQ(port.ErrorText().rfind(server.SlavePath() + ": ", 0), 0u) << port.ErrorText();
    EXPECT_NE(port.ErrorText().find("RS-485"), std::string::npos) << port.ErrorText();
    // Asked for once open, it fails the same way.
    SerialPort plain(server.SlavePath());
    ASSERT_EQ(plain.Open(), 0) << plain.ErrorText();
    EXPECT_EQ(plain.Configure("9600,rs485"), -1);
    EXPECT_NE(plain.ErrorText().find("RS-485"), std::string::npos) << plain.ErrorText();
}

// The simulator echoes the request or not; the port drops the 10 bytes it
// wrote or not. What reads then see, whether it matches or not, is the rest.
TEST(SerialPortSettings, EchoDropsAsManyBytesAsWereWrittenBeforeReadsSeeAny) {
    const struct { bool lineEchoes, portDrops; } cases[] = {{false, false}, {true, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        plcsim::Plc plc;
        plc.Set("D", 9, 0x0A0B);
        plcsim::ServerOptions options;
        options.echo = c.lineEchoes;
        plcsim::PtyServer server(plc, options);
        server.Start();
        SerialLineSettings line;
        line.echo = c.portDrops;
        SerialPort port(server.SlavePath(), line);
        ASSERT_EQ(port.Open(), 0) << port.ErrorText();
        Bytes stream = c.lineEchoes ? kReadTenWords : Bytes();
        Bytes answer = plc.Handle(kReadTenWords);
        stream.insert(stream.end(), answer.begin(), answer.end());
        Bytes expected(stream.begin() + (c.portDrops ? 10 : 0), stream.end());
        for (int round = 0; round < 2; ++round) {
            Bytes request = kReadTenWords;
            int length = 10;
            ASSERT_EQ(port.WriteBytes(request.data(), &length, 1000), 10);
            Bytes got(expected.size());
            length = static_cast<int>(got.size());
            ASSERT_EQ(port.ReadLength(got.data(), &length, 2000), length);
            EXPECT_EQ(BytesHex(got), BytesHex(expected)) << c.lineEchoes << c.portDrops << " round " << round;
            length = 0;
            port.ReadAvailable(got.data(), &length, 0);
            EXPECT_EQ(length, 0) << "bytes left over";
        }
    }
}
