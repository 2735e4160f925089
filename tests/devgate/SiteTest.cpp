// Site descriptions: every fault named with its file and line (a device
// description's own as devcfg gives them), and devgate check's exit codes.
#include <gtest/gtest.h>

#include "SiteFiles.h"
#include "gateway/Site.h"

namespace {

std::string ErrorsOf(const SiteFolder& folder, const std::string& text) {
    try {
        gateway::LoadSite(folder.Write("site.toml", text));
    } catch (const gateway::SiteError& e) {
        return e.what();
    }
    return "(accepted)";
}

const char* const kLine = "[[line]]\nname = \"a\"\nsimulate = true\n";
const char* const kDevice = "[[line.device]]\nname = \"d\"\ndescription = \"dev.toml\"\n";

}  // namespace

TEST(Site, EveryFaultIsNamedWithItsFileAndLine) {
    SiteFolder folder;
    folder.Device("dev.toml", 1, "\"D100=1\"");
    folder.Write("bad.toml", "[device]\nstation = 1\n[[channel]]\naddress = \"Q7\"\n");
    struct Case {
        std::string site;
        std::string error;  // after the folder
    };
    const Case cases[] = {
        {std::string(kLine) + kDevice, "(accepted)"},
        {"", "site.toml:1: the site has no [[line]]"},
        {"[[line]]\nsimulate = true\n" + std::string(kDevice), "site.toml:1: the line has no name"},
        {"[[line]]\nname = \"a\"\nport = \"/dev/x\"\ntcp = \"h:1\"\n" + std::string(kDevice),
         "site.toml:1: line a needs exactly one of port, tcp and simulate = true"},
        {std::string(kLine) + "baud = 12345\n" + kDevice, "site.toml:4: baud rate 12345 is not supported"},
        {std::string(kLine) + "parity = \"X\"\n" + kDevice, "site.toml:4: parity must be N, E, O, M or S"},
        {std::string(kLine) + "rs485 = true\n" + kDevice, "site.toml:4: rs485 needs a serial port"},
        {std::string(kLine) + "speed = 1\n" + kDevice, "site.toml:4: unknown key in [[line]]: speed"},
        {std::string(kLine) + kDevice + "station = 300\n", "site.toml:7: station must be a whole number from 0 to 255"},
        {std::string(kLine) + kDevice + kDevice, "site.toml:8: a second device named d"},
        {std::string(kLine) + kDevice + "[[line.device]]\nname = \"e\"\ndescription = \"dev.toml\"\n",
         "site.toml:7: a second device at station 1 on the simulated line a"},
        {std::string(kLine) + "[[line.device]]\nname = \"d\"\ndescription = \"bad.toml\"\n",
         "bad.toml:4: channel 0, address: unknown area"},
        {std::string(kLine) + "[[line.device]]\nname = \"d\"\nblob = \"none.bin\"\n",
         "site.toml:6: blob \"none.bin\" cannot be read: No such file or directory"},
        {std::string(kLine) + "[[line.device]]\nname = \"d\"\ndescription = \"nothere.toml\"\n",
         "site.toml:6: description \"nothere.toml\" cannot be read: No such file or directory"},
        {std::string(kLine) + kDevice + "offline_after = 0\n",
         "site.toml:7: offline_after must be a whole number from 1 to 1000"},
        {std::string(kLine) + kDevice + "probe_max_s = 0.5\n",
         "site.toml:7: probe_max_s must be a whole number from 1 to 86400"},
        {std::string(kLine), "site.toml:1: line a has no [[line.device]]"},
        {"[[line]\n", "site.toml:1: "},
    };
    for (const Case& c : cases) {
        std::string got = ErrorsOf(folder, c.site);
        EXPECT_NE(got.find(c.error), std::string::npos) << c.site << "\ngot: " << got;
    }
}

TEST(Site, AStationInTheSiteOverridesTheDescriptions) {
    SiteFolder folder;
    folder.Device("dev.toml", 1, "");
    gateway::Site site = gateway::LoadSite(
        folder.Write("site.toml", std::string(kLine) + kDevice + "station = 9\ninterval_ms = 50\noffline_after = 5\n"));
    const gateway::DeviceSite& d = site.lines.at(0).devices.at(0);
    EXPECT_EQ(d.file.description.properties.at(0), 9);
    EXPECT_EQ(d.file.Simulator().plc.station, 9);
    EXPECT_EQ(d.intervalMs, 50u);
    EXPECT_EQ(d.offlineAfter, 5);
    EXPECT_EQ(d.probeMaxS, 30u);
}

TEST(Site, DevgateCheckExitsOneOnAFaultAndTwoOnABadCommandLine) {
    SiteFolder folder;
    std::string bad = folder.Write("site.toml", std::string(kLine));
    std::string devgate = DEVGATE_PATH;
    EXPECT_EQ(WEXITSTATUS(std::system((devgate + " check '" + bad + "' 2>/dev/null").c_str())), 1);
    EXPECT_EQ(WEXITSTATUS(std::system((devgate + " check 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((devgate + " run '" + bad + "' --format xml 2>/dev/null").c_str())), 2);
    std::string example = std::string(QUORLAN_SOURCE_DIR) + "/examples/site.toml";
    EXPECT_EQ(WEXITSTATUS(std::system((devgate + " check '" + example + "' >/dev/null").c_str())), 0);
}
