// Read requests and transactions of the driver through a serial port on a
// pseudo-terminal, answered by the simulated PLC. Every wait is bounded by
// the device wait time of the transaction.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DevBas.h"
#include "DevVocabulary.h"
#include "DeviceRecord.h"
#include "HostPorts.h"
#include "ScriptedPort.h"
#include "plcsim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWaitMs = 300;

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (char c : BytesHex(bytes))
        if (c != ' ') text += c;
    return text;
}

plcsim::FaultRule Fault(plcsim::FaultKind kind) {
    plcsim::FaultRule rule;
    rule.kind = kind;
    return rule;
}

class DriverOverPty : public ::testing::Test, protected DeviceRecord {
protected:
    void SetUp() override {
        m_trace = std::tmpfile();
        ASSERT_NE(m_trace, nullptr);
        plcsim::ServerOptions options;
        options.baud = m_baud;
        options.trace = m_trace;
        m_server = std::make_unique<plcsim::PtyServer>(plc, options);
        m_server->Start();
        m_port = std::make_unique<SerialPort>(m_server->SlavePath());
        ASSERT_EQ(m_port->Open(), 0) << m_port->GetLastError();

        Prop(DEVPROP_STATION) = 1;
        Prop(DEVPROP_WAITTIME) = kWaitMs;
        UsePort(m_port.get());
    }
    void TearDown() override {
        if (m_server) m_server->Stop();
        if (m_trace != nullptr) std::fclose(m_trace);
    }

    // Reads count elements of the area from address 0 with one request.
    int ReadBlock(unsigned int chlType, int count, int attempts = 1) {
        Table().DelTable();
        AppendRow(chlType, 0, 0, 0, 0);
        int expected = CDevBas::mfFormReadOrder(data, order, Table(), Prop(DEVPROP_STATION), count, 0);
        Clock::time_point start = Clock::now();
        int result =
            CDevBas::mfWriteAndRead(data, order, static_cast<unsigned int>(expected), DEV_RWTYPE_READ, attempts);
        m_elapsedMs =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        return result;
    }

    // The request frames the PLC took from the line, as hex with blanks.
    std::vector<std::string> Received() {
        m_server->Stop();
        std::vector<std::string> frames;
        std::rewind(m_trace);
        char line[4096];
        while (std::fgets(line, sizeof line, m_trace) != nullptr) {
            std::string text = line;
            size_t at = text.find(" rx ");
            if (at == std::string::npos) continue;
            text = text.substr(at + 4);
            size_t end = text.find_first_of("(\n");
            text = text.substr(0, end);
            while (!text.empty() && text.back() == ' ') text.pop_back();
            frames.push_back(text);
        }
        return frames;
    }

    plcsim::Plc plc;
    CString order;
    int m_elapsedMs = 0;
    unsigned m_baud = 0;

private:
    FILE* m_trace = nullptr;
    std::unique_ptr<plcsim::PtyServer> m_server;
    std::unique_ptr<SerialPort> m_port;
};

// 10 words D0..D9 = 0x0101 * (i + 1): the answer 01 20 14, the 20 data bytes
// big-endian, the CRC low byte first.
Bytes TenWordAnswer(plcsim::Plc& plc, bool highFirst = false) {
    Bytes answer = {0x01, 0x20, 0x14};
    for (int i = 0; i < 10; ++i) {
        uint16_t value = static_cast<uint16_t>(0x0101 * (i + 1));
        plc.Set("D", static_cast<uint32_t>(i), value);
        answer.push_back(static_cast<uint8_t>(value >> 8));
        answer.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return WithCrc(answer, highFirst);
}

}  // namespace

TEST_F(DriverOverPty, TenWordsOfTypeFourteenAreAskedForAndAnsweredInTwentyFiveBytes) {
    Bytes answer = TenWordAnswer(plc);
    EXPECT_EQ(ReadBlock(14, 10), 25);
    EXPECT_STREQ(order, Hex(answer).c_str());
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, order), 1);
    EXPECT_EQ(Received(), std::vector<std::string>{"01 20 80 00 00 00 00 0A 3F C2"});
}

TEST_F(DriverOverPty, APlcWithTheHighCrcByteFirstIsReachedOnlyInThatOrder) {
    plc.SetCrcOrder(plcsim::CrcOrder::HighFirst);
    Bytes answer = TenWordAnswer(plc, true);
    // Low byte first: the PLC finds a bad CRC and stays silent.
    EXPECT_EQ(ReadBlock(14, 10), DEV_ERR_NOANSWER);
    Prop(DEVPROP_CRCORDER) = 1;
    EXPECT_EQ(ReadBlock(14, 10), 25);
    EXPECT_STREQ(order, Hex(answer).c_str());
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, order), 1);
    EXPECT_EQ(Received(), (std::vector<std::string>{"01 20 80 00 00 00 00 0A 3F C2", "01 20 80 00 00 00 00 0A C2 3F"}));
}

TEST_F(DriverOverPty, TenBitsOfTypeZeroComeBackPackedInTwoBytes) {
    // M0..M9 = 1 0 1 1 0 0 0 0 | 0 1: least significant bit first, 0x0D 0x02.
    for (uint32_t bit : {0u, 2u, 3u, 9u}) plc.Set("M", bit, 1);
    EXPECT_EQ(ReadBlock(0, 10), 7);
    EXPECT_STREQ(order, Hex(WithCrc(HexBytes("01 1E 02 0D 02"))).c_str());
    EXPECT_EQ(Received(), std::vector<std::string>{"01 1E 03 00 00 00 00 0A FF F2"});
}

TEST_F(DriverOverPty, ASilentPlcCostsAboutTheWaitTimePerAttempt) {
    plc.AddFault(Fault(plcsim::FaultKind::NoAnswer));
    EXPECT_EQ(ReadBlock(14, 10, 1), DEV_ERR_NOANSWER);
    EXPECT_EQ(plc.RequestCount(), 1u);
    EXPECT_GE(m_elapsedMs, kWaitMs);
    EXPECT_LT(m_elapsedMs, kWaitMs + 500);
    EXPECT_TRUE(order.IsEmpty());

    plc.ResetRequestCount();
    EXPECT_EQ(ReadBlock(14, 10, 3), DEV_ERR_NOANSWER);
    EXPECT_EQ(plc.RequestCount(), 3u);
    EXPECT_GE(m_elapsedMs, 3 * kWaitMs);
    EXPECT_LT(m_elapsedMs, 3 * kWaitMs + 1000);
}

TEST_F(DriverOverPty, ARequestLostOnceIsAnsweredOnTheNextAttempt) {
    plcsim::FaultRule first = Fault(plcsim::FaultKind::NoAnswer);
    first.lastRequest = 1;
    plc.AddFault(first);
    Bytes answer = TenWordAnswer(plc);
    EXPECT_EQ(ReadBlock(14, 10, 3), 25);
    EXPECT_STREQ(order, Hex(answer).c_str());
    EXPECT_EQ(plc.RequestCount(), 2u);
}

TEST_F(DriverOverPty, SplitAnswersAreGatheredEvenWhenTheyOutlastTheWaitTime) {
    plcsim::FaultRule split = Fault(plcsim::FaultKind::Split);
    split.chunk = 3;
    split.gapMs = 20;
    plc.AddFault(split);
    Bytes answer = TenWordAnswer(plc);
    EXPECT_EQ(ReadBlock(14, 10), 25);  // 9 chunks, about 160 ms
    EXPECT_STREQ(order, Hex(answer).c_str());

    // 120 words: 245 bytes in 31 chunks of 8, 20 ms apart, about 600 ms,
    // twice the wait time, but the bytes keep coming.
    split.chunk = 8;
    plc.ClearFaults();
    plc.AddFault(split);
    EXPECT_EQ(ReadBlock(14, 120), 245);
    EXPECT_GT(m_elapsedMs, kWaitMs);
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, order), 1);
}

TEST_F(DriverOverPty, WrongAndShortAnswersAreRejectedAtOnce) {
    TenWordAnswer(plc);
    plc.AddFault(Fault(plcsim::FaultKind::WrongFunction));
    EXPECT_EQ(ReadBlock(14, 10, 3), DEV_ERR_ANSWER);
    EXPECT_EQ(order.Mid(2, 2), CString("21"));  // the function with bit 0 flipped
    EXPECT_EQ(plc.RequestCount(), 1u);

    plc.ClearFaults();
    plcsim::FaultRule shortAnswer = Fault(plcsim::FaultKind::ShortAnswer);
    shortAnswer.length = 3;
    plc.AddFault(shortAnswer);
    EXPECT_EQ(ReadBlock(14, 10, 3), DEV_ERR_ANSWER);
    EXPECT_STREQ(order, "012014");

    // 0x5B as the second byte: one byte more is waited for (26 of them).
    plc.ClearFaults();
    plc.AddFault(Fault(plcsim::FaultKind::Byte5B));
    EXPECT_EQ(ReadBlock(14, 10, 3), DEV_ERR_ANSWER);
    EXPECT_EQ(order.GetLength(), 52);
    EXPECT_LT(m_elapsedMs, kWaitMs);  // complete, no wait for the timeout
}

class DriverOverPtyAt9600 : public DriverOverPty {
protected:
    DriverOverPtyAt9600() { m_baud = 9600; }
};

TEST_F(DriverOverPtyAt9600, ALongAnswerPacedAsOnTheLineArrivesWhole) {
    // 245 bytes at 9600 baud, 10 bits each: about 255 ms on the line.
    Prop(DEVPROP_WAITTIME) = 1000;
    EXPECT_EQ(ReadBlock(14, 120), 245);
    EXPECT_EQ(CDevBas::mfAddSum(data, 1, order), 1);
}
