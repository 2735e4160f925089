// Channel writes through the loaded plug-in: the exact request bytes, the
// register read that precedes a bit write, how the reply is judged, and the
// 5 ms pacing of every write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Blob.h"
#include "DriverSession.h"
#include "FakeClock.h"
#include "ScriptedPort.h"
#include "WriteHelpers.h"

namespace {

const TestRow kM10 = Row(2, 0, 10, 0, 20);         // bit area M, element 10
const TestRow kD0Word = Row(2, 14, 0, 0, 83);      // D0, 16-bit unsigned
const TestRow kD5Bit3 = Row(2, 14, 5, 3, 3);       // bit 3 of D5
const TestRow kD10Text4 = Row(2, 14, 10, 4, 131);  // string of 4 bytes at D10
const TestRow kD10Text5 = Row(2, 14, 10, 5, 131);  // string of 5 bytes at D10

std::vector<int32_t> With(int property, int32_t value) {
    std::vector<int32_t> p = DefaultProperties();
    p[static_cast<size_t>(property)] = value;
    return p;
}

// One configured controller on the scripted port.
struct Device {
    Device(ScriptedPort& port, const std::vector<int32_t>& properties, const std::vector<TestRow>& rows) {
        session.UsePort(&port);
        EXPECT_EQ(session.Init(MakeBlob(properties, rows)), 0);
    }
    DriverSession session;
};

class ChannelWrite : public ::testing::Test {
protected:
    ChannelWrite() { port.SetResponder(EchoWrite); }
    FakeClock clock;
    ScriptedPort port;
};

}  // namespace

TEST_F(ChannelWrite, RequestsCarryTheValueInTheDevicesByteOrder) {
    struct Case {
        std::vector<int32_t> properties;
        TestRow row;
        double value;
        const char* request;
    } cases[] = {
        // 01 station, 1F write bits, 03 area M, 00 00 0A element 10, 00 01 one
        // bit, 01 one data byte, 01 the bit; E4 76 CRC low byte first.
        {DefaultProperties(), kM10, 1, "01 1F 03 00 00 0A 00 01 01 01 E4 76"},
        {DefaultProperties(), kM10, 0, "01 1F 03 00 00 0A 00 01 01 00 25 B6"},
        // 21 write words, 80 area D, element 0, 00 01 one register, 02 bytes:
        // 0x1234 as 12 34 with 16-bit order 0 and as 34 12 with order 1.
        {DefaultProperties(), kD0Word, 0x1234, "01 21 80 00 00 00 00 01 02 12 34 9E 3A"},
        {With(DEVPROP_ORDER16, 1), kD0Word, 0x1234, "01 21 80 00 00 00 00 01 02 34 12 05 80"},
        // 32-bit unsigned 0x11223344 (bytes 1-4 = 11 22 33 44), order 2 "3412":
        // 33 44 11 22; two registers, 04 bytes.
        {With(DEVPROP_ORDER32, 2), Row(2, 14, 0, 0, 86), 0x11223344, "01 21 80 00 00 00 00 02 04 33 44 11 22 E7 EE"},
        // 64-bit unsigned 0x0011223344556677 (exact in a double), order 4
        // "5678_1234": 44 55 66 77 00 11 22 33; four registers, 08 bytes.
        {With(DEVPROP_ORDER64, 4), Row(2, 14, 0, 0, 90), 4822678189205111.0,
         "01 21 80 00 00 00 00 04 08 44 55 66 77 00 11 22 33 AA 66"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        port.ClearLog();
        Device device(port, c.properties, {c.row});
        EXPECT_EQ(device.session.Write(0, c.value), 0);
        ASSERT_EQ(port.Writes().size(), 1u);
        EXPECT_EQ(BytesHex(port.Writes()[0]), c.request);
    }
}

TEST_F(ChannelWrite, StringRowsWriteTheirEvenLengthFilledWithZeros) {
    struct Case {
        int32_t stringOrder;
        TestRow row;
        const char* text;
        const char* request;
    } cases[] = {
        // Length 5 writes 4 bytes: element 10 (00 00 0A), 00 02 registers,
        // 04 bytes "ABCD"; the fifth byte is never written. Order 1: as is.
        {1, kD10Text5, "ABCDE", "01 21 80 00 00 0A 00 02 04 41 42 43 44 21 A2"},
        // "AB" in 4 bytes, ASCII, order 0: the pair swapped to 42 41, then
        // filled up with 00 00.
        {0, kD10Text4, "AB", "01 21 80 00 00 0A 00 02 04 42 41 00 00 E0 E5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        port.ClearLog();
        Device device(port, With(DEVPROP_STRORDER, c.stringOrder), {c.row});
        EXPECT_EQ(device.session.Write(0, std::string(c.text)), 0);
        ASSERT_EQ(port.Writes().size(), 1u);
        EXPECT_EQ(BytesHex(port.Writes()[0]), c.request);
    }
}

TEST_F(ChannelWrite, BitOfARegisterReadsTheRegisterAndChangesOnlyThatBit) {
    struct Case {
        int32_t order16;
        const char* answer;  // the read answer without its CRC
        int value;
        const char* write;
    } cases[] = {
        // The register holds 0x00F0; bit 3 set gives 0x00F8, cleared 0x00F0.
        {0, "01 20 02 00 F0", 1, "01 21 80 00 00 05 00 01 02 00 F8 92 9A"},
        {0, "01 20 02 00 F0", 0, "01 21 80 00 00 05 00 01 02 00 F0 93 5C"},
        // 16-bit order 1: the register's bytes arrive and leave swapped.
        {1, "01 20 02 F0 00", 1, "01 21 80 00 00 05 00 01 02 F8 00 D0 D8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.write);
        port.ClearLog();
        Bytes answer = WithCrc(HexBytes(c.answer));
        port.SetResponder(
            [&](const Bytes& request) { return request[1] == 0x20 ? std::vector<Bytes>{answer} : EchoWrite(request); });
        Device device(port, With(DEVPROP_ORDER16, c.order16), {kD5Bit3});
        EXPECT_EQ(device.session.Write(0, c.value), 0);
        ASSERT_EQ(port.Writes().size(), 2u);
        // 20 read words, 80 area D, element 5, 00 01 one register; 6E 04 CRC.
        EXPECT_EQ(BytesHex(port.Writes()[0]), "01 20 80 00 00 05 00 01 6E 04");
        EXPECT_EQ(BytesHex(port.Writes()[1]), c.write);
    }
}

TEST_F(ChannelWrite, UntrustworthyRegisterReadStopsTheBitWrite) {
    // Whatever the answer to the read lacks, no register image is made up
    // from it: the write is not sent and fails with 4.
    const std::vector<std::vector<Bytes>> answers = {
        {},                                     // silence (the read has one attempt)
        {HexBytes("01 20 02 00")},              // cut short, no CRC
        {WithCrc(HexBytes("01 20 01 00"))},     // announces one data byte, not two
        {WithCrc(HexBytes("01 20 01 00 F0"))},  // carries two, announces one
        {WithCrc(HexBytes("01 20 04 00 F0"))},  // carries two, announces four
        {HexBytes("01 20 02 00 F0 00 00")},     // full length, wrong CRC
        {WithCrc(HexBytes("01 A0 02"))},        // exception answer
    };
    for (size_t i = 0; i < answers.size(); ++i) {
        SCOPED_TRACE(i);
        port.ClearLog();
        port.SetResponder([&](const Bytes&) { return answers[i]; });
        Device device(port, DefaultProperties(), {kD5Bit3});
        EXPECT_EQ(device.session.Write(0, 1), DEVCTRL_WRITEFAILED);
        ASSERT_EQ(port.Writes().size(), 1u);
        EXPECT_EQ(port.Writes()[0][1], 0x20);  // only the read went out
    }
}

TEST_F(ChannelWrite, OnlyATenByteReplyWithTheRequestsFunctionIsSuccess) {
    const Bytes echo = WithCrc(HexBytes("01 21 80 00 00 00 00 01"));
    struct Case {
        const char* what;
        std::vector<Bytes> reply;
        int result;
        size_t sends;
    } cases[] = {
        {"ten bytes", {echo}, 0, 1},
        {"nine bytes", {Bytes(echo.begin(), echo.end() - 1)}, 4, 1},
        {"exception", {WithCrc(HexBytes("01 A1 02"))}, 4, 1},
        {"other function", {WithCrc(HexBytes("01 1F 80 00 00 00 00 01"))}, 4, 1},
        {"0x5B answer", {WithCrc(HexBytes("01 5B 21 80 00 00 00 00 01"))}, 4, 1},
        {"silence", {}, 4, 3},  // three attempts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port.ClearLog();
        port.SetResponder([&](const Bytes&) { return c.reply; });
        Device device(port, DefaultProperties(), {kD0Word});
        EXPECT_EQ(device.session.Write(0, 1), c.result);
        EXPECT_EQ(port.Writes().size(), c.sends);
    }
}

TEST_F(ChannelWrite, RefusedWritesSendNothing) {
    Device device(port, DefaultProperties(), {Row(0, 14, 0, 0, 83), kD0Word});
    EXPECT_EQ(device.session.Write(0, 1), DEVCTRL_BADCOMMAND);  // read-only row
    EXPECT_EQ(device.session.Write(2, 1), DEVCTRL_BADCOMMAND);  // one beyond the table
    EXPECT_TRUE(port.Writes().empty());
}

TEST_F(ChannelWrite, EveryWriteLastsAtLeastFiveMilliseconds) {
    // The PLC's reply takes `took` ms of the fake clock; the write then sleeps
    // for the rest of 5 ms, and not at all from 5 ms on.
    struct Case {
        uint64_t took;
        std::vector<uint64_t> sleeps;
    } cases[] = {{0, {5}}, {1, {4}}, {4, {1}}, {5, {}}, {30, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.took);
        port.SetResponder([&](const Bytes& request) {
            clock.Advance(c.took);
            return EchoWrite(request);
        });
        Device device(port, DefaultProperties(), {kD0Word, Row(0, 14, 1, 0, 83)});
        uint64_t sleepsBefore = clock.Sleeps().size();
        uint64_t start = clock.Now();
        EXPECT_EQ(device.session.Write(0, 7), 0);
        EXPECT_EQ(std::vector<uint64_t>(clock.Sleeps().begin() + static_cast<long>(sleepsBefore), clock.Sleeps().end()),
                  c.sleeps);
        EXPECT_EQ(clock.Now() - start, c.took < 5 ? 5 : c.took);
    }
    // A refused write is paced too.
    Device device(port, DefaultProperties(), {Row(0, 14, 0, 0, 83)});
    uint64_t start = clock.Now();
    EXPECT_EQ(device.session.Write(0, 1), DEVCTRL_BADCOMMAND);
    EXPECT_EQ(clock.Now() - start, 5u);
}
