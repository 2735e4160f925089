// Element names, initial values and the command line of the plcsim program.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "plcsim/Options.h"
#include "plcsim/Plc.h"

TEST(PlcElements, AreNamedByAreaAndDecimalAddress) {
    std::optional<plcsim::Element> e = plcsim::ParseElement("D100");
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->area->name, "D");
    EXPECT_EQ(e->address, 100u);
    // The longest area names win nothing by prefix: SM, SEM, HSCD are areas of their own.
    EXPECT_EQ(plcsim::ParseElement("sm5")->area->code, 0x0D);
    EXPECT_EQ(plcsim::ParseElement("SEM0")->area->code, 0x12);
    EXPECT_EQ(plcsim::ParseElement("HSCD16777215")->area->code, 0x8B);
    for (const char* bad : {"", "D", "100", "Q5", "D-1", "D1x", "D16777216", "M 5"})
        EXPECT_FALSE(plcsim::ParseElement(bad)) << bad;
}

TEST(PlcElements, AreaTableHasTwentyNineDistinctAreasAndCodes) {
    const auto& areas = plcsim::AreaTable();
    for (size_t i = 0; i < areas.size(); ++i) {
        EXPECT_EQ(areas[i].index, i);
        EXPECT_EQ(areas[i].isBit, i < 14) << areas[i].name;
        EXPECT_EQ(plcsim::FindArea(areas[i].code), &areas[i]);
        EXPECT_EQ(plcsim::FindArea(areas[i].name), &areas[i]);
    }
    EXPECT_EQ(plcsim::FindArea(uint8_t{0x00}), nullptr);
    EXPECT_EQ(plcsim::FindArea(uint8_t{0x90}), nullptr);
    EXPECT_EQ(plcsim::FindArea("FS")->code, 0x91);
}

TEST(PlcElements, TakeAssignmentsOfOneOrSeveralValues) {
    plcsim::Plc plc;
    plc.Assign("D100=1234");
    plc.Assign("M5=1");
    plc.Assign("hd10=1,0x20,-1,65535");
    plc.Assign("X3=7");  // bits keep 1 for anything but 0
    EXPECT_EQ(plc.Get("D", 100), 1234);
    EXPECT_EQ(plc.Get("M", 5), 1);
    EXPECT_EQ(plc.GetRange("HD", 10, 4), (std::vector<uint16_t>{1, 0x20, 0xFFFF, 0xFFFF}));
    EXPECT_EQ(plc.Get("X", 3), 1);
    for (const char* bad : {"D100", "D100=", "D100=65536", "D100=-32769", "Q1=2", "D100=1,,2", "D16777215=1,2"})
        EXPECT_THROW(plc.Assign(bad), std::invalid_argument) << bad;
}

TEST(PlcCommandLine, ReadsEveryOption) {
    plcsim::Options o;
    std::string error;
    ASSERT_TRUE(plcsim::ParseCommandLine(
        {"--tcp", "5020", "--station=7", "--crc", "hl", "--set", "D100=1234", "--set", "M5=1", "--fault",
         "noanswer:req=3", "--fault=delay:ms=50", "--seed", "99", "--baud", "9600", "--silence", "5", "--trace"},
        o, error))
        << error;
    EXPECT_EQ(o.transport, plcsim::Options::Transport::Tcp);
    EXPECT_EQ(o.tcpPort, 5020);
    EXPECT_EQ(o.station, 7);
    EXPECT_EQ(o.crcOrder, plcsim::CrcOrder::HighFirst);
    EXPECT_EQ(o.assignments, (std::vector<std::string>{"D100=1234", "M5=1"}));
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[1].delayMs, 50u);
    EXPECT_EQ(o.seed, 99u);
    EXPECT_EQ(o.baud, 9600u);
    EXPECT_EQ(o.silenceMs, 5u);
    EXPECT_TRUE(o.trace);
}

TEST(PlcCommandLine, ReadsInitialValuesFromAFile) {
    const std::string path = std::string(QUORLAN_BINARY_DIR) + "/plcsim-values-test.txt";
    {
        std::ofstream f(path);
        f << "# initial values\nD0=1,2\n\n  M7=1   # a lamp\n";
    }
    plcsim::Options o;
    std::string error;
    ASSERT_TRUE(plcsim::ParseCommandLine({"--set-file", path, "--set", "D5=3"}, o, error)) << error;
    EXPECT_EQ(o.assignments, (std::vector<std::string>{"D0=1,2", "M7=1", "D5=3"}));
    {
        std::ofstream f(path);
        f << "D0=1\nD1=oops\n";
    }
    EXPECT_FALSE(plcsim::ParseCommandLine({"--set-file", path}, o, error));
    EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    std::remove(path.c_str());
}

TEST(PlcCommandLine, RefusesBadOptionsWithAMessage) {
    const std::vector<std::vector<std::string>> bad = {
        {"--station", "256"},
        {"--crc", "xy"},
        {"--set", "D1"},
        {"--fault", "nothing"},
        {"--tcp"},
        {"--tcp", "70000"},
        {"--baud", "0"},
        {"--bogus"},
        {"--trace=yes"},
        {"--tcp", "1", "--link", "/tmp/x"},
        {"--set-file", "/nonexistent/file"},
    };
    for (const auto& args : bad) {
        plcsim::Options o;
        std::string error;
        EXPECT_FALSE(plcsim::ParseCommandLine(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}
