#include "gateway/Audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "DeviceDescription.h"
#include "toolkit/Output.h"

namespace gateway {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Raw(const std::string& json) { return json.empty() ? "null" : json; }

// A text member of a parsed line ("" when missing or no string).
std::string Text(const nlohmann::json& j, const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The text with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD: an MQTT payload or a PLC's string may hold any bytes,
// and a line of JSON that is not UTF-8 could not be read back.
std::string ValidUtf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        auto u = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
        unsigned char c = u(i);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k) ok = (u(i + k) & 0xC0) == 0x80;
        if (ok && n > 1) {
            // No overlong forms, no surrogates, nothing past U+10FFFF.
            uint32_t cp = c & (0x7F >> n);
            for (size_t k = 1; k < n; ++k) cp = cp << 6 | (u(i + k) & 0x3F);
            ok = cp >= (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u) && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (ok) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string AuditJson(const AuditRecord& r) {
    using devdesc::Quote;
    std::chrono::system_clock::time_point at{std::chrono::milliseconds(r.ms)};
    return ValidUtf8("{\"time\":\"" + toolkit::Iso8601(at) + "\",\"ms\":" + std::to_string(r.ms) +
                     ",\"face\":" + Quote(r.face) + ",\"who\":" + Quote(r.who) + ",\"device\":" + Quote(r.device) +
                     ",\"channel\":" + Quote(r.channel) + ",\"command\":" + Quote(r.command) +
                     ",\"asked\":" + Raw(r.asked) + ",\"before\":" + Raw(r.before) +
                     ",\"code\":" + std::to_string(r.code) + ",\"meaning\":" + Quote(r.meaning) +
                     ",\"refused\":" + Quote(r.refused) + ",\"lost\":" + std::to_string(r.lost) + "}");
}

bool AuditFromJson(const std::string& line, AuditRecord& r) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("ms") || !j["ms"].is_number_integer()) return false;
    r = AuditRecord{};
    r.ms = j["ms"].get<int64_t>();
    r.face = Text(j, "face");
    r.who = Text(j, "who");
    r.device = Text(j, "device");
    r.channel = Text(j, "channel");
    r.command = Text(j, "command");
    r.asked = j.contains("asked") ? j["asked"].dump() : "null";
    r.before = j.contains("before") ? j["before"].dump() : "null";
    r.code = j.contains("code") && j["code"].is_number_integer() ? j["code"].get<int>() : 0;
    r.meaning = Text(j, "meaning");
    r.refused = Text(j, "refused");
    r.lost = j.contains("lost") && j["lost"].is_number_unsigned() ? j["lost"].get<uint64_t>() : 0;
    return true;
}

std::string AskedJson(const toolkit::Asked& asked) {
    if (asked.isText || asked.text.empty() || !std::isfinite(asked.number)) return devdesc::Quote(asked.text);
    return asked.text;
}

AuditRecord LostMarker(uint64_t count, int64_t ms) {
    AuditRecord r;
    r.ms = ms;
    r.face = "audit";
    r.meaning = std::to_string(count) + " audit record" + (count == 1 ? " was" : "s were") + " lost";
    r.lost = count;
    return r;
}

void AuditQueue::Push(AuditRecord record) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_capacity) {
            ++m_lost;
            ++m_lostTotal;
            return;
        }
        m_queue.push_back(std::move(record));
    }
    m_cv.notify_one();
}

bool AuditQueue::Pop(AuditRecord& record, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return !m_queue.empty(); })) return false;
    record = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

uint64_t AuditQueue::TakeLost() {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t n = m_lost;
    m_lost = 0;
    return n;
}

void AuditQueue::NoteLost(uint64_t count, uint64_t again) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lost += count + again;
    m_lostTotal += count;
}

uint64_t AuditQueue::Lost() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lostTotal;
}

void AuditQueue::NoteWritten(uint64_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_written += count;
}

uint64_t AuditQueue::Written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

AuditFileSink::AuditFileSink(std::string path) : m_path(std::move(path)) {}

AuditFileSink::~AuditFileSink() {
    if (m_fd >= 0) ::close(m_fd);
}

void AuditFileSink::Reopen() {
    int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) throw std::runtime_error("audit file " + m_path + ": " + std::strerror(errno));
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

void AuditFileSink::Write(const std::vector<AuditRecord>& records) {
    if (m_fd < 0) Reopen();
    std::string out;
    for (const AuditRecord& r : records) out += AuditJson(r) + "\n";
    // One write() of O_APPEND: the lines go in whole, or (short write) the
    // rest follows at once.
    for (size_t done = 0; done < out.size();) {
        ssize_t n = ::write(m_fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("audit file " + m_path + ": " + std::strerror(n < 0 ? errno : EIO));
        done += static_cast<size_t>(n);
    }
}

std::vector<AuditRecord> ReadAuditFile(const std::string& path, const AuditQuery& query, size_t maxScan) {
    std::vector<AuditRecord> out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return out;  // nothing recorded yet
        throw std::runtime_error(path + ": " + std::strerror(errno));
    }
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    constexpr size_t kChunk = 64 * 1024;
    off_t end = st.st_size;
    size_t scanned = 0;
    std::string carry;  // the start of a line whose beginning lies further back
    std::vector<char> chunk(kChunk);
    // Records are appended about in the order of their times (a request
    // waits for its line 10 s at most); one from well before `from` ends the
    // scan.
    constexpr int64_t kDisorderMs = 600000;
    bool older = false;
    const std::string deviceMember = "\"device\":" + devdesc::Quote(query.device) + ",";
    auto take = [&](std::string_view line) {
        // Time and device are looked at in the line as AuditJson writes it
        // before the whole line is parsed. line lies in a std::string, so
        // strtoll stops at its end at the latest.
        size_t at = line.find("\"ms\":");
        if (at == std::string_view::npos) return;
        long long ms = std::strtoll(line.data() + at + 5, nullptr, 10);
        older = older ||
                (query.fromMs > std::numeric_limits<int64_t>::min() + kDisorderMs && ms < query.fromMs - kDisorderMs);
        if (ms < query.fromMs || ms > query.toMs) return;
        if (!query.device.empty() && line.find(deviceMember) == std::string_view::npos &&
            line.find("\"lost\":0}") != std::string_view::npos)
            return;
        AuditRecord r;
        if (AuditFromJson(std::string(line), r) && query.Takes(r)) out.push_back(std::move(r));
    };
    while (end > 0 && scanned < maxScan && out.size() < query.limit && !older) {
        size_t n = static_cast<size_t>(std::min<off_t>(end, static_cast<off_t>(kChunk)));
        end -= static_cast<off_t>(n);
        ssize_t got = ::pread(fd, chunk.data(), n, end);
        if (got != static_cast<ssize_t>(n)) throw std::runtime_error(path + ": cannot be read");
        scanned += n;
        std::string block(chunk.data(), n);
        block += carry;
        size_t stop = block.size();
        for (size_t nl = block.rfind('\n', stop == 0 ? 0 : stop - 1);
             nl != std::string::npos && out.size() < query.limit && !older;
             nl = nl == 0 ? std::string::npos : block.rfind('\n', nl - 1)) {
            take(std::string_view(block).substr(nl + 1, stop - nl - 1));
            stop = nl;
        }
        carry = block.substr(0, stop);
        if (carry.size() > kChunk * 16) carry.clear();  // no line is that long: not ours
    }
    if (end == 0 && out.size() < query.limit && !older) take(carry);
    if (out.size() > query.limit) out.resize(query.limit);
    return out;
}

AuditWriter::AuditWriter(std::shared_ptr<AuditQueue> queue, std::unique_ptr<AuditSink> sink)
    : m_queue(std::move(queue)), m_sink(std::move(sink)) {}

AuditWriter::~AuditWriter() { Stop(); }

void AuditWriter::Start() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

void AuditWriter::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

std::vector<HealthItem> AuditWriter::Health() const {
    return {{"audit_records_total", HealthItem::Kind::Counter, static_cast<double>(Written()), "Audit records written"},
            {"audit_lost_total", HealthItem::Kind::Counter, static_cast<double>(m_queue->Lost()),
             "Audit records lost (queue full or not written)"},
            {"audit_up", HealthItem::Kind::Gauge, m_up.load() ? 1.0 : 0.0, "Whether the audit record can be written"}};
}

void AuditWriter::Run() {
    constexpr size_t kBatch = 256;
    auto retry = std::chrono::milliseconds(0);
    auto retryAt = std::chrono::steady_clock::now();
    std::vector<AuditRecord> batch;
    AuditRecord r;
    while (true) {
        bool stopping = m_stop.load();
        bool got = m_queue->Pop(r, stopping ? std::chrono::milliseconds(0) : std::chrono::milliseconds(200));
        for (; got; got = batch.size() < kBatch && m_queue->Pop(r, std::chrono::milliseconds(0)))
            batch.push_back(std::move(r));
        bool drained = batch.size() < kBatch;
        if (m_reopen.exchange(false)) {
            try {
                m_sink->Reopen();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "devgate: audit: %s\n", e.what());
            }
        }
        if (!stopping && std::chrono::steady_clock::now() < retryAt) {
            if (!batch.empty()) m_queue->NoteLost(batch.size());  // the sink is down: counted, marked later
            batch.clear();
            continue;
        }
        if (uint64_t lost = m_queue->TakeLost(); lost > 0) batch.insert(batch.begin(), LostMarker(lost, NowMs()));
        if (!batch.empty()) {
            bool marker = batch.front().lost > 0;
            try {
                m_sink->Write(batch);
                m_queue->NoteWritten(batch.size() - (marker ? 1 : 0));
                if (!m_up.exchange(true)) std::fprintf(stderr, "devgate: audit: written again\n");
                retry = std::chrono::milliseconds(0);
            } catch (const std::exception& e) {
                // The records are lost; a marker's count is owed again.
                m_queue->NoteLost(batch.size() - (marker ? 1 : 0), marker ? batch.front().lost : 0);
                if (m_up.exchange(false)) std::fprintf(stderr, "devgate: audit: %s\n", e.what());
                retry = std::min<std::chrono::milliseconds>(
                    std::chrono::seconds(30), std::max<std::chrono::milliseconds>(std::chrono::seconds(1), retry * 2));
                retryAt = std::chrono::steady_clock::now() + retry;
            }
            batch.clear();
        }
        if (stopping && drained) break;
    }
}

}  // namespace gateway
