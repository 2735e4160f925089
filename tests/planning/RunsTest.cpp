// Element widths, block lengths and the runs of consecutive wanted rows.
#include <climits>

#include "PlanTable.h"

TEST(RowWidth, FollowsTheDataTypeCode) {
    PlanTable t;
    t.Add({{D, 0, 0},
           {M, 0, BIT},
           {D, 0, 83},
           {D, 0, 85},
           {D, 0, 86},
           {D, 0, 89},
           {D, 0, 90},
           {D, 0, 93},
           {D, 0, 94},
           {D, 0, 130},
           {D, 0, 132},
           Text(0, 10),
           Text(0, 9),
           Text(0, 0),
           Text(0, 1)});
    int expected[] = {1, 1, 1, 1, 2, 2, 4, 4, 2, 2, 2, 5, 5, 0, 1};
    for (int i = 0; i < t.Table().GetRowCount(); ++i)
        EXPECT_EQ(CDevBas::mfGetRowWidth(t.Table().Row(i)), expected[i]) << "row " << i;
}

TEST(RowWidth, DoesNotOverflowOnAnAbsurdStringLength) {
    PlanTable t;
    t.Add({Text(0, 0xFFFFFFFFu)});
    EXPECT_EQ(CDevBas::mfGetRowWidth(t.Table().Row(0)), INT_MAX);
}

TEST(BlockLength, RunsFromTheFirstAddressToTheEndOfTheLastRow) {
    PlanTable t;
    t.Add({Word(10), Dword(11), Qword(13), Text(17, 7)});
    CDevTable& table = t.Table();
    EXPECT_EQ(CDevBas::mfFetchBlockLen(table, 0, 0), 1);
    EXPECT_EQ(CDevBas::mfFetchBlockLen(table, 0, 1), 3);   // 11 + 2 - 10
    EXPECT_EQ(CDevBas::mfFetchBlockLen(table, 0, 2), 7);   // 13 + 4 - 10
    EXPECT_EQ(CDevBas::mfFetchBlockLen(table, 0, 3), 11);  // 17 + (7 + 1) / 2 - 10
    EXPECT_EQ(CDevBas::mfFetchBlockLen(table, 3, 0), -6);  // 10 + 1 - 17
}

TEST(BlockLength, IsZeroForRowsOutsideTheTable) {
    PlanTable t;
    t.Add({Word(10), Word(11)});
    EXPECT_EQ(CDevBas::mfFetchBlockLen(t.Table(), -1, 1), 0);
    EXPECT_EQ(CDevBas::mfFetchBlockLen(t.Table(), 0, 2), 0);
}

TEST(Runs, ConsecutiveRowsOfOneAreaFormOneRun) {
    PlanTable t;
    t.Add({Dword(0), Dword(2), Word(4), Qword(5)});
    EXPECT_EQ(t.Runs(), 1);
    EXPECT_EQ(t.Blocks(), "0-3:9@0/6");
    EXPECT_EQ(t.Dev().nPlanTotal, 9);
}

TEST(Runs, ARowEndingInsideThePreviousRowStartsANewRun) {
    PlanTable t;
    t.Add({Dword(0), Word(0), Word(1)});
    EXPECT_EQ(t.Runs(), 2);
    EXPECT_EQ(t.Blocks(), "0-0:2@0/6 1-2:2@1/6");
}

TEST(Runs, OverlappingRowsThatReachFurtherJoin) {
    PlanTable t;
    t.Add({Word(0), Word(0), Dword(0), Dword(1)});
    EXPECT_EQ(t.Runs(), 1);
    EXPECT_EQ(t.Blocks(), "0-3:3@0/6");
}

TEST(Runs, AHoleEndsARunWithTheGapState) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(3)});
    EXPECT_EQ(t.Runs(), 2);
    EXPECT_EQ(t.Blocks(), "0-1:2@0/4 2-2:1@1/6");
    EXPECT_EQ(t.Dev().nPlanTotal, 3);
}

TEST(Runs, ALowerAddressOrAnotherAreaClosesTheRun) {
    PlanTable t;
    t.Add({Word(5), Word(4), Word(5, ID), Bit(6), Bit(7, X)});
    EXPECT_EQ(t.Runs(), 5);
    EXPECT_EQ(t.Blocks(), "0-0:1@0/6 1-1:1@1/6 2-2:1@2/6 3-3:1@3/6 4-4:1@4/6");
}

TEST(Runs, AStringNeverJoinsButOpensARunOthersMayJoin) {
    PlanTable t;
    t.Add({Word(0), Text(1, 4), Word(3), Text(4, 3), Text(6, 2)});
    EXPECT_EQ(t.Runs(), 4);
    EXPECT_EQ(t.Blocks(), "0-0:1@0/6 1-2:3@1/6 3-3:2@2/6 4-4:1@3/6");
}

TEST(Runs, UnwantedRowsBetweenWantedOnesBelongToTheRun) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(2), Word(3)});
    t.Unwant({1, 2});
    EXPECT_EQ(t.Runs(), 2);  // 0 to 3 skips two words: a hole
    EXPECT_EQ(t.Blocks(), "0-0:1@0/4 3-3:1@1/6");
    t.WantOnly({0, 3});
    t.Table().Row(3).SetdwValue(DEVROW_STR_CHLADDRESS, 1);
    EXPECT_EQ(t.Runs(), 1);
    EXPECT_EQ(t.Blocks(), "0-3:2@0/6");
}

TEST(Runs, WriteOnlyRowsAreNeverRead) {
    PlanTable t;
    t.Add({WriteOnly(Word(0)), Word(1), WriteOnly(Word(2)), WriteOnly(Bit(0))});
    EXPECT_EQ(t.Runs(), 1);
    EXPECT_EQ(t.Blocks(), "1-1:1@0/6");

    PlanTable only;
    only.Add({WriteOnly(Word(0)), WriteOnly(Word(1))});
    EXPECT_EQ(only.Plan(), 0);
    EXPECT_EQ(only.Dev().arBlock.GetSize(), 0);
}

TEST(Runs, RowModesOneThreeAndFivePutEveryRowAlone) {
    for (int mode : {1, 3, 5}) {
        PlanTable t;
        t.Add({Word(0), Word(1), Dword(2)});
        EXPECT_EQ(t.Plan(PLAN_CMDWRITE, mode), 3) << "mode " << mode;
        EXPECT_EQ(t.Blocks(), "0-0:1@0/6 1-1:1@1/6 2-2:2@2/6") << "mode " << mode;
        EXPECT_EQ(t.Plan(PLAN_CMDREAD, mode), 3) << "mode " << mode;
    }
    for (int mode : {-1, 0, 2, 7, 11}) {
        PlanTable t;
        t.Add({Word(0), Word(1), Dword(2)});
        EXPECT_EQ(t.Plan(PLAN_CMDWRITE, mode), 1) << "mode " << mode;
    }
}

TEST(Runs, OnlyAWantedElementOfOneCounts) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(2), Word(3)});
    t.wanted[1] = 2;
    t.wanted[2] = -1;
    t.wanted[3] = 3;
    EXPECT_EQ(t.Runs(), 1);
    EXPECT_EQ(t.Blocks(), "3-3:1@0/6");
}

TEST(Runs, AShortWantedArrayLeavesTheMissingRowsUnwanted) {
    PlanTable t;
    t.Add({Word(0), Word(1), Word(2), Word(3)});
    t.wanted.SetSize(3);  // rows 0 and 1 only
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "0-1:2@0/6");
    t.wanted.SetSize(0);
    EXPECT_EQ(t.Plan(), 0);
    EXPECT_EQ(t.Dev().nRankCount, 0);
}

TEST(Runs, RowsOfAnUnknownAreaAreNotRead) {
    PlanTable t;
    t.Add({{29, 0, WB}, Word(0), {1000, 1, WB}, Word(1), {0xFFFFFFFFu, 2, WB}, {38, 3, WB}});
    EXPECT_EQ(t.Plan(), 1);
    EXPECT_EQ(t.Blocks(), "1-3:2@0/6");
}

TEST(Runs, AnEmptyTableOrNoDeviceDataPlansNothing) {
    PlanTable t;
    t.WantAll();
    t.Dev().nRankCount = 5;
    EXPECT_EQ(t.Plan(), 0);
    EXPECT_EQ(t.Dev().nRankCount, 0);
    EXPECT_EQ(t.Dev().nPlanTotal, 0);

    ZEVO_DATA none;
    CArray<int, int> wanted;
    EXPECT_EQ(CDevBas::mfMakeBlock(none, wanted, 1), 0);
    EXPECT_EQ(CDevBas::mfMakeBlockDynamic(none, wanted, PLAN_CMDREAD, 0), 0);
    EXPECT_EQ(CDevBas::mfAnalyzeDynBlock(none, 0, 0, 3), 0);
    EXPECT_EQ(CDevBas::mfLinkRankBlock(none, 2, 0, 3), 2);
    EXPECT_EQ(CDevBas::mfMakeMixBlockOnly(none, 2), 0);
    EXPECT_EQ(CDevBas::mfSetCollectFlag(none, wanted, 0, 3), 1);
}
