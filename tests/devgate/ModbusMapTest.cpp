// The site's register map: default places in site and channel order,
// explicit places with the defaults after them, every fault with its file
// and line, and channel values in registers both ways.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "SiteFiles.h"
#include "gateway/ModbusServer.h"
#include "gateway/Site.h"

namespace {

// D100 WUB, D101 DF, D104 LB, D110 STR of 5 characters, M0 and M1.
const char* const kDescription =
    "[device]\nstation = 1\n"
    "[[channel]]\naddress = \"D100\"\ntype = \"WUB\"\n"
    "[[channel]]\naddress = \"D101\"\ntype = \"DF\"\n"
    "[[channel]]\naddress = \"D104\"\ntype = \"LB\"\n"
    "[[channel]]\naddress = \"D110\"\ntype = \"STR\"\nlength = 5\n"
    "[[channel]]\naddress = \"M0\"\ncount = 2\n";

// Lines 1 to 6; device b on lines 7 to 10.
const std::string kA =
    "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\nname = \"a\"\ndescription = \"dev.toml\"\n";
const std::string kSite = kA + "[[line.device]]\nname = \"b\"\ndescription = \"dev.toml\"\nstation = 2\n";

// "unit table address count element" of every entry.
std::string Rows(const gateway::ModbusMap& map) {
    std::string text;
    for (const gateway::ModbusEntry& e : map.entries)
        text += std::to_string(e.unit) + " " + gateway::ModbusTableWord(e.table) + " " + std::to_string(e.address) +
                " " + std::to_string(e.count) + " " + e.element + "\n";
    return text;
}

std::string Load(const SiteFolder& folder, const std::string& site) {
    try {
        return Rows(gateway::ModbusMapOf(gateway::LoadSite(folder.Write("site.toml", site))));
    } catch (const gateway::SiteError& e) {
        return e.what();
    }
}

sockaddr_storage Address(const char* text) {
    sockaddr_storage a{};
    if (std::strchr(text, ':') != nullptr) {
        a.ss_family = AF_INET6;
        inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr);
    } else {
        a.ss_family = AF_INET;
        inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr);
    }
    return a;
}

TEST(ModbusAllow, WritesComeOnlyFromTheListedBlocks) {
    struct Case {
        const char* blocks;
        const char* address;
        bool in;
    };
    const Case cases[] = {
        {"127.0.0.0/8", "127.9.9.9", true},
        {"127.0.0.0/8", "128.0.0.1", false},
        {"10.1.0.0/16", "10.1.255.1", true},
        {"10.1.0.0/16", "10.2.0.1", false},
        {"192.168.1.7", "192.168.1.7", true},  // one address
        {"192.168.1.7", "192.168.1.8", false},
        {"0.0.0.0/0", "8.8.8.8", true},
        {"127.0.0.0/8", "::ffff:127.0.0.1", true},  // IPv4-mapped counts as IPv4
        {"::1", "::1", true},
        {"::1", "127.0.0.1", false},
        {"fd00::/8", "fd12::5", true},
        {"fd00::/8", "fe80::1", false},
        {"10.0.0.0/8,fd00::/8", "fd00::1", true},
    };
    for (const Case& c : cases) {
        std::vector<gateway::Cidr> blocks;
        std::string why;
        ASSERT_TRUE(gateway::ParseCidrList(c.blocks, blocks, why)) << c.blocks << ": " << why;
        EXPECT_EQ(gateway::AddressIn(Address(c.address), blocks), c.in) << c.blocks << " " << c.address;
    }
    for (const char* bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0/8", "a,b", "10.0.0.0/8,"}) {
        std::vector<gateway::Cidr> blocks;
        std::string why;
        EXPECT_FALSE(gateway::ParseCidrList(bad, blocks, why)) << bad;
    }
}

}  // namespace

TEST(ModbusMap, ChannelsTakeTheirPlacesByDefaultOrAsListed) {
    SiteFolder folder;
    folder.Write("dev.toml", kDescription);
    struct Case {
        const char* what;
        std::string site;
        std::string rows;
    };
    const Case cases[] = {
        {"defaults: units in site order, words 1, 2 and 4 registers, strings 2 characters a register", kSite,
         "1 holding 0 1 D100\n1 holding 1 2 D101\n1 holding 3 4 D104\n1 holding 7 3 D110\n1 coil 0 1 M0\n"
         "1 coil 1 1 M1\n2 holding 0 1 D100\n2 holding 1 2 D101\n2 holding 3 4 D104\n2 holding 7 3 D110\n"
         "2 coil 0 1 M0\n2 coil 1 1 M1\n"},
        {"listed channels first, the others after the highest listed address of their table",
         kA + "modbus_unit = 7\nmodbus_others = true\n"
              "[[line.device.modbus]]\nchannel = \"D104\"\naddress = 20\n"
              "[[line.device.modbus]]\nchannel = \"读写DWUB0100\"\ntable = \"input\"\naddress = 3\n"
              "[[line.device.modbus]]\nchannel = \"M1\"\ntable = \"discrete\"\naddress = 9\n",
         "7 holding 20 4 D104\n7 holding 24 2 D101\n7 holding 26 3 D110\n7 input 3 1 D100\n7 coil 0 1 M0\n"
         "7 discrete 9 1 M1\n"},
        {"modbus_others = false: only the listed channels",
         kA + "modbus_others = false\n[[line.device.modbus]]\nchannel = \"M0\"\ntable = \"coil\"\naddress = 65535\n",
         "1 coil 65535 1 M0\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Load(folder, c.site), c.rows) << c.what;
}

TEST(ModbusMap, EveryFaultIsNamedWithItsFileAndLine) {
    SiteFolder folder;
    folder.Write("dev.toml", kDescription);
    const std::string& a = kA;
    auto entry = [](const std::string& channel, const std::string& table, int address) {
        return "[[line.device.modbus]]\nchannel = \"" + channel + "\"\n" +
               (table.empty() ? "" : "table = \"" + table + "\"\n") + "address = " + std::to_string(address) + "\n";
    };
    struct Case {
        std::string site;
        std::string error;
    };
    const Case cases[] = {
        {a + "modbus_unit = 0\n", "site.toml:7: modbus_unit must be a whole number from 1 to 247"},
        {a + "modbus_unit = 248\n", "site.toml:7: modbus_unit must be a whole number from 1 to 247"},
        {kSite + "modbus_unit = 1\n", "site.toml:11: device b takes unit 1 of device a"},
        {a + entry("D999", "", 0), "site.toml:7: unknown channel D999 of device a"},
        {a + entry("D100", "register", 0), "site.toml:7: unknown table register (holding, input, coil or discrete)"},
        {a + entry("M0", "holding", 0), "site.toml:7: channel M0 is a bit: coil or discrete"},
        {a + entry("D100", "coil", 0), "site.toml:7: channel D100 is no bit: holding or input"},
        {a + entry("D100", "", 5) + entry("D104", "", 2),
         "site.toml:10: channel 读写DLB0104 at holding 2 overlaps 读写DWUB0100 at 5 on unit 1"},
        {a + entry("D100", "", 1) + entry("D100", "", 2), "site.toml:10: channel D100 is listed twice"},
        {a + entry("D104", "", 65533), "site.toml:7: channel 读写DLB0104 of device a does not fit below address 65536"},
        {a + "[[line.device.modbus]]\nchannel = \"D100\"\n", "site.toml:7: the modbus entry has no address"},
        {a + "[[line.device.modbus]]\nchannel = \"D100\"\naddress = 1\nbit = 2\n",
         "site.toml:10: unknown key in [[line.device.modbus]]: bit"},
    };
    for (const Case& c : cases) {
        std::string got = Load(folder, c.site);
        EXPECT_NE(got.find(c.error), std::string::npos) << c.site << "\ngot: " << got;
    }
}

TEST(ModbusMap, ValuesGoIntoTheirRegistersMostSignificantWordFirstAndBack) {
    struct Case {
        const char* kind;
        toolkit::Value value;
        std::vector<uint16_t> words;
    };
    const Case cases[] = {
        {"WB", {DATATYPE_INT, -2, 0.0, ""}, {0xFFFE}},
        {"DB", {DATATYPE_INT, -3, 0.0, ""}, {0xFFFF, 0xFFFD}},
        {"DUB", {DATATYPE_DOUBLE, 0, 4294967295.0, ""}, {0xFFFF, 0xFFFF}},
        {"DF", {DATATYPE_DOUBLE, 0, -1.5, ""}, {0xBFC0, 0x0000}},
        {"LB", {DATATYPE_DOUBLE, 0, -3.0, ""}, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFD}},
        {"LUB", {DATATYPE_DOUBLE, 0, 4294967296.0, ""}, {0, 1, 0, 0}},
        {"LF", {DATATYPE_DOUBLE, 0, 2.0, ""}, {0x4000, 0, 0, 0}},
        {"STR", {DATATYPE_STRING, 0, 0.0, "ABC"}, {0x4142, 0x4300}},
    };
    for (const Case& c : cases) {
        gateway::ModbusEntry e;
        e.kind = c.kind;
        e.type = c.value.type;
        e.length = 4;
        e.count = gateway::ModbusWidth(e.kind, e.length);
        EXPECT_EQ(gateway::ModbusEncode(e, c.value), c.words) << c.kind;
        EXPECT_EQ(gateway::ModbusDecode(e, c.words.data()).text, c.value.Text()) << c.kind;
    }
    // Registers of a 64-bit integer beyond 2^53 ask for a value no double carries.
    gateway::ModbusEntry lub;
    lub.kind = "LUB";
    lub.count = 4;
    const uint16_t ones[] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    EXPECT_FALSE(gateway::ModbusDecode(lub, ones).exact);
}
