// The gateway end to end against plcsim: a simulated line and a line over TCP
// polled side by side, writes and commands queued while polling (from several
// threads at once, each command with its own variables), a line whose
// simulator dies and comes back, the change feed's bounded queues, a silent
// station taken out of the turns and back, a heap that stays flat, and a
// reload of the site that keeps the unchanged lines polling.
#include <gtest/gtest.h>
#include <malloc.h>

#include <functional>
#include <set>
#include <thread>

#include "SiteFiles.h"
#include "gateway/Gateway.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder.Device("a.toml", 1, "\"D100=11,12\"");
        folder.Device("b.toml", 1, "");
        folder.Device("c.toml", 2, "\"D100=31\"");
        folder.Device("e.toml", 3, "\"D101=42\"");
        tcpPlc.Assign("D100=21,22");
        tcpServer.Start();
        std::string site =
            "[[line]]\nname = \"sim\"\nsimulate = true\n"
            "[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\n"
            "[[line.device]]\nname = \"c\"\ndescription = \"c.toml\"\n"
            "[[line.device]]\nname = \"e\"\ndescription = \"e.toml\"\ninterval_ms = 20\n"
            "[[line]]\nname = \"tcp\"\ntcp = \"127.0.0.1:" +
            std::to_string(tcpServer.Port()) + "\"\n[[line.device]]\nname = \"b\"\ndescription = \"b.toml\"\n";
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        options.backoffMin = 20ms;
        options.backoffMax = 100ms;
        gw = std::make_unique<gateway::Gateway>(gateway::LoadSite(folder.Write("site.toml", site)), options);
        feed = gw->Subscribe();
        gw->Start();
    }
    void TearDown() override {
        gw.reset();
        tcpServer.Stop();
    }

    // Takes changes from the feed until one satisfies the condition (10 s at most).
    bool Await(const std::function<bool(const gateway::Change&)>& condition) {
        auto end = Clock::now() + 10s;
        gateway::Change c;
        while (Clock::now() < end)
            if (feed->Pop(c, 100ms) && condition(c)) return true;
        return false;
    }
    bool AwaitValue(const std::string& device, int channel, int value) {
        if (gw->Latest(device, channel).status == gateway::Status::Ok && gw->Latest(device, channel).value.i == value)
            return true;
        return Await([&](const gateway::Change& c) {
            return c.device == device && c.channel == channel && c.reading.status == gateway::Status::Ok &&
                   c.reading.value.i == value;
        });
    }
    bool AwaitLine(const std::string& line, const std::string& event) {
        return Await([&](const gateway::Change& c) {
            return c.kind == gateway::Change::Kind::Line && c.line == line && c.event == event;
        });
    }

    SiteFolder folder;
    plcsim::Plc tcpPlc;
    plcsim::TcpServer tcpServer{tcpPlc};
    std::unique_ptr<gateway::Gateway> gw;
    std::shared_ptr<gateway::Subscription> feed;
};

}  // namespace

TEST_F(GatewayTest, ABusOfThreeStationsAndALineOverTcpDeliverTheirValuesSideBySide) {
    auto slow = gw->Subscribe(1);  // never read: drops, and holds up no line
    EXPECT_TRUE(AwaitValue("a", 0, 11));
    EXPECT_TRUE(AwaitValue("a", 1, 12));
    EXPECT_TRUE(AwaitValue("c", 0, 31));
    EXPECT_TRUE(AwaitValue("e", 1, 42));
    EXPECT_TRUE(AwaitValue("b", 0, 21));
    EXPECT_TRUE(AwaitValue("b", 1, 22));
    tcpPlc.Set("D", 101, 99);
    EXPECT_TRUE(AwaitValue("b", 1, 99));
    EXPECT_GT(slow->Dropped(), 0u);
    EXPECT_NE(gw->Stats("a").lastScanAt, gateway::SystemTime{});
    EXPECT_EQ(gw->Devices().at(0).channels.at(0).element, "D100");
    EXPECT_EQ(gw->Stats("b").failures.size(), 0u);
    EXPECT_GT(gw->Stats("b").requests, 0u);
}

TEST(Subscription, AnOverflowIsToldOnceAndEmptiesTheStaleQueue) {
    gateway::Subscription sub(2);
    gateway::Change c;
    for (int i = 0; i < 5; ++i) {
        c.channel = i;
        sub.Push(c);
    }
    EXPECT_EQ(sub.Overflowed(), 3u);
    EXPECT_FALSE(sub.Pop(c, 0ms));
    EXPECT_EQ(sub.Overflowed(), 0u);
    sub.Push(c);  // what comes after is kept
    EXPECT_TRUE(sub.Pop(c, 0ms));
    EXPECT_EQ(c.channel, 4);
    EXPECT_EQ(sub.Dropped(), 3u);
}

TEST_F(GatewayTest, AWriteAndACommandQueuedWhilePollingReturnTheirCodes) {
    ASSERT_TRUE(AwaitValue("b", 0, 21));
    ASSERT_TRUE(AwaitValue("a", 0, 11));  // both lines are up
    gateway::Result w = gw->Write("b", 0, toolkit::Asked::Number(77));
    EXPECT_EQ(w.code, 0) << w.meaning;
    EXPECT_EQ(tcpPlc.Get("D", 100), 77);
    EXPECT_TRUE(AwaitValue("b", 0, 77));
    gateway::Result r = gw->IoCtrl("a", "READ(D,101,WUB=Level)", {{"Level", toolkit::Value{DATATYPE_INT, 0, 0.0, ""}}});
    EXPECT_EQ(r.code, 0) << r.meaning;
    EXPECT_EQ(r.variables["Level"].i, 12);
    EXPECT_EQ(gw->Write("b", 9, toolkit::Asked::Number(1)).code, 5);
    EXPECT_EQ(gw->Write("nobody", 0, toolkit::Asked::Number(1)).code, 5);
    gw->Stop();
    EXPECT_EQ(gw->Write("b", 0, toolkit::Asked::Number(1)).code, -2);
}

TEST_F(GatewayTest, CommandsRunAtOnceWithVariablesOfTheSameNameSeeOnlyTheirOwn) {
    ASSERT_TRUE(AwaitValue("a", 0, 11));  // the line is up
    auto number = [](int v) { return toolkit::Value{DATATYPE_INT, v, 0.0, ""}; };
    // Two clients write their V to their own element and read it back into V;
    // a third names V without declaring it, and must be refused every time.
    std::vector<std::string> faults[3];
    auto client = [&](int who) {
        std::string element = "D," + std::to_string(300 + who) + ",WUB=V)";
        for (int k = 0; k < 20; ++k) {
            int v = 1000 * (who + 1) + k;
            if (who == 2) {
                gateway::Result r = gw->IoCtrl("a", "WRITE(D,302,WUB=V)", {});
                if (r.code == 0 || r.refused.find("V is neither") == std::string::npos)
                    faults[who].push_back(std::to_string(k) + ": code " + std::to_string(r.code));
                continue;
            }
            gateway::Result w = gw->IoCtrl("a", "WRITE(" + element, {{"V", number(v)}});
            gateway::Result r = gw->IoCtrl("a", "READ(" + element, {{"V", number(0)}});
            if (w.code != 0 || w.variables.size() != 1 || r.code != 0 || r.variables.size() != 1 ||
                r.variables["V"].i != v)
                faults[who].push_back(std::to_string(k) + ": wrote " + std::to_string(v) + ", read " +
                                      std::to_string(r.variables["V"].i));
        }
    };
    std::thread first(client, 0), second(client, 1), third(client, 2);
    first.join();
    second.join();
    third.join();
    for (const auto& f : faults) EXPECT_TRUE(f.empty()) << f.front() << " ... " << f.back() << " (" << f.size() << ")";
    plcsim::Plc& plc = *gw->Simulator("sim")->Station(1);
    EXPECT_EQ(plc.Get("D", 300), 1019);
    EXPECT_EQ(plc.Get("D", 301), 2019);
    EXPECT_EQ(plc.Get("D", 302), 0);
}

TEST_F(GatewayTest, ALineWhoseSimulatorDiesRecoversWhileTheOtherKeepsItsCycle) {
    ASSERT_TRUE(AwaitValue("b", 0, 21));
    tcpServer.Stop();
    ASSERT_TRUE(AwaitLine("tcp", "down"));
    gateway::Reading stale = gw->Latest("b", 0);
    EXPECT_EQ(stale.status, gateway::Status::Failed);
    EXPECT_EQ(stale.code, 2);
    EXPECT_EQ(stale.value.i, 21);  // the last value kept
    // The simulated line goes on while the other is down.
    gw->Simulator("sim")->Station(1)->Set("D", 100, 5);
    EXPECT_TRUE(AwaitValue("a", 0, 5));
    tcpPlc.Set("D", 100, 23);
    tcpServer.Start();
    EXPECT_TRUE(AwaitLine("tcp", "up"));
    EXPECT_TRUE(AwaitValue("b", 0, 23));
    EXPECT_GE(gw->LineStatsOf("tcp").downs, 1u);
    EXPECT_GT(gw->LineStatsOf("tcp").failures[2], 0);
    EXPECT_EQ(gw->LineStatsOf("sim").downs, 0u);
}

TEST_F(GatewayTest, ADeviceIsNotPolledMoreOftenThanItsInterval) {
    ASSERT_TRUE(AwaitValue("e", 1, 42));
    auto start = Clock::now();
    long before = gw->Stats("e").calls;
    // Wait for a few of the device's own steps, from the feed.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(Await([](const gateway::Change& c) { return c.device == "e"; }));
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    long calls = gw->Stats("e").calls - before;
    EXPECT_LE(calls, static_cast<long>(ms / 20) + 1);  // interval_ms = 20
    EXPECT_GT(gw->Stats("a").calls, gw->Stats("e").calls);
}

TEST(Gateway, AnAbsentStationFailsAloneAndItsLineStaysUp) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "\"D100=3\"");
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway gw(
        gateway::LoadSite(folder.Write("site.toml",
                                       "[[line]]\nname = \"l\"\nsimulate = true\n"
                                       "[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\n"
                                       "[[line.device]]\nname = \"b\"\ndescription = \"a.toml\"\nstation = 2\n")),
        options);
    gw.Simulator("l")->Station(2)->AddFault(plcsim::FaultRule{});  // never answers, as if absent
    auto feed = gw.Subscribe();
    gw.Start();
    gateway::Change c;
    auto end = Clock::now() + 10s;
    bool failed = false, ok = false;
    while (Clock::now() < end && !(failed && ok)) {
        if (!feed->Pop(c, 100ms) || c.kind != gateway::Change::Kind::Value) continue;
        failed = failed || (c.device == "b" && c.reading.status == gateway::Status::Failed);
        ok = ok || (c.device == "a" && c.reading.status == gateway::Status::Ok && c.reading.value.i == 3);
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(gw.LineStatsOf("l").downs, 0u);
}

TEST(Gateway, AnEchoingLineIsPolledAsAnyOther) {
    SiteFolder folder;
    folder.Device("a.toml", 4, "\"D100=8\"");
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway gw(gateway::LoadSite(folder.Write("site.toml",
                                                       "[[line]]\nname = \"l\"\nsimulate = true\necho = true\n"
                                                       "[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\n")),
                        options);
    auto feed = gw.Subscribe();
    gw.Start();
    gateway::Change c;
    auto end = Clock::now() + 10s;
    while (Clock::now() < end && !(feed->Pop(c, 100ms) && c.channel == 0 && c.reading.status == gateway::Status::Ok)) {
    }
    EXPECT_EQ(gw.Latest("a", 0).value.i, 8);
    EXPECT_EQ(gw.Stats("a").failures.size(), 0u);
}

namespace {

// A gateway on one unpaced simulated line of the given devices (not started).
std::unique_ptr<gateway::Gateway> SiteGateway(const SiteFolder& folder, const std::string& devices,
                                              const gateway::Options& extra = {}) {
    gateway::Options options = extra;
    options.plugin = QUORLAN_PLUGIN_PATH;
    auto gw = std::make_unique<gateway::Gateway>(
        gateway::LoadSite(folder.Write("site.toml", "[[line]]\nname = \"l\"\nsimulate = true\n" + devices)), options);
    return gw;
}

std::string DeviceAt(const std::string& name, int station) {
    return "[[line.device]]\nname = \"" + name + "\"\ndescription = \"a.toml\"\nstation = " + std::to_string(station) +
           "\n";
}

// Takes changes off the feed until the condition holds (60 s at most: a
// guard against a hang, long enough for a sanitizer build on a busy machine).
bool Until(gateway::Subscription& feed, const std::function<bool(const gateway::Change&)>& condition) {
    gateway::Change c;
    for (auto end = Clock::now() + 60s; Clock::now() < end;)
        if (feed.Pop(c, 100ms) && condition(c)) return true;
    return false;
}

std::function<bool(const gateway::Change&)> DeviceWent(const std::string& device, const std::string& event) {
    return [device, event](const gateway::Change& c) {
        return c.kind == gateway::Change::Kind::Device && c.device == device && c.event == event;
    };
}

}  // namespace

TEST(Gateway, ASilentStationGoesOfflineAfterItsFailuresAndTakesNoTurnsUntilItsProbe) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "\"D100=3\"");
    gateway::Options options;
    options.probeFirst = std::chrono::hours(1);  // no probe during the test
    auto gw = SiteGateway(folder, DeviceAt("a", 1) + DeviceAt("s", 2) + DeviceAt("b", 3), options);
    gw->Simulator("l")->Station(2)->AddFault(plcsim::FaultRule{});  // never answers
    auto feed = gw->Subscribe();
    gw->Start();
    ASSERT_TRUE(Until(*feed, DeviceWent("s", "offline")));
    gateway::DeviceStats s = gw->Stats("s");
    EXPECT_EQ(s.calls, 3);  // offline_after's default
    EXPECT_FALSE(s.online);
    EXPECT_EQ(s.code, 2);
    EXPECT_EQ(s.offlines, 1u);
    EXPECT_EQ(gw->Latest("s", 0).status, gateway::Status::Failed);
    // The others take their turns without it; its line completes cycles.
    long a = gw->Stats("a").calls, b = gw->Stats("b").calls;
    size_t cycles = gw->LineStatsOf("l").cycles;
    ASSERT_TRUE(Until(*feed, [&](const gateway::Change&) {
        return gw->Stats("a").calls >= a + 100 && gw->Stats("b").calls >= b + 100;
    }));
    EXPECT_EQ(gw->Stats("s").calls, 3);
    EXPECT_GE(gw->LineStatsOf("l").cycles, cycles + 50);
    EXPECT_EQ(gw->LineStatsOf("l").downs, 0u);
}

TEST(Gateway, AnOfflineStationComesBackAtTheFirstProbeItAnswers) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "\"D100=3\"");
    gateway::Options options;
    options.probeFirst = 20ms;
    auto gw =
        SiteGateway(folder, DeviceAt("a", 1) + DeviceAt("s", 2) + "offline_after = 2\nprobe_max_s = 1\n", options);
    plcsim::Plc& silent = *gw->Simulator("l")->Station(2);
    silent.AddFault(plcsim::FaultRule{});
    auto feed = gw->Subscribe();
    gw->Start();
    ASSERT_TRUE(Until(*feed, DeviceWent("s", "offline")));
    ASSERT_TRUE(Until(*feed, [&](const gateway::Change&) { return gw->Stats("s").calls >= 4; }));  // probes
    silent.ClearFaults();
    ASSERT_TRUE(Until(*feed, DeviceWent("s", "online")));
    ASSERT_TRUE(Until(*feed, [](const gateway::Change& c) {
        return c.device == "s" && c.channel == 0 && c.reading.status == gateway::Status::Ok;
    }));
    gateway::DeviceStats s = gw->Stats("s");
    EXPECT_TRUE(s.online);
    EXPECT_EQ(s.offlines, 1u);
    EXPECT_EQ(s.reason, "answered a probe");
}

// Bytes the C library holds for the program (every arena, mmapped blocks too).
size_t HeapInUse() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

TEST(Gateway, ManyCollectionStepsLeaveTheHeapWhereTheChannelsPutIt) {
    SiteFolder folder;
    folder.Write("a.toml",
                 "[device]\nstation = 1\nwait_ms = 100\n[[channel]]\naddress = \"D0\"\ntype = \"WUB\"\ncount = 100\n");
    auto gw = SiteGateway(folder, DeviceAt("w", 1));
    auto feed = gw->Subscribe(16);  // to wait on; what does not fit is dropped
    gw->Start();
    auto steps = [&](long n) {
        return Until(*feed, [&](const gateway::Change&) { return gw->Stats("w").calls >= n; });
    };
    // Past the windows the statistics keep (1024 latencies, 256 scans).
    ASSERT_TRUE(steps(1500));
    size_t before = HeapInUse();
    ASSERT_TRUE(steps(4500));
    size_t after = HeapInUse();
    // 3000 steps of 100 values each: a record per value stored would be
    // over a megabyte.
    EXPECT_LT(after, before + 64 * 1024) << "grew by " << (after - before) << " bytes";
}

TEST(Gateway, AWriteTheLineDoesNotTakeUpByItsDeadlineIsWithdrawnNeverCarriedOut) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "");
    gateway::Options options;
    options.jobDeadline = 1ms;
    // Station 2 never answers and stays in its turns: each of its steps
    // holds the line for its wait time, 100 ms.
    auto gw = SiteGateway(folder, DeviceAt("b", 1) + DeviceAt("s", 2) + "offline_after = 1000\n", options);
    gw->Simulator("l")->Station(2)->AddFault(plcsim::FaultRule{});
    plcsim::Plc& plc = *gw->Simulator("l")->Station(1);
    auto feed = gw->Subscribe();
    gw->Start();
    gateway::Result r;
    int value = 1000;
    while (value < 1100 && r.meaning.find("not carried out") == std::string::npos)
        r = gw->Write("b", 1, toolkit::Asked::Number(static_cast<double>(++value)));
    ASSERT_EQ(r.code, 2) << r.meaning;
    // The line runs its queued jobs before each step: two steps later the
    // withdrawn write would have been carried out.
    long calls = gw->Stats("b").calls;
    ASSERT_TRUE(Until(*feed, [&](const gateway::Change&) { return gw->Stats("b").calls >= calls + 2; }));
    EXPECT_NE(plc.Get("D", 101), value);
}

namespace {

// A site of simulated lines, each with one device of its own description
// (NAME.toml at station 1): "keep", "edit" and "drop" to start with.
std::string SimLines(const std::vector<std::string>& lines, const std::string& extra = "") {
    std::string site;
    for (const std::string& l : lines)
        site += "[[line]]\nname = \"" + l + "\"\nsimulate = true\n[[line.device]]\nname = \"" + l +
                "\"\ndescription = \"" + l + ".toml\"\n" + (l == "edit" ? extra : "");
    return site;
}

struct ReloadCase {
    const char* what;
    std::vector<std::string> lines;  // of the new site, in order: also its devices
    const char* extra;               // the new site's further settings of device "edit"
    int edit;                        // edit.toml's D100 in the simulator afterwards
    const char* outcome;
};

}  // namespace

TEST(Gateway, AReloadKeepsUnchangedLinesPollingAndSetsUpOrTearsDownTheOthers) {
    const std::vector<std::string> before = {"keep", "edit", "drop"};
    const std::vector<ReloadCase> cases = {
        {"unchanged", before, "", 5, "kept keep, edit, drop; changed none; added none; removed none"},
        {"description edited", before, "", 77, "kept keep, drop; changed edit; added none; removed none"},
        {"device setting changed", before, "interval_ms = 5\n", 5,
         "kept keep, drop; changed edit; added none; removed none"},
        // Added in front: the kept devices' indices move.
        {"line added, one removed",
         {"add", "keep", "edit"},
         "",
         5,
         "kept keep, edit; changed none; added add; removed drop"},
    };
    for (const ReloadCase& t : cases) {
        SCOPED_TRACE(t.what);
        SiteFolder folder;
        for (const char* name : {"keep", "drop", "add", "edit"})
            folder.Device(std::string(name) + ".toml", 1, "\"D100=5\"");
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gateway::Gateway gw(gateway::LoadSite(folder.Write("site.toml", SimLines(before))), options);
        auto feed = gw.Subscribe();
        gw.Start();
        ASSERT_TRUE(Until(*feed, [&](const gateway::Change&) { return gw.Stats("keep").calls >= 20; }));
        gateway::SimulatedLine* keptSim = gw.Simulator("keep");
        folder.Device("edit.toml", 1, "\"D100=" + std::to_string(t.edit) + "\"");
        gateway::Site site = gateway::LoadSite(folder.Write("site.toml", SimLines(t.lines, t.extra)));
        long calls = gw.Stats("keep").calls;
        EXPECT_EQ(gw.Reload(std::move(site)).Summary(), t.outcome);
        EXPECT_GE(gw.Stats("keep").calls, calls);  // not set back
        EXPECT_EQ(gw.Simulator("keep"), keptSim);  // the same line, never stopped
        std::vector<std::string> devices;
        for (const gateway::DeviceModel& d : gw.Devices()) devices.push_back(d.name);
        EXPECT_EQ(devices, t.lines);
        // After the mark, every change carries its device's new index, and
        // every device of the new site delivers its values (edit's from its
        // description as it is now).
        ASSERT_TRUE(Until(*feed, [](const gateway::Change& c) { return c.kind == gateway::Change::Kind::Site; }));
        std::set<std::string> seen;
        ASSERT_TRUE(Until(*feed, [&](const gateway::Change& c) {
            EXPECT_EQ(c.deviceIndex, gw.DeviceIndex(c.device)) << c.device;
            if (c.kind == gateway::Change::Kind::Value && c.channel == 0 && c.reading.status == gateway::Status::Ok &&
                c.reading.value.i == (c.device == "edit" ? t.edit : 5))
                seen.insert(c.device);
            return seen.size() == t.lines.size() && gw.Stats("keep").calls >= calls + 20;
        }));
    }
}
