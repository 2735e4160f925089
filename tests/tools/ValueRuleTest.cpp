// What a channel can hold by its PLC data type, and numbers written so that
// they read back as the same double.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "DevVocabulary.h"
#include "toolkit/Number.h"
#include "toolkit/Output.h"
#include "toolkit/ValueRule.h"

namespace {

struct RuleCase {
    unsigned code;  // a bit of a bit area, or a string of 10 bytes
    std::vector<std::string> accepted, refused;
};

TEST(ValueRule, EveryTypeTakesExactlyItsRange) {
    const RuleCase cases[] = {
        {DATACODE_WUB, {"0", "65535", "0xFFFF"}, {"70000", "-1", "0x10000", "1.5", "abc", ""}},
        {DATACODE_WB, {"-32768", "32767"}, {"40000", "-40000"}},
        {DATACODE_WD, {"9999"}, {"10000", "65535", "-1"}},
        {DATACODE_DUB, {"4294967295"}, {"-1", "4294967296"}},
        {DATACODE_DB, {"-2147483648"}, {"2147483648"}},
        {DATACODE_DD, {"99999999"}, {"100000000", "4294967295"}},
        {DATACODE_DF, {"3.4e38", "-1.5"}, {"1e39", "nan", "inf"}},
        {DATACODE_LUB, {"9007199254740992"}, {"9007199254740993", "18446744073709551615", "-1"}},
        {DATACODE_LB, {"-9007199254740992"}, {"-9007199254740993"}},
        {DATACODE_LD, {"9007199254740992"}, {"-1"}},
        {DATACODE_LF, {"1e308", "5e-324"}, {"1e309"}},
        {DATACODE_BITAREA, {"0", "1"}, {"2", "-1"}},
        // GB18030 takes 2 bytes for each of these characters.
        {DATACODE_STR, {"0123456789", "温度温度温", ""}, {"01234567890", "温度温度温度", "ab\xff"}},
    };
    for (const RuleCase& c : cases) {
        toolkit::ChannelKind k = toolkit::KindOf(14, 100, c.code, 10, {});  // D100
        for (bool accepted : {true, false})
            for (const std::string& value : accepted ? c.accepted : c.refused) {
                toolkit::Value v;
                std::string why;
                EXPECT_EQ(toolkit::Admit(k, toolkit::Asked::Text(value), v, why), accepted) << c.code << " " << value;
                EXPECT_EQ(why.find("D100") != std::string::npos, !accepted) << why;
            }
    }
    // A UNICODE device counts two bytes a character: 5 fit into 10 bytes, 6 do not.
    toolkit::ChannelKind wide = toolkit::KindOf(14, 100, DATACODE_STR, 10, {0, 0, 0, 0, 0, 1});
    toolkit::Value v;
    std::string why;
    EXPECT_TRUE(toolkit::Admit(wide, toolkit::Asked::Text("abcde"), v, why)) << why;
    EXPECT_FALSE(toolkit::Admit(wide, toolkit::Asked::Text("abcdef"), v, why));
}

TEST(NumberText, EveryNumberReadsBackAsTheSameDouble) {
    // Integers near 2^53, and doubles of every kind a DF or LF channel gives:
    // floats widened, the largest and smallest, subnormals, negative zero.
    const double numbers[] = {12345678901.0,
                              9007199254740991.0,
                              -9007199254740992.0,
                              2.718281828459045,
                              0.1,
                              3.1415927410125732,
                              3.4028234663852886e38,
                              1.401298464324817e-45,
                              5e-324,
                              1.7976931348623157e308,
                              -0.0};
    for (double x : numbers) {
        std::string text = toolkit::NumberText(x);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
        std::string json = toolkit::JsonValue(toolkit::Value{DATATYPE_DOUBLE, 0, x, ""});
        EXPECT_EQ(std::strtod(json.c_str(), nullptr), x) << json;
    }
    EXPECT_EQ(toolkit::NumberText(12345678901.0), "12345678901");
}

}  // namespace
