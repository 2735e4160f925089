// How many requests a scan costs: splitting at the request limits, bridging
// holes, chains of links, write blocks and the mixed plans.
#include "PlanTable.h"

TEST(HoleBridging, ASmallHoleIsReadAlongInOneRequest) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(3)});
    // gap = 3 + 1 - 1 = 3; 2 + 3 <= 115; span 0..3 = 4
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-2:4@0/6");
    EXPECT_EQ(t.Dev().nRankCount, 1);
}

TEST(HoleBridging, BridgesUpToThirtyElementsFromTheLastRow) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(30)});  // gap = 30 + 1 - 1 = 30
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-2:31@0/6");

    PlanTable wide;
    wide.Add({Word(0), Word(1), Word(31)});  // gap 31
    EXPECT_EQ(wide.Plan(), 2);
    EXPECT_EQ(wide.Blocks(), "0-1:2@0/6 2-2:1@1/6");

    PlanTable far;
    far.Add({Word(0), Word(1), Word(40)});
    EXPECT_EQ(far.Plan(), 2);
}

TEST(HoleBridging, TheGapIncludesTheWidthOfBothRows) {
    PlanTable t;
    t.Add({Dword(0), Qword(27)});  // gap = 27 + 4 - 0 = 31
    EXPECT_EQ(t.Plan(), 2);
    t.Table().Row(1).SetdwValue(DEVROW_STR_CHLADDRESS, 26);  // gap 30
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-1:30@0/6");
}

TEST(HoleBridging, TheBlockAndTheGapMustFitTheLimitTogether) {
    // A = 0..110 (111 words), then a word at 114: span 0..114 = 115 fits, but
    // 111 + gap (114 + 1 - 110 = 5) = 116 does not.
    PlanTable t;
    t.Add(Consecutive(111, 0, Word, D) + std::vector<RowDef>{Word(114)});
    EXPECT_EQ(t.Plan(), 2);
    t.Table().Row(111).SetdwValue(DEVROW_STR_CHLADDRESS, 113);  // 111 + 4 = 115
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-111:114@0/6");
}

TEST(HoleBridging, NeverJoinsAcrossAreasOrClosedRuns) {
    PlanTable areas;
    areas.Add({Word(0), Word(2, ID), Bit(3), Bit(5, X)});
    EXPECT_EQ(areas.Plan(), 4);

    PlanTable closed;  // the second row ends inside the first: state 6, no link
    closed.Add({Dword(0), Word(0)});
    EXPECT_EQ(closed.Plan(), 2);

    PlanTable text;  // a string after a word: the run closes, no link
    text.Add({Word(0), Text(1, 4)});
    EXPECT_EQ(text.Plan(), 2);
    EXPECT_EQ(text.Blocks(), "0-0:1@0/6 1-1:2@1/6");
}

TEST(HoleBridging, HolesInABitAreaAreBridgedToo) {
    PlanTable t;
    t.Add({Bit(100), Bit(103), Bit(109)});
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-2:10@0/6");
}

TEST(Splitting, TwoHundredWordsTakeRequestsOf115And85) {
    PlanTable t;
    t.Add(Consecutive(200, 0, Word, D));
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-114:115@0/6 115-199:85@1/6");
}

TEST(Splitting, TwoHundredBitsTakeRequestsOf115And85) {
    PlanTable t;
    t.Add(Consecutive(200, 1000, Bit, X));
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-114:115@0/6 115-199:85@1/6");
}

TEST(Splitting, LongRunsAreCutAgainAndAgain) {
    PlanTable t;
    t.Add(Consecutive(300, 0, Word, D));
    EXPECT_EQ(t.Plan(), 3);
    EXPECT_EQ(t.Blocks(), "0-114:115@0/6 115-229:115@1/6 230-299:70@2/6");
}

TEST(Splitting, NeverCutsThroughAWideRow) {
    PlanTable t;
    std::vector<RowDef> rows;
    for (unsigned int a = 0; a < 120; a += 2) rows.push_back(Dword(a));
    t.Add(rows);
    // The row at 114 would end at 116: the first request stops at 114.
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-56:114@0/6 57-59:6@1/6");
}

TEST(Splitting, AnOverlongRowStaysAloneAndTheRestGoesOn) {
    PlanTable t;
    t.Add({Text(0, 240), Word(120), Word(121)});  // 120 words, then two words
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-0:120@0/6 1-2:2@1/6");

    PlanTable alone;
    alone.Add({Text(0, 250)});
    EXPECT_EQ(alone.Plan(), 1);
    EXPECT_EQ(alone.Blocks(), "0-0:125@0/6");
}

TEST(Splitting, TheFirstRequestReachesTheEndOfEveryRowBeforeTheCut) {
    // Rows 0-109 are words at 0-109; a 64-bit row at 110 (ends at 114), an
    // unwanted word at 111 (ends at 112) and a 64-bit row at 112 (ends at
    // 116). Cutting right before the row at 112 would let the first request
    // end at 112 and lose half of the row at 110; the cut moves back to
    // after that row.
    PlanTable t;
    t.Add(Consecutive(110, 0, Word, D) + std::vector<RowDef>{Qword(110), Word(111), Qword(112)});
    t.Unwant({111});
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-110:114@0/6 111-112:5@1/6");
}

TEST(LinkChains, JoinUpTo120WordsInOneRequest) {
    // A = 0..39, B = 60..99, C = 110..118: every pair links, A+B spans 100,
    // A to C 119 <= 120.
    PlanTable t;
    t.Add(Consecutive(40, 0, Word, D) + Consecutive(40, 60, Word, D) + Consecutive(9, 110, Word, D));
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-88:119@0/6");
}

TEST(LinkChains, StopAtTheRequestThatWouldExceed120Words) {
    // As above with C = 110..120: A to C would span 121.
    PlanTable t;
    t.Add(Consecutive(40, 0, Word, D) + Consecutive(40, 60, Word, D) + Consecutive(11, 110, Word, D));
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-79:100@0/6 80-90:11@1/6");
}

TEST(LinkChains, JoinUpTo145BitsInOneRequest) {
    // A = M0..59, B = M85..114 (gap 27, A+B 115), C = M125..144 (gap 12,
    // B+C 60): A to C spans 145.
    PlanTable t;
    t.Add(Consecutive(60, 0, Bit, M) + Consecutive(30, 85, Bit, M) + Consecutive(20, 125, Bit, M));
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-109:145@0/6");

    PlanTable longer;  // C up to M145: 146 bits
    longer.Add(Consecutive(60, 0, Bit, M) + Consecutive(30, 85, Bit, M) + Consecutive(21, 125, Bit, M));
    EXPECT_EQ(longer.Plan(), 2);
    EXPECT_EQ(longer.Blocks(), "0-89:115@0/6 90-110:21@1/6");
}

TEST(LinkChains, ABlockCutAtTheLimitDoesNotLinkOnward) {
    // 130 words, a hole of 2, then one word: the 115-word part is closed, the
    // 15-word rest links with the last word.
    PlanTable t;
    t.Add(Consecutive(130, 0, Word, D) + std::vector<RowDef>{Word(132)});
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Blocks(), "0-114:115@0/6 115-130:18@1/6");
}

TEST(CommandPlans, ReadsPlanLikeTheCycle) {
    PlanTable cyclic;
    PlanTable command;
    std::vector<RowDef> rows = Consecutive(200, 0, Word, D) + std::vector<RowDef>{Word(210), Bit(3), Bit(9)};
    cyclic.Add(rows);
    command.Add(rows);
    EXPECT_EQ(cyclic.Plan(), 3);
    EXPECT_EQ(command.Plan(PLAN_CMDREAD, 0), 3);
    EXPECT_EQ(command.Blocks(), cyclic.Blocks());
    EXPECT_EQ(command.Dev().nRankCount, 3);
}

TEST(CommandPlans, WritesSplitAt120BitsAnd48WordsAndNeverLink) {
    PlanTable bits;
    bits.Add(Consecutive(130, 0, Bit, M));
    EXPECT_EQ(bits.Plan(PLAN_CMDWRITE, 11), 2);
    EXPECT_EQ(bits.Blocks(), "0-119:120@0/6 120-129:10@1/6");

    PlanTable words;
    words.Add(Consecutive(100, 0, Word, D));
    EXPECT_EQ(words.Plan(PLAN_CMDWRITE, 11), 3);
    EXPECT_EQ(words.Blocks(), "0-47:48@0/6 48-95:48@1/6 96-99:4@2/6");

    PlanTable holes;  // a hole is never written along
    holes.Add({Word(0), Word(2), Word(4)});
    EXPECT_EQ(holes.Plan(PLAN_CMDWRITE, 11), 3);
    EXPECT_EQ(holes.Blocks(), "0-0:1@0/4 1-1:1@1/4 2-2:1@2/6");
}

TEST(CommandPlans, AnUnknownPlanTypeGivesNoRanks) {
    PlanTable t;
    t.Add({Word(0)});
    t.Dev().nRankCount = 4;
    EXPECT_EQ(t.Plan(9, 0), 0);
    EXPECT_EQ(t.Dev().nRankCount, 0);
}

TEST(CommandPlans, NothingToPlanLeavesTheRankCount) {
    PlanTable t;
    t.Add({WriteOnly(Word(0))});
    t.Dev().nRankCount = 7;
    EXPECT_EQ(t.Plan(PLAN_CMDREAD, 0), 0);
    EXPECT_EQ(t.Dev().nRankCount, 7);
}

TEST(PlanRestart, ReplacesThePlanAndRestartsTheCursor) {
    PlanTable t;
    t.Add(Consecutive(200, 0, Word, D));
    EXPECT_EQ(t.Plan(), 2);
    EXPECT_EQ(t.Dev().arBlock.GetCapacity(), 2);  // spare capacity released
    t.Dev().nReadRank = 1;
    t.Dev().nReadIndex = 1;
    t.WantOnly({5});
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "5-5:1@0/6");
    EXPECT_EQ(t.Dev().nRankCount, 1);
    EXPECT_EQ(t.Dev().nReadRank, 0);
    EXPECT_EQ(t.Dev().nReadIndex, 0);
}

// Three runs far apart, of the given lengths in words.
static void ThreeRuns(PlanTable& t, int a, int b, int c) {
    t.Add(Consecutive(a, 0, Word, D) + Consecutive(b, 1000, Word, D) + Consecutive(c, 2000, Word, D));
}

TEST(MixedPlans, ModeTwoGroupsBlocksUpTo46Elements) {
    PlanTable t;
    ThreeRuns(t, 20, 20, 10);
    EXPECT_EQ(t.Plan(PLAN_MIX2, 0), 2);
    EXPECT_EQ(t.Blocks(), "0-19:20@0/6 20-39:20@0/6 40-49:10@1/6");

    PlanTable small;  // 46 elements in all: one group through plan type 1
    ThreeRuns(small, 20, 20, 6);
    EXPECT_EQ(small.Plan(PLAN_MIX, 0), 1);
    EXPECT_EQ(small.Blocks(), "0-19:20@0/6 20-39:20@0/6 40-45:6@0/6");
}

TEST(MixedPlans, ModeTwoGivesAnOverlongLaterBlockAGroupOfItsOwn) {
    PlanTable t;
    ThreeRuns(t, 10, 60, 10);
    EXPECT_EQ(t.Plan(PLAN_MIX2, 0), 3);
    EXPECT_EQ(t.Blocks(), "0-9:10@0/6 10-69:60@1/6 70-79:10@2/6");

    PlanTable first;  // an overlong first block: no group at all
    ThreeRuns(first, 60, 10, 10);
    EXPECT_EQ(first.Plan(PLAN_MIX2, 0), 0);
    EXPECT_EQ(first.Blocks(), "0-59:60@0/6 60-69:10@0/6 70-79:10@0/6");
}

TEST(MixedPlans, ModeTwoHoldsAtMost126BlocksPerGroup) {
    PlanTable t;
    std::vector<RowDef> rows;
    for (unsigned int i = 0; i < 130; ++i) rows.push_back(Text(i * 10, 0));  // empty strings: 0 elements
    t.Add(rows);
    EXPECT_EQ(t.Plan(PLAN_MIX2, 0), 2);
    EXPECT_EQ(t.Dev().arBlock[125].nRank, 0);
    EXPECT_EQ(t.Dev().arBlock[126].nRank, 1);
}

TEST(MixedPlans, ModeOneMovesTheShortestBlocksToTheFront) {
    PlanTable t;
    t.Add(Consecutive(30, 0, Word, D) + Consecutive(10, 1000, Word, D) + Consecutive(20, 2000, Word, D) +
          Consecutive(5, 3000, Word, D) + Consecutive(10, 4000, Word, D));
    EXPECT_EQ(t.Runs(), 5);
    // 5 + 10 + 10 + 20 = 45 fits; 30 more would not.
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(t.data, 1), 1);
    EXPECT_EQ(t.Blocks(), "60-64:5@0/4 30-39:10@0/4 65-74:10@0/6 40-59:20@0/4 0-29:30@1/4");

    EXPECT_EQ(t.Runs(), 5);
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(t.data, 0), 0);
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(t.data, 3), -1);
    EXPECT_EQ(t.Blocks(), "0-29:30@0/4 30-39:10@1/4 40-59:20@2/4 60-64:5@3/4 65-74:10@4/6");
}

TEST(MixedPlans, ModeOneReportsNoOverflowWhenNothingOrEverythingFits) {
    PlanTable none;
    ThreeRuns(none, 50, 60, 70);
    EXPECT_EQ(none.Runs(), 3);
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(none.data, 1), 0);
    EXPECT_EQ(none.Blocks(), "0-49:50@1/4 50-109:60@1/4 110-179:70@1/6");

    PlanTable all;
    ThreeRuns(all, 5, 6, 7);
    EXPECT_EQ(all.Runs(), 3);
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(all.data, 1), 0);
    EXPECT_EQ(all.Blocks(), "0-4:5@0/4 5-10:6@0/4 11-17:7@0/6");
}

TEST(MixedPlans, PlanTypeOneReadsTheShortBlocksTogetherAndRanksTheRest) {
    PlanTable t;
    ThreeRuns(t, 100, 10, 20);
    // Total 130: the 10 and 20 blocks share rank 0, the 100 block is rank 1.
    EXPECT_EQ(t.Plan(PLAN_MIX, 0), 2);
    EXPECT_EQ(t.Blocks(), "100-109:10@0/6 110-129:20@0/6 0-99:100@1/6");
}
