#include "gateway/HistoryRecorder.h"

#include <cmath>
#include <limits>

namespace gateway {

namespace {

int64_t EpochMs(SystemTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

int64_t NowMs() { return EpochMs(std::chrono::system_clock::now()); }

constexpr size_t kPruneRows = 2000;
constexpr size_t kEvents = 64;

bool Moved(const toolkit::Value& last, const toolkit::Value& now, double deadband) {
    if (now.type == DATATYPE_STRING || last.type == DATATYPE_STRING) return now.s != last.s || now.type != last.type;
    double a = last.type == DATATYPE_INT ? last.i : last.d, b = now.type == DATATYPE_INT ? now.i : now.d;
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) != std::isnan(b);
    return deadband > 0 ? std::fabs(b - a) >= deadband : a != b;
}

}  // namespace

RecordFilter::RecordFilter(std::vector<std::vector<RecordRule>> rules) : m_rules(std::move(rules)) { Reset(); }

void RecordFilter::Reset() {
    m_last.assign(m_rules.size(), {});
    for (size_t d = 0; d < m_rules.size(); ++d) m_last[d].assign(m_rules[d].size(), Last{});
}

bool RecordFilter::Take(size_t d, size_t c, const Reading& r, int64_t ms) {
    if (d >= m_rules.size() || c >= m_rules[d].size() || !m_rules[d][c].record) return false;
    const RecordRule& rule = m_rules[d][c];
    Last& l = m_last[d][c];
    bool take = !l.any || l.status != r.status || l.code != r.code || l.hasValue != r.hasValue ||
                (r.hasValue && Moved(l.value, r.value, rule.deadband)) ||
                (rule.heartbeatS > 0 && ms - l.ms >= static_cast<int64_t>(rule.heartbeatS) * 1000);
    if (take) l = Last{true, r.status, r.code, r.hasValue, r.value, ms};
    return take;
}

static std::vector<std::vector<RecordRule>> RulesInOrder(const Gateway& g,
                                                         const std::map<std::string, std::vector<RecordRule>>& rules) {
    std::vector<std::vector<RecordRule>> out;
    for (const DeviceModel& d : g.Devices()) {
        auto it = rules.find(d.name);
        out.push_back(it != rules.end() && it->second.size() == d.channels.size()
                          ? it->second
                          : std::vector<RecordRule>(d.channels.size()));
    }
    return out;
}

HistoryRecorder::HistoryRecorder(Gateway& gateway, HistoryOptions options,
                                 const std::map<std::string, std::vector<RecordRule>>& rules)
    : m_gateway(gateway), m_options(std::move(options)), m_filter(RulesInOrder(gateway, rules)) {
    m_sub = m_gateway.Subscribe(m_options.queue);
    m_lost.fromMs = std::numeric_limits<int64_t>::max();
}

HistoryRecorder::~HistoryRecorder() { Stop(); }

void HistoryRecorder::Start() {
    if (m_thread.joinable()) return;
    m_stop = false;
    // Opened here, so that the faces started after this one find the
    // database and its channels there; when it cannot be, the thread tries again.
    Open();
    m_thread = std::thread([this] { Run(); });
}

void HistoryRecorder::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

std::vector<HealthItem> HistoryRecorder::Health() const {
    HistoryStats s = Stats();
    using K = HealthItem::Kind;
    return {{"history_up", K::Gauge, s.up ? 1.0 : 0.0, "1 while the history database takes samples."},
            {"history_recorded_total", K::Counter, static_cast<double>(s.recorded), "Samples written."},
            {"history_missing_total", K::Counter, static_cast<double>(s.missing),
             "Changes not recorded (queue full, database down)."},
            {"feed_dropped_total", K::Counter, static_cast<double>(m_sub->Dropped()),
             "Changes the face's queues on the change feed dropped while full."}};
}

HistoryStats HistoryRecorder::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

bool HistoryRecorder::PopEvent(HistoryEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_events.empty()) return false;
    event = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

void HistoryRecorder::Open() {
    try {
        auto db = std::make_unique<HistoryDb>(m_options.path, HistoryDb::Mode::Write, m_options.orderIndex);
        std::vector<std::vector<int>> ids;
        for (const DeviceModel& d : m_gateway.Devices()) {
            ids.emplace_back();
            for (const ChannelModel& c : d.channels)
                ids.back().push_back(db->Register(d.name, c.name, c.element, c.type));
        }
        m_db = std::move(db);
        m_ids = std::move(ids);
        m_retry = std::chrono::milliseconds(0);
        m_filter.Reset();  // the first reading of every channel again, in full
        std::lock_guard<std::mutex> lock(m_mutex);
        bool was = !m_stats.reason.empty();
        m_stats.up = true;
        m_stats.reason.clear();
        if (was) {
            m_events.push_back({std::chrono::system_clock::now(), true, ""});
            if (m_events.size() > kEvents) m_events.pop_front();
        }
    } catch (const HistoryError& e) {
        Down(e.what());
    }
}

void HistoryRecorder::Down(const std::string& reason) {
    m_db.reset();
    m_retry = std::min(m_options.retryMax, std::max(m_options.retryMin, m_retry * 2));
    m_retryAt = std::chrono::steady_clock::now() + m_retry;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stats.reason == reason) return;  // once, not at every try
    if (m_stats.up || m_stats.reason.empty()) ++m_stats.downs;
    m_stats.up = false;
    m_stats.reason = reason;
    m_events.push_back({std::chrono::system_clock::now(), false, reason});
    if (m_events.size() > kEvents) m_events.pop_front();
}

void HistoryRecorder::Lost(uint64_t count, int64_t fromMs, int64_t toMs) {
    if (count == 0) return;
    m_lost.missing += count;
    m_lost.fromMs = std::min(m_lost.fromMs, fromMs);
    m_lost.toMs = std::max(m_lost.toMs, toMs);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.missing += count;
}

void HistoryRecorder::Flush() {
    if (!m_db && std::chrono::steady_clock::now() >= m_retryAt) Open();
    if (!m_db) {
        if (!m_batch.empty()) Lost(m_batch.size(), m_batch.front().ms, m_batch.back().ms);
        m_batch.clear();
        m_where.clear();
        return;
    }
    for (size_t i = 0; i < m_batch.size(); ++i) {
        auto [d, c] = m_where[i];
        m_batch[i].channel = m_ids[static_cast<size_t>(d)][static_cast<size_t>(c)];
    }
    if (m_lost.missing > 0) {
        m_gaps.push_back(m_lost);
        m_lost = HistoryGap{std::numeric_limits<int64_t>::max(), 0, 0};
    }
    try {
        m_db->Append(m_batch, m_gaps);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.recorded += m_batch.size();
        m_stats.gaps += m_gaps.size();
        ++m_stats.batches;
        m_gaps.clear();
    } catch (const HistoryError& e) {
        // The gaps not written stay owed; the batch is lost, counted.
        for (const HistoryGap& g : m_gaps)
            m_lost = HistoryGap{std::min(m_lost.fromMs, g.fromMs), std::max(m_lost.toMs, g.toMs),
                                m_lost.missing + g.missing};
        m_gaps.clear();
        if (!m_batch.empty()) Lost(m_batch.size(), m_batch.front().ms, m_batch.back().ms);
        Down(e.what());
    }
    m_batch.clear();
    m_where.clear();
}

void HistoryRecorder::Prune() {
    auto now = std::chrono::steady_clock::now();
    if (!m_db || (!m_overSize && now - m_prunedAt < std::chrono::seconds(1))) return;
    m_prunedAt = now;
    try {
        int64_t before = NowMs() - static_cast<int64_t>(m_options.retentionDays) * 86400000;
        size_t deleted = m_db->Prune(before, kPruneRows);
        m_overSize = m_db->UsedBytes() > static_cast<int64_t>(m_options.maxBytes);
        // Over its bound: the oldest minute goes, a step at a time.
        if (m_overSize && deleted < kPruneRows) {
            int64_t oldest = m_db->OldestMs();
            if (oldest != std::numeric_limits<int64_t>::max())
                deleted += m_db->Prune(oldest + 60000, kPruneRows - deleted);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.pruned += deleted;
    } catch (const HistoryError& e) {
        Down(e.what());
    }
}

void HistoryRecorder::Run() {
    m_checkedMs = NowMs();
    auto batchStart = std::chrono::steady_clock::now();
    Change c;
    while (true) {
        bool stopping = m_stop.load();
        bool got = m_sub->Pop(c, stopping ? std::chrono::milliseconds(0) : std::chrono::milliseconds(20));
        for (; got; got = m_batch.size() < m_options.batchRows && m_sub->Pop(c, std::chrono::milliseconds(0))) {
            if (c.kind != Change::Kind::Value || c.channel < 0) continue;
            int d = m_gateway.DeviceIndex(c.device);
            if (d < 0) continue;
            int64_t ms = EpochMs(c.time);
            if (!m_filter.Take(static_cast<size_t>(d), static_cast<size_t>(c.channel), c.reading, ms)) continue;
            if (m_batch.empty()) batchStart = std::chrono::steady_clock::now();
            HistoryDb::Row row;
            m_where.push_back({d, c.channel});
            row.ms = ms;
            row.status = c.reading.status;
            row.code = c.reading.code;
            row.hasValue = c.reading.hasValue;
            row.value = c.reading.value;
            m_batch.push_back(std::move(row));
        }
        bool drained = m_batch.size() < m_options.batchRows;
        // What the queue dropped since the last look lies between then and now.
        int64_t now = NowMs();
        unsigned long dropped = m_sub->Dropped();
        Lost(dropped - m_dropped, m_checkedMs, now);
        m_dropped = dropped;
        m_checkedMs = now;
        bool due = m_batch.size() >= m_options.batchRows ||
                   (!m_batch.empty() && std::chrono::steady_clock::now() - batchStart >= m_options.batchTime) ||
                   (m_lost.missing > 0 && std::chrono::steady_clock::now() >= m_retryAt) || stopping;
        if (due) Flush();
        Prune();
        if (stopping && drained && m_batch.empty()) break;
    }
}

HistorySetup HistorySetupOf(const Site& site, const std::string& overridePath) {
    HistorySetup setup;
    setup.options.path = overridePath.empty() ? site.history.path : overridePath;
    setup.options.retentionDays = site.history.retentionDays;
    setup.options.maxBytes = static_cast<uint64_t>(site.history.maxMb) << 20;
    for (const LineSite& l : site.lines)
        for (const DeviceSite& d : l.devices) setup.rules[d.name] = d.records;
    return setup;
}

}  // namespace gateway
