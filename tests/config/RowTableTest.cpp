// Channel rows and tables: schema, values by name, comparisons, layout.
#include <gtest/gtest.h>

#include <vector>

#include "Blob.h"
#include "Dev.h"
#include "DevBas.h"
#include "DevVocabulary.h"

namespace {

class Rows : public ::testing::Test {
protected:
    void SetUp() override { CDevBas::mfInitBlockAndRow(); }

    static void Make(CDevRow& row, unsigned type, unsigned address, unsigned bit = 0, unsigned rw = 2) {
        row.SetdwValue(DEVROW_STR_CHLRWFLAG, rw);
        row.SetdwValue(DEVROW_STR_CHLTYPE, type);
        row.SetdwValue(DEVROW_STR_CHLADDRESS, address);
        row.SetdwValue(DEVROW_STR_CHLBIT, bit);
    }

    static std::vector<uint8_t> Serialized(COwnerObject& obj) {
        COwnerArchive ar(ARCHIVE_STORING);
        obj.Serialize(ar);
        return std::vector<uint8_t>(ar.SvrGetBuffer(), ar.SvrGetBuffer() + ar.SvrGetBufferSize());
    }
};

}  // namespace

TEST_F(Rows, ValuesAreReadAndWrittenByCaseSensitivePropertyName) {
    CDevRow row;
    EXPECT_EQ(row.SetdwValue(DEVROW_STR_CHLADDRESS, 100), 2);
    EXPECT_EQ(row.GetdwValue(DEVROW_STR_CHLADDRESS), 100u);
    EXPECT_EQ(row.GetIndexFromName("dev通道地址"), -1);
    EXPECT_EQ(row.SetdwValue("dev通道地址", 5), -1);
    EXPECT_EQ(row.GetdwValue("nothing"), 4294967295u);
    row.SetstrValue(DEVROW_STR_CHLNAME, "读写DWUB0100");
    EXPECT_STREQ(row.GetstrValue(DEVROW_STR_CHLNAME), "读写DWUB0100");
    EXPECT_TRUE(row.GetstrValue("nothing").IsEmpty());
    CDevRow copy(row);
    EXPECT_EQ(copy.GetdwValue(DEVROW_STR_CHLADDRESS), 100u);
    CDevRow assigned;
    assigned = row;
    EXPECT_STREQ(assigned.GetstrValue(DEVROW_STR_CHLNAME), "读写DWUB0100");
}

TEST_F(Rows, RowSerialisesAsSevenIntegersThenItsCountedName) {
    CDevRow row;
    row.SetdwValue(DEVROW_STR_CHLRWFLAG, 2);
    row.SetdwValue(DEVROW_STR_CHLTYPE, 14);
    row.SetdwValue(DEVROW_STR_CHLADDRESS, 100);
    row.SetdwValue(DEVROW_STR_CHLBIT, 0);
    row.SetdwValue(DEVROW_STR_CHLDATATYPE, 85);
    row.SetstrValue(DEVROW_STR_CHLNAME, "读写DWD0100");
    std::vector<uint8_t> expected = {
        0x02, 0, 0, 0, 0x0E, 0, 0, 0, 0x64, 0, 0, 0, 0x00, 0, 0, 0,  // rw 2, type 14, address 100, bit 0
        0x55, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0,                 // data type 85, fast 0, max 0
        0x0D, 0, 0, 0,                                               // 读写 = 6 bytes + DWD0100 = 7
    };
    const char* name = "读写DWD0100";
    expected.insert(expected.end(), name, name + 13);
    EXPECT_EQ(Serialized(row), expected);
}

TEST_F(Rows, ComparisonsUseTypeAddressAndBitUnsigned) {
    CDevRow a, b;
    Make(a, 14, 1);
    Make(b, 14, 4294967295u);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a != b);
    CDevRow c, d;
    Make(c, 14, 7, 3, 0);
    Make(d, 14, 7, 3, 2);  // differs only in the read/write flag, which is no key
    EXPECT_TRUE(c == d);
    EXPECT_FALSE(c > d);
    EXPECT_FALSE(c < d);
    EXPECT_TRUE(c >= d);
    EXPECT_TRUE(c <= d);
    CDevRow e;
    Make(e, 0, 9);
    EXPECT_TRUE(e < a);  // type before address
}

TEST_F(Rows, AddRowsAppendsOrMergesASortedRun) {
    CDevTable table;
    CArray<CDevRow, CDevRow&> none;
    EXPECT_EQ(table.AddRows(none, 0), -1);
    CArray<CDevRow, CDevRow&> four;
    four.SetSize(4);
    for (int i = 0; i < 4; ++i) Make(four[i], 14, 10u * (i + 1));
    EXPECT_EQ(table.AddRows(four, 1), 0);  // into an empty table
    CArray<CDevRow, CDevRow&> two;
    two.SetSize(2);
    Make(two[0], 14, 20);
    Make(two[1], 14, 30);
    two[0].SetstrValue(DEVROW_STR_CHLNAME, "new20");
    EXPECT_EQ(table.AddRows(two, 1), 1);
    ASSERT_EQ(table.GetRowCount(), 4);
    EXPECT_EQ(table[0].GetdwValue(DEVROW_STR_CHLADDRESS), 10u);
    EXPECT_STREQ(table[1].GetstrValue(DEVROW_STR_CHLNAME), "new20");
    EXPECT_EQ(table[2].GetdwValue(DEVROW_STR_CHLADDRESS), 30u);
    EXPECT_EQ(table[3].GetdwValue(DEVROW_STR_CHLADDRESS), 40u);
    EXPECT_EQ(table.AddRows(two, 0), 4);
    EXPECT_EQ(table.GetRowCount(), 6);
    table.DelRow(0);
    EXPECT_EQ(table.m_dwRowCount, 5);
    table.DelRow(99);
    EXPECT_EQ(table.GetRowCount(), 5);
    table.DelTable();
    EXPECT_EQ(table.GetRowCount(), 0);
}

TEST_F(Rows, TableRoundTripsThroughItsOwnSerialisation) {
    CDevTable table;
    CArray<CDevRow, CDevRow&> rows;
    rows.SetSize(3);
    for (int i = 0; i < 3; ++i) {
        Make(rows[i], 14 + i, 100u + i, i);
        rows[i].SetstrValue(DEVROW_STR_CHLNAME, i == 1 ? "读写DSTR0200_10" : "x");
    }
    table.AddRows(rows, 0);
    COwnerArchive out(ARCHIVE_STORING);
    out << table;
    COwnerArchive in(ARCHIVE_STORING);
    in.SvrWrite(out.SvrGetBuffer(), out.SvrGetBufferSize());
    in.SvrSeekToBegin();
    in.SvrChangeMode(ARCHIVE_LOADING);
    CDevTable back;
    in >> back;
    ASSERT_EQ(back.GetRowCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(back[i] == table[i]);
        EXPECT_STREQ(back[i].GetstrValue(DEVROW_STR_CHLNAME), table[i].GetstrValue(DEVROW_STR_CHLNAME));
    }
    CDevTable assigned;
    assigned = back;
    EXPECT_EQ(assigned.GetRowCount(), 3);
    EXPECT_EQ(assigned[2].GetdwValue(DEVROW_STR_CHLTYPE), 16u);
}

TEST_F(Rows, TableCountBeyondTheDataGivesZeroRowsAndNegativeCountsGiveNone) {
    BlobWriter w;
    w.I32(3);
    COwnerArchive ar(ARCHIVE_STORING);
    ar.SvrWrite(w.Bytes().data(), 4);
    ar.SvrChangeMode(ARCHIVE_LOADING);  // cut to the 4 bytes: nothing after the count
    CDevTable table;
    ar >> table;
    ASSERT_EQ(table.GetRowCount(), 3);
    EXPECT_EQ(table[2].GetdwValue(DEVROW_STR_CHLADDRESS), 0u);
    EXPECT_TRUE(table[2].GetstrValue(DEVROW_STR_CHLNAME).IsEmpty());

    for (int32_t count : {-5, 0x7FFFFFFF}) {
        BlobWriter v;
        v.I32(count);
        COwnerArchive a2(ARCHIVE_STORING);
        a2.SvrWrite(v.Bytes().data(), 4);
        a2.SvrChangeMode(ARCHIVE_LOADING);
        CDevTable t2;
        a2 >> t2;
        EXPECT_LE(t2.GetRowCount(), 65536) << count;
        if (count < 0) {
            EXPECT_EQ(t2.GetRowCount(), 0);
        }
    }
}

TEST(ChannelDefinition, AssignmentCopiesEveryFieldAndTheStringArrays) {
    SChlInfo a;
    EXPECT_EQ(a.m_nChlType, -1);
    EXPECT_STREQ(a.m_strAddress, "0");
    a.m_nChlType = 14;
    a.m_strAddress = "100_3";
    a.m_strArParam.Add("10");
    SChlInfo b;
    b.m_strArParam.Add("old");
    b.m_strArParam.Add("old2");
    b = a;
    EXPECT_EQ(b.m_nChlType, 14);
    EXPECT_STREQ(b.m_strAddress, "100_3");
    ASSERT_EQ(b.m_strArParam.GetSize(), 1);
    EXPECT_STREQ(b.m_strArParam[0], "10");
    b = b;
    EXPECT_EQ(b.m_strArParam.GetSize(), 1);
}

TEST(DataTypeList, OutOfRangeIndexesChangeNothing) {
    CDataTypeArray list;
    CStringArray src;
    src.Add("WUB");
    EXPECT_EQ(list.mfStrArSetSize(-1), 0);
    EXPECT_EQ(list.mfStrArSetSize(2), 1);
    CStringArray* out = &src;
    EXPECT_EQ(list.mfStrArGetAt(0, out), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(list.mfStrArSetAt(-1, src), 0);
    EXPECT_EQ(list.mfStrArGetAt(2, out), 0);
    EXPECT_EQ(list.mfStrArSetAt(1, src), 1);
    EXPECT_EQ(list.mfStrArAdd(src), 1);
    EXPECT_EQ(list.mfStrArGetSize(), 3);
    ASSERT_EQ(list.mfStrArGetAt(1, out), 1);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ((*out)[0], "WUB");
}

TEST_F(Rows, RowArrayGrowingWithItsOwnRowCopiesThatRow) {
    // Rows at 10, 20, 30 at exactly their capacity, so that growth moves them.
    const std::vector<unsigned> expected[] = {{10, 20, 30, 0, 20}, {30, 30, 10, 20, 30}, {10, 20, 30, 10, 20, 30}};
    for (int op = 0; op < 3; ++op) {
        CArray<CDevRow, CDevRow&> rows;
        rows.SetSize(3);
        for (int i = 0; i < 3; ++i) Make(rows[i], 14, 10u * (i + 1));
        rows.FreeExtra();
        if (op == 0) rows.SetAtGrow(4, rows[1]);
        if (op == 1) rows.InsertAt(0, rows[2], 2);
        if (op == 2) rows.Append(rows);
        std::vector<unsigned> addresses;
        for (int i = 0; i < rows.GetSize(); ++i) addresses.push_back(rows[i].GetdwValue(DEVROW_STR_CHLADDRESS));
        EXPECT_EQ(addresses, expected[op]) << "case " << op;
    }
}
