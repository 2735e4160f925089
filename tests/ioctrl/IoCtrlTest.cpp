// Text commands end to end: the built plug-in, loaded as the host loads it,
// carries out IOCtrl commands against the simulated PLC through the
// in-process port, with host variables in the in-memory database. The
// clock is fake, so the retries of a silent PLC cost no time.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Blob.h"
#include "DriverSession.h"
#include "FakeClock.h"
#include "ScriptedPort.h"
#include "plcsim/LoopbackPort.h"

namespace {

// One controller with two configured channels, D10 (WUB) and M5 (a bit),
// which planning puts into two ranks, against one simulated PLC.
struct Rig {
    explicit Rig(std::vector<int32_t> properties = DefaultProperties()) {
        session.UsePort(&port);
        session.Init(MakeBlob(properties, {MakeRow(14, 10, 83), MakeRow(0, 5, 20)}));
        session.RefChange(DriverSession::AllInUse(2));
        db().DeclareChannel(0, DATATYPE_INT);
        db().DeclareChannel(1, DATATYPE_INT);
    }

    MemoryRtdb& db() { return session.Rtdb(); }
    int Run(const std::string& command) { return session.IoCtrl(command); }
    void Silence(uint64_t first = 0, uint64_t last = 0) {
        plcsim::FaultRule rule;
        rule.kind = plcsim::FaultKind::NoAnswer;
        rule.firstRequest = first;
        rule.lastRequest = last;
        plc.AddFault(rule);
    }
    // A variable's value as text, whatever its type.
    std::string Show(const std::string& name) {
        const MemoryRtdb::Value& v = db().Variable(name);
        char text[64];
        switch (v.type) {
            case DATATYPE_INT:
                std::snprintf(text, sizeof text, "%d", v.i);
                return text;
            case DATATYPE_DOUBLE:
                std::snprintf(text, sizeof text, "%g", v.d);
                return text;
            case DATATYPE_STRING:
                return v.s;
            default:
                return "<none>";
        }
    }
    std::vector<uint16_t> Words(uint32_t address, uint32_t count) { return plc.GetRange("D", address, count); }

    FakeClock clock;
    plcsim::Plc plc;
    plcsim::LoopbackPort port{plc};
    DriverSession session;
};

// The PLC memory the read commands find, and the variables every keyword
// case uses, with their values before the command.
void Prepare(Rig& rig) {
    rig.plc.SetRange("D", 100, {0x1234, 2, 3, 0xFFFF});
    rig.plc.SetRange("D", 110, {0x1234, 0x5678, 0x3FC0, 0x0000});  // DUB 305419896, DF 1.5
    // LUB 0x0000000100000002 = 4294967298; LB 0xFFFFFFFED5FA0E00 = -5000000000.
    rig.plc.SetRange("D", 120, {0x0000, 0x0001, 0x0000, 0x0002, 0xFFFF, 0xFFFE, 0xD5FA, 0x0E00});
    MemoryRtdb& db = rig.db();
    db.SetVariable("Res", -1.0);
    db.SetVariable("N", -1);
    db.SetVariable("T", std::string("-"));
    db.SetVariable("T2", std::string("-"));
    for (const char* name : {"A", "B", "C"}) db.SetVariable(name, -1.0);
    for (const char* name : {"V01", "V02", "V03"}) db.SetVariable(name, -1);
    db.SetVariable("Blk", std::string("-"));
    db.SetVariable("Txt", std::string("-"));
    db.SetVariable("Src", 321);
    db.SetVariable("S32", std::string("4000000000"));
    db.SetVariable("S64", std::string("5000000000"));
    db.SetVariable("N64", std::string("-5000000000"));
    db.SetVariable("P1", 11.4);
    db.SetVariable("P2", 12);
    db.SetVariable("Q01", 5);
    db.SetVariable("Q02", 6);
    db.SetVariable("Buf", std::string("1,2\r\n3,4"));
    db.SetVariable("Csv", std::string("7,8,9"));
}

struct KeywordCase {
    std::string command;
    std::vector<std::pair<std::string, std::string>> variables;  // read commands: what they receive
    uint32_t address;                                            // write commands: the D words they write
    std::vector<uint16_t> words;
};

// One case per keyword; every command names the result variable Res.
const std::vector<KeywordCase> kKeywords = {
    {"read (d,100,wub=N=Res)", {{"N", "4660"}}, 0, {}},
    {"READ32(D,110,DUB=T;D,112,DF=T2=Res)", {{"T", "305419896"}, {"T2", "1.500000"}}, 0, {}},
    {"READ64(D,120,LUB=T;D,124,LB=T2=Res)", {{"T", "4294967298"}, {"T2", "-5000000000"}}, 0, {}},
    {"READP(D,100,WUB,3,A,B,C,Res)", {{"A", "4660"}, {"B", "2"}, {"C", "3"}}, 0, {}},
    {"READPV(D,100,WUB,3,V01,Res)", {{"V01", "4660"}, {"V02", "2"}, {"V03", "3"}}, 0, {}},
    {"READBLOCK(D,100,[WUB][WUB],2,Blk,Res)", {{"Blk", "4660,2\r\n3,65535"}}, 0, {}},
    {"ReadMutiReg(D,100,3,WUB,Txt,Res)", {{"Txt", "4660,2,3"}}, 0, {}},
    {"WRITE(D,200,WUB=Src=Res)", {}, 200, {321}},
    {"WRITE32(D,202,DUB=S32=Res)", {}, 202, {0xEE6B, 0x2800}},  // 4000000000
    // 5000000000 = 0x000000012A05F200; -5000000000 = 0xFFFFFFFED5FA0E00.
    {"WRITE64(D,204,LUB=S64;D,208,LB=N64=Res)",
     {},
     204,
     {0x0000, 0x0001, 0x2A05, 0xF200, 0xFFFF, 0xFFFE, 0xD5FA, 0x0E00}},
    {"WRITEP(D,212,WUB,2,P1,P2,Res)", {}, 212, {11, 12}},
    {"WRITEPV(D,214,WUB,2,Q01,Res)", {}, 214, {5, 6}},
    {"WRITEBLOCK(D,216,[WUB][WUB],2,Buf,Res)", {}, 216, {1, 2, 3, 4}},
    {"WriteMutiReg(D,220,3,WUB,Csv,Res)", {}, 220, {7, 8, 9}},
};

}  // namespace

TEST(IoCtrlKeywords, EveryKeywordCarriesOutItsCommandAndClearsTheResultVariable) {
    for (const KeywordCase& c : kKeywords) {
        SCOPED_TRACE(c.command);
        Rig rig;
        Prepare(rig);
        const uint64_t start = rig.clock.Now();
        EXPECT_EQ(rig.Run(c.command), 0);
        EXPECT_GE(rig.clock.Now() - start, 5u);  // paced: the simulated PLC answers at once
        EXPECT_EQ(rig.Show("Res"), "0");
        for (const auto& v : c.variables) EXPECT_EQ(rig.Show(v.first), v.second) << v.first;
        if (!c.words.empty()) {
            EXPECT_EQ(rig.Words(c.address, static_cast<uint32_t>(c.words.size())), c.words);
        }
    }
}

TEST(IoCtrlKeywords, EveryKeywordReportsASilentPlcAndHandsNothingOver) {
    for (const KeywordCase& c : kKeywords) {
        SCOPED_TRACE(c.command);
        Rig rig;
        Prepare(rig);
        std::vector<std::string> before;
        for (const auto& v : c.variables) before.push_back(rig.Show(v.first));
        rig.Silence();
        // Reads fail with -2 (no answer), writes with -4 (write failed).
        const int code = c.words.empty() ? 2 : 4;
        EXPECT_EQ(rig.Run(c.command), code);
        EXPECT_EQ(rig.Show("Res"), std::to_string(code));
        for (size_t i = 0; i < c.variables.size(); ++i) EXPECT_EQ(rig.Show(c.variables[i].first), before[i]);
    }
}

TEST(IoCtrlParsing, BadCommandsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        const char* command;
        int result;
        const char* res;  // the result variable afterwards
    };
    const Case cases[] = {
        {"READ D,100,WUB=N=Res", 5, "-1"},              // no parentheses
        {"READ(D,100,WUB=N=Res", 5, "-1"},              // no ")"
        {")READ(D,100,WUB=N=Res", 5, "-1"},             // ")" before "("
        {"READ)D,100,WUB=N=Res(", 5, "-1"},             // ")" before "("
        {"READ(Q,1,WUB=N=Res)", 5, "-1"},               // no area Q: the result variable is not known yet
        {"READ(X,18,BT00=N=Res)", 5, "-1"},             // 8 is no octal digit
        {"READP(D,100,WUB,3,A,B)", 5, "-1"},            // the names run out
        {"READPV(D,100,WUB,3,Tank,Res)", 5, "-1"},      // no running number
        {"READBLOCK(D,100,]WUB[,1,Blk,Res)", 5, "-1"},  // "]" before "["
        {"WRITEBLOCK(D,100,[WUB],1,,Res)", 5, "-1"},    // no variable
        {"WriteMutiReg(D,100,3,WUB,Csv2)", 5, "-1"},    // two values for three rows
        {"READBLOCK(D,100,[WUB],0,Blk,Res)", 5, "5"},   // understood, but no row
        {"READ32(D,100,WUB=N=Res)", 6, "6"},            // a text refused by an integer variable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Rig rig;
        Prepare(rig);
        rig.db().SetVariable("Csv2", std::string("1,2"));
        EXPECT_EQ(rig.Run(c.command), c.result);
        EXPECT_EQ(rig.Show("Res"), c.res);
        EXPECT_EQ(rig.Show("N"), "-1");
        if (c.result == 5) {
            EXPECT_EQ(rig.plc.RequestCount(), 0u);
        }
    }
}

TEST(IoCtrlParsing, AnUnknownKeywordLeavesTheLastOutcomeStanding) {
    Rig rig;
    Prepare(rig);
    EXPECT_EQ(rig.Run("ZEVO_WRITE(D,100,WUB=N=Res)"), 0);
    EXPECT_EQ(rig.Run("READ"), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(rig.Run("ZEVO_WRITE(D,100,WUB=N=Res)"), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(rig.Show("Res"), "-1");
    EXPECT_EQ(rig.plc.RequestCount(), 0u);
}

TEST(IoCtrlChains, CommandsOfOneTextRunLastToFirstAndTheFirstDecides) {
    Rig rig;
    Prepare(rig);
    rig.plc.Set("D", 0, 55);
    rig.db().SetVariable("Src", 77);
    // The READ runs first and sees the old value; then the WRITE.
    EXPECT_EQ(rig.Run("WRITE(D,0,WUB=Src=Res) \r\n READ(D,0,WUB=N)READ(Q,0,WUB=N)"), 0);
    EXPECT_EQ(rig.Show("N"), "55");
    EXPECT_EQ(rig.plc.Get("D", 0), 77);
    EXPECT_EQ(rig.Show("Res"), "0");
    // Only the first command's result reaches the host: here a failing one.
    EXPECT_EQ(rig.Run("READ(Q,0,WUB=N)READ(D,100,WUB=N)"), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(rig.Show("N"), "4660");
}

TEST(IoCtrlChains, ASemicolonAfterACommandMakesTheRestNoCommand) {
    Rig rig;
    Prepare(rig);
    EXPECT_EQ(rig.Run("WRITE(D,0,WUB=7); READ(D,0,WUB=N)"), 0);
    EXPECT_EQ(rig.plc.Get("D", 0), 7);
    EXPECT_EQ(rig.Show("N"), "-1");
    EXPECT_EQ(rig.plc.RequestCount(), 1u);
}

TEST(IoCtrlChains, AVeryLongChainRunsWithoutRecursionInOrder) {
    Rig rig;
    Prepare(rig);
    // 200000 unknown commands after a real one, then one that reads D100:
    // carried out last to first, the READ comes before the WRITE.
    std::string text = "WRITE(D,100,WUB=9)";
    text.reserve(text.size() + 3 * 200000 + 32);
    for (int i = 0; i < 200000; ++i) text += "Q()";
    text += "READ(D,100,WUB=N)";
    EXPECT_EQ(rig.Run(text), 0);
    EXPECT_EQ(rig.Show("N"), "4660");
    EXPECT_EQ(rig.plc.Get("D", 100), 9);
    EXPECT_EQ(rig.plc.RequestCount(), 2u);
}

TEST(IoCtrlHostile, LongAndOddCommandsAreRefusedOrHandledWithinTheirText) {
    Rig rig;
    Prepare(rig);
    const std::string many(1 << 20, ';');
    // A million empty items: cut out in time in proportion to the text, the first refuses the command.
    EXPECT_EQ(rig.Run("READ(" + many + ")"), DEVCTRL_BADCOMMAND);
    std::string items;
    for (int i = 0; i < 70000; ++i) items += "D,0,WUB=N;";
    EXPECT_EQ(rig.Run("READ(" + items + "D,0,WUB=N)"), DEVCTRL_BADCOMMAND);  // more rows than a command may build
    EXPECT_EQ(rig.Run("READ(D,100,WUB=" + std::string(100000, 'v') + ")"), DEVCTRL_NOTRANSFER);  // no such variable
    // Names with printf directives are names, not formats.
    EXPECT_EQ(rig.Run("READPV(D,100,WUB,2,%n%s%s01)"), DEVCTRL_NOTRANSFER);
    EXPECT_EQ(rig.Run("READ(D,16777215,WUB=N=Res)"), 0);  // the last 24-bit address
    // Beyond it no request can be formed: the block fails with -1 and nothing is sent.
    const uint64_t sent = rig.plc.RequestCount();
    EXPECT_EQ(rig.Run("READ(D,16777216,WUB=N=Res)"), 1);
    EXPECT_EQ(rig.Show("Res"), "1");
    EXPECT_EQ(rig.plc.RequestCount(), sent);
    EXPECT_EQ(rig.Run("READ(D,-1,WUB=N)"), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(rig.Run("READ(D,1e30,WUB=N)"), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(rig.Run("READ((D,100,WUB=N)))"), DEVCTRL_BADCOMMAND);  // the area is "(D"
}

TEST(IoCtrlValues, LiteralsStandInPlaceOfVariables) {
    Rig rig;
    Prepare(rig);
    rig.db().SetVariable("Area", std::string("D"));
    rig.db().SetVariable("Addr", 101);
    EXPECT_EQ(rig.Run("WRITE(D,0,WUB=12)"), 0);  // no variable is named 12
    EXPECT_EQ(rig.plc.Get("D", 0), 12);
    EXPECT_EQ(rig.Run("WRITE32(D,2,DUB=4000000000)"), 0);
    EXPECT_EQ(rig.Words(2, 2), (std::vector<uint16_t>{0xEE6B, 0x2800}));
    EXPECT_EQ(rig.Run("WRITE64(D,4,LB=-5000000000)"), 0);
    EXPECT_EQ(rig.Words(4, 4), (std::vector<uint16_t>{0xFFFF, 0xFFFE, 0xD5FA, 0x0E00}));
    EXPECT_EQ(rig.Run("WRITEBLOCK(D,8,[WUB][WUB],1,5,6)"), 0);  // the block text given in place
    EXPECT_EQ(rig.Words(8, 2), (std::vector<uint16_t>{5, 6}));
    EXPECT_EQ(rig.Run("READ(Area,Addr,WUB=N)"), 0);  // area and address from variables
    EXPECT_EQ(rig.Show("N"), "2");
}

TEST(IoCtrlValues, SixtyFourBitCommandsKeepValuesBeyondThirtyTwoBits) {
    Rig rig;
    Prepare(rig);
    rig.db().SetVariable("Big", std::string("1099511627776"));  // 2^40
    EXPECT_EQ(rig.Run("WRITE64(D,300,LUB=Big)"), 0);
    EXPECT_EQ(rig.Words(300, 4), (std::vector<uint16_t>{0x0000, 0x0100, 0x0000, 0x0000}));
    EXPECT_EQ(rig.Run("WRITE64(D,304,LD=123456789012)"), 0);  // BCD: the decimal digits as hex digits
    EXPECT_EQ(rig.Words(304, 4), (std::vector<uint16_t>{0x0000, 0x1234, 0x5678, 0x9012}));
    EXPECT_EQ(rig.Run("READ64(D,300,LUB=T;D,304,LD=T2)"), 0);
    EXPECT_EQ(rig.Show("T"), "1099511627776");
    EXPECT_EQ(rig.Show("T2"), "123456789012");
    // READBLOCK keeps the width as well.
    EXPECT_EQ(rig.Run("READBLOCK(D,300,[LUB],1,Blk)"), 0);
    EXPECT_EQ(rig.Show("Blk"), "1099511627776");
}

TEST(IoCtrlBlocks, ReadBlockJoinsValuesAndLinesAndWriteBlockSplitsThem) {
    Rig rig;
    Prepare(rig);
    rig.plc.SetRange("D", 400, {1, 2, 3, 4});
    EXPECT_EQ(rig.Run("READBLOCK(D,400,[WUB][WUB],2,Blk)"), 0);
    EXPECT_EQ(rig.Show("Blk"), "1,2\r\n3,4");
    rig.db().SetVariable("Buf", std::string("\r\n10,20\r\n30,40\r\n"));  // line ends around the text are no values
    EXPECT_EQ(rig.Run("WRITEBLOCK(D,404,[WUB][WUB],2,Buf)"), 0);
    EXPECT_EQ(rig.Words(404, 4), (std::vector<uint16_t>{10, 20, 30, 40}));
    // The text read back writes the same values again.
    EXPECT_EQ(rig.Run("READBLOCK(D,404,[WUB][WUB],2,Blk)"), 0);
    EXPECT_EQ(rig.Run("WRITEBLOCK(D,408,[WUB][WUB],2,Blk)"), 0);
    EXPECT_EQ(rig.Words(408, 4), (std::vector<uint16_t>{10, 20, 30, 40}));
}

TEST(IoCtrlBlocks, AFailingSecondBlockStopsTheCommandWithItsCode) {
    Rig rig;
    Prepare(rig);
    // Three rows too far apart to share a request: three blocks, read in
    // address order; the second stays unanswered on all three attempts.
    rig.Silence(2, 4);
    EXPECT_EQ(rig.Run("READ(D,0,WUB=A;D,1000,WUB=B;D,2000,WUB=C=Res)"), DEVCTRL_NOANSWER);
    EXPECT_EQ(rig.Show("Res"), "2");
    EXPECT_EQ(rig.Show("A"), "-1");  // read, but not handed over
    EXPECT_EQ(rig.plc.RequestCount(), 4u);
    // A write stops in the same way: the first block stays written, the third is never sent.
    rig.plc.ClearFaults();
    rig.plc.ResetRequestCount();
    rig.Silence(2, 4);
    EXPECT_EQ(rig.Run("WRITEBLOCK(D,500,[WUB],1,1;D,1500,[WUB],1,2;D,2500,[WUB],1,3,Res)"), DEVCTRL_WRITEFAILED);
    EXPECT_EQ(rig.Show("Res"), "4");
    EXPECT_EQ(rig.plc.Get("D", 500), 1);
    EXPECT_EQ(rig.plc.Get("D", 2500), 0);
    EXPECT_EQ(rig.plc.RequestCount(), 4u);
}

TEST(IoCtrlMultiRegister, ReadMutiRegHandsOverTheJoinedValuesAndWriteMutiRegWritesItsList) {
    Rig rig;
    Prepare(rig);
    EXPECT_EQ(rig.Run("ReadMutiReg(D,100,4,WB,Txt,Res)"), 0);
    EXPECT_EQ(rig.Show("Txt"), "4660,2,3,-1");
    EXPECT_EQ(rig.Show("Res"), "0");
    EXPECT_EQ(rig.Run("WriteMutiReg(D,610,2,DB,-2,70000)"), 0);  // the list given in place
    EXPECT_EQ(rig.Words(610, 4), (std::vector<uint16_t>{0xFFFF, 0xFFFE, 0x0001, 0x1170}));
    EXPECT_EQ(rig.Run("ReadMutiReg(D,610,2,DB,Txt)"), 0);
    EXPECT_EQ(rig.Show("Txt"), "-2,70000");
    EXPECT_EQ(rig.Run("ReadMutiReg(D,100,2,WUB,N,Res)"), DEVCTRL_NOTRANSFER);  // a text refused by an integer variable
    EXPECT_EQ(rig.Show("Res"), "6");
}

TEST(IoCtrlStrings, StringRowsCarryTheirTextInBothEncodings) {
    // "A温": GB18030 41 CE C2 (filled to 41 CE C2 00), UTF-16LE 41 00 29 6E;
    // byte order 0 swaps each pair on the wire.
    struct Case {
        int encoding;
        std::vector<uint16_t> words;
    };
    const Case cases[] = {{0, {0xCE41, 0x00C2, 0x0000}}, {1, {0x0041, 0x6E29, 0x0000}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        std::vector<int32_t> properties = DefaultProperties();
        properties[5] = c.encoding;
        Rig rig(properties);
        Prepare(rig);
        rig.db().SetVariable("Str", std::string("A\xE6\xB8\xA9"));
        rig.plc.SetRange("D", 700, {0xFFFF, 0xFFFF, 0xFFFF});
        EXPECT_EQ(rig.Run("WRITE(D,700,STR=Str=Res)"), 0);
        EXPECT_EQ(rig.Words(700, 3), c.words);
        EXPECT_EQ(rig.Show("Res"), "0");
        EXPECT_EQ(rig.Run("WRITE32(D,800,STR=xyz)"), 0);  // a literal text
        rig.plc.SetRange("D", 900, c.words);
        for (const char* command : {"READ(D,900,STR=T)", "READ32(D,900,STR=T)", "READP(D,900,STR,1,T)",
                                    "READBLOCK(D,900,[STR],1,T)", "ReadMutiReg(D,900,1,STR,T)"}) {
            SCOPED_TRACE(command);
            rig.db().SetVariable("T", std::string("-"));
            EXPECT_EQ(rig.Run(command), 0);
            EXPECT_EQ(rig.Show("T"), "A\xE6\xB8\xA9");
        }
        EXPECT_EQ(rig.Run("READ64(D,800,STR=T)"), 0);
        EXPECT_EQ(rig.Show("T"), "xyz");
    }
}

TEST(IoCtrlIsolation, CollectionAfterACommandGoesOnFromTheSameCursor) {
    Rig rig;
    Prepare(rig);
    rig.plc.Set("D", 10, 42);
    rig.plc.Set("M", 5, 1);
    const std::vector<int> refs = DriverSession::AllInUse(2);
    EXPECT_EQ(rig.session.Collect(refs), 0);  // rank 0: D10
    EXPECT_EQ(rig.db().Stores(), std::vector<int>{0});
    rig.db().ClearStores();
    // Commands of every kind, a failing one among them, between two steps.
    EXPECT_EQ(rig.Run("READBLOCK(D,100,[WUB][WUB],2,Blk)"), 0);
    EXPECT_EQ(rig.Run("WRITE(D,10,WUB=43)"), 0);
    EXPECT_EQ(rig.Run("READ(Q,0,WUB=N)"), DEVCTRL_BADCOMMAND);
    rig.plc.ResetRequestCount();
    EXPECT_EQ(rig.session.Collect(refs), 0);  // rank 1: M5, as if no command had come
    EXPECT_EQ(rig.db().Stores(), std::vector<int>{1});
    EXPECT_EQ(rig.db().Channel(1).i, 1);
    rig.db().ClearStores();
    EXPECT_EQ(rig.session.Collect(refs), 0);  // and round again to D10
    EXPECT_EQ(rig.db().Stores(), std::vector<int>{0});
    EXPECT_EQ(rig.db().Channel(0).i, 43);
    EXPECT_EQ(rig.plc.RequestCount(), 2u);  // one request per step: the table holds its two rows only
}

TEST(IoCtrlBits, BitCommandsReadAndChangeOnlyTheirBit) {
    Rig rig;
    Prepare(rig);
    rig.plc.Set("D", 130, 0x0100);
    rig.plc.Set("X", 15, 1);                             // X17 in octal digits
    EXPECT_EQ(rig.Run("READP(D,130,BT07,3,A,B,C)"), 0);  // bits 7, 8, 9 of D130
    EXPECT_EQ(rig.Show("A") + rig.Show("B") + rig.Show("C"), "010");
    EXPECT_EQ(rig.Run("WRITE(D,130,BT03=1)"), 0);  // read, change one bit, write back
    EXPECT_EQ(rig.plc.Get("D", 130), 0x0108);
    EXPECT_EQ(rig.Run("READ(X,17,BT00=N)"), 0);
    EXPECT_EQ(rig.Show("N"), "1");
    EXPECT_EQ(rig.Run("WRITEP(M,5,BT00,3,1,0,1)"), 0);
    EXPECT_EQ(rig.plc.GetRange("M", 5, 3), (std::vector<uint16_t>{1, 0, 1}));
}

TEST(IoCtrlBlocks, LongRunsSpanSeveralRequestsAndSingleWritesSendOneRequestPerRow) {
    Rig rig;
    Prepare(rig);
    std::vector<uint16_t> words(300);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        words[i] = static_cast<uint16_t>(1000 + i);
        expected += (i ? "," : "") + std::to_string(1000 + i);
    }
    rig.plc.SetRange("D", 1000, words);
    EXPECT_EQ(rig.Run("ReadMutiReg(D,1000,300,WUB,Txt)"), 0);
    EXPECT_EQ(rig.Show("Txt"), expected);
    const uint64_t reads = rig.plc.RequestCount();
    EXPECT_GT(reads, 1u);
    rig.db().SetVariable("Txt", expected);
    EXPECT_EQ(rig.Run("WriteMutiReg(D,2000,300,WUB,Txt)"), 0);
    EXPECT_EQ(rig.plc.GetRange("D", 2000, 300), words);
    EXPECT_GT(rig.plc.RequestCount() - reads, 1u);
    rig.plc.ResetRequestCount();
    EXPECT_EQ(rig.Run("WRITEP(D,0,WUB,3,1,2,3)"), 0);
    EXPECT_EQ(rig.plc.RequestCount(), 1u);
    EXPECT_EQ(rig.Run("WRITE(D,0,WUB=4;D,1,WUB=5;D,2,WUB=6)"), 0);
    EXPECT_EQ(rig.plc.RequestCount(), 4u);
    EXPECT_EQ(rig.Words(0, 3), (std::vector<uint16_t>{4, 5, 6}));
}

// The simulator's answers to reads, with the byte count (byte 2) or the data
// changed and the CRC made to match again: a command stops with 7 after one
// request (a wrong answer is not asked for again) and hands nothing over.
TEST(IoCtrlAnswers, ReadAnswersThatDoNotCarryTheDataAskedForStopTheCommand) {
    const struct {
        const char* what;
        std::function<void(Bytes&)> change;  // on the answer without its CRC
    } lies[] = {
        {"announces 2 bytes fewer", [](Bytes& a) { a[2] = static_cast<uint8_t>(a[2] - 2); }},
        {"announces 2 bytes more", [](Bytes& a) { a[2] = static_cast<uint8_t>(a[2] + 2); }},
        {"carries 1 byte fewer, announces it",
         [](Bytes& a) {
             a.pop_back();
             a[2] = static_cast<uint8_t>(a[2] - 1);
         }},
    };
    for (const auto& lie : lies) {
        for (const char* command :
             {"READ(D,100,WUB=N=Res)", "READBLOCK(D,100,[WUB][WUB],2,Blk,Res)", "READ(M,5,BT00=N=Res)"}) {
            SCOPED_TRACE(std::string(lie.what) + " " + command);
            Rig rig;
            Prepare(rig);
            ScriptedPort script;
            script.SetResponder([&](const Bytes& request) {
                Bytes answer = rig.plc.Handle(request);
                answer.resize(answer.size() - 2);
                lie.change(answer);
                return std::vector<Bytes>{WithCrc(answer)};
            });
            rig.session.UsePort(&script);
            EXPECT_EQ(rig.Run(command), DEVCTRL_BADANSWER);
            EXPECT_EQ(rig.Show("Res"), "7");
            EXPECT_EQ(rig.Show("N"), "-1");
            EXPECT_EQ(rig.Show("Blk"), "-");
            EXPECT_EQ(script.Writes().size(), 1u);
        }
    }
}

// A command's string asks for 120 bytes (60 words); a PLC that answers with
// the string's own length gives its text, unless another row of the block
// (the WUB at D960, data bytes 120-121) lies beyond the bytes that came.
TEST(IoCtrlAnswers, StringReadsTakeAnAnswerOfTheStringsOwnLength) {
    const struct {
        const char* command;
        int result;
        const char* text;
    } cases[] = {
        {"READ(D,900,STR=T=Res)", 0, "ABCDEF"},
        {"READBLOCK(D,900,[STR][WUB],1,T,Res)", 7, "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        std::vector<int32_t> properties = DefaultProperties();
        properties[6] = 1;  // string bytes as received
        Rig rig(properties);
        Prepare(rig);
        ScriptedPort script;
        // 6 data bytes, ABCDEF: 11 answer bytes of the 125 asked for.
        script.SetResponder(
            [](const Bytes&) { return std::vector<Bytes>{WithCrc(HexBytes("01 20 06 41 42 43 44 45 46"))}; });
        rig.session.UsePort(&script);
        EXPECT_EQ(rig.Run(c.command), c.result);
        EXPECT_EQ(rig.Show("Res"), std::to_string(c.result));
        EXPECT_EQ(rig.Show("T"), c.text);
        EXPECT_EQ(script.Writes().size(), 1u);
    }
}

// A block command may build as many rows as a table holds (65,536), whatever
// one definition's bound; beyond that it is refused before anything is built
// or sent.
TEST(IoCtrlBlocks, BlockCommandsReachTheTableCeilingAndNoFurther) {
    Rig rig;
    Prepare(rig);
    std::vector<uint16_t> words(20000);
    std::string expected;
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<uint16_t>(i * 7);
        expected += (i ? "," : "") + std::to_string(words[i]);
    }
    rig.plc.SetRange("D", 0, words);
    std::string types;
    for (int i = 0; i < 20000; ++i) types += "[WUB]";
    rig.plc.ResetRequestCount();
    EXPECT_EQ(rig.Run("READBLOCK(D,0," + types + ",1,Blk,Res)"), 0);
    EXPECT_EQ(rig.Show("Blk"), expected);
    EXPECT_EQ(rig.plc.RequestCount(), 174u);  // 20000 words, 115 a request: 173 full requests and one of 105
    // 2501 lines of two types (5002 rows) are read and written back.
    EXPECT_EQ(rig.Run("READBLOCK(D,0,[WUB][WUB],2501,Blk)"), 0);
    EXPECT_EQ(rig.Run("WRITEBLOCK(D,30000,[WUB][WUB],2501,Blk)"), 0);
    EXPECT_EQ(rig.plc.GetRange("D", 30000, 5002), std::vector<uint16_t>(words.begin(), words.begin() + 5002));
    rig.plc.ResetRequestCount();
    const char* refused[] = {
        "READBLOCK(D,0,[WUB][WUB],32769,Blk,Res)",       // 65,538 rows
        "READBLOCK(D,0,[WUB],1000000000,Blk,Res)",       // 10^9 rows: refused at once
        "WRITEBLOCK(D,0,[WUB][WB],1000000000,Buf,Res)",  // the same for writes
    };
    for (const char* command : refused) EXPECT_EQ(rig.Run(command), DEVCTRL_BADCOMMAND) << command;
    EXPECT_EQ(rig.plc.RequestCount(), 0u);
}
