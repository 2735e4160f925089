// The serial port's RS-485 settings: direction control, which a
// pseudo-terminal refuses, and a line that echoes what the port writes.
#include <gtest/gtest.h>

#include <string>

#include "HostPorts.h"
#include "ScriptedPort.h"
#include "plcsim/Server.h"

TEST(SerialPortSettings, TakeTheWordsRs485AndEchoAfterTheLine) {
    const struct {
        const char* text;
        int flags;  // 1 rs485, 2 echo; -1 refused
    } cases[] = {{"9600,8,N,1,rs485,echo", 3}, {"19200,echo", 2},         {"9600,8, E ,RS485", 1}, {"rs485", -1},
                 {"9600,echo,8", -1},          {"9600,8,N,1,rs485,x", -1}};
    for (const auto& c : cases) {
        SerialLineSettings line;
        bool parsed = SerialPort::ParseLineSettings(c.text, line);
        EXPECT_EQ(parsed ? (line.rs485 ? 1 : 0) | (line.echo ? 2 : 0) : -1, c.flags) << c.text;
    }
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
}

// The simulator echoes the request or not; the port drops the 10 bytes it
// wrote or not. Reads see the rest, whether it is the answer or not.
TEST(SerialPortSettings, EchoDropsAsManyBytesAsWereWrittenBeforeReadsSeeAny) {
    const Bytes request = HexBytes("01 20 80 00 00 00 00 0A 3F C2");  // answered by 25 bytes
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
        Bytes stream = c.lineEchoes ? request : Bytes(), answer = plc.Handle(request);
        stream.insert(stream.end(), answer.begin(), answer.end());
        const Bytes expected(stream.begin() + (c.portDrops ? 10 : 0), stream.end());
        for (int round = 0; round < 2; ++round) {
            Bytes sent = request, got(expected.size());
            int length = 10;
            ASSERT_EQ(port.WriteBytes(sent.data(), &length, 1000), 10);
            length = static_cast<int>(got.size());
            ASSERT_EQ(port.ReadLength(got.data(), &length, 2000), length);
            EXPECT_EQ(BytesHex(got), BytesHex(expected)) << c.lineEchoes << c.portDrops << " round " << round;
            length = 0;
            port.ReadAvailable(got.data(), &length, 0);
            EXPECT_EQ(length, 0) << "bytes left over";
        }
    }
}
