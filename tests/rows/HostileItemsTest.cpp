// Random and hostile command items: nothing crashes or reads outside a text
// (run it in the sanitizer build), no definition builds more than 5000 rows
// and no block item more than a table holds, and an accepted item always
// names what its rows need.
#include <random>
#include <string>

#include "RowsFixture.h"

namespace {

// Pieces that make item texts near the grammar, and some that are not.
const char* const PIECES[] = {
    "D",
    "d",
    "X",
    "Y",
    "M",
    "FS",
    "Q",
    ",",
    ",",
    ",",
    "=",
    "=",
    "[",
    "]",
    "[WUB]",
    "[DF]",
    "[STR]",
    "WUB",
    "bt15",
    "LF",
    "STR",
    "0",
    "1",
    "7",
    "17",
    "100",
    "5000",
    "6000",
    "-1",
    "-0.5",
    "2.5",
    "1e12",
    "nan",
    "inf",
    "999999999999999999",
    "\r\n",
    " ",
    "\t",
    "Buf",
    "Num",
    "Tank05",
    "T9",
    "%s",
    "%n%n",
    "%.9999d",
    "_",
    "00000000000000001",
};

// Valid items of each kind (two kinds per row), mutated at random below.
const char* const TEMPLATES[][2] = {
    {"D,100,WUB=V", "x,17,BT00=V=R"},
    {"d,Num,str=V", "FS,0,LF=7"},
    {"SD,3,DD=V", "M,1,WB=V"},
    {"D,0,DUB,3,A,B,C", "M,0,BT00,Num,A,B,C,R"},
    {"D,10,WUB,3,Tank05", "Y,7,LF,-1,T9,R"},
    {"D,100,[WUB][DF],2,Buf", "D,0,[STR][BT15],Num,Buf,R"},
    {"D,0,3,WUB,Buf", "HD,5,Num,LB,Buf,R"},
};

std::string RandomItem(std::mt19937& rng, int kind) {
    const size_t pieces = sizeof PIECES / sizeof PIECES[0];
    std::string text = rng() % 8 == 0 ? "" : TEMPLATES[kind / 2][rng() % 2];
    int mutations = static_cast<int>(rng() % 4);
    if (text.empty()) mutations += 12;
    for (int m = 0; m < mutations; ++m) {
        size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
        switch (rng() % 4) {
            case 0:
                text.insert(at, PIECES[rng() % pieces]);
                break;
            case 1:
                text.erase(at, rng() % 4);
                break;
            case 2:
                text.insert(at, 1, static_cast<char>(1 + rng() % 255));
                break;
            default:
                text.insert(at, text.substr(at, rng() % 8));
                break;
        }
    }
    return text;
}

class HostileItems : public RowsTest {
protected:
    void SetUp() override {
        rtdb.SetVariable("Buf", std::string("1,2\r\n3,4\r\n5,6,7,8"));
        rtdb.SetVariable("Num", 3);
    }
};

}  // namespace

TEST_F(HostileItems, RandomItemsNeverBuildUnboundedOrUnnamedRows) {
#ifdef QUORLAN_EMULATED
    constexpr int kRounds = 800;
#else
    constexpr int kRounds = 4000;
#endif
    int accepted[IOCTRL_KIND_COUNT] = {};
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        std::mt19937 rng(seed);
        for (int round = 0; round < kRounds; ++round) {
            int kind = static_cast<int>(rng() % IOCTRL_KIND_COUNT);
            std::string text = RandomItem(rng, kind);
            if (Item(kind, text.c_str()) != 1) continue;
            ++accepted[kind];
            SCOPED_TRACE("seed " + std::to_string(seed) + " kind " + std::to_string(kind) + ": " + text);
            const bool block = kind == IOCTRL_READBLOCK || kind == IOCTRL_WRITEBLOCK;
            ASSERT_LE(rows.GetSize(), block ? DEVTABLE_ROW_CEILING : 5000);
            for (int i = 0; i < rows.GetSize(); ++i) {
                ASSERT_LT(rows[i].GetdwValue(DEVROW_STR_CHLTYPE), 29u);
                ASSERT_EQ(rows[i].GetdwValue(DEVROW_STR_CHLRWFLAG), 2u);
            }
            if (kind == IOCTRL_READBLOCK) {
                ASSERT_EQ(names.GetSize(), 1);
                ASSERT_EQ(flags.GetSize(), rows.GetSize());
            } else if (kind == IOCTRL_READMUTIREG) {
                ASSERT_EQ(names.GetSize(), 1);
            } else {
                ASSERT_EQ(names.GetSize(), rows.GetSize());
            }
        }
    }
    // Enough texts of every kind got through for the checks above to mean something.
    for (int k = 0; k < IOCTRL_KIND_COUNT; ++k) EXPECT_GE(accepted[k], kRounds / 40) << k;
}

TEST_F(HostileItems, LongTextsAreConsumedWithoutQuadraticCopying) {
    // Many bracket pairs: as many types as a table holds rows are taken, one more is refused.
    std::string types;
    for (int i = 0; i < DEVTABLE_ROW_CEILING; ++i) types += "[WB]";
    EXPECT_EQ(Item(IOCTRL_READBLOCK, ("D,0," + types + ",1,Buf").c_str()), 1);
    EXPECT_EQ(rows.GetSize(), DEVTABLE_ROW_CEILING);
    EXPECT_EQ(Item(IOCTRL_READBLOCK, ("D,0,[WB]" + types + ",1,Buf").c_str()), 0);
    // A long variable name is refused for running names instead of printing it thousands of times.
    EXPECT_EQ(Item(IOCTRL_READPV, ("D,0,WUB,5000," + std::string(100000, 'A') + "1").c_str()), 0);
    EXPECT_EQ(Item(IOCTRL_READPV, ("D,0,WUB,2,A" + std::string(100000, '0') + "1").c_str()), 0);
    // A long value list is read value by value.
    std::string values = "D,0,WUB,5000";
    for (int i = 0; i < 5000; ++i) values += "," + std::to_string(i);
    EXPECT_EQ(Item(IOCTRL_WRITEP, values.c_str()), 1);
    EXPECT_EQ(names.GetSize(), 5000);
    EXPECT_STREQ(names[4999], "4999");
}
