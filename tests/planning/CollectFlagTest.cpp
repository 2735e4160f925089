// Collection flags of a read rank and the cursor into the block array.
#include "PlanTable.h"

namespace {

// Ten word rows; blocks of ranks 0, 0, 1, 1, 2 over rows 0-1, 2-3, 4-5, 6-7,
// 8-9.
class CollectFlags : public ::testing::Test {
protected:
    void SetUp() override {
        t.Add(Consecutive(10, 0, Word, D));
        t.SetBlocks({{0, 1, 0}, {2, 3, 0}, {4, 5, 1}, {6, 7, 1}, {8, 9, 2}});
        flags.SetSize(11);
        flags[0] = 1;
        for (int i = 1; i <= 10; ++i) flags[i] = 1;
        t.Dev().nReadIndex = 77;
    }
    std::vector<int> Flags() {
        std::vector<int> out;
        for (int i = 0; i < flags.GetSize(); ++i) out.push_back(flags[i]);
        return out;
    }

    PlanTable t;
    CArray<int, int> flags;
};

}  // namespace

TEST_F(CollectFlags, SuccessFlagsTheRowsOfTheRankAndMovesTheCursorToTheNextRank) {
    flags[5] = 0;   // row 4: not in use
    flags[6] = -1;  // row 5
    flags[7] = 2;   // row 6: in use without a read wish
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, flags, 1, 3), 1);
    EXPECT_EQ(Flags(), (std::vector<int>{1, 1, 1, 1, 1, 0, -1, 3, 3, 1, 1}));
    EXPECT_EQ(t.Dev().nReadIndex, 4);
}

TEST_F(CollectFlags, FailureFlagsTheRowsAndLeavesTheCursor) {
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, flags, 0, 4), 1);
    EXPECT_EQ(Flags(), (std::vector<int>{1, 4, 4, 4, 4, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(t.Dev().nReadIndex, 77);
}

TEST_F(CollectFlags, TheLastRankLeavesTheCursorWhereItWas) {
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, flags, 2, 3), 1);
    EXPECT_EQ(Flags(), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 3}));
    EXPECT_EQ(t.Dev().nReadIndex, 77);
}

TEST_F(CollectFlags, ARankBelowTheFirstBlockPointsTheCursorAtBlockZero) {
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, flags, -1, 3), 1);
    EXPECT_EQ(Flags(), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(t.Dev().nReadIndex, 0);
}

TEST_F(CollectFlags, FollowsAPlannedCycleRankByRank) {
    PlanTable plan;
    plan.Add(Consecutive(300, 0, Word, D));
    ASSERT_EQ(plan.Plan(), 3);
    CArray<int, int>& f = plan.wanted;
    EXPECT_EQ(CDevBas::mfSetCollectFlag(plan.data, f, 0, 3), 1);
    EXPECT_EQ(plan.Dev().nReadIndex, 1);
    EXPECT_EQ(CDevBas::mfSetCollectFlag(plan.data, f, 1, 3), 1);
    EXPECT_EQ(plan.Dev().nReadIndex, 2);
    EXPECT_EQ(f[1], 3);
    EXPECT_EQ(f[230], 3);
    EXPECT_EQ(f[231], 1);  // row 230 belongs to rank 2
}

TEST_F(CollectFlags, NeverWritesOutsideTheFlagArray) {
    t.SetBlocks({{-5, 1, 0}, {8, 2000000000, 0}, {2147483647, 2147483647, 0}, {3, 3, 1}});
    flags[0] = 9;
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, flags, 0, 4), 1);
    EXPECT_EQ(Flags(), (std::vector<int>{9, 4, 4, 1, 1, 1, 1, 1, 1, 4, 4}));
    EXPECT_EQ(flags.GetSize(), 11);

    CArray<int, int> empty;
    EXPECT_EQ(CDevBas::mfSetCollectFlag(t.data, empty, 0, 3), 1);
    EXPECT_EQ(t.Dev().nReadIndex, 3);
}

TEST(AddressOffset, EveryAddressChangeIsAccepted) {
    PlanTable t;
    EXPECT_EQ(CDevBas::mfCheckAddressOffset(t.data, 0, 0, 0), 1);
    EXPECT_EQ(CDevBas::mfCheckAddressOffset(t.data, -1, 123456, -9), 1);
}
