#include "gateway/HistoryDb.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

namespace gateway {

namespace {

// status column: 0 read, 1 failed, 2 write only
int StatusNumber(Status s) { return s == Status::Failed ? 1 : s == Status::WriteOnly ? 2 : 0; }
Status StatusOf(int n) { return n == 1 ? Status::Failed : n == 2 ? Status::WriteOnly : Status::Ok; }

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

// A statement used once; throws HistoryError when it cannot be prepared.
Statement Once(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw HistoryError(std::string("cannot be read: ") + sqlite3_errmsg(db));
    return Statement(s);
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS channel(id INTEGER PRIMARY KEY, device TEXT NOT NULL, name TEXT NOT NULL,"
    " element TEXT NOT NULL, type INTEGER NOT NULL, UNIQUE(device, name, element));"
    "CREATE TABLE IF NOT EXISTS sample(channel INTEGER NOT NULL, ms INTEGER NOT NULL, id INTEGER NOT NULL, value,"
    " status INTEGER NOT NULL DEFAULT 0, code INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(channel, ms, id)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS gap(id INTEGER PRIMARY KEY, from_ms INTEGER NOT NULL, to_ms INTEGER NOT NULL,"
    " missing INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS audit(id INTEGER PRIMARY KEY, ms INTEGER NOT NULL, face TEXT NOT NULL,"
    " who TEXT NOT NULL, device TEXT NOT NULL, channel TEXT NOT NULL, command TEXT NOT NULL, asked TEXT NOT NULL,"
    " before TEXT NOT NULL, code INTEGER NOT NULL, meaning TEXT NOT NULL, refused TEXT NOT NULL,"
    " lost INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS audit_ms ON audit(ms);"
    "INSERT OR IGNORE INTO meta VALUES('next_id', 1);"
    "PRAGMA user_version = 1;";

// A sample from columns id, ms, value, status, code (0 to 4).
void SampleOf(sqlite3_stmt* q, HistorySample& x) {
    x.id = sqlite3_column_int64(q, 0);
    x.ms = sqlite3_column_int64(q, 1);
    x.status = StatusOf(sqlite3_column_int(q, 3));
    x.code = sqlite3_column_int(q, 4);
    int type = sqlite3_column_type(q, 2);
    x.hasValue = type != SQLITE_NULL;
    x.value.type = type == SQLITE_INTEGER ? DATATYPE_INT
                   : type == SQLITE_FLOAT ? DATATYPE_DOUBLE
                   : type == SQLITE_NULL  ? DATATYPE_NONE
                                          : DATATYPE_STRING;
    x.value.i = type == SQLITE_INTEGER ? sqlite3_column_int(q, 2) : 0;
    x.value.d = type == SQLITE_FLOAT ? sqlite3_column_double(q, 2) : 0.0;
    x.value.s.clear();
    if (x.value.type == DATATYPE_STRING)
        x.value.s.assign(reinterpret_cast<const char*>(sqlite3_column_text(q, 2)),
                         static_cast<size_t>(sqlite3_column_bytes(q, 2)));
}

}  // namespace

HistoryDb::HistoryDb(const std::string& path, Mode mode, bool orderIndex) {
    int flags = mode == Mode::Write    ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                : mode == Mode::Follow ? SQLITE_OPEN_READWRITE
                                       : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string why = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw HistoryError(path + ": " + why);
    }
    try {
        sqlite3_busy_timeout(m_db, 5000);
        if (mode == Mode::Write) {
            // WAL: readers go on while the writer writes; NORMAL: a crash of
            // the process loses nothing committed, a power cut at most the
            // last transactions, and never corrupts the file.
            sqlite3_stmt* wal = Prepare("PRAGMA journal_mode = WAL");
            bool walSet = sqlite3_step(wal) == SQLITE_ROW &&
                          std::string(reinterpret_cast<const char*>(sqlite3_column_text(wal, 0))) == "wal";
            sqlite3_reset(wal);
            if (!walSet) Throw("WAL mode cannot be set");
            Exec("PRAGMA synchronous = NORMAL");
            Exec("BEGIN IMMEDIATE");
            Exec(kSchema);
            // About 20 bytes a sample more: only for a follower (built once,
            // in this transaction, on a database that has samples already).
            if (orderIndex) Exec("CREATE INDEX IF NOT EXISTS sample_order ON sample(id)");
            Exec("COMMIT");
            sqlite3_stmt* next = Prepare("SELECT value FROM meta WHERE key = 'next_id'");
            if (sqlite3_step(next) == SQLITE_ROW) m_nextId = sqlite3_column_int64(next, 0);
            sqlite3_reset(next);  // no read transaction left open
            m_insert = Prepare("INSERT INTO sample(channel, ms, id, value, status, code) VALUES(?, ?, ?, ?, ?, ?)");
            m_insertGap = Prepare("INSERT INTO gap(from_ms, to_ms, missing) VALUES(?, ?, ?)");
            m_setNext = Prepare("UPDATE meta SET value = ? WHERE key = 'next_id'");
        } else if (mode == Mode::Follow) {
            Prepare("SELECT id FROM sample INDEXED BY sample_order LIMIT 0");  // written with the index
        } else {
            Prepare("SELECT id FROM channel LIMIT 0");  // a history database at all
        }
    } catch (...) {
        for (sqlite3_stmt* s : m_statements) sqlite3_finalize(s);
        sqlite3_close_v2(m_db);
        throw;
    }
}

HistoryDb::~HistoryDb() {
    for (sqlite3_stmt* s : m_statements) sqlite3_finalize(s);
    sqlite3_close_v2(m_db);
}

void HistoryDb::Throw(const std::string& what) { throw HistoryError(what + ": " + Why()); }

std::string HistoryDb::Why() {
    // SQLite's "disk I/O error" says nothing of a full or read-only disk:
    // the system's reason follows it (SQLite keeps it for some faults only;
    // else it is the failed write's, read before any other call).
    int e = sqlite3_system_errno(m_db);
    if (e == 0) e = errno;
    std::string why = sqlite3_errmsg(m_db);
    int code = sqlite3_extended_errcode(m_db) & 0xff;
    if (e != 0 && (code == SQLITE_IOERR || code == SQLITE_FULL)) why += std::string(" (") + std::strerror(e) + ")";
    return why;
}

sqlite3_stmt* HistoryDb::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) Throw("not a history");
    m_statements.push_back(s);
    return s;
}

void HistoryDb::Exec(const char* sql) {
    if (std::string(sql).rfind("BEGIN", 0) == 0 && sqlite3_get_autocommit(m_db) == 0)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);  // left open by a failure before
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Throw("cannot be written");
}

int HistoryDb::Register(const std::string& device, const std::string& name, const std::string& element, DATATYPE type) {
    Statement s = Once(m_db,
                       "INSERT INTO channel(device, name, element, type) VALUES(?1, ?2, ?3, ?4)"
                       " ON CONFLICT DO UPDATE SET type = ?4 RETURNING id");
    sqlite3_bind_text(s.get(), 1, device.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 3, element.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s.get(), 4, static_cast<int>(type));
    if (sqlite3_step(s.get()) != SQLITE_ROW) Throw("cannot be written");
    return sqlite3_column_int(s.get(), 0);
}

void HistoryDb::Append(const std::vector<Row>& rows, const std::vector<HistoryGap>& gaps) {
    Exec("BEGIN IMMEDIATE");
    int64_t id = m_nextId;
    auto step = [this](sqlite3_stmt* s) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) {
            std::string why = Why();
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw HistoryError("cannot be written: " + why);
        }
    };
    for (const Row& r : rows) {
        sqlite3_bind_int(m_insert, 1, r.channel);
        sqlite3_bind_int64(m_insert, 2, r.ms);
        sqlite3_bind_int64(m_insert, 3, id++);
        if (!r.hasValue)
            sqlite3_bind_null(m_insert, 4);
        else if (r.value.type == DATATYPE_INT)
            sqlite3_bind_int(m_insert, 4, r.value.i);
        else if (r.value.type == DATATYPE_DOUBLE)
            sqlite3_bind_double(m_insert, 4, r.value.d);  // NaN: NULL
        else
            sqlite3_bind_text(m_insert, 4, r.value.s.data(), static_cast<int>(r.value.s.size()), SQLITE_STATIC);
        sqlite3_bind_int(m_insert, 5, StatusNumber(r.status));
        sqlite3_bind_int(m_insert, 6, r.code);
        step(m_insert);
    }
    for (const HistoryGap& g : gaps) {
        sqlite3_bind_int64(m_insertGap, 1, g.fromMs);
        sqlite3_bind_int64(m_insertGap, 2, g.toMs);
        sqlite3_bind_int64(m_insertGap, 3, static_cast<int64_t>(g.missing));
        step(m_insertGap);
    }
    sqlite3_bind_int64(m_setNext, 1, id);
    step(m_setNext);
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::string why = Why();
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw HistoryError("cannot be written: " + why);
    }
    m_nextId = id;
}

size_t HistoryDb::Prune(int64_t beforeMs, size_t maxRows) {
    // Channel by channel, each at most maxRows of its oldest: every step a
    // short transaction, so that writing never waits long.
    std::vector<int> channels;
    for (Statement s = Once(m_db, "SELECT id FROM channel"); sqlite3_step(s.get()) == SQLITE_ROW;)
        channels.push_back(sqlite3_column_int(s.get(), 0));
    Statement s = Once(m_db,
                       "DELETE FROM sample WHERE channel = ?1 AND ms < coalesce((SELECT ms FROM sample WHERE channel ="
                       " ?1 AND ms < ?2 ORDER BY ms LIMIT 1 OFFSET ?3), ?2)");
    size_t deleted = 0;
    Exec("BEGIN IMMEDIATE");
    for (size_t i = 0; i < channels.size() && deleted < maxRows; ++i) {
        sqlite3_bind_int(s.get(), 1, channels[i]);
        sqlite3_bind_int64(s.get(), 2, beforeMs);
        sqlite3_bind_int64(s.get(), 3, static_cast<int64_t>(maxRows - deleted));
        int rc = sqlite3_step(s.get());
        sqlite3_reset(s.get());
        if (rc != SQLITE_DONE) Throw("cannot be pruned");  // rolled back at the next BEGIN
        deleted += static_cast<size_t>(sqlite3_changes(m_db));
    }
    std::string gaps = "DELETE FROM gap WHERE to_ms < " + std::to_string(beforeMs);
    Exec(gaps.c_str());
    Exec("COMMIT");
    return deleted;
}

int64_t HistoryDb::UsedBytes() {
    Statement s = Once(m_db,
                       "SELECT (SELECT page_count FROM pragma_page_count()) - (SELECT freelist_count FROM"
                       " pragma_freelist_count()), (SELECT page_size FROM pragma_page_size())");
    return sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) * sqlite3_column_int64(s.get(), 1)
                                               : 0;
}

int64_t HistoryDb::OldestMs() {
    Statement s =
        Once(m_db, "SELECT min((SELECT ms FROM sample WHERE channel = c.id ORDER BY ms LIMIT 1)) FROM channel c");
    if (sqlite3_step(s.get()) != SQLITE_ROW || sqlite3_column_type(s.get(), 0) == SQLITE_NULL)
        return std::numeric_limits<int64_t>::max();
    return sqlite3_column_int64(s.get(), 0);
}

bool HistoryDb::Find(const std::string& device, const std::string& channel, HistoryChannel& out) {
    // By name first, then by element, as the site names channels.
    Statement s = Once(m_db,
                       "SELECT id, name, element, type FROM channel WHERE device = ?1 AND (name = ?2 OR element = ?2)"
                       " ORDER BY name = ?2 DESC, id DESC LIMIT 1");
    sqlite3_bind_text(s.get(), 1, device.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 2, channel.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return false;
    out.id = sqlite3_column_int(s.get(), 0);
    out.device = device;
    out.name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
    out.element = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 2));
    out.type = static_cast<DATATYPE>(sqlite3_column_int(s.get(), 3));
    return true;
}

void HistoryDb::Samples(int channel, int64_t fromMs, int64_t toMs,
                        const std::function<void(const HistorySample&)>& each) {
    SamplesAfter(channel, fromMs, 0, toMs, std::numeric_limits<size_t>::max(), each);
}

size_t HistoryDb::SamplesAfter(int channel, int64_t afterMs, int64_t afterId, int64_t toMs, size_t most,
                               const std::function<void(const HistorySample&)>& each) {
    // (ms, id) orders the samples of a channel as the clustered key does:
    // each page starts where the last ended, in a read transaction of its own.
    Statement s = Once(m_db,
                       "SELECT id, ms, value, status, code FROM sample WHERE channel = ?1 AND ms BETWEEN ?2 AND ?3"
                       " AND (ms > ?2 OR id > ?4) ORDER BY ms, id LIMIT ?5");
    sqlite3_stmt* q = s.get();
    sqlite3_bind_int(q, 1, channel);
    sqlite3_bind_int64(q, 2, afterMs);
    sqlite3_bind_int64(q, 3, toMs);
    sqlite3_bind_int64(q, 4, afterId);
    sqlite3_bind_int64(q, 5, static_cast<int64_t>(std::min<uint64_t>(most, INT64_MAX)));
    HistorySample x;
    size_t n = 0;
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
        SampleOf(q, x);
        each(x);
        ++n;
    }
    if (rc != SQLITE_DONE) Throw("cannot be read");
    return n;
}

void HistoryDb::After(
    int64_t afterId, size_t max,
    const std::function<void(const HistorySample&, const std::string& device, const std::string& name)>& each) {
    Statement s = Once(m_db,
                       "SELECT s.id, s.ms, s.value, s.status, s.code, c.device, c.name FROM sample s INDEXED BY"
                       " sample_order JOIN channel c ON c.id = s.channel WHERE s.id > ? ORDER BY s.id LIMIT ?");
    sqlite3_stmt* q = s.get();
    sqlite3_bind_int64(q, 1, afterId);
    sqlite3_bind_int64(q, 2, static_cast<int64_t>(std::min<size_t>(max, INT32_MAX)));
    HistorySample x;
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
        SampleOf(q, x);
        each(x, reinterpret_cast<const char*>(sqlite3_column_text(q, 5)),
             reinterpret_cast<const char*>(sqlite3_column_text(q, 6)));
    }
    if (rc != SQLITE_DONE) Throw("cannot be read");
}

std::vector<std::pair<int64_t, HistoryGap>> HistoryDb::GapsAfter(int64_t afterId, size_t max) {
    std::vector<std::pair<int64_t, HistoryGap>> out;
    Statement s = Once(m_db, "SELECT id, from_ms, to_ms, missing FROM gap WHERE id > ? ORDER BY id LIMIT ?");
    sqlite3_bind_int64(s.get(), 1, afterId);
    sqlite3_bind_int64(s.get(), 2, static_cast<int64_t>(std::min<size_t>(max, INT32_MAX)));
    while (sqlite3_step(s.get()) == SQLITE_ROW)
        out.push_back({sqlite3_column_int64(s.get(), 0),
                       {sqlite3_column_int64(s.get(), 1), sqlite3_column_int64(s.get(), 2),
                        static_cast<uint64_t>(sqlite3_column_int64(s.get(), 3))}});
    return out;
}

int64_t HistoryDb::LastId() {
    Statement s = Once(m_db, "SELECT value FROM meta WHERE key = 'next_id'");
    return sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) - 1 : 0;
}

int64_t HistoryDb::OldestId() {
    Statement s = Once(m_db, "SELECT min(id) FROM sample");
    return sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

bool HistoryDb::Meta(const std::string& key, std::string& value) {
    Statement s = Once(m_db, "SELECT value FROM meta WHERE key = ?");
    sqlite3_bind_text(s.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s.get(), 0);
        value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        return true;
    }
    if (rc != SQLITE_DONE) Throw("cannot be read");
    return false;
}

void HistoryDb::SetMeta(const std::string& key, const std::string& value) {
    // One statement, its own transaction: the writer waits at most for this.
    Statement s = Once(m_db, "INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = ?2");
    sqlite3_bind_text(s.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 2, value.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s.get()) != SQLITE_DONE) Throw("cannot be written");
}

std::vector<HistoryGap> HistoryDb::Gaps(int64_t fromMs, int64_t toMs) {
    std::vector<HistoryGap> out;
    Statement s =
        Once(m_db, "SELECT from_ms, to_ms, missing FROM gap WHERE to_ms >= ? AND from_ms <= ? ORDER BY from_ms");
    sqlite3_bind_int64(s.get(), 1, fromMs);
    sqlite3_bind_int64(s.get(), 2, toMs);
    while (sqlite3_step(s.get()) == SQLITE_ROW)
        out.push_back({sqlite3_column_int64(s.get(), 0), sqlite3_column_int64(s.get(), 1),
                       static_cast<uint64_t>(sqlite3_column_int64(s.get(), 2))});
    return out;
}

HistoryRange HistoryDb::Query(const HistoryChannel& channel, int64_t fromMs, int64_t toMs, size_t points) {
    HistoryRange range;
    range.gaps = Gaps(fromMs, toMs);
    bool numbers = channel.type == DATATYPE_INT || channel.type == DATATYPE_DOUBLE;
    size_t limit = points == 0 || !numbers ? std::numeric_limits<size_t>::max() : points;
    // Buckets of equal width over the whole range, filled in one pass; the
    // samples are kept until there are more than the points asked for.
    uint64_t span = static_cast<uint64_t>(toMs - fromMs) + 1;
    int64_t width = points == 0 ? 1 : static_cast<int64_t>((span + points - 1) / points);
    range.bucketMs = width;
    auto add = [&](const HistorySample& x) {
        size_t b = static_cast<size_t>((x.ms - fromMs) / width);
        if (range.buckets.empty() || range.buckets.back().fromMs != fromMs + static_cast<int64_t>(b) * width) {
            HistoryBucket nb;
            nb.fromMs = fromMs + static_cast<int64_t>(b) * width;
            nb.min = std::numeric_limits<double>::infinity();
            nb.max = -nb.min;
            range.buckets.push_back(nb);
        }
        HistoryBucket& k = range.buckets.back();
        ++k.count;
        double v = x.value.type == DATATYPE_INT ? x.value.i : x.value.d;
        if (!x.hasValue || x.status == Status::Failed || std::isnan(v)) {
            ++k.failed;
            return;
        }
        k.min = std::min(k.min, v);
        k.max = std::max(k.max, v);
    };
    Samples(channel.id, fromMs, toMs, [&](const HistorySample& x) {
        if (range.reduced) return add(x);
        range.samples.push_back(x);
        if (range.samples.size() <= limit) return;
        range.reduced = true;
        for (const HistorySample& kept : range.samples) add(kept);
        range.samples.clear();
        range.samples.shrink_to_fit();
    });
    return range;
}

bool ParseHistoryTime(const std::string& text, int64_t& ms) {
    if (text.empty()) return false;
    size_t digits = text[0] == '-' ? 1 : 0;
    if (text.size() > digits && text.find_first_not_of("0123456789", digits) == std::string::npos) {
        if (text.size() - digits > 15) return false;
        ms = std::stoll(text);
        return true;
    }
    // YYYY-MM-DD[THH:MM[:SS[.fff]]][Z|+HH:MM|-HH:MM]
    size_t pos = 0;
    auto num = [&](size_t n, int& out) {
        if (pos + n > text.size()) return false;
        out = 0;
        for (size_t i = 0; i < n; ++i) {
            char c = text[pos + i];
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            out = out * 10 + (c - '0');
        }
        pos += n;
        return true;
    };
    auto sep = [&](char c) { return pos < text.size() && text[pos] == c ? (++pos, true) : false; };
    std::tm t{};
    int year, month, day, hour = 0, minute = 0, second = 0, millis = 0;
    if (!num(4, year) || !sep('-') || !num(2, month) || !sep('-') || !num(2, day)) return false;
    if (sep('T') || sep(' ')) {
        if (!num(2, hour) || !sep(':') || !num(2, minute)) return false;
        if (sep(':')) {
            if (!num(2, second)) return false;
            if (sep('.')) {
                int scale = 100;
                size_t start = pos;
                while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
                    millis += (text[pos++] - '0') * scale;
                    scale /= 10;
                }
                if (pos == start) return false;
            }
        }
    }
    int offset = 0;  // minutes east of UTC
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int sign = text[pos++] == '-' ? -1 : 1, oh, om;
        if (!num(2, oh)) return false;
        sep(':');
        if (!num(2, om) || oh > 23 || om > 59) return false;
        offset = sign * (oh * 60 + om);
    } else {
        sep('Z');
    }
    if (pos != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    std::time_t secs = timegm(&t);
    if (t.tm_mday != day) return false;  // 31 April and the like
    ms = (static_cast<int64_t>(secs) - offset * 60) * 1000 + millis;
    return true;
}

}  // namespace gateway
