// Fault injection of the simulated PLC: what each fault does to an answer, and
// how rules pick their requests; the faults of the line as the in-process port
// plays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "FakeClock.h"
#include "ScriptedPort.h"
#include "plcsim/LoopbackPort.h"
#include "plcsim/Plc.h"

using plcsim::FaultKind;
using plcsim::FaultRule;
using plcsim::Plc;
using plcsim::Reply;

namespace {

// Reads D0 (holding 0x1234): the unfaulted answer is 01 20 02 12 34 + CRC.
const Bytes kRead = WithCrc(HexBytes("01 20 80 00 00 00 00 01"));
const Bytes kAnswer = WithCrc(HexBytes("01 20 02 12 34"));

FaultRule Rule(FaultKind kind) {
    FaultRule rule;
    rule.kind = kind;
    return rule;
}

Reply Ask(Plc& plc, const Bytes& request = kRead) {
    Reply reply;
    plc.Handle(request.data(), request.size(), reply);
    return reply;
}

Plc& Prepared(Plc& plc) {
    plc.Set("D", 0, 0x1234);
    return plc;
}

}  // namespace

TEST(PlcFaults, ChangeTheAnswerAsEachKindSays) {
    {
        Plc plc;
        Prepared(plc).AddFault(Rule(FaultKind::NoAnswer));
        Reply r = Ask(plc);
        EXPECT_TRUE(r.bytes.empty());
        EXPECT_EQ(r.faults, 1u << static_cast<int>(FaultKind::NoAnswer));
        EXPECT_EQ(r.drop, plcsim::Drop::None);
    }
    {
        Plc plc;
        Prepared(plc).AddFault(Rule(FaultKind::BadCrc));
        Bytes b = Ask(plc).bytes;
        ASSERT_EQ(b.size(), kAnswer.size());
        EXPECT_EQ(Bytes(b.begin(), b.end() - 1), Bytes(kAnswer.begin(), kAnswer.end() - 1));
        EXPECT_EQ(b.back(), static_cast<uint8_t>(~kAnswer.back()));
    }
    {
        Plc plc;
        Prepared(plc).AddFault(Rule(FaultKind::WrongFunction));
        // By default the request's code with bit 0 flipped, 0x20 -> 0x21, with a CRC to match.
        EXPECT_EQ(BytesHex(Ask(plc).bytes), BytesHex(WithCrc(HexBytes("01 21 02 12 34"))));
        FaultRule rule = Rule(FaultKind::WrongFunction);
        rule.code = 0x1E;
        plc.ClearFaults();
        plc.AddFault(rule);
        EXPECT_EQ(Ask(plc).bytes[1], 0x1E);
    }
    {
        Plc plc;
        FaultRule rule = Rule(FaultKind::ShortAnswer);
        Prepared(plc).AddFault(rule);
        EXPECT_EQ(Ask(plc).bytes, Bytes(kAnswer.begin(), kAnswer.begin() + 3));  // half of 7
        rule.length = 2;
        plc.ClearFaults();
        plc.AddFault(rule);
        EXPECT_EQ(BytesHex(Ask(plc).bytes), "01 20");
    }
    {
        Plc plc;
        Prepared(plc).AddFault(Rule(FaultKind::Byte5B));
        // 0x5B after the station byte, one byte longer, CRC over the result.
        EXPECT_EQ(BytesHex(Ask(plc).bytes), BytesHex(WithCrc(HexBytes("01 5B 20 02 12 34"))));
    }
    {
        Plc plc;
        FaultRule split = Rule(FaultKind::Split);
        split.chunk = 2;
        split.gapMs = 15;
        FaultRule delay = Rule(FaultKind::Delay);
        delay.delayMs = 250;
        Prepared(plc).AddFault(split);
        plc.AddFault(delay);
        Reply r = Ask(plc);
        // Timing faults leave the bytes alone and say how to send them.
        EXPECT_EQ(r.bytes, kAnswer);
        EXPECT_EQ(r.chunkSize, 2u);
        EXPECT_EQ(r.gapMs, 15u);
        EXPECT_EQ(r.delayMs, 250u);
    }
}

TEST(PlcFaults, HitRequestsByNumberAndByFunction) {
    Plc plc;
    Prepared(plc);
    FaultRule second = Rule(FaultKind::NoAnswer);
    second.firstRequest = second.lastRequest = 2;
    plc.AddFault(second);
    FaultRule writes = Rule(FaultKind::BadCrc);
    writes.function = 0x21;
    plc.AddFault(writes);
    const Bytes write = WithCrc(HexBytes("01 21 80 00 00 01 00 01 02 00 07"));

    EXPECT_EQ(Ask(plc).bytes, kAnswer);   // request 1
    EXPECT_TRUE(Ask(plc).bytes.empty());  // request 2
    EXPECT_EQ(Ask(plc).bytes, kAnswer);   // request 3
    Reply w = Ask(plc, write);            // request 4, a write
    EXPECT_EQ(w.request, 4u);
    EXPECT_FALSE(plcsim::HasValidCrc(w.bytes.data(), w.bytes.size(), plcsim::CrcOrder::LowFirst));
    EXPECT_EQ(plc.Get("D", 1), 7);  // the write itself was done
    // Frames that are dropped do not count as requests.
    Bytes other = kRead;
    other[0] = 9;
    Ask(plc, other);
    EXPECT_EQ(Ask(plc).request, 5u);
}

TEST(PlcFaults, HitARepeatableShareOfRequestsAtASeededRate) {
    auto run = [](uint64_t seed) {
        Plc plc(Plc::Settings{1, plcsim::CrcOrder::LowFirst, seed});
        Prepared(plc);
        FaultRule rule = Rule(FaultKind::NoAnswer);
        rule.rate = 0.25;
        plc.AddFault(rule);
        std::vector<bool> silent;
        for (int i = 0; i < 2000; ++i) silent.push_back(Ask(plc).bytes.empty());
        return silent;
    };
    std::vector<bool> a = run(42);
    std::vector<bool> b = run(42);
    std::vector<bool> c = run(43);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    long hits = std::count(a.begin(), a.end(), true);
    EXPECT_GT(hits, 400);  // 500 expected
    EXPECT_LT(hits, 600);
}

TEST(PlcFaults, ParseFromCommandLineText) {
    std::string error;
    std::optional<FaultRule> r = plcsim::ParseFault("split:fn=0x20,chunk=4,gap=15,req=3-9,rate=0.5", &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->kind, FaultKind::Split);
    EXPECT_EQ(r->function, 0x20);
    EXPECT_EQ(r->chunk, 4u);
    EXPECT_EQ(r->gapMs, 15u);
    EXPECT_EQ(r->firstRequest, 3u);
    EXPECT_EQ(r->lastRequest, 9u);
    EXPECT_DOUBLE_EQ(r->rate, 0.5);
    r = plcsim::ParseFault("noanswer:req=5", &error);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->Matches(5, 0x20));
    EXPECT_FALSE(r->Matches(6, 0x20));
    r = plcsim::ParseFault("delay", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->delayMs, 100u);
    r = plcsim::ParseFault("5b:req=2-", &error);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->Matches(1000, 0x1E));
    EXPECT_FALSE(r->Matches(1, 0x1E));

    for (const char* bad : {"boom", "split:chunk=0", "badcrc:rate=1.5", "short:len", "delay:ms=-3", "noanswer:req=4-2",
                            "noanswer:req=0", "function:code=0x100", "split:colour=red"}) {
        error.clear();
        EXPECT_FALSE(plcsim::ParseFault(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(PlcFaults, OfTheLineLeaveTheRequestUndoneAndOnlyAStreamKeepsGoing) {
    const Bytes write = WithCrc(HexBytes("01 21 80 00 00 01 00 01 02 00 07"));
    const struct {
        const char* text;
        FaultKind kind;
        bool streams;
    } kCases[] = {
        {"stream", FaultKind::Stream, true},
        {"reset", FaultKind::Reset, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        std::string error;
        std::optional<FaultRule> rule = plcsim::ParseFault(std::string(c.text) + ":req=2", &error);
        ASSERT_TRUE(rule) << error;
        EXPECT_EQ(rule->kind, c.kind);
        EXPECT_STREQ(plcsim::FaultName(c.kind), c.text);
        Plc plc;
        Prepared(plc).AddFault(*rule);
        EXPECT_EQ(Ask(plc).bytes, kAnswer);  // request 1
        Reply hit = Ask(plc, write);         // request 2
        EXPECT_TRUE(hit.bytes.empty());
        EXPECT_EQ(hit.faults, 1u << static_cast<int>(c.kind));
        EXPECT_EQ(plc.Get("D", 1), 0);  // the write was not done
        EXPECT_EQ(plc.Streaming(), c.streams);
        EXPECT_EQ(Ask(plc).bytes, kAnswer);  // request 3 is not hit: the stream ends
        EXPECT_FALSE(plc.Streaming());
    }
    // Clearing the faults ends a stream at once.
    Plc plc;
    Prepared(plc).AddFault(Rule(FaultKind::Stream));
    Ask(plc);
    EXPECT_TRUE(plc.Streaming());
    plc.ClearFaults();
    EXPECT_FALSE(plc.WhileStreaming([] { ADD_FAILURE() << "a byte after the stream was cleared"; }));
}

TEST(PlcFaults, OfTheLineReachTheInProcessPortAsAStreamOrAsSilence) {
    const struct {
        FaultKind kind;
        const char* read;  // what a read of 6 bytes within 100 ms gets
        uint64_t slept;
    } kCases[] = {
        {FaultKind::Stream, "AA AA AA AA AA AA", 0},
        {FaultKind::Reset, "", 100},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(plcsim::FaultName(c.kind));
        FakeClock clock;
        Plc plc;
        Prepared(plc).AddFault(Rule(c.kind));
        plcsim::LoopbackPort port(plc);
        Bytes request = kRead;
        int length = static_cast<int>(request.size());
        ASSERT_EQ(port.WriteBytes(request.data(), &length, 100), length);
        Bytes got(6);
        length = 6;
        got.resize(static_cast<size_t>(std::max(0, port.ReadLength(got.data(), &length, 100))));
        EXPECT_EQ(BytesHex(got), c.read);
        EXPECT_EQ(clock.TotalSlept(), c.slept);
        // Without the fault the next request is answered as always.
        plc.ClearFaults();
        port.ClearInBuffer();
        length = static_cast<int>(request.size());
        port.WriteBytes(request.data(), &length, 100);
        got.assign(kAnswer.size(), 0);
        length = static_cast<int>(got.size());
        EXPECT_EQ(port.ReadLength(got.data(), &length, 100), length);
        EXPECT_EQ(got, kAnswer);
    }
}
