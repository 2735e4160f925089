// The kit's in-memory database answers as strictly as a host: an undeclared
// name or channel is not found (-1), a value of another type is refused (-2),
// and only what was accepted is stored and logged.
#include <gtest/gtest.h>

#include <functional>

#include "toolkit/Database.h"

namespace {

using toolkit::Database;

TEST(Database, RefusesUndeclaredNamesAndChannelsAndValuesOfAnotherType) {
    Database db({DATATYPE_INT, DATATYPE_DOUBLE, DATATYPE_STRING});
    db.SetVariable("i", 1);
    db.SetVariable("s", std::string("x"));
    int i = 0;
    double d = 0;
    std::string s = "t";
    DATATYPE t;
    const std::pair<std::function<int()>, int> cases[] = {
        {[&] { return db.GetValueTypeByName("none", t); }, Database::kNotFound},
        {[&] { return db.GetValueByName("none", i); }, Database::kNotFound},
        {[&] { return db.SetValueByName("none", 1.5); }, Database::kNotFound},
        {[&] { return db.GetValueByName(nullptr, s); }, Database::kNotFound},
        {[&] { return db.GetValueByName("i", d); }, Database::kWrongType},
        {[&] { return db.SetValueByName("s", 2); }, Database::kWrongType},
        {[&] { return db.SetValueByName("i", s); }, Database::kWrongType},
        {[&] { return db.GetValueTypeByChannel(3, t); }, Database::kNotFound},
        {[&] { return db.SetValueByChannel(-1, 1); }, Database::kNotFound},
        {[&] { return db.GetValueIDByChannel(3, i); }, Database::kNotFound},
        {[&] { return db.SetCollectFlagSuc(3); }, Database::kNotFound},
        {[&] { return db.SetValueByChannel(0, 1.5); }, Database::kWrongType},
        {[&] { return db.SetValueByChannel(1, s); }, Database::kWrongType},
        {[&] { return db.SetValueByChannel(2, 7); }, Database::kWrongType},
        {[&] { return db.GetValueByChannel(0, d); }, Database::kWrongType},
        {[&] { return db.SetValueByChannel(2, s); }, 0},
        {[&] { return db.GetValueByName("i", i); }, 0},
    };
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) EXPECT_EQ(cases[c].first(), cases[c].second) << c;
    EXPECT_EQ(db.State(2)->stores, 1u);
    EXPECT_EQ(db.State(1)->stores, 0u);
    EXPECT_EQ(db.Channel(2).s, "t");
    EXPECT_EQ(db.Channel(0).type, DATATYPE_INT);
    EXPECT_FALSE(db.State(0)->stored);
    EXPECT_EQ(db.Variables().count("none"), 0u);
    EXPECT_FALSE(db.HasChannel(3));
    EXPECT_EQ(db.CollectFlagCalls(), 1);
}

}  // namespace
