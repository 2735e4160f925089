// Host variables by name through the record's parameter functions, literals in
// their place, and splitting command texts at a separator.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "DevServer.h"
#include "MemoryRtdb.h"

namespace {

// Parameter functions over the MemoryRtdb behind the record's pRtdb, as the
// controller's do over the host database.
MemoryRtdb& Db(ZEVO_DATA& data) { return *static_cast<MemoryRtdb*>(data.pRtdb); }

int g_presetSeen = 0;  // the raw type value the last type question started with

int GetType(ZEVO_DATA& data, CString name, DATATYPE& type) {
    std::memcpy(&g_presetSeen, &type, sizeof g_presetSeen);
    return Db(data).GetValueTypeByName(name, type);
}

int GetValue(ZEVO_DATA& data, CString name, DATATYPE type, void* value) {
    switch (type) {
        case DATATYPE_INT:
            return Db(data).GetValueByName(name, *static_cast<int*>(value));
        case DATATYPE_DOUBLE:
            return Db(data).GetValueByName(name, *static_cast<double*>(value));
        case DATATYPE_STRING: {
            std::string text;
            int rc = Db(data).GetValueByName(name, text);
            *static_cast<CString*>(value) = text.c_str();
            return rc;
        }
        default:
            return -1;
    }
}

int SetValue(ZEVO_DATA& data, CString name, DATATYPE type, void* value) {
    switch (type) {
        case DATATYPE_INT:
            return Db(data).SetValueByName(name, *static_cast<int*>(value));
        case DATATYPE_DOUBLE:
            return Db(data).SetValueByName(name, *static_cast<double*>(value));
        case DATATYPE_STRING: {
            std::string text(static_cast<CString*>(value)->c_str());
            return Db(data).SetValueByName(name, text);
        }
        default:
            return -1;
    }
}

// A type function that answers with a type code the host does not have.
int GetOddType(ZEVO_DATA&, CString, DATATYPE& type) {
    const int seven = 7;
    std::memcpy(&type, &seven, sizeof type);
    return 0;
}

class HostVariables : public ::testing::Test {
protected:
    void SetUp() override {
        db.SetVariable("speed", 12.75);
        db.SetVariable("count", 41);
        db.SetVariable("label", std::string("温度"));
        data.pRtdb = &db;
        data.pfnGetParamType = GetType;
        data.pfnGetParamValue = GetValue;
        data.pfnSetParamValue = SetValue;
    }

    double Number(const char* name, int expectedResult = 1) {
        double value = -99;
        EXPECT_EQ(CDevServer::SvrGetParaValue(data, name, value), expectedResult) << name;
        return value;
    }
    std::string Text(const char* name, int expectedResult = 1) {
        CString value("stale");
        EXPECT_EQ(CDevServer::SvrGetParaValue(data, name, value), expectedResult) << name;
        return value.c_str();
    }
    int StoreNumber(const char* name, double value) { return CDevServer::SvrSetParaValue(data, name, value); }
    int StoreText(const char* name, const char* text) {
        CString value(text);
        return CDevServer::SvrSetParaValue(data, name, value);
    }

    MemoryRtdb db;
    ZEVO_DATA data;
};

}  // namespace

TEST_F(HostVariables, NumericVariablesReadAsNumbers) {
    EXPECT_EQ(Number("speed"), 12.75);
    EXPECT_EQ(Number("count"), 41.0);
    EXPECT_EQ(Number("label", 0), 0.0);
}

TEST_F(HostVariables, TheTypeQuestionStartsFromMinusTwo) {
    Number("speed");
    EXPECT_EQ(g_presetSeen, -2);
    Text("nothing");
    EXPECT_EQ(g_presetSeen, -2);
}

TEST_F(HostVariables, ANameThatIsNoVariableReadsAsItsLiteral) {
    EXPECT_EQ(Number("12"), 12.0);
    EXPECT_EQ(Text("12"), "12");
    EXPECT_EQ(Number("  -3.5 "), -3.5);
    EXPECT_EQ(Number(""), 0.0);
    EXPECT_EQ(Number("   "), 0.0);
    EXPECT_EQ(Number("abc"), 0.0);
}

TEST_F(HostVariables, StringVariablesReadAsText) {
    EXPECT_EQ(Text("label"), "温度");
    EXPECT_EQ(Text("speed", 0), "");
    EXPECT_EQ(Text("count", 0), "");
}

TEST_F(HostVariables, AnUnknownTypeAnswerMeansNoVariable) {
    data.pfnGetParamType = GetOddType;
    EXPECT_EQ(Number("7.5"), 7.5);
    EXPECT_EQ(Text("speed"), "speed");
    EXPECT_EQ(StoreNumber("speed", 1.0), 0);
    EXPECT_EQ(StoreText("label", "x"), 0);
}

TEST_F(HostVariables, WithoutATypeFunctionNamesAreLiteralsAndNothingIsStored) {
    data.pfnGetParamType = nullptr;
    EXPECT_EQ(Number("speed"), 0.0);
    EXPECT_EQ(Number("2.25"), 2.25);
    EXPECT_EQ(Text("speed"), "speed");
    EXPECT_EQ(StoreNumber("speed", 1.0), 0);
    EXPECT_EQ(StoreText("label", "x"), 0);
    EXPECT_EQ(db.Variable("speed").d, 12.75);
}

TEST_F(HostVariables, WithoutAReadFunctionVariablesReadAsZeroOrEmpty) {
    data.pfnGetParamValue = nullptr;
    EXPECT_EQ(Number("speed"), 0.0);
    EXPECT_EQ(Text("label"), "");
}

TEST_F(HostVariables, StoringIntoAnIntegerRoundsHalfAwayFromZero) {
    EXPECT_EQ(StoreNumber("count", 2.5), 1);
    EXPECT_EQ(db.Variable("count").i, 3);
    StoreNumber("count", -2.5);
    EXPECT_EQ(db.Variable("count").i, -3);
    StoreNumber("count", 0.4);
    EXPECT_EQ(db.Variable("count").i, 0);
    StoreNumber("count", 1e12);
    EXPECT_EQ(db.Variable("count").i, INT_MAX);
}

TEST_F(HostVariables, StoringIntoADoubleKeepsTheValue) {
    EXPECT_EQ(StoreNumber("speed", -0.125), 1);
    EXPECT_EQ(db.Variable("speed").d, -0.125);
}

TEST_F(HostVariables, MismatchedStoresReturnZeroAndChangeNothing) {
    EXPECT_EQ(StoreNumber("label", 5), 0);
    EXPECT_EQ(db.Variable("label").s, "温度");
    EXPECT_EQ(StoreText("speed", "5"), 0);
    EXPECT_EQ(StoreText("count", "5"), 0);
    EXPECT_EQ(db.Variable("speed").d, 12.75);
    EXPECT_EQ(db.Variable("count").i, 41);
    EXPECT_EQ(StoreNumber("missing", 5), 0);
}

TEST_F(HostVariables, TextStoresIntoAStringVariable) {
    EXPECT_EQ(StoreText("label", "传感器"), 1);
    EXPECT_EQ(db.Variable("label").s, "传感器");
}

TEST_F(HostVariables, StoresWithoutAStoreFunctionStillReportTheType) {
    data.pfnSetParamValue = nullptr;
    EXPECT_EQ(StoreNumber("count", 5), 1);
    EXPECT_EQ(StoreText("label", "x"), 1);
    EXPECT_EQ(db.Variable("count").i, 41);
}

TEST(CommandTokens, SplitsAtTheFirstSeparatorAndTrimsBothParts) {
    CString text("D, 100"), sep(","), left, rest;
    EXPECT_EQ(CDevServer::SvrGetCmdStr(text, sep, left, rest), 1);
    EXPECT_EQ(left, "D");
    EXPECT_EQ(rest, "100");
}

TEST(CommandTokens, WithoutTheSeparatorBothOutputsStayAsTheyWere) {
    CString text("D 100"), sep(","), left("L"), rest("R");
    EXPECT_EQ(CDevServer::SvrGetCmdStr(text, sep, left, rest), 0);
    EXPECT_EQ(left, "L");
    EXPECT_EQ(rest, "R");
}

TEST(CommandTokens, TheTextCanBeConsumedPieceByPiece) {
    CString text(" D , 100 ,, 5 "), sep(","), token;
    std::string tokens;
    while (CDevServer::SvrGetCmdStr(text, sep, token, text)) tokens += std::string("[") + token.c_str() + "]";
    EXPECT_EQ(tokens, "[D][100][]");
    EXPECT_EQ(text, "5");
}

TEST(CommandTokens, AnEmptySeparatorIsNeverFound) {
    CString text("abc"), sep, left("L"), rest("R");
    EXPECT_EQ(CDevServer::SvrGetCmdStr(text, sep, left, rest), 0);
    EXPECT_EQ(left, "L");
    CString empty;
    EXPECT_EQ(CDevServer::SvrGetCmdStr(empty, sep, left, empty), 0);
}

TEST(CommandTokens, ALongerSeparatorCountsAsOneCharacter) {
    CString text("a;;b"), sep(";;"), left, rest;
    EXPECT_EQ(CDevServer::SvrGetCmdStr(text, sep, left, rest), 1);
    EXPECT_EQ(left, "a");
    EXPECT_EQ(rest, ";b");
}
