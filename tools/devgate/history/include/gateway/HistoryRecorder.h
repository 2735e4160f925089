// Records the changes of a gateway's channels in its history on disk.
//
// A subscriber of the change feed: the feed's bounded queue is the only
// thing a line ever touches, so writing never holds up a line. One writer
// thread takes what the queue holds, keeps the changes the site's rules ask
// for (RecordFilter), and writes them in batches, one transaction at most
// every 100 ms or every 4096 rows. What the queue had to drop, or what could
// not be written while the database was down, is recorded as a gap (from,
// to, how many) once writing works again. A database that cannot be opened
// or written is an event ("history down" and the reason); the writer tries
// again after a pause (1 s, doubling up to 30 s) and goes on where it can.
// Samples older than the retention, or the oldest when the database holds
// more than its bound, are pruned in steps of at most 2000 rows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Face.h"
#include "gateway/Gateway.h"
#include "gateway/HistoryDb.h"

namespace gateway {

// Which changes of which channels are recorded: every change of status or
// code, a value that moved at least the deadband from the last recorded one,
// the same value again after the heartbeat, nothing where record is false.
class RecordFilter {
public:
    // rules[d][c]: of channel c of device d (the gateway's order).
    explicit RecordFilter(std::vector<std::vector<RecordRule>> rules);
    // Whether this reading of channel c of device d at ms is recorded; if so,
    // it becomes the last recorded one.
    bool Take(size_t d, size_t c, const Reading& reading, int64_t ms);
    // Forgets every last recorded reading: the next of each is recorded.
    void Reset();

private:
    struct Last {
        bool any = false;
        Status status = Status::NeverRead;
        int code = 0;
        bool hasValue = false;
        toolkit::Value value;
        int64_t ms = 0;
    };
    std::vector<std::vector<RecordRule>> m_rules;
    std::vector<std::vector<Last>> m_last;
};

struct HistoryOptions {
    std::string path;
    unsigned retentionDays = 30;
    uint64_t maxBytes = 1024ull << 20;
    size_t queue = 32768;  // changes waiting for the writer
    std::chrono::milliseconds batchTime{100};
    size_t batchRows = 4096;
    std::chrono::milliseconds retryMin{1000}, retryMax{30000};
    bool orderIndex = false;  // the index a follower of the samples needs (HistoryDb)
};

struct HistoryStats {
    bool up = false;
    std::string reason;     // why it is down
    uint64_t recorded = 0;  // samples written
    uint64_t missing = 0;   // changes not recorded (queue full, database down)
    uint64_t gaps = 0;      // gap rows written
    uint64_t downs = 0;     // times it went down
    uint64_t pruned = 0;    // samples deleted by retention
    uint64_t batches = 0;   // transactions
};

// "history down" (up false, the reason) or "history up".
struct HistoryEvent {
    SystemTime time{};
    bool up = false;
    std::string reason;
};

class HistoryRecorder : public Face {
public:
    // rules: each device's, one a channel, by device name (none: every change
    // recorded). Subscribes at once, so that nothing stored
    // after construction is missed; writing starts with Start().
    HistoryRecorder(Gateway& gateway, HistoryOptions options,
                    const std::map<std::string, std::vector<RecordRule>>& rules);
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    void Start() override;
    // Writes what the queue still holds, then ends the writer.
    void Stop() override;
    std::string Name() const override { return "history"; }
    // Up, samples recorded, changes not recorded, feed drops.
    std::vector<HealthItem> Health() const override;
    HistoryStats Stats() const;
    // The oldest event not taken yet (at most 64 are kept).
    bool PopEvent(HistoryEvent& event);

private:
    void Run();
    void Open();
    void Flush();
    void Prune();
    void Down(const std::string& reason);
    void Lost(uint64_t count, int64_t fromMs, int64_t toMs);

    Gateway& m_gateway;
    HistoryOptions m_options;
    RecordFilter m_filter;
    std::shared_ptr<Subscription> m_sub;
    std::unique_ptr<HistoryDb> m_db;
    std::vector<std::vector<int>> m_ids;  // channel ids, by device and channel
    std::vector<HistoryDb::Row> m_batch;
    std::vector<std::pair<int, int>> m_where;  // of each row: device and channel
    std::vector<HistoryGap> m_gaps;
    HistoryGap m_lost;  // not yet in m_gaps
    unsigned long m_dropped = 0;
    int64_t m_checkedMs = 0;
    std::chrono::steady_clock::time_point m_retryAt{}, m_prunedAt{};
    std::chrono::milliseconds m_retry{0};
    bool m_overSize = false;
    mutable std::mutex m_mutex;  // m_stats, m_events
    HistoryStats m_stats;
    std::deque<HistoryEvent> m_events;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The history of the site (path: the site's, or override when given) and
// the rules of its devices by name; path empty when the site
// keeps none.
struct HistorySetup {
    HistoryOptions options;
    std::map<std::string, std::vector<RecordRule>> rules;
};
HistorySetup HistorySetupOf(const Site& site, const std::string& overridePath);

}  // namespace gateway
