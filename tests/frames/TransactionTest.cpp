// One request/answer exchange: waiting, completion rules, attempts and result
// codes, on a scripted port with the fake clock.
#include <algorithm>

#include "FrameFixture.h"

namespace {

// Request texts without CRC: 10 words of area 80, 10 bits of area 03, and a
// write of one word (function 21), station 1.
const char* const kReadWords = "012080000000000a";  // expects 10 * 2 + 5 = 25
const char* const kReadBits = "011e03000000000a";   // expects (10 + 7) / 8 + 5 = 7
const char* const kWriteWord = "01218000000000010005";

// A read answer: station 1, the function, byte count n, n data bytes, CRC.
Bytes Answer(uint8_t function, int dataBytes) {
    Bytes bytes = {0x01, function, static_cast<uint8_t>(dataBytes)};
    for (int i = 0; i < dataBytes; ++i) bytes.push_back(static_cast<uint8_t>(0x10 + i));
    return WithCrc(bytes);
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

std::string Hex(const Bytes& bytes) {
    std::string text = BytesHex(bytes);
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

std::vector<int> ReadLengths(const ScriptedPort& port) {
    std::vector<int> lengths;
    for (const ScriptedPort::ReadCall& call : port.Reads()) lengths.push_back(call.length);
    return lengths;
}

class Transaction : public FrameTest {};

}  // namespace

TEST_F(Transaction, ASilentPlcCostsTheWaitTimeInTenMillisecondSteps) {
    EXPECT_EQ(Transact(kReadWords, 25), DEV_ERR_NOANSWER);
    ASSERT_EQ(port.Writes().size(), 1u);
    EXPECT_TRUE(order.IsEmpty());
    // Reads at 0, 10, ..., 100 ms; the one at 100 ms ends the attempt.
    EXPECT_EQ(port.Reads().size(), 11u);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint64_t>(10, 10));
    EXPECT_EQ(Elapsed(), 100u);
    for (const ScriptedPort::ReadCall& call : port.Reads()) {
        EXPECT_EQ(call.slot, 12);  // ReadLength
        EXPECT_EQ(call.length, 25);
        EXPECT_EQ(call.timeoutMs, 100u);
    }
}

TEST_F(Transaction, ThreeAttemptsAgainstASilentPlcSendTheRequestThreeTimes) {
    EXPECT_EQ(Transact(kReadWords, 25, 3), DEV_ERR_NOANSWER);
    ASSERT_EQ(port.Writes().size(), 3u);
    for (const Bytes& request : port.Writes()) EXPECT_EQ(BytesHex(request), "01 20 80 00 00 00 00 0A 3F C2");
    EXPECT_EQ(Elapsed(), 300u);
    EXPECT_TRUE(order.IsEmpty());
}

TEST_F(Transaction, FewerThanOneAttemptSendsNothingAndKeepsTheRequest) {
    for (int attempts : {0, -1}) {
        EXPECT_EQ(Transact(kReadWords, 25, attempts), DEV_ERR_NOANSWER);
        EXPECT_STREQ(order, kReadWords);
    }
    EXPECT_TRUE(port.Writes().empty());
    EXPECT_TRUE(port.Reads().empty());
}

TEST_F(Transaction, AnAnswerInChunksIsGatheredAndAskedForOnlyWhatIsMissing) {
    Bytes answer = Answer(0x20, 20);
    port.QueueChunks({Slice(answer, 0, 3), {}, Slice(answer, 3, 10), Slice(answer, 13, 12)});
    EXPECT_EQ(Transact(kReadWords, 25), 25);
    EXPECT_STREQ(order, Hex(answer).c_str());
    EXPECT_EQ(ReadLengths(port), (std::vector<int>{25, 22, 22, 12}));
    // A pause after each incomplete read, none after the last.
    EXPECT_EQ(clock.Sleeps().size(), 3u);
}

TEST_F(Transaction, ACompleteFirstReadNeedsNoPause) {
    port.QueueChunk(Answer(0x20, 20));
    EXPECT_EQ(Transact(kReadWords, 25), 25);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(port.Reads().size(), 1u);
}

TEST_F(Transaction, OnlyAnAttemptThatGotNothingIsRepeated) {
    int writes = 0;
    port.SetResponder([&](const Bytes&) -> std::vector<Bytes> {
        if (++writes == 1) return {};
        return {Answer(0x20, 20)};
    });
    EXPECT_EQ(Transact(kReadWords, 25, 3), 25);
    EXPECT_EQ(port.Writes().size(), 2u);

    // A short answer ends the transaction at once, whatever the attempts.
    port.SetResponder([](const Bytes&) -> std::vector<Bytes> { return {HexBytes("01 20 14")}; });
    port.ClearLog();
    EXPECT_EQ(Transact(kReadWords, 25, 3), DEV_ERR_ANSWER);
    EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(Transaction, AReadAnswerWithFewerDataBytesIsCompleteByItsByteCount) {
    // 01 20 04 + 4 data + CRC = 9 bytes = byte count 4 + 5: done, no waiting.
    Bytes answer = Answer(0x20, 4);
    port.QueueChunks({Slice(answer, 0, 5), Slice(answer, 5, 4)});
    EXPECT_EQ(Transact(kReadWords, 25), 9);
    EXPECT_STREQ(order, Hex(answer).c_str());
    EXPECT_EQ(Elapsed(), 10u);  // the one pause between the two chunks
}

TEST_F(Transaction, AWriteAnswerIsNotJudgedByAByteCount) {
    // 01 21 01 xx + CRC = 6 bytes = byte 2 + 5, but a write request is not a
    // read: the answer is only complete at 8 bytes, so the wait runs out.
    Bytes answer = Answer(0x21, 1);
    port.QueueChunk(answer);
    EXPECT_EQ(Transact(kWriteWord, 8), 6);
    EXPECT_GE(Elapsed(), 100u);
}

TEST_F(Transaction, ByteCountsOfZeroOrAboveTheRequestDoNotCompleteOrExtendAnAnswer) {
    // Byte count 0: 01 20 00 + CRC is 5 bytes, not more than 5, so the
    // answer is returned when the wait runs out.
    port.QueueChunk(WithCrc(HexBytes("01 20 00")));
    EXPECT_EQ(Transact(kReadWords, 25), 5);
    EXPECT_GE(Elapsed(), 100u);

    // Byte count 0xFF and a stream of bytes: the answer stops at the 25
    // expected bytes and nothing beyond them is read.
    Bytes flood = {0x01, 0x20, 0xFF};
    flood.resize(60, 0xEE);
    port.QueueChunk(flood);
    port.ClearLog();
    EXPECT_EQ(Transact(kReadWords, 25), 25);
    EXPECT_EQ(order.GetLength(), 50);
    EXPECT_EQ(port.Pending(), 1u);  // 35 bytes still unread at the port
}

TEST_F(Transaction, A5BInTheSecondByteWaitsForOneMoreByteAndFailsTheFunctionCheck) {
    // Expected 7; byte 1 = 0x5B widens the wait to 8 bytes (byte 2 is no
    // byte count here: 0x10 + 5 matches no size).
    Bytes answer = HexBytes("01 5B 10 11 22 33 44 55");
    port.QueueChunks({Slice(answer, 0, 1), Slice(answer, 1, 6), Slice(answer, 7, 1)});
    EXPECT_EQ(Transact(kReadBits, 7), DEV_ERR_ANSWER);
    EXPECT_STREQ(order, "015B101122334455");
    EXPECT_EQ(ReadLengths(port), (std::vector<int>{7, 6, 1}));
}

TEST_F(Transaction, ShortAnswersAreRejectedButSixBytesGoOnToTheFunctionCheck) {
    // 3 bytes where 7 are expected: too short.
    port.QueueChunk(HexBytes("01 1E 01"));
    EXPECT_EQ(Transact(kReadBits, 7, 3), DEV_ERR_ANSWER);
    EXPECT_STREQ(order, "011E01");
    EXPECT_EQ(port.Writes().size(), 1u);

    // 6 bytes where 25 are expected: long enough, and the function matches.
    port.QueueChunk(HexBytes("01 20 32 00 00 00"));
    EXPECT_EQ(Transact(kReadWords, 25), 6);
    port.QueueChunk(HexBytes("01 21 32 00 00 00"));
    EXPECT_EQ(Transact(kReadWords, 25), DEV_ERR_ANSWER);

    // 4 bytes where 4 are expected are not short.
    port.QueueChunk(HexBytes("01 21 00 05"));
    EXPECT_EQ(Transact(kWriteWord, 4), 4);
}

TEST_F(Transaction, AnotherFunctionCodeIsAWrongAnswer) {
    Bytes exception = WithCrc(HexBytes("01 9E 02"));
    port.QueueChunks({Answer(0x1E, 2), exception});
    EXPECT_EQ(Transact(kReadWords, 25, 3), DEV_ERR_ANSWER);  // a bit answer to a word read
    EXPECT_EQ(port.Writes().size(), 1u);
    port.ClearLog();
    EXPECT_EQ(Transact(kReadBits, 7, 3), DEV_ERR_ANSWER);
    EXPECT_STREQ(order, Hex(exception).c_str());
}

TEST_F(Transaction, TheWaitTimeReachesThePortUnchangedAndEndsAtOnceWhenZero) {
    Prop(DEVPROP_WAITTIME) = 50;
    Transact(kReadWords, 25);
    EXPECT_EQ(port.Reads().front().timeoutMs, 50u);
    EXPECT_EQ(port.WriteTimeouts().front(), 50u);

    for (int waitTime : {0, -5}) {  // a negative wait time counts as none
        Prop(DEVPROP_WAITTIME) = waitTime;
        port.ClearLog();
        EXPECT_EQ(Transact(kReadWords, 25), DEV_ERR_NOANSWER);
        ASSERT_EQ(port.Reads().size(), 1u);
        EXPECT_EQ(port.Reads().front().timeoutMs, 0u);
    }
}

TEST_F(Transaction, WithoutAPortEveryAttemptWaitsAndNothingComes) {
    data.pComm = nullptr;
    EXPECT_EQ(Transact(kReadWords, 25, 2), DEV_ERR_NOANSWER);
    EXPECT_EQ(Elapsed(), 200u);
}

TEST_F(Transaction, AnOddRequestTextSendsNothing) {
    EXPECT_EQ(Transact("012080000000000", 25), DEV_ERR_NOANSWER);
    EXPECT_TRUE(port.Writes().empty());
}

namespace {

// Delivers one byte per ReadLength call, each call taking up to its timeout
// (at most perRead ms) on the fake clock.
class TricklingPort : public ScriptedPort {
public:
    TricklingPort(FakeClock& clock, uint64_t perRead, Bytes bytes)
        : m_clock(clock), m_perRead(perRead), m_bytes(std::move(bytes)) {}
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override {
        ScriptedPort::ReadLength(buffer, length, timeoutMs);  // logged, nothing queued
        m_clock.Advance(std::min<uint64_t>(m_perRead, timeoutMs));
        if (*length < 1) return 0;
        buffer[0] = m_next < m_bytes.size() ? m_bytes[m_next] : 0xAA;
        ++m_next;
        return 1;
    }

private:
    FakeClock& m_clock;
    uint64_t m_perRead;
    Bytes m_bytes;
    size_t m_next = 0;
};

// Fills what it is asked for but claims more.
class OverclaimingPort : public ScriptedPort {
public:
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override {
        ScriptedPort::ReadLength(buffer, length, timeoutMs);
        for (int i = 0; i < *length; ++i) buffer[i] = static_cast<unsigned char>(i == 1 ? 0x20 : 0x77);
        return *length + 1000;
    }
};

}  // namespace

TEST_F(Transaction, APlcThatKeepsTricklingIsCutOffAfterTheWaitTimeAndOneAnswer) {
    // Wait time 1000 ms, 25 bytes expected: a byte every 900 ms would hold
    // the thread for 25 reads; the limit is 1000 + 25 * 10 = 1250 ms.
    Prop(DEVPROP_WAITTIME) = 1000;
    TricklingPort slow(clock, 900, {});
    data.pComm = &slow;
    EXPECT_EQ(Transact(kReadWords, 25), DEV_ERR_ANSWER);  // 2 bytes: too short
    EXPECT_EQ(Elapsed(), 1250u);
    ASSERT_EQ(slow.Reads().size(), 2u);
    EXPECT_EQ(slow.Reads()[0].timeoutMs, 1000u);
    EXPECT_EQ(slow.Reads()[1].timeoutMs, 340u);  // what is left of the 1250 ms at 910 ms
}

TEST_F(Transaction, ASlowButSteadyAnswerIsStillGatheredInFull) {
    // One byte per read, 9 ms each plus the 10 ms pause: 25 * 19 = 475 ms.
    Prop(DEVPROP_WAITTIME) = 1000;
    Bytes answer = Answer(0x20, 20);
    TricklingPort slow(clock, 9, answer);
    data.pComm = &slow;
    EXPECT_EQ(Transact(kReadWords, 25), 25);
    EXPECT_STREQ(order, Hex(answer).c_str());
}

TEST_F(Transaction, APortClaimingMoreThanItWasAskedForGivesOnlyWhatFits) {
    OverclaimingPort port2;
    data.pComm = &port2;
    EXPECT_EQ(Transact(kReadWords, 25), 25);
    EXPECT_EQ(order.GetLength(), 50);
}
