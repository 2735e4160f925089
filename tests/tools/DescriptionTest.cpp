// The device-description library: channels expand into the driver's rows,
// properties by number or label, error messages with line and field, blobs
// byte for byte, and dump -> parse giving the same blob.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Blob.h"
#include "DeviceDescription.h"

namespace {

devdesc::Description Parse(const std::string& text) { return devdesc::ParseToml(text, "t.toml"); }

std::string ErrorOf(const std::string& text) {
    try {
        Parse(text);
    } catch (const devdesc::Error& e) {
        return e.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(Description, ChannelsExpandIntoTheDriversRows) {
    struct Case {
        const char* channel;
        std::vector<devdesc::Row> rows;  // rw, type, address, bit, code, fast, readMax, name
    };
    const Case cases[] = {
        {"address = \"D100\"\ntype = \"wub\"\ncount = 3",
         {{2, 14, 100, 0, 83, 0, 0, "读写DWUB0100"},
          {2, 14, 101, 0, 83, 0, 0, "读写DWUB0101"},
          {2, 14, 102, 0, 83, 0, 0, "读写DWUB0102"}}},
        // Bits of a word run on into the next word.
        {"address = \"D7.14\"\ncount = 3",
         {{2, 14, 7, 14, 14, 0, 0, "读写D0007.14"},
          {2, 14, 7, 15, 15, 0, 0, "读写D0007.15"},
          {2, 14, 8, 0, 0, 0, 0, "读写D0008.00"}}},
        // X is numbered in octal: X17 is element 15.
        {"address = \"X17\"", {{2, 1, 15, 0, 20, 0, 0, "读写X0015"}}},
        // A string of 7 bytes takes 4 words.
        {"address = \"D200\"\ntype = \"STR\"\nlength = 7\ncount = 2",
         {{2, 14, 200, 7, 131, 0, 0, "读写DSTR0200_7"}, {2, 14, 204, 7, 131, 0, 0, "读写DSTR0204_7"}}},
        {"address = \"HSCD3\"\ntype = \"DF\"\nrw = \"r\"", {{0, 25, 3, 0, 89, 0, 0, "只读HSCDDF0003"}}},
        {"address = \"D9\"\ntype = \"LB\"\nname = \"Speed\"\nfast = 1", {{2, 14, 9, 0, 91, 1, 0, "Speed"}}},
    };
    for (const Case& c : cases) {
        devdesc::Description d = Parse(std::string("[[channel]]\n") + c.channel + "\n");
        ASSERT_EQ(d.rows.size(), c.rows.size()) << c.channel;
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const devdesc::Row &got = d.rows[i], &want = c.rows[i];
            EXPECT_EQ(std::make_tuple(got.rw, got.type, got.address, got.bit, got.code, got.fast, got.name),
                      std::make_tuple(want.rw, want.type, want.address, want.bit, want.code, want.fast, want.name))
                << c.channel << ", row " << i;
        }
    }
}

TEST(Description, PropertiesTakeTheOptionNumberOrItsLabel) {
    struct Case {
        const char* line;
        size_t index;
        int32_t value;
    };
    const Case cases[] = {
        {"station = 17", 0, 17},           {"wait_ms = 250", 1, 250},
        {"order16 = \"21\"", 2, 1},        {"order32 = \"3 - 4321\"", 3, 3},
        {"order_float = 2", 4, 2},         {"string_encoding = \"unicode\"", 5, 1},
        {"string_order = \"21\"", 6, 0},   {"crc_order = \"HL\"", 7, 1},
        {"order64 = \"5678_1234\"", 8, 4}, {"order_double = \"7 - 8765_4321\"", 9, 7},
    };
    for (const Case& c : cases) {
        devdesc::Description d = Parse(std::string("[device]\n") + c.line + "\n");
        ASSERT_EQ(d.properties.size(), 10u);
        EXPECT_EQ(d.properties[c.index], c.value) << c.line;
    }
    EXPECT_EQ(Parse("").properties, DefaultProperties());
}

TEST(Description, ErrorsNameTheLineAndFieldAndSayWhatIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"[[channel]]\naddress = \"Q100\"\ntype = \"WUB\"", "t.toml:2: channel 0, address: unknown area 'Q'"},
        {"[[channel]]\naddress = \"D100\"\n\ntype = \"WXB\"", "t.toml:4: channel 0, type: unknown data type 'WXB'"},
        {"[[channel]]\naddress = \"D16777215\"\ntype = \"DUB\"", "t.toml:2: channel 0, address: address out of range"},
        {"[[channel]]\naddress = \"D0\"\ntype = \"WUB\"\ncount = 5001", "t.toml:4: channel 0, count: out of range"},
        {"[[channel]]\naddress = \"M5.03\"", "t.toml:2: channel 0, address: a bit where none fits"},
        {"[[channel]]\naddress = \"D5.03\"\ntype = \"WUB\"", "t.toml:2: channel 0, address: a bit where none fits"},
        {"[[channel]]\naddress = \"D5.16\"", "bit out of range"},
        {"[[channel]]\naddress = \"Y8\"", "Y addresses are octal"},
        {"[[channel]]\naddress = \"M1\"\ntype = \"DF\"", "M is a bit area"},
        {"[[channel]]\naddress = \"D1\"\ntype = \"STR\"", "t.toml:1: channel 0: missing field 'length'"},
        {"[[channel]]\naddress = \"D1\"\ntype = \"WUB\"\nlength = 4", "a length belongs to STR channels only"},
        {"[[channel]]\naddress = \"D1\"\ntype = \"STR\"\nlength = 121", "channel 0, length: out of range"},
        {"[[channel]]\naddress = \"D1\"\ntype = \"WUB\"\ncount = 2\nname = \"A\"", "a name fits a single row only"},
        {"[[channel]]\naddress = \"D1.00\"\n[[channel]]\naddress = \"D2\"\ntipe = \"WUB\"",
         "t.toml:5: channel 1: unknown field 'tipe'"},
        {"[device]\nstation = 256", "t.toml:2: device.station: out of range"},
        {"[device]\norder32 = \"1324\"", "t.toml:2: device.order32: unknown option '1324'"},
        {"[device]\nbaud = 9600", "unknown property 'baud'"},
        {"[device\n", "t.toml:1: "},
    };
    for (const auto& [text, message] : cases)
        EXPECT_NE(ErrorOf(text).find(message), std::string::npos) << text << "\n -> " << ErrorOf(text);
}

TEST(Description, BlobMatchesTheStoredFormatByteForByte) {
    devdesc::Description d = Parse("[[channel]]\naddress = \"D100\"\ntype = \"WD\"\n[[channel]]\naddress = \"M5\"\n");
    TestRow wd = MakeRow(14, 100, 85);
    wd.name = "读写DWD0100";
    TestRow m = MakeRow(0, 5, 20);
    m.name = "读写M0005";
    EXPECT_EQ(devdesc::BuildBlob(d), MakeBlob(DefaultProperties(), {wd, m}));
}

TEST(Description, DumpBuildsTheSameBlobAgain) {
    std::vector<std::vector<uint8_t>> blobs;
    for (const char* file : {"/examples/demo.toml", "/examples/large.toml"})
        blobs.push_back(devdesc::BuildBlob(devdesc::LoadToml(std::string(QUORLAN_SOURCE_DIR) + file)));
    // Rows that the rules would not have made: an own name, the fast-read and
    // read-maximum fields, a write-only word, and an old-form blob.
    TestRow named;
    named.name = "Pump pressure \"bar\"";
    named.fast = 1;
    named.readMax = 60;
    TestRow writeOnly;
    writeOnly.rwFlag = 1;
    writeOnly.name = "只写DWUB0000";
    blobs.push_back(MakeBlob({3, 50, 1, 2, 3, 1, 1, 1, 7, 6}, {named, writeOnly}));
    for (const std::vector<uint8_t>& blob : blobs) {
        std::vector<std::string> problems;
        std::string text = devdesc::DumpToml(devdesc::ReadBlob(blob, "b.bin"), &problems);
        EXPECT_TRUE(problems.empty());
        EXPECT_EQ(devdesc::BuildBlob(Parse(text)), blob) << text.substr(0, 2000);
    }
    std::vector<uint8_t> old = MakeBlob(DefaultProperties(), {named}, false);
    EXPECT_EQ(devdesc::BuildBlob(devdesc::ReadBlob(old, "old.bin")), MakeBlob(DefaultProperties(), {named}));
}

TEST(Description, DamagedBlobsAreReportedNotReadAsZeros) {
    TestRow row;
    row.name = "读写DWUB0000";
    std::vector<uint8_t> good = MakeBlob(DefaultProperties(), {row, row});
    std::vector<uint8_t> cut(good.begin(), good.end() - 3);  // the second name lacks 3 bytes
    std::vector<uint8_t> negative = MakeBlob(DefaultProperties(), {});
    negative[negative.size() - 1] = 0x80;  // row count 0x80000000
    std::vector<uint8_t> newer = good;
    newer[0] = 0x21;  // version 20001
    for (const auto& [blob, message] : {std::make_pair(cut, "is cut off"), std::make_pair(negative, "claims"),
                                        std::make_pair(newer, "newer format")}) {
        try {
            devdesc::ReadBlob(blob, "x.bin");
            ADD_FAILURE() << message;
        } catch (const devdesc::Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(devdesc::ReadBlob(good, "x.bin").rows.size(), 2u);
}
