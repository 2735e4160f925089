// The audit table of the history database, and the audit writer's sink
// that writes to it.
#include "gateway/HistoryAudit.h"

#include <sqlite3.h>

#include <memory>

namespace gateway {

namespace {

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

std::string Column(sqlite3_stmt* s, int i) {
    const unsigned char* text = sqlite3_column_text(s, i);
    return text != nullptr
               ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(s, i)))
               : std::string();
}

}  // namespace

void HistoryDb::AppendAudit(const std::vector<AuditRecord>& records) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "INSERT INTO audit(ms, face, who, device, channel, command, asked, before, code, meaning,"
                           " refused, lost) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &raw, nullptr) != SQLITE_OK)
        Throw("cannot be written");
    Statement s(raw);
    Exec("BEGIN IMMEDIATE");
    for (const AuditRecord& r : records) {
        sqlite3_bind_int64(raw, 1, r.ms);
        const std::string* texts[] = {&r.face, &r.who, &r.device, &r.channel, &r.command, &r.asked, &r.before};
        for (int i = 0; i < 7; ++i) sqlite3_bind_text(raw, 2 + i, texts[i]->c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(raw, 9, r.code);
        sqlite3_bind_text(raw, 10, r.meaning.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 11, r.refused.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw, 12, static_cast<int64_t>(r.lost));
        int rc = sqlite3_step(raw);
        sqlite3_reset(raw);
        if (rc != SQLITE_DONE) Throw("cannot be written");  // rolled back at the next BEGIN
    }
    Exec("COMMIT");
}

size_t HistoryDb::PruneAudit(int64_t beforeMs) {
    std::string sql = "DELETE FROM audit WHERE ms < " + std::to_string(beforeMs);
    Exec(sql.c_str());
    return static_cast<size_t>(sqlite3_changes(m_db));
}

std::vector<AuditRecord> HistoryDb::Audit(const AuditQuery& query) {
    std::vector<AuditRecord> out;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT ms, face, who, device, channel, command, asked, before, code, meaning, refused, lost"
                           " FROM audit WHERE ms BETWEEN ?1 AND ?2 AND (?3 = '' OR device = ?3 OR lost > 0)"
                           " ORDER BY ms DESC, id DESC LIMIT ?4",
                           -1, &raw, nullptr) != SQLITE_OK) {
        // A database from before the audit table, opened read only.
        Statement probe;
        if (sqlite3_prepare_v2(m_db, "SELECT 1 FROM sqlite_master WHERE name = 'audit'", -1, &raw, nullptr) ==
            SQLITE_OK) {
            probe.reset(raw);
            if (sqlite3_step(raw) == SQLITE_DONE) return out;
        }
        Throw("cannot be read");
    }
    Statement s(raw);
    sqlite3_bind_int64(raw, 1, query.fromMs);
    sqlite3_bind_int64(raw, 2, query.toMs);
    sqlite3_bind_text(raw, 3, query.device.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 4, static_cast<int64_t>(query.limit));
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        AuditRecord r;
        r.ms = sqlite3_column_int64(raw, 0);
        std::string* texts[] = {&r.face, &r.who, &r.device, &r.channel, &r.command, &r.asked, &r.before};
        for (int i = 0; i < 7; ++i) *texts[i] = Column(raw, 1 + i);
        r.code = sqlite3_column_int(raw, 8);
        r.meaning = Column(raw, 9);
        r.refused = Column(raw, 10);
        r.lost = static_cast<uint64_t>(sqlite3_column_int64(raw, 11));
        out.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) Throw("cannot be read");
    return out;
}

AuditDbSink::AuditDbSink(std::string path, unsigned retentionDays)
    : m_path(std::move(path)), m_retentionDays(retentionDays) {}

AuditDbSink::~AuditDbSink() = default;

void AuditDbSink::Write(const std::vector<AuditRecord>& records) {
    try {
        if (!m_db) m_db = std::make_unique<HistoryDb>(m_path, HistoryDb::Mode::Write);
        m_db->AppendAudit(records);
        // Kept as long as the samples: pruned by age only, once an hour.
        auto now = std::chrono::steady_clock::now();
        if (now >= m_pruneAt) {
            m_pruneAt = now + std::chrono::hours(1);
            int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
            m_db->PruneAudit(nowMs - static_cast<int64_t>(m_retentionDays) * 86400000);
        }
    } catch (const HistoryError&) {
        m_db.reset();  // opened again at the next batch
        throw;
    }
}

}  // namespace gateway
