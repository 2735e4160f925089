// The audit record: every write and command from every face, accepted or
// refused, with who asked, what was asked, the channel's reading before and
// the outcome.
//
// The gateway hands each record to a bounded queue (AuditQueue) and never
// waits on it; one writer thread (AuditWriter) takes the records to a sink:
// the audit table of the history database, or a file of JSON lines. What the
// queue had to drop, or the sink could not take, is counted and written as a
// marker record once the sink works again, so no record vanishes unnoticed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Face.h"
#include "toolkit/ValueRule.h"

namespace gateway {

struct AuditRecord {
    int64_t ms = 0;  // when the request was taken, since the epoch
    std::string face;
    std::string who;  // the user or token, else the client's address; MQTT: the topic
    std::string device;
    std::string channel;  // a write: the channel's name ("#N" for no such channel)
    std::string command;  // a command: its text
    std::string asked;    // JSON: the value asked, or a command's variables {"name":value}
    std::string before;   // JSON: the channel's reading when the request was taken; null for a command
    int code = 0;
    std::string meaning;
    std::string refused;  // why it was refused before anything was sent; empty when it was not
    uint64_t lost = 0;    // a marker: this many records before it were lost
};

// One line of JSON, without the newline:
// {"time":"..","ms":..,"face":..,"who":..,"device":..,"channel":..,"command":..,
//  "asked":..,"before":..,"code":..,"meaning":..,"refused":..,"lost":..}
std::string AuditJson(const AuditRecord& record);
// The record of such a line; false when it is none.
bool AuditFromJson(const std::string& line, AuditRecord& record);
// The value as asked, as JSON: a string, or the number as written.
std::string AskedJson(const toolkit::Asked& asked);
// The marker of count lost records, at ms.
AuditRecord LostMarker(uint64_t count, int64_t ms);

// Which records GET /api/audit asks for: from .. to (ms, both included), of
// one device or (empty) all, at most limit, newest first.
struct AuditQuery {
    int64_t fromMs = std::numeric_limits<int64_t>::min();
    int64_t toMs = std::numeric_limits<int64_t>::max();
    std::string device;
    size_t limit = 100;
    bool Takes(const AuditRecord& r) const {
        return r.ms >= fromMs && r.ms <= toMs && (device.empty() || r.device == device || r.lost > 0);
    }
};
// Reads the record; throws std::runtime_error with the reason.
using AuditReader = std::function<std::vector<AuditRecord>(const AuditQuery&)>;

// The records waiting for the writer: bounded; a record that does not fit
// is dropped and counted. Push never blocks.
class AuditQueue {
public:
    explicit AuditQueue(size_t capacity = 4096) : m_capacity(capacity) {}
    void Push(AuditRecord record);
    // The next record, waiting at most timeout; false when none came.
    bool Pop(AuditRecord& record, std::chrono::milliseconds timeout);
    // Records lost (dropped here or not taken by the sink) since the last call.
    uint64_t TakeLost();
    // count records lost now; again: a marker's count not written, owed again.
    void NoteLost(uint64_t count, uint64_t again = 0);
    uint64_t Lost() const;
    // Records the sink took; the queue outlives its writers (a reload makes new ones).
    void NoteWritten(uint64_t count);
    uint64_t Written() const;

private:
    // The counts are under the mutex, not atomic: 64-bit atomics take a
    // library of their own on ARMv5.
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<AuditRecord> m_queue;
    size_t m_capacity;
    uint64_t m_lost = 0;  // not yet marked
    uint64_t m_lostTotal = 0;
    uint64_t m_written = 0;
};

// Where the writer puts the records.
class AuditSink {
public:
    virtual ~AuditSink() = default;
    // All or none; throws std::runtime_error with the reason.
    virtual void Write(const std::vector<AuditRecord>& records) = 0;
    // Opens the file again (after it was rotated); called on the writer's thread.
    virtual void Reopen() {}
};

// A file of JSON lines, appended and flushed record by record. Rotated from
// outside (logrotate): Reopen() after the rename, on SIGHUP.
class AuditFileSink : public AuditSink {
public:
    // Opened at the first Write (or Reopen), which throws std::runtime_error
    // when it cannot be.
    explicit AuditFileSink(std::string path);
    ~AuditFileSink() override;
    void Write(const std::vector<AuditRecord>& records) override;
    void Reopen() override;

private:
    std::string m_path;
    int m_fd = -1;
};

// The newest records of such a file that the query takes, read from its end,
// at most maxScan bytes back; throws std::runtime_error when it cannot be read.
std::vector<AuditRecord> ReadAuditFile(const std::string& path, const AuditQuery& query,
                                       size_t maxScan = size_t{64} << 20);

// The writer's state, for /api/stats.
struct AuditStats {
    bool up = true;  // the last batch was written
    uint64_t written = 0;
    uint64_t lost = 0;
};

// The writer: one thread from the queue to the sink, a batch at a time. A
// sink that fails is tried again after a pause (1 s, doubling up to 30 s);
// what it could not take is counted lost.
class AuditWriter : public Face {
public:
    AuditWriter(std::shared_ptr<AuditQueue> queue, std::unique_ptr<AuditSink> sink);
    ~AuditWriter() override;
    std::string Name() const override { return "audit"; }
    void Start() override;
    // Writes what the queue holds, then ends the thread.
    void Stop() override;
    // Records written, records lost, whether the sink works.
    std::vector<HealthItem> Health() const override;
    // The sink opens its file again, on the writer's thread.
    void Reopen() { m_reopen = true; }
    uint64_t Written() const { return m_queue->Written(); }
    uint64_t Lost() const { return m_queue->Lost(); }
    AuditStats Stats() const { return {m_up.load(), Written(), Lost()}; }

private:
    void Run();
    std::shared_ptr<AuditQueue> m_queue;
    std::unique_ptr<AuditSink> m_sink;
    std::atomic<bool> m_up{true}, m_stop{false}, m_reopen{false};
    std::thread m_thread;
};

}  // namespace gateway
