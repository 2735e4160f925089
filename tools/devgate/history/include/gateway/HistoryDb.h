// The history on disk: one SQLite database a site, in WAL mode, so that
// readers (devgate history, the faces) read while the writer writes.
//
// Tables (see the README's "History on disk"):
//   channel(id, device, name, element, type)          the recorded channels
//   sample(channel, ms, id, value, status, code)      clustered by channel and time
//   gap(id, from_ms, to_ms, missing)                  changes that could not be recorded
//   meta(key, value)                                  next_id: the next sample's id; the
//                                                     MQTT face's positions
//   audit(id, ms, face, who, device, channel, command, asked, before, code, meaning, refused, lost)
//                                                     the audit record (gateway/Audit.h)
// Every sample has an id that grows with every row written, never reused; an
// index on it (sample_order, made when asked for) lets a follower read the
// samples in the order written.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gateway/Audit.h"
#include "gateway/Gateway.h"

struct sqlite3;
struct sqlite3_stmt;

namespace gateway {

class HistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HistorySample {
    int64_t id = 0;
    int64_t ms = 0;  // when the value was stored, since the epoch
    Status status = Status::Ok;
    int code = 0;  // Failed: the collection step's code
    bool hasValue = false;
    toolkit::Value value;
};

struct HistoryGap {
    int64_t fromMs = 0;
    int64_t toMs = 0;
    uint64_t missing = 0;  // changes not recorded between fromMs and toMs
};

// The samples of one bucket of a reduced range: [fromMs, fromMs + width).
struct HistoryBucket {
    int64_t fromMs = 0;
    uint64_t count = 0;       // samples
    uint64_t failed = 0;      // of them failed or without a value
    double min = 0, max = 0;  // of the values (count > failed)
};

struct HistoryChannel {
    int id = 0;
    std::string device, name, element;
    DATATYPE type = DATATYPE_NONE;
};

// A range of one channel: the samples, or when there are more than the
// points asked for (numbers only), buckets of min and max instead.
struct HistoryRange {
    bool reduced = false;
    int64_t bucketMs = 0;  // reduced: each bucket's width
    std::vector<HistorySample> samples;
    std::vector<HistoryBucket> buckets;  // reduced: the buckets with samples only
    std::vector<HistoryGap> gaps;        // overlapping the range
};

class HistoryDb {
public:
    // Write: the recorder, the one writer of samples; Read: queries only;
    // Follow: reads the samples in the order written and keeps its own
    // position in meta (short transactions of its own; the database must
    // exist, with the index on the ids).
    enum class Mode { Write, Read, Follow };
    // Opens the database (Write: creates it and its tables, and with
    // orderIndex the index on the samples' ids that Follow needs); throws
    // HistoryError with the reason.
    HistoryDb(const std::string& path, Mode mode, bool orderIndex = false);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Write side. The channel's id, registered if new.
    int Register(const std::string& device, const std::string& name, const std::string& element, DATATYPE type);
    struct Row {
        int channel = 0;  // a Register id
        int64_t ms = 0;
        Status status = Status::Ok;
        int code = 0;
        bool hasValue = false;
        toolkit::Value value;
    };
    // One transaction; throws HistoryError (nothing written) when it fails.
    void Append(const std::vector<Row>& rows, const std::vector<HistoryGap>& gaps);
    // Deletes samples (and gaps) older than beforeMs, at most about maxRows
    // in one transaction; returns how many samples went.
    size_t Prune(int64_t beforeMs, size_t maxRows);
    // Bytes of the pages in use (the file less its free pages).
    int64_t UsedBytes();
    // The oldest sample's time; INT64_MAX when there is none.
    int64_t OldestMs();

    // The audit record, one transaction; throws HistoryError (nothing written).
    void AppendAudit(const std::vector<AuditRecord>& records);
    // Deletes audit records older than beforeMs; returns how many went.
    size_t PruneAudit(int64_t beforeMs);

    // Read side. The audit records the query takes, newest first (none in a
    // database from before the audit table).
    std::vector<AuditRecord> Audit(const AuditQuery& query);
    // The channel of the device by name or element.
    bool Find(const std::string& device, const std::string& channel, HistoryChannel& out);
    // Every sample of the channel from fromMs to toMs (both included), in
    // order of time, to each.
    void Samples(int channel, int64_t fromMs, int64_t toMs, const std::function<void(const HistorySample&)>& each);
    // The range, reduced to at most points buckets when it has more samples
    // (0: never reduced).
    // At most most samples of the channel after the sample (afterMs, afterId)
    // up to toMs, in order of time, to each (afterId 0: from afterMs on,
    // afterMs included); returns how many. Pages through a range without
    // holding a read open between the pages.
    size_t SamplesAfter(int channel, int64_t afterMs, int64_t afterId, int64_t toMs, size_t most,
                        const std::function<void(const HistorySample&)>& each);
    HistoryRange Query(const HistoryChannel& channel, int64_t fromMs, int64_t toMs, size_t points);
    std::vector<HistoryGap> Gaps(int64_t fromMs, int64_t toMs);

    // Follow side. At most max samples with an id above afterId, in the order
    // written, each with its channel's device and name.
    void After(
        int64_t afterId, size_t max,
        const std::function<void(const HistorySample&, const std::string& device, const std::string& name)>& each);
    // At most max gap rows with an id above afterId, in the order written.
    std::vector<std::pair<int64_t, HistoryGap>> GapsAfter(int64_t afterId, size_t max);
    // The id of the last sample written (0: none yet); the id of the oldest
    // sample still kept (0: none).
    int64_t LastId();
    int64_t OldestId();
    // A meta value as text; false when there is none.
    bool Meta(const std::string& key, std::string& value);
    // Sets a meta value in a transaction of its own; throws HistoryError.
    void SetMeta(const std::string& key, const std::string& value);

private:
    sqlite3_stmt* Prepare(const char* sql);
    void Exec(const char* sql);
    [[noreturn]] void Throw(const std::string& what);
    std::string Why();  // the last fault's reason

    sqlite3* m_db = nullptr;
    std::vector<sqlite3_stmt*> m_statements;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_insertGap = nullptr;
    sqlite3_stmt* m_setNext = nullptr;
    int64_t m_nextId = 1;
};

// Milliseconds since the epoch from ISO 8601 (2026-12-08T21:00:00Z,
// fractions of seconds and an offset allowed, no zone: UTC; a date alone:
// its midnight UTC) or from the number of milliseconds itself.
bool ParseHistoryTime(const std::string& text, int64_t& ms);

}  // namespace gateway
