// Every data type written with WriteChannel into the simulated PLC and read
// back by the collection cycle comes back unchanged, in every byte order,
// string encoding and string byte order of the device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Blob.h"
#include "DevVocabulary.h"
#include "DriverSession.h"
#include "FakeClock.h"
#include "WriteHelpers.h"
#include "plcsim/LoopbackPort.h"

namespace {

struct Item {
    TestRow row;
    double value;
    std::string text;  // string rows
};

const float kPi = 3.14159265f;

// Rows far enough apart (more than 30 elements between areas of different
// kind) that each string is read by a request of its own.
const std::vector<Item> kItems = {
    {Row(2, 0, 5, 0, 20), 1, ""},     // M5 := 1
    {Row(2, 0, 6, 0, 20), 0, ""},     // M6 := 0 (held 1)
    {Row(2, 2, 3, 0, 20), 1, ""},     // Y3 := 1
    {Row(2, 14, 20, 3, 3), 1, ""},    // D20 bit 3
    {Row(2, 14, 20, 15, 15), 1, ""},  // D20 bit 15, beside bit 3
    {Row(2, 14, 21, 0, 0), 0, ""},    // D21 bit 0 (D21 held 0xFFFF)
    {Row(2, 14, 30, 0, 83), 0xBEEF, ""},
    {Row(2, 14, 31, 0, 84), -12345, ""},
    {Row(2, 14, 32, 0, 85), 1234, ""},  // BCD
    {Row(2, 14, 34, 0, 86), 0xDEADBEEF, ""},
    {Row(2, 14, 36, 0, 87), -123456789, ""},
    {Row(2, 14, 38, 0, 88), 12345678, ""},
    {Row(2, 14, 40, 0, 89), kPi, ""},
    {Row(2, 14, 44, 0, 90), 4822678189205111.0, ""},  // 0x0011223344556677
    {Row(2, 14, 48, 0, 91), -1234567890123456.0, ""},
    {Row(2, 14, 52, 0, 92), 1234567890123456.0, ""},  // BCD
    {Row(2, 14, 56, 0, 93), -2.718281828459045e-7, ""},
    {Row(2, 14, 100, 20, 131), 0, "Grüße 中"},
    {Row(2, 14, 200, 7, 131), 0, "abc"},
};

uint64_t Bits(double v) {
    uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

uint32_t FloatBits(double v) {
    float f = static_cast<float>(v);
    uint32_t b = 0;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

}  // namespace

TEST(WriteRoundTrip, EveryTypeComesBackUnchangedInEveryByteOrder) {
    // Eight devices take every value of each order property between them:
    // 16-bit 0-1, 32-bit integer and float 0-3, 64-bit integer and float 0-7,
    // and the four pairs of string encoding and string byte order.
    for (int o = 0; o < 8; ++o) {
        std::vector<int32_t> properties = DefaultProperties();
        properties[DEVPROP_ORDER16] = o % 2;
        properties[DEVPROP_ORDER32] = o % 4;
        properties[DEVPROP_ORDERFLOAT] = (o + 1) % 4;
        properties[DEVPROP_ORDER64] = o;
        properties[DEVPROP_ORDERDOUBLE] = 7 - o;
        properties[DEVPROP_STRENCODING] = o % 2;
        properties[DEVPROP_STRORDER] = (o / 2) % 2;
        SCOPED_TRACE(::testing::Message() << "configuration " << o);

        FakeClock clock;
        plcsim::Plc plc;
        plc.Set("M", 6, 1);
        plc.Set("D", 21, 0xFFFF);
        plcsim::LoopbackPort port(plc);
        DriverSession session;
        session.UsePort(&port);
        std::vector<TestRow> rows;
        for (const Item& item : kItems) rows.push_back(item.row);
        ASSERT_EQ(session.Init(MakeBlob(properties, rows)), 0);

        const int count = static_cast<int>(kItems.size());
        for (int i = 0; i < count; ++i) {
            const Item& item = kItems[static_cast<size_t>(i)];
            bool text = item.row.dataType == DATACODE_STR;
            session.Rtdb().DeclareChannel(i, text ? DATATYPE_STRING : DATATYPE_DOUBLE);
            EXPECT_EQ(text ? session.Write(i, item.text) : session.Write(i, item.value), 0) << "row " << i;
        }
        std::vector<int> refs = DriverSession::AllInUse(count);
        ASSERT_EQ(session.RefChange(refs), 0);
        for (int call = 0; call < count; ++call) EXPECT_EQ(session.Collect(refs), 0);

        for (int i = 0; i < count; ++i) {
            const Item& item = kItems[static_cast<size_t>(i)];
            const MemoryRtdb::Value& got = session.Rtdb().Channel(i);
            SCOPED_TRACE(::testing::Message() << "row " << i << ", type " << item.row.dataType);
            if (item.row.dataType == DATACODE_STR)
                EXPECT_EQ(got.s, item.text);
            else if (item.row.dataType == DATACODE_DF)
                EXPECT_EQ(FloatBits(got.d), FloatBits(item.value));
            else if (item.row.dataType == DATACODE_LF)
                EXPECT_EQ(Bits(got.d), Bits(item.value));
            else
                EXPECT_EQ(got.d, item.value);
        }
    }
}
