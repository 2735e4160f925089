// The collection cursor over three requests (ranks): D0-D1, D100 and M200,
// one rank per call, skipping ranks without a wanted channel, and staying on a
// rank whose read failed.
#include "CollectFixture.h"

using namespace collect;

namespace {

class RankCycle : public CollectTest {
protected:
    void SetUp() override {
        plc.SetRange("D", 0, {10, 11});
        plc.Set("D", 100, 20);
        plc.Set("M", 200, 1);
        Start({Row(kD, 0, kWub), Row(kD, 1, kWub), Row(kD, 100, kWub), Row(kM, 200, kBitArea)});
    }
    // The rank a call read, by the channels it stored: 0, 1, 2, or -1 for none.
    int RankStored() {
        std::vector<int> stores = Stored();
        if (stores == std::vector<int>{0, 1}) return 0;
        if (stores == std::vector<int>{2}) return 1;
        if (stores == std::vector<int>{3}) return 2;
        EXPECT_TRUE(stores.empty()) << "unexpected channels stored";
        return -1;
    }
    static plcsim::FaultRule Fault(plcsim::FaultKind kind, uint64_t first, uint64_t last) {
        plcsim::FaultRule rule;
        rule.kind = kind;
        rule.firstRequest = first;
        rule.lastRequest = last;
        return rule;
    }
};

}  // namespace

TEST_F(RankCycle, AllRanksDueAreReadInTurn) {
    std::vector<int> ranks;
    for (int call = 0; call < 5; ++call) {
        EXPECT_EQ(Collect(), 0);
        ranks.push_back(RankStored());
    }
    EXPECT_EQ(ranks, (std::vector<int>{0, 1, 2, 0, 1}));
    EXPECT_EQ(Value(1), 11.0);
    EXPECT_EQ(Value(2), 20.0);
    EXPECT_EQ(Value(3), 1.0);
}

TEST_F(RankCycle, OnlyTheDueRankIsReadEveryCall) {
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(Collect({0, 0, 1, 0}), 0);
        EXPECT_EQ(RankStored(), 1);
    }
    EXPECT_EQ(loop.WriteCount(), 3u);
    // The cursor goes on from there once the other ranks are due again.
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(RankStored(), 2);
    EXPECT_EQ(Collect({0, 2, 2, 0}), 0);  // a flag of 2 does not make a rank due
    EXPECT_EQ(RankStored(), -1);
}

// Requests 2 and 3 (both rank 1) stay unanswered: each call reports no answer
// (2), stores nothing and leaves the cursor on rank 1; ranks 0 and 2 wait.
TEST_F(RankCycle, AFailingRankIsReadAgainUntilItAnswers) {
    plc.AddFault(Fault(plcsim::FaultKind::NoAnswer, 2, 3));
    std::vector<int> results, ranks;
    for (int call = 0; call < 6; ++call) {
        results.push_back(Collect());
        ranks.push_back(RankStored());
    }
    EXPECT_EQ(results, (std::vector<int>{0, 2, 2, 0, 0, 0}));
    EXPECT_EQ(ranks, (std::vector<int>{0, -1, -1, 1, 2, 0}));
    EXPECT_EQ(loop.WriteCount(), 6u);
}

// A failed rank is left when it is no longer due: the next due rank is read.
TEST_F(RankCycle, AFailedRankNoLongerDueIsPassedOver) {
    plc.AddFault(Fault(plcsim::FaultKind::NoAnswer, 1, 1));
    EXPECT_EQ(Collect(), DEVCTRL_NOANSWER);
    EXPECT_EQ(RankStored(), -1);
    EXPECT_EQ(Collect({0, 0, 1, 1}), 0);
    EXPECT_EQ(RankStored(), 1);
}

// An answer whose CRC does not match is a failed read of its rank: wrong
// answer (7) in element 0 and as the result, nothing from it stored, the
// cursor kept, and the database keeps the values read before.
TEST_F(RankCycle, ACrcMismatchIsAFailedReadOfItsRank) {
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Collect(), 0);
    Stored();
    plc.SetRange("D", 0, {70, 71});
    plc.AddFault(Fault(plcsim::FaultKind::BadCrc, 4, 5));
    EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
    EXPECT_EQ(RankStored(), -1);
    EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
    EXPECT_EQ(RankStored(), -1);
    EXPECT_EQ(Value(0), 10.0);
    EXPECT_EQ(Value(1), 11.0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(RankStored(), 0);
    EXPECT_EQ(Value(0), 70.0);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(RankStored(), 1);
}

TEST_F(RankCycle, ShortAndExceptionAnswersAreWrongAnswers) {
    plcsim::FaultRule shortAnswer = Fault(plcsim::FaultKind::ShortAnswer, 1, 1);
    shortAnswer.length = 3;
    plc.AddFault(shortAnswer);
    plc.AddFault(Fault(plcsim::FaultKind::WrongFunction, 2, 2));
    EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
    EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
    EXPECT_EQ(RankStored(), -1);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(RankStored(), 0);
}
