// The history on disk: which changes are recorded, the site's history keys,
// ranges and their reduction to buckets, a database that is down (it cannot
// be opened, the disk is full or read only) and comes back, and devgate killed
// with SIGKILL while it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "SiteFiles.h"
#include "gateway/HistoryDb.h"
#include "gateway/HistoryRecorder.h"
#include "plcsim/Server.h"

namespace {

using namespace std::chrono_literals;

gateway::Reading Ok(int value) {
    gateway::Reading r;
    r.status = gateway::Status::Ok;
    r.hasValue = true;
    r.value.type = DATATYPE_INT;
    r.value.i = value;
    return r;
}

gateway::Reading Failed(int value, int code) {
    gateway::Reading r = Ok(value);
    r.status = gateway::Status::Failed;
    r.code = code;
    return r;
}

// The value of one column of one row, as text ("" for none).
std::string Scalar(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW &&
            sqlite3_column_text(s, 0) != nullptr)
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return out;
}

// A PLC on 127.0.0.1 whose D100 keeps changing, about every millisecond.
class MovingPlc {
public:
    MovingPlc() {
        m_plc.Assign("D100=5");
        m_server.Start();
        m_changer = std::thread([this] {
            for (uint16_t v = 0; !m_stop; ++v) {
                m_plc.Set("D", 100, v);
                std::this_thread::sleep_for(1ms);  // the PLC's value moving
            }
        });
    }
    ~MovingPlc() {
        m_stop = true;
        m_changer.join();
        m_server.Stop();
    }
    // A line to it with device a (a.toml in the folder) polled every interval.
    std::string Line(const SiteFolder& folder, int intervalMs) const {
        folder.Device("a.toml", 1, "\"D100=5\"");
        return "[[line]]\nname = \"t\"\ntcp = \"127.0.0.1:" + std::to_string(m_server.Port()) +
               "\"\n[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\ninterval_ms = " +
               std::to_string(intervalMs) + "\n";
    }

private:
    plcsim::Plc m_plc;
    plcsim::TcpServer m_server{m_plc};
    std::atomic<bool> m_stop{false};
    std::thread m_changer;
};

}  // namespace

TEST(DiskHistory, TheFilterRecordsChangesBeyondTheDeadbandEveryStatusChangeAndTheHeartbeat) {
    gateway::RecordRule plain, banded, beating, off;
    banded.deadband = 5;
    beating.heartbeatS = 10;
    off.record = false;
    struct Step {
        gateway::Reading reading;
        int64_t ms;
        bool plain, banded, beating, off;  // recorded under each rule
    };
    const Step steps[] = {
        {Ok(100), 0, true, true, true, false},               // the first is always recorded
        {Ok(100), 1000, false, false, false, false},         // unchanged
        {Ok(103), 2000, true, false, true, false},           // 3 from 100: within the deadband
        {Ok(104), 3000, true, false, true, false},           // 4 from the last recorded 100
        {Ok(105), 4000, true, true, true, false},            // 5: the deadband reached
        {Failed(105, 7), 5000, true, true, true, false},     // the status changed
        {Failed(105, 8), 6000, true, true, true, false},     // the code changed
        {Failed(105, 8), 16000, false, false, true, false},  // 10 s after the last recorded
        {Ok(105), 17000, true, true, true, false},
    };
    gateway::RecordFilter filter({{plain, banded, beating, off}});
    for (const Step& s : steps) {
        const bool expected[] = {s.plain, s.banded, s.beating, s.off};
        for (size_t c = 0; c < 4; ++c)
            EXPECT_EQ(filter.Take(0, c, s.reading, s.ms), expected[c]) << "at " << s.ms << " rule " << c;
    }
    EXPECT_FALSE(filter.Take(1, 0, Ok(1), 0)) << "no such device";
    filter.Reset();
    EXPECT_TRUE(filter.Take(0, 0, Ok(105), 18000)) << "after Reset the next is recorded";
}

TEST(DiskHistory, TheSiteKeysOfTheHistoryAreCheckedWithFileAndLine) {
    SiteFolder folder;
    folder.Device("dev.toml", 1, "");
    const std::string line =
        "[[line]]\nname = \"a\"\nsimulate = true\n[[line.device]]\nname = \"d\"\n"
        "description = \"dev.toml\"\n";
    struct Case {
        std::string text, error;
    };
    const Case cases[] = {
        {"[history]\nretention_days = 0\n" + line, "site.toml:1: the history has no path"},
        {"[history]\npath = \"h.db\"\nretention_days = 0\n" + line,
         "site.toml:3: retention_days must be a whole number from 1 to 36500"},
        {"[history]\npath = \"h.db\"\nsize = 1\n" + line, "site.toml:3: unknown key in [history]: size"},
        {"history = 1\n" + line, "site.toml:1: history must be a table ([history])"},
        {line + "deadband = -1\n", "site.toml:7: deadband must be a number from 0 on"},
        {line + "history = \"no\"\n", "site.toml:7: history must be true or false"},
        {line + "[[line.device.channel]]\nchannel = \"D999\"\n", "site.toml:7: unknown channel D999 of device d"},
        {line + "[[line.device.channel]]\nchannel = \"D100\"\n[[line.device.channel]]\nchannel = \"D100\"\n",
         "site.toml:9: channel D100 is listed twice"},
        {line + "[[line.device.channel]]\nchannel = \"D100\"\nheartbeat = 1\n",
         "site.toml:9: unknown key in [[line.device.channel]]: heartbeat"},
    };
    for (const Case& c : cases) {
        try {
            gateway::LoadSite(folder.Write("site.toml", c.text));
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const gateway::SiteError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    // The device's rule, and the channel's own over it; the path beside the site.
    gateway::Site site =
        gateway::LoadSite(folder.Write("site.toml", "[history]\npath = \"h.db\"\n" + line +
                                                        "deadband = 2.5\nheartbeat_s = 60\n[[line.device.channel]]\n"
                                                        "channel = \"D101\"\nhistory = false\n"));
    const gateway::DeviceSite& d = site.lines.at(0).devices.at(0);
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_TRUE(d.records[0].record);
    EXPECT_EQ(d.records[0].deadband, 2.5);
    EXPECT_EQ(d.records[0].heartbeatS, 60u);
    EXPECT_FALSE(d.records[1].record);
    EXPECT_EQ(d.records[1].deadband, 2.5);
    EXPECT_EQ(site.history.path.rfind("/tmp/devgate-test-", 0), 0u) << site.history.path;
    EXPECT_EQ(site.history.retentionDays, 30u);
    EXPECT_EQ(site.history.maxMb, 1024u);
}

TEST(DiskHistory, ARangeComesInOrderOfTimeOrReducedToBucketsOfMinAndMaxWithItsGaps) {
    SiteFolder folder;
    std::string path = folder.Write("h.db", "");
    std::remove(path.c_str());
    gateway::HistoryDb db(path, gateway::HistoryDb::Mode::Write);
    int a = db.Register("dev", "level", "D100", DATATYPE_INT);
    int b = db.Register("dev", "other", "D101", DATATYPE_INT);
    EXPECT_EQ(db.Register("dev", "level", "D100", DATATYPE_INT), a) << "registered once";
    // Channel a: 0, 10, 20, ... 990 at 0, 10, 20, ... 990 ms, written newest
    // first; channel b beside it; one failed sample at 500 ms.
    std::vector<gateway::HistoryDb::Row> rows;
    for (int i = 99; i >= 0; --i) {
        gateway::HistoryDb::Row r;
        r.channel = a;
        r.ms = 1000000 + i * 10;
        r.hasValue = true;
        r.value.type = DATATYPE_INT;
        r.value.i = i == 50 ? 7777 : i * 10;
        r.status = i == 50 ? gateway::Status::Failed : gateway::Status::Ok;
        r.code = i == 50 ? -2 : 0;
        rows.push_back(r);
        r.channel = b;
        r.value.i = -1;
        rows.push_back(r);
    }
    db.Append(rows, {{1000200, 1000300, 12}});

    gateway::HistoryChannel ch;
    ASSERT_TRUE(db.Find("dev", "D100", ch)) << "by element";
    EXPECT_EQ(ch.id, a);
    EXPECT_FALSE(db.Find("dev", "D102", ch));
    ASSERT_TRUE(db.Find("dev", "level", ch));
    gateway::HistoryRange raw = db.Query(ch, 1000100, 1000199, 0);
    ASSERT_FALSE(raw.reduced);
    ASSERT_EQ(raw.samples.size(), 10u);  // 100 .. 190 ms
    for (size_t i = 0; i < raw.samples.size(); ++i) EXPECT_EQ(raw.samples[i].value.i, 100 + 10 * static_cast<int>(i));
    EXPECT_TRUE(raw.gaps.empty());

    // 100 samples into 4 buckets of 250 ms: the failed one counted, not in min/max.
    gateway::HistoryRange r = db.Query(ch, 1000000, 1000999, 4);
    ASSERT_TRUE(r.reduced);
    EXPECT_EQ(r.bucketMs, 250);
    ASSERT_EQ(r.buckets.size(), 4u);
    const double mins[] = {0, 250, 510, 750}, maxs[] = {240, 490, 740, 990};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r.buckets[i].fromMs, 1000000 + 250 * static_cast<int64_t>(i));
        EXPECT_EQ(r.buckets[i].count, 25u);
        EXPECT_EQ(r.buckets[i].failed, i == 2 ? 1u : 0u);
        EXPECT_EQ(r.buckets[i].min, mins[i]) << i;
        EXPECT_EQ(r.buckets[i].max, maxs[i]) << i;
    }
    ASSERT_EQ(r.gaps.size(), 1u);
    EXPECT_EQ(r.gaps[0].missing, 12u);
    EXPECT_EQ(db.Query(ch, 1000000, 1000999, 100).reduced, false) << "as many samples as points";

    // Pruning takes the oldest, in steps of at most the rows asked.
    EXPECT_EQ(db.Prune(1000100, 15), 15u);
    EXPECT_EQ(db.OldestMs(), 1000050);  // 10 of a, then 5 of b
    EXPECT_EQ(db.Prune(1000100, 1000), 5u);
    EXPECT_EQ(db.OldestMs(), 1000100);
}

TEST(DiskHistory, TimesAreReadAsIso8601OrEpochMilliseconds) {
    struct Case {
        const char* text;
        bool ok;
        int64_t ms;
    };
    const Case cases[] = {
        {"1765000000123", true, 1765000000123},
        {"2026-12-08T21:00:00Z", true, 1796763600000},
        {"2026-12-08T21:00:00.25Z", true, 1796763600250},
        {"2026-12-08T23:00:00+02:00", true, 1796763600000},
        {"2026-12-08 21:00", true, 1796763600000},
        {"2026-12-08", true, 1796688000000},
        {"2026-02-30", false, 0},
        {"2026-12-08T25:00", false, 0},
        {"yesterday", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        int64_t ms = 0;
        EXPECT_EQ(gateway::ParseHistoryTime(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
}

TEST(DiskHistory, ADatabaseThatCannotBeOpenedIsAnEventAndWritingResumesWithAGapForWhatWasMissed) {
    SiteFolder folder;
    MovingPlc plc;
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway gw(gateway::LoadSite(folder.Write("site.toml", plc.Line(folder, 5))), options);
    std::string dir = folder.Write("later", "");
    std::remove(dir.c_str());
    gateway::HistoryOptions ho;
    ho.path = dir + "/h.db";  // its folder is not there yet
    ho.retryMin = 20ms;
    ho.retryMax = 50ms;
    gateway::HistoryRecorder recorder(gw, ho, {});
    recorder.Start();
    gw.Start();
    auto await = [&](bool up) {
        gateway::HistoryEvent e;
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
            if (recorder.PopEvent(e)) return e.up == up ? e.reason : "wrong event: " + e.reason;
            std::this_thread::sleep_for(10ms);
        }
        return std::string("no event");
    };
    std::string down = await(false);
    EXPECT_NE(down.find("unable to open"), std::string::npos) << down;
    // Changes come meanwhile and are counted as missing.
    for (auto end = std::chrono::steady_clock::now() + 10s;
         recorder.Stats().missing == 0 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    EXPECT_EQ(await(true), "");
    for (auto end = std::chrono::steady_clock::now() + 10s;
         recorder.Stats().recorded < 20 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    gw.Stop();
    recorder.Stop();
    gateway::HistoryStats s = recorder.Stats();
    EXPECT_TRUE(s.up);
    EXPECT_EQ(s.downs, 1u);
    EXPECT_GE(s.recorded, 20u);
    EXPECT_GT(s.missing, 0u);
    EXPECT_EQ(Scalar(ho.path, "SELECT count(*) FROM sample"), std::to_string(s.recorded));
    EXPECT_EQ(Scalar(ho.path, "SELECT sum(missing) FROM gap"), std::to_string(s.missing));
}

// Sets or clears the immutable attribute of a file: writing it fails with
// EPERM, for root too. False where the file system or the process cannot.
bool Immutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

// A disk that fails the writer's writes, as root too: full (the process may
// write no file beyond its first byte: RLIMIT_FSIZE, SIGXFSZ ignored), or
// read only (the database and its log immutable).
struct DiskFault {
    const char* name;
    const char* reason;  // in the event's
    bool (*apply)(const std::string& db);
    void (*lift)(const std::string& db);
};

const DiskFault kDiskFaults[] = {
    {"full", "File too large",
     [](const std::string&) {
         signal(SIGXFSZ, SIG_IGN);
         rlimit limit{};
         getrlimit(RLIMIT_FSIZE, &limit);
         limit.rlim_cur = 1;
         return setrlimit(RLIMIT_FSIZE, &limit) == 0;
     },
     [](const std::string&) {
         rlimit limit{};
         getrlimit(RLIMIT_FSIZE, &limit);
         limit.rlim_cur = limit.rlim_max;  // the soft limit goes back up to the hard one
         setrlimit(RLIMIT_FSIZE, &limit);
         signal(SIGXFSZ, SIG_DFL);
     }},
    {"read only", "Operation not permitted",
     [](const std::string& db) { return Immutable(db, true) && Immutable(db + "-wal", true); },
     [](const std::string& db) {
         Immutable(db + "-wal", false);
         Immutable(db, false);
     }},
};

TEST(DiskHistory, AFullOrReadOnlyDiskIsAnEventPollingGoesOnAndWritingResumesWithAGap) {
    for (const DiskFault& fault : kDiskFaults) {
        SCOPED_TRACE(fault.name);
        SiteFolder folder;
        MovingPlc plc;
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gateway::Gateway gw(gateway::LoadSite(folder.Write("site.toml", plc.Line(folder, 5))), options);
        gateway::HistoryOptions ho;
        ho.path = folder.Write("h.db", "");
        std::remove(ho.path.c_str());
        ho.retryMin = 20ms;
        ho.retryMax = 50ms;
        gateway::HistoryRecorder recorder(gw, ho, {});
        recorder.Start();
        gw.Start();
        auto until = [](auto condition) {
            for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
                if (condition()) return true;
                std::this_thread::sleep_for(5ms);
            }
            return false;
        };
        // The next event of that kind (others skipped); its reason.
        auto event = [&](bool up) {
            gateway::HistoryEvent e;
            bool got = until([&] { return recorder.PopEvent(e) && e.up == up; });
            return got ? e.reason : std::string("no event");
        };
        EXPECT_TRUE(until([&] { return recorder.Stats().recorded >= 20; }));
        if (!fault.apply(ho.path)) {
            fault.lift(ho.path);
            gw.Stop();
            recorder.Stop();
            GTEST_SKIP() << "this file system cannot make a file immutable";
        }
        std::string reason = event(false);
        size_t scans = gw.Stats("a").scans;
        bool missed = until([&] { return recorder.Stats().missing > 0 && gw.Stats("a").scans > scans + 5; });
        gateway::HistoryStats down = recorder.Stats();
        fault.lift(ho.path);
        EXPECT_NE(reason.find(fault.reason), std::string::npos) << reason;
        EXPECT_FALSE(down.up);
        EXPECT_FALSE(down.reason.empty());
        EXPECT_TRUE(missed) << "polling goes on and the changes are counted as missing";
        EXPECT_EQ(event(true), "");
        uint64_t recorded = recorder.Stats().recorded;
        EXPECT_TRUE(until([&] { return recorder.Stats().recorded > recorded + 20; }));
        gw.Stop();
        recorder.Stop();
        gateway::HistoryStats s = recorder.Stats();
        EXPECT_TRUE(s.up);
        EXPECT_EQ(s.downs, 1u);
        EXPECT_EQ(Scalar(ho.path, "PRAGMA integrity_check"), "ok");
        EXPECT_EQ(Scalar(ho.path, "SELECT count(*) FROM sample"), std::to_string(s.recorded));
        EXPECT_EQ(Scalar(ho.path, "SELECT sum(missing) FROM gap"), std::to_string(s.missing));
    }
}

TEST(DiskHistory, DevgateKilledWhileWritingLeavesAnIntactDatabaseWithItsHistory) {
    SiteFolder folder;
    MovingPlc plc;
    std::string site = folder.Write("site.toml", "[history]\npath = \"h.db\"\n" + plc.Line(folder, 1));
    std::string db = folder.Write("h.db", "");
    std::remove(db.c_str());
    auto count = [&] { return std::atoll(("0" + Scalar(db, "SELECT count(*) FROM sample")).c_str()); };
    long long before = 0;
    for (int round = 0; round < 5; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(DEVGATE_PATH, DEVGATE_PATH, "run", site.c_str(), "--format", "jsonl", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Until this run has written a few batches, then a kill at a moment
        // that varies from round to round.
        for (auto end = std::chrono::steady_clock::now() + 20s;
             count() < before + 50 && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * round));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(Scalar(db, "PRAGMA integrity_check"), "ok") << "round " << round;
        long long now = count();
        EXPECT_GE(now, before + 50) << "round " << round;
        before = now;
    }
    // devgate history reads it: every sample a line after the header.
    std::string cmd = std::string(DEVGATE_PATH) + " history '" + site +
                      "' --device a --channel D100 --from 0 --format csv 2>/dev/null | wc -l";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    long lines = 0;
    EXPECT_EQ(std::fscanf(p, "%ld", &lines), 1);
    pclose(p);
    EXPECT_EQ(lines, 1 + std::atol(Scalar(db,
                                          "SELECT count(*) FROM sample s JOIN channel c ON s.channel = c.id"
                                          " WHERE c.element = 'D100'")
                                       .c_str()));
}
