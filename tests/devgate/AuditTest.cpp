// The audit record's file of JSON lines read back from its end, and records
// that could not be written (the queue full, the sink failing) written as a
// marker that says how many.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>

#include "gateway/Audit.h"

namespace {

gateway::AuditRecord Record(int64_t ms, const std::string& device) {
    gateway::AuditRecord r;
    r.ms = ms;
    r.face = "http";
    r.who = "alice";
    r.device = device;
    r.channel = "temp";
    r.asked = "77";
    r.before = "{\"value\":11}";
    r.meaning = "success";
    return r;
}

struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/devgate-audit-XXXXXX";
        ::close(::mkstemp(name));
        path = name;
    }
    ~TempFile() { std::remove(path.c_str()); }
};

std::vector<int64_t> Times(const std::vector<gateway::AuditRecord>& records) {
    std::vector<int64_t> ms;
    for (const auto& r : records) ms.push_back(r.ms);
    return ms;
}

// Fails its first batch, takes the others.
struct FailingOnce : gateway::AuditSink {
    std::unique_ptr<gateway::AuditFileSink> file;
    std::promise<void> failed;
    bool first = true;
    void Write(const std::vector<gateway::AuditRecord>& records) override {
        if (!first) return file->Write(records);
        first = false;
        failed.set_value();
        throw std::runtime_error("disk full");
    }
};

TEST(AuditFile, AQueryTakesTheNewestMatchingRecordsAndSkipsLinesThatAreNone) {
    TempFile file;
    gateway::AuditRecord b = Record(2000, "b");
    b.asked = "\"\xff\xc0\x80\"";  // bytes an MQTT payload may hold, no UTF-8
    gateway::AuditFileSink(file.path).Write({Record(1000, "a"), b, Record(3000, "a")});
    std::ofstream(file.path, std::ios::app) << "not json\n{\"ms\":4000,\"device\":\"a\"";  // a torn last line
    constexpr int64_t kMin = INT64_MIN, kMax = INT64_MAX;
    struct Case {
        const char* what;
        gateway::AuditQuery query;
        std::vector<int64_t> ms;
    } const cases[] = {
        {"every record, newest first", {}, {3000, 2000, 1000}},
        {"one device's", {kMin, kMax, "a", 100}, {3000, 1000}},
        {"from and to, both included", {2000, 3000, "", 100}, {3000, 2000}},
        {"at most the limit", {kMin, kMax, "", 2}, {3000, 2000}},
    };
    for (const Case& c : cases) EXPECT_EQ(Times(gateway::ReadAuditFile(file.path, c.query)), c.ms) << c.what;
    auto read = gateway::ReadAuditFile(file.path, {});
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(gateway::AuditJson(read.back()), gateway::AuditJson(Record(1000, "a"))) << "read back as written";
}

TEST(AuditFile, RecordsAcrossTheReadersChunksComeBackWholeAndInOrder) {
    // 3000 records of about 200 bytes: 600 KB, ten chunks of 64 KiB, lines
    // cut at every chunk's start.
    TempFile file;
    std::vector<gateway::AuditRecord> records;
    for (int64_t ms = 1; ms <= 3000; ++ms) records.push_back(Record(ms, "a"));
    gateway::AuditFileSink(file.path).Write(records);
    auto read = gateway::ReadAuditFile(file.path, {std::numeric_limits<int64_t>::min(), 2000, "", 1000});
    ASSERT_EQ(read.size(), 1000u);
    for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i].ms, 2000 - static_cast<int64_t>(i));
}

TEST(AuditWriter, RecordsThatCouldNotBeWrittenAreCountedAndMarked) {
    TempFile file;
    // A queue of 2 that was given 5: 3 dropped.
    auto queue = std::make_shared<gateway::AuditQueue>(2);
    for (int64_t ms = 1; ms <= 5; ++ms) queue->Push(Record(ms, "a"));
    {
        gateway::AuditWriter writer(queue, std::make_unique<gateway::AuditFileSink>(file.path));
        writer.Start();
        writer.Stop();  // writes what the queue holds
        EXPECT_EQ(writer.Health()[1].value, 3.0) << "audit_lost_total";
    }
    auto read = gateway::ReadAuditFile(file.path, {});
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].ms, 2);
    EXPECT_EQ(read[2].lost, 3u);
    EXPECT_EQ(read[2].meaning, "3 audit records were lost");

    // A sink that fails a batch: those records are lost, the marker follows.
    auto sink = std::make_unique<FailingOnce>();
    sink->file = std::make_unique<gateway::AuditFileSink>(file.path);
    std::future<void> failed = sink->failed.get_future();
    auto again = std::make_shared<gateway::AuditQueue>();
    gateway::AuditWriter writer(again, std::move(sink));
    again->Push(Record(6, "a"));
    again->Push(Record(7, "a"));
    writer.Start();
    failed.wait();
    writer.Stop();
    read = gateway::ReadAuditFile(file.path, {});
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[0].lost, 2u) << "no record of the failed batch, a marker of 2";
}

}  // namespace
