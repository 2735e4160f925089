// What a channel can hold by its PLC data type, and numbers written so that
// they read back as the same double.
#include <gtest/gtest.h>

#include <cstdlib>

#include "DevVocabulary.h"
#include "toolkit/Number.h"
#include "toolkit/Output.h"
#include "toolkit/ValueRule.h"

namespace {

struct RuleCase {
    unsigned code;  // data-type code; 20 a bit, 131 a string of 10 bytes
    const char* value;
    bool accepted;
};

TEST(ValueRule, EveryTypeTakesExactlyItsRange) {
    const RuleCase cases[] = {
        {DATACODE_WUB, "65535", true},   {DATACODE_WUB, "70000", false},   {DATACODE_WUB, "-1", false},
        {DATACODE_WUB, "0x10000", false}, {DATACODE_WUB, "0xFFFF", true},  {DATACODE_WUB, "1.5", false},
        {DATACODE_WB, "-32768", true},   {DATACODE_WB, "40000", false},    {DATACODE_WB, "-40000", false},
        {DATACODE_WD, "9999", true},     {DATACODE_WD, "10000", false},    {DATACODE_WD, "65535", false},
        {DATACODE_DUB, "4294967295", true}, {DATACODE_DUB, "-1", false},  {DATACODE_DB, "-2147483648", true},
        {DATACODE_DB, "2147483648", false}, {DATACODE_DD, "99999999", true}, {DATACODE_DD, "4294967295", false},
        {DATACODE_DF, "3.4e38", true},   {DATACODE_DF, "1e39", false},     {DATACODE_DF, "nan", false},
        {DATACODE_LUB, "9007199254740992", true}, {DATACODE_LUB, "9007199254740993", false},
        {DATACODE_LUB, "18446744073709551615", false}, {DATACODE_LB, "-9007199254740992", true},
        {DATACODE_LD, "-1", false},      {DATACODE_LF, "1e308", true},     {DATACODE_LF, "1e309", false},
        {DATACODE_BITAREA, "1", true},   {DATACODE_BITAREA, "2", false},   {DATACODE_BITAREA, "-1", false},
        {DATACODE_STR, "0123456789", true}, {DATACODE_STR, "01234567890", false}, {DATACODE_STR, "温度温度温", true},
        {DATACODE_STR, "温度温度温度", false},  // 12 bytes in GB18030
        {DATACODE_WUB, "abc", false},
    };
    for (const RuleCase& c : cases) {
        toolkit::ChannelKind k = toolkit::KindOf(14, 100, c.code, 10, {});  // D100
        toolkit::Value v;
        std::string why;
        EXPECT_EQ(toolkit::Admit(k, toolkit::Asked::Text(c.value), v, why), c.accepted) << c.code << " " << c.value;
        EXPECT_EQ(why.empty(), c.accepted) << why;
        EXPECT_EQ(why.find("D100") != std::string::npos, !c.accepted) << why;
    }
    // A UNICODE device counts two bytes a character: 5 fit into 10 bytes, 6 do not.
    toolkit::ChannelKind wide = toolkit::KindOf(14, 100, DATACODE_STR, 10, {0, 0, 0, 0, 0, 1});
    toolkit::Value v;
    std::string why;
    EXPECT_TRUE(toolkit::Admit(wide, toolkit::Asked::Text("abcde"), v, why)) << why;
    EXPECT_FALSE(toolkit::Admit(wide, toolkit::Asked::Text("abcdef"), v, why));
}

TEST(NumberText, EveryNumberReadsBackAsTheSameDouble) {
    const double numbers[] = {12345678901.0,          9007199254740991.0, 9007199254740992.0, -9007199254740992.0,
                              2.718281828459045,      0.1,                3.1415927410125732, 3.4028234663852886e38,
                              1.1754943508222875e-38, 1.401298464324817e-45, 1e-300,          5e-324,
                              1.7976931348623157e308, -0.0,               65535.0};
    for (double x : numbers) {
        std::string text = toolkit::NumberText(x);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
        std::string json = toolkit::JsonValue(toolkit::Value{DATATYPE_DOUBLE, 0, x, ""});
        EXPECT_EQ(std::strtod(json.c_str(), nullptr), x) << json;
    }
    EXPECT_EQ(toolkit::NumberText(12345678901.0), "12345678901");
}

}  // namespace
