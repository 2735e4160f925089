// Channel definitions expanded into named rows; data-type lookups; running
// variable names.
#include "RowsFixture.h"

namespace {

class DefinitionRows : public RowsTest {
protected:
    // A definition of count items of one data-type index from an address text.
    int Build(int chlType, int index, const char* address, int count, int rw = 2) {
        def.m_nChlType = chlType;
        def.m_nDataType = index;
        def.m_strAddress = address;
        def.m_nCount = count;
        def.m_nRWFlag = rw;
        return CDevBas::mfMakeDevRowsFromSChlInfo(def, rows);
    }
    SChlInfo def;
};

}  // namespace

TEST_F(DefinitionRows, WordTypesAdvanceTheAddressByTheirWidthAndLeaveTheNextAddress) {
    EXPECT_EQ(Build(14, 16, "100", 3), 1);
    EXPECT_EQ(Rows(rows), (Strings{"14 100.0 83", "14 101.0 83", "14 102.0 83"}));
    EXPECT_EQ(RowNames(rows), (Strings{"读写DWUB0100", "读写DWUB0101", "读写DWUB0102"}));
    EXPECT_STREQ(def.m_strAddress, "103");
    EXPECT_EQ(rows[0].GetdwValue(DEVROW_STR_CHLRWFLAG), 2u);
    rows.RemoveAll();
    Build(14, 19, "100", 2);  // DUB
    EXPECT_EQ(Rows(rows), (Strings{"14 100.0 86", "14 102.0 86"}));
    EXPECT_STREQ(def.m_strAddress, "104");
    rows.RemoveAll();
    Build(28, 26, "0", 2, 1);  // LF in FS keeps the write-only flag of its definition
    EXPECT_EQ(Rows(rows), (Strings{"28 0.0 93", "28 4.0 93"}));
    EXPECT_EQ(RowNames(rows)[1], "只写FSLF0004");
}

TEST_F(DefinitionRows, BitsOfAWordStepThroughTheWordThenToTheNextWord) {
    Build(14, 14, "7", 4);
    EXPECT_EQ(Rows(rows), (Strings{"14 7.14 14", "14 7.15 15", "14 8.0 0", "14 8.1 1"}));
    EXPECT_EQ(RowNames(rows), (Strings{"读写D0007.14", "读写D0007.15", "读写D0008.00", "读写D0008.01"}));
    EXPECT_STREQ(def.m_strAddress, "8");
}

TEST_F(DefinitionRows, BitAreaRowsAreBitsWhateverTheIndex) {
    Build(0, 22, "0", 3);
    EXPECT_EQ(Rows(rows), (Strings{"0 0.0 20", "0 1.0 20", "0 2.0 20"}));
    EXPECT_EQ(RowNames(rows), (Strings{"读写M0000", "读写M0001", "读写M0002"}));
}

TEST_F(DefinitionRows, StringLengthComesFromTheBitTheParameterOrIsTheMaximum) {
    def.m_strArParam.Add("0");
    Build(14, 27, "0", 2);  // no length: 120 bytes, 60 words a row
    EXPECT_EQ(Rows(rows), (Strings{"14 0.120 131", "14 60.120 131"}));
    EXPECT_EQ(def.m_nBit, 120);
    rows.RemoveAll();
    def.m_nBit = 7;
    Build(14, 27, "10", 2);
    EXPECT_EQ(Rows(rows), (Strings{"14 10.7 131", "14 14.7 131"}));
    EXPECT_EQ(RowNames(rows)[0], "读写DSTR0010_7");
    rows.RemoveAll();
    Build(14, 27, "200_10", 1);  // the length after "_" of the address
    EXPECT_EQ(RowNames(rows)[0], "读写DSTR0200_10");
    for (int length : {0, 121}) {
        rows.RemoveAll();
        def.m_nBit = length;
        Build(14, 27, "0", 1);
        EXPECT_EQ(def.m_nBit, 120) << length;
    }
}

TEST_F(DefinitionRows, CountsAreBoundedAndANegativeAddressStartsAtZero) {
    for (auto [count, built] : std::vector<std::pair<int, int>>{{0, 1}, {6000, 5000}, {-1, 5000}}) {
        rows.RemoveAll();
        Build(14, 16, "-5", count);
        EXPECT_EQ(rows.GetSize(), built) << count;
        EXPECT_EQ(rows[0].GetdwValue(DEVROW_STR_CHLADDRESS), 0u);
    }
}

TEST_F(DefinitionRows, AnUnknownAreaOrDataTypeBuildsNothing) {
    EXPECT_EQ(Build(14, -1, "0", 1), 0);
    EXPECT_EQ(Build(14, 28, "0", 1), 0);
    EXPECT_EQ(Build(29, 16, "0", 1), 0);
    EXPECT_EQ(rows.GetSize(), 0);
}

TEST_F(DefinitionRows, RowNamesFollowFlagAreaTypeAddressAndBit) {
    auto name = [](unsigned rw, unsigned type, unsigned code, unsigned address, unsigned bit) {
        CDevRow row;
        row.SetdwValue(DEVROW_STR_CHLRWFLAG, rw);
        row.SetdwValue(DEVROW_STR_CHLTYPE, type);
        row.SetdwValue(DEVROW_STR_CHLDATATYPE, code);
        row.SetdwValue(DEVROW_STR_CHLADDRESS, address);
        row.SetdwValue(DEVROW_STR_CHLBIT, bit);
        EXPECT_EQ(CDevBas::mfFormRowName(row), 1);
        return std::string(row.GetstrValue(DEVROW_STR_CHLNAME).c_str());
    };
    EXPECT_EQ(name(2, 0, 20, 5, 0), "读写M0005");
    EXPECT_EQ(name(2, 14, 3, 100, 3), "读写D0100.03");
    EXPECT_EQ(name(2, 14, 85, 100, 0), "读写DWD0100");
    EXPECT_EQ(name(2, 14, 131, 200, 10), "读写DSTR0200_10");
    EXPECT_EQ(name(0, 25, 93, 12345, 0), "只读HSCDLF12345");
    // Values outside the tables (rows of a foreign blob) leave their part out.
    EXPECT_EQ(name(7, 40, 200, 1, 0), "0001");
}

TEST_F(DefinitionRows, DataTypeNamesGiveTheirSelectionIndexAndCodes) {
    CString wub = "wub";
    EXPECT_EQ(CDevBas::mfGetDataTypeListNum(wub, 14), 16);
    EXPECT_STREQ(wub, "WUB");
    for (auto [text, index] : std::vector<std::pair<const char*, int>>{
             {"BT07", 7}, {"bt15", 15}, {"STR", 27}, {"lf", 26}, {"X", -1}, {"QQ", -1}, {"BT16", -1}}) {
        CString typeName = text;
        EXPECT_EQ(CDevBas::mfGetDataTypeListNum(typeName, 28), index) << text;
    }
    CString any = "anything";
    EXPECT_EQ(CDevBas::mfGetDataTypeListNum(any, 0), 0);
    EXPECT_EQ(CDevBas::mfGetDataTypeListNum(any, 29), -1);

    unsigned int width = 0;
    EXPECT_EQ(CDevBas::mfGetDataType(5, 14, width), 5u);
    EXPECT_EQ(width, 16u);
    EXPECT_EQ(CDevBas::mfGetDataType(18, 14, width), 85u);
    EXPECT_EQ(width, 1u);
    EXPECT_EQ(CDevBas::mfGetDataType(22, 14, width), 89u);
    EXPECT_EQ(width, 2u);
    EXPECT_EQ(CDevBas::mfGetDataType(23, 14, width), 90u);
    EXPECT_EQ(width, 4u);
    EXPECT_EQ(CDevBas::mfGetDataType(27, 14, width), 131u);
    EXPECT_EQ(CDevBas::mfGetDataType(3, 6, width), 20u);
    EXPECT_EQ(width, 1u);
}

TEST_F(DefinitionRows, VariableNamesSplitIntoAFormatAndARunningNumber) {
    CString format = "untouched";
    int number = -1;
    for (const char* stemless : {"123", ""}) {
        CString name = stemless;
        EXPECT_EQ(CDevBas::mfGetVarAutoName(name, format, number), 0);
        EXPECT_STREQ(format, "untouched");
        EXPECT_EQ(number, -1);
    }
    CString tank = "Tank12";
    EXPECT_EQ(CDevBas::mfGetVarAutoName(tank, format, number), 1);
    EXPECT_STREQ(format, "Tank%.2d");
    EXPECT_EQ(number, 12);
    CString bare = "Tank";
    EXPECT_EQ(CDevBas::mfGetVarAutoName(bare, format, number), 0);
    EXPECT_STREQ(format, "Tank%.0d");
    // A '%' of the stem is printed as itself, never taken as a conversion.
    CString percent = "A%s%n007";
    EXPECT_EQ(CDevBas::mfGetVarAutoName(percent, format, number), 1);
    CString printed;
    printed.Format(format, number + 1);
    EXPECT_STREQ(printed, "A%s%n008");
    // A running number beyond the int range is no running number.
    CString huge = "T99999999999";
    EXPECT_EQ(CDevBas::mfGetVarAutoName(huge, format, number), 0);
    EXPECT_EQ(number, 7);
}

TEST(WriteKinds, AreTheOddCommandKinds) {
    for (int kind = -2; kind <= 15; ++kind)
        EXPECT_EQ(CDevBas::mfGetRWFlag(kind), (kind >= 1 && kind <= 13 && kind % 2 == 1) ? 1 : 0) << kind;
}
