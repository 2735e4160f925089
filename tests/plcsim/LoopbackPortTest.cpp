// The in-process port to the simulator: answers arrive by the reply's timing,
// measured on the host clock, so a fake clock makes every wait free.
#include <gtest/gtest.h>

#include "FakeClock.h"
#include "ScriptedPort.h"
#include "plcsim/LoopbackPort.h"

namespace {

const Bytes kReadTenWords = HexBytes("01 20 80 00 00 00 00 0A 3F C2");  // answered by 25 bytes

int Write(plcsim::LoopbackPort& port, Bytes request) {
    int length = static_cast<int>(request.size());
    return port.WriteBytes(request.data(), &length, 1000);
}

}  // namespace

TEST(LoopbackPort, DeliversAnAnswerAtOnceWithoutPacing) {
    FakeClock clock;
    plcsim::Plc plc;
    plc.Set("D", 9, 0x0A0B);
    plcsim::LoopbackPort port(plc);
    EXPECT_EQ(Write(port, kReadTenWords), 10);
    unsigned char buf[64];
    int length = 25;
    EXPECT_EQ(port.ReadLength(buf, &length, 1000), 25);
    EXPECT_EQ(buf[21], 0x0A);
    EXPECT_EQ(buf[22], 0x0B);
    EXPECT_EQ(clock.TotalSlept(), 0u);
    EXPECT_EQ(port.Pending(), 0u);
}

TEST(LoopbackPort, MakesASilentPlcCostTheTimeout) {
    FakeClock clock;
    plcsim::Plc plc;
    plcsim::FaultRule rule;
    rule.kind = plcsim::FaultKind::NoAnswer;
    plc.AddFault(rule);
    plcsim::LoopbackPort port(plc);
    Write(port, kReadTenWords);
    unsigned char buf[64];
    int length = 25;
    EXPECT_EQ(port.ReadLength(buf, &length, 500), 0);
    EXPECT_EQ(clock.TotalSlept(), 500u);
}

TEST(LoopbackPort, HoldsBackDelayedAndSplitAnswers) {
    FakeClock clock;
    plcsim::Plc plc;
    plcsim::FaultRule delay;
    delay.kind = plcsim::FaultKind::Delay;
    delay.delayMs = 300;
    plcsim::FaultRule split;
    split.kind = plcsim::FaultKind::Split;
    split.chunk = 10;
    split.gapMs = 20;
    plc.AddFault(delay);
    plc.AddFault(split);
    plcsim::LoopbackPort port(plc);
    Write(port, kReadTenWords);
    unsigned char buf[64];
    // ReadAvailable waits for the first chunk (300 ms) and takes only it.
    int length = 64;
    EXPECT_EQ(port.ReadAvailable(buf, &length, 1000), 10);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(clock.TotalSlept(), 300u);
    // A timeout shorter than the gap gets nothing more.
    length = 15;
    EXPECT_EQ(port.ReadLength(buf, &length, 10), 0);
    // ReadLength gathers the other two chunks: 10 more ms to the second, 20 to the third.
    EXPECT_EQ(port.ReadLength(buf, &length, 1000), 15);
    EXPECT_EQ(clock.Now() - 1000, 340u);
}

TEST(LoopbackPort, PacesAnswersAtTheBaudRate) {
    FakeClock clock;
    plcsim::Plc plc;
    plcsim::LoopbackPort port(plc, 9600);
    Write(port, kReadTenWords);
    unsigned char buf[64];
    int length = 25;
    EXPECT_EQ(port.ReadLength(buf, &length, 1000), 25);
    // One byte takes 1041 us at 9600 baud: 10 request bytes, 3.5 bytes of
    // silence, 25 answer bytes end at 40078 us, reached in whole milliseconds.
    EXPECT_GE(clock.TotalSlept(), 40u);
    EXPECT_LE(clock.TotalSlept(), 42u);
}

TEST(LoopbackPort, StopsReadingAfterAStopCharacter) {
    FakeClock clock;
    plcsim::Plc plc;
    plc.Set("D", 0, 0x0D0A);
    plcsim::LoopbackPort port(plc);
    Write(port, WithCrc(HexBytes("01 20 80 00 00 00 00 01")));  // answer 01 20 02 0D 0A + CRC
    unsigned char buf[64];
    int length = 64;
    EXPECT_EQ(port.ReadUntilChar(buf, &length, "\n", 100), 5);
    EXPECT_EQ(port.Pending(), 2u);
    EXPECT_EQ(port.ClearInBuffer(), 0);
    EXPECT_EQ(port.Pending(), 0u);
}
