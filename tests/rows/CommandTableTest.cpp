// Command items turned into channel rows and the names of the host variables
// (or literals) that go with them.
#include "RowsFixture.h"

namespace {

class CommandItems : public RowsTest {
protected:
    // The whole command: items through the table builder.
    int Build(int kind, std::vector<const char*> texts) {
        CStringArray items;
        for (const char* t : texts) items.Add(t);
        names.RemoveAll();
        flags.RemoveAll();
        return CDevBas::mfBuildDevTableFromCmd(data, items, names, flags, result, kind);
    }
    CString result = "untouched";
};

struct KindCase {
    int kind;
    const char* accepted;
    int rows;
    Strings names;
    const char* rejected;
};

}  // namespace

TEST_F(CommandItems, EveryKeywordAcceptsItsItemFormAndRejectsABrokenOne) {
    rtdb.SetVariable("Vals", std::string("7,8,9"));
    const std::vector<KindCase> cases = {
        {IOCTRL_READ, "D,1,WUB=V", 1, {"V"}, "D,1,WUB"},
        {IOCTRL_WRITE, "D,1,WB=V", 1, {"V"}, "D,1"},
        {IOCTRL_READ32, "D,1,DF=V", 1, {"V"}, "D,1,XX=V"},
        {IOCTRL_WRITE32, "D,1,DUB=V", 1, {"V"}, "D,-1,DUB=V"},
        {IOCTRL_READ64, "D,1,LB=V", 1, {"V"}, "Q,1,LB=V"},
        {IOCTRL_WRITE64, "D,1,LUB=V", 1, {"V"}, "D,1,=V"},
        {IOCTRL_READP, "D,0,WUB,2,A,B", 2, {"A", "B"}, "D,0,WUB,3,A,B"},
        {IOCTRL_WRITEP, "D,0,WUB,2,A,B", 2, {"A", "B"}, "D,0,WUB,2"},
        {IOCTRL_READPV, "D,0,WUB,2,V9", 2, {"V9", "V10"}, "D,0,WUB,2,V"},
        {IOCTRL_WRITEPV, "D,0,WUB,2,V09", 2, {"V09", "V10"}, "D,0,WUB,2,99"},
        {IOCTRL_READBLOCK, "D,0,[WUB],2,Buf", 2, {"Buf"}, "D,0,WUB,2,Buf"},
        {IOCTRL_WRITEBLOCK, "D,0,[WUB][WUB],1,1,2", 2, {"1", "2"}, "D,0,[WUB][WUB],2,1,2"},
        {IOCTRL_READMUTIREG, "D,0,3,WUB,Var", 3, {"Var"}, "D,0,3,QQ,Var"},
        {IOCTRL_WRITEMUTIREG, "D,0,3,WUB,Vals", 3, {"7", "8", "9"}, "D,0,4,WUB,Vals"},
    };
    for (const KindCase& c : cases) {
        EXPECT_EQ(Item(c.kind, c.accepted), 1) << c.kind;
        EXPECT_EQ(rows.GetSize(), c.rows) << c.kind;
        EXPECT_EQ(Texts(names), c.names) << c.kind;
        EXPECT_EQ(Item(c.kind, c.rejected), 0) << c.kind << " " << c.rejected;
    }
}

TEST_F(CommandItems, ReadItemNamesItsValueAndOptionallyAResultVariable) {
    EXPECT_EQ(Build(IOCTRL_READ, {"d,100,wub=Level"}), 1);
    EXPECT_EQ(table.GetRowCount(), 1);
    EXPECT_EQ(Row(table[0]), "14 100.0 83");
    EXPECT_EQ(table[0].GetdwValue(DEVROW_STR_CHLRWFLAG), 2u);
    EXPECT_STREQ(table[0].GetstrValue(DEVROW_STR_CHLNAME), "读写DWUB0100");
    EXPECT_EQ(Texts(names), Strings{"Level"});
    EXPECT_STREQ(result, "");
    table.DelTable();
    EXPECT_EQ(Build(IOCTRL_READ, {"d,100,wub=Level=Done"}), 1);
    EXPECT_STREQ(result, "Done");
}

TEST_F(CommandItems, XAndYAddressesAreOctalDigits) {
    EXPECT_EQ(Item(IOCTRL_READ, "X,17,BT00=Lamp"), 1);
    EXPECT_EQ(Rows(rows), Strings{"1 15.0 20"});
    EXPECT_EQ(Item(IOCTRL_WRITE, "y,100,WUB=Lamp"), 1);
    EXPECT_EQ(Rows(rows), Strings{"2 64.0 20"});
    // 8 and 9 are no octal digits; a minus sign is not dropped.
    EXPECT_EQ(Item(IOCTRL_READ, "X,18,BT00=Lamp"), 0);
    EXPECT_EQ(Item(IOCTRL_READ, "X,-17,BT00=Lamp"), 0);
}

TEST_F(CommandItems, ConsecutiveItemsAndRunningNamesAdvanceTheAddress) {
    EXPECT_EQ(Item(IOCTRL_READP, "D,0,DUB,3,A,B,C"), 1);
    EXPECT_EQ(Rows(rows), (Strings{"14 0.0 86", "14 2.0 86", "14 4.0 86"}));
    EXPECT_EQ(Texts(names), (Strings{"A", "B", "C"}));
    EXPECT_EQ(Item(IOCTRL_READPV, "D,10,WUB,3,Tank05,Done"), 1);
    EXPECT_EQ(Rows(rows), (Strings{"14 10.0 83", "14 11.0 83", "14 12.0 83"}));
    EXPECT_EQ(Texts(names), (Strings{"Tank05", "Tank06", "Tank07"}));
    EXPECT_STREQ(item, "Done");
    EXPECT_EQ(Item(IOCTRL_READPV, "D,10,WUB,3,Tank"), 0);
    EXPECT_EQ(Item(IOCTRL_READPV, "D,10,WUB,3,T2147483646"), 0);  // the successors would overflow
}

TEST_F(CommandItems, ReadBlockBuildsLinesOfItsTypesWithLineFlags) {
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,100,[WUB][DF],2,Buf"), 1);
    EXPECT_EQ(Rows(rows), (Strings{"14 100.0 83", "14 101.0 89", "14 103.0 83", "14 104.0 89"}));
    EXPECT_EQ(Texts(names), Strings{"Buf"});
    EXPECT_EQ(std::vector<int>(flags.GetData(), flags.GetData() + flags.GetSize()), (std::vector<int>{0, 1, 0, 0}));
}

TEST_F(CommandItems, WriteBlockTakesCommaSeparatedValuesInLinesFromAStringVariable) {
    rtdb.SetVariable("Buf", std::string("1,2\r\n3,4"));
    EXPECT_EQ(Item(IOCTRL_WRITEBLOCK, "D,100,[WUB][WUB],2,Buf"), 1);
    EXPECT_EQ(Texts(names), (Strings{"1", "2", "3", "4"}));
    rtdb.SetVariable("Buf", std::string("\r\n 1,2\r\n\r\n3,4\r\n"));
    EXPECT_EQ(Item(IOCTRL_WRITEBLOCK, "D,100,[WUB][WUB],2,Buf,Done"), 1);
    EXPECT_EQ(Texts(names), (Strings{"1", "2", "3", "4"}));
    EXPECT_STREQ(item, "Done");
    EXPECT_EQ(Item(IOCTRL_WRITEBLOCK, "D,100,[WUB][WUB],3,Buf"), 0);      // values run out
    EXPECT_EQ(Item(IOCTRL_WRITEBLOCK, "D,100,[WUB][WUB],2,Buf,A,B"), 0);  // "," after the variable
    EXPECT_EQ(Item(IOCTRL_WRITEBLOCK, "D,100,[WUB][WUB],2,,Done"), 0);    // empty variable token
}

TEST_F(CommandItems, HostVariablesAndLiteralsStandForEveryPart) {
    rtdb.SetVariable("Area", std::string("d"));
    rtdb.SetVariable("Addr", 100);
    rtdb.SetVariable("Type", std::string("dub"));
    rtdb.SetVariable("N", 2.6);
    EXPECT_EQ(Item(IOCTRL_READP, "Area,Addr,Type,N,A,B,C"), 1);
    EXPECT_EQ(Rows(rows), (Strings{"14 100.0 86", "14 102.0 86", "14 104.0 86"}));
    EXPECT_EQ(Item(IOCTRL_READ, "Addr,0,WUB=A"), 0);  // a numeric variable has no area text
    EXPECT_EQ(Item(IOCTRL_READ, "D,1e12,WUB=A"), 0);  // no element lies beyond the int range
    EXPECT_EQ(Item(IOCTRL_READ, "D,nan,WUB=A"), 0);
}

TEST_F(CommandItems, ItemsAppendInOrderAndOneBadItemFailsTheCommand) {
    EXPECT_EQ(Build(IOCTRL_READ, {"D,0,WUB=A", "M,5,BT00=B"}), 1);
    EXPECT_EQ(Rows(table.m_arRow), (Strings{"14 0.0 83", "0 5.0 20"}));
    EXPECT_EQ(Texts(names), (Strings{"A", "B"}));
    table.DelTable();
    result = "untouched";
    EXPECT_EQ(Build(IOCTRL_READ, {"D,0,WUB=A", "Q,1,WUB=A"}), 0);
    EXPECT_EQ(table.GetRowCount(), 1);
    EXPECT_STREQ(result, "untouched");
    table.DelTable();
    EXPECT_EQ(Build(IOCTRL_WRITE, {"FS,0,WUB=1"}), 1);  // write-only area takes writes
}

TEST_F(CommandItems, BracketsInTheWrongOrderAndAbsurdBlocksAreRefused) {
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,0,]WUB[,1,Buf"), 0);
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,0,[WUB]][DF],1,Buf"), 0);
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,0,[WUB],1000000000,Buf"), 0);
    EXPECT_EQ(rows.GetSize(), 0);
    // A block item may build as many rows as a table holds, and no more.
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,0,[WUB][WUB],32769,Buf"), 0);
    EXPECT_EQ(Item(IOCTRL_READBLOCK, "D,0,[WUB][WUB],32768,Buf"), 1);
    EXPECT_EQ(rows.GetSize(), 65536);
    // No repetitions: understood, but no rows; the result variable is named.
    EXPECT_EQ(Build(IOCTRL_READBLOCK, {"D,0,[WUB],0,Buf,Done"}), 0);
    EXPECT_STREQ(result, "Done");
    // A command of more rows than a device could hold is refused as a whole.
    EXPECT_EQ(Build(IOCTRL_READMUTIREG, std::vector<const char*>(14, "D,0,5000,WUB,V")), 0);
}
