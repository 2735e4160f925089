#include "gateway/Gateway.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

#include "DevResultCodes.h"
#include "gateway/Json.h"
#include "toolkit/CodeTexts.h"
#include "toolkit/Statistics.h"
#include "toolkit/TracingPort.h"

namespace gateway {

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLatencyWindow = 1024;  // requests kept for the percentiles
constexpr size_t kScanWindow = 256;      // full scans and cycles kept for the medians

void Keep(std::deque<double>& window, double value, size_t size) {
    window.push_back(value);
    if (window.size() > size) window.pop_front();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

const std::vector<double>& LatencyBoundsMs() {
    // From a short frame at a fast rate to a long frame at 1200 baud and a
    // controller's own wait.
    static const std::vector<double> bounds = {1, 2.5, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000};
    return bounds;
}

namespace {

Result Outcome(int code) { return Result{code, toolkit::Meaning(code), {}, {}}; }
Result Refused(const std::string& why) {
    return Result{DEVCTRL_BADCOMMAND, toolkit::Meaning(DEVCTRL_BADCOMMAND), {}, why};
}

// Steady clock milliseconds, modulo 2^32: a 32-bit atomic is lock-free on
// every target (a 64-bit one needs libatomic on ARMv5), and differences
// below 49 days come out right across the wrap.
uint32_t BeatNow() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

}  // namespace

void YieldToLines() {
    thread_local bool done = false;
    if (!done) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    done = true;
}

const char* StatusWord(Status s) {
    switch (s) {
        case Status::Ok:
            return "ok";
        case Status::Failed:
            return "failed";
        case Status::WriteOnly:
            return "w-only";
        default:
            return "never";
    }
}

struct Gateway::Device {
    Device(DeviceSite& s, const std::string& lineName) : site(s), stats(rows()) {
        model.name = s.name;
        model.line = lineName;
        const auto& props = s.file.description.properties;
        model.station = props.empty() ? 0 : props[0];
        model.rows = &rows();
        for (const devdesc::Row& r : rows())
            model.channels.push_back({r.name, devdesc::AddressText(r), devdesc::ValueType(r), static_cast<int>(r.rw)});
        readings.resize(rows().size());
        for (size_t c = 0; c < rows().size(); ++c)
            if (rows()[c].rw == 1) readings[c].status = Status::WriteOnly;
    }
    const std::vector<devdesc::Row>& rows() const { return site.file.description.rows; }

    DeviceSite& site;  // its line's
    DeviceModel model;
    int index = -1;  // in Devices(); under the gateway's m_subsMutex
    Line* line = nullptr;
    // The line thread's own.
    std::unique_ptr<toolkit::Database> rtdb;
    toolkit::Controller ctrl;
    std::vector<int> refs;
    Clock::time_point due{};
    int failedInRow = 0;
    int silentInRow = 0;  // steps in a row without an answer
    int lastCode = 0;
    std::chrono::milliseconds probePause{0};  // offline: until the next probe
    // Shared with the faces, under mutex.
    mutable std::mutex mutex;
    std::vector<Reading> readings;
    toolkit::Statistics stats;
    unsigned long requests = 0;
    std::deque<double> latencies;
    std::vector<unsigned long> latencyAtMost = std::vector<unsigned long>(LatencyBoundsMs().size());
    unsigned long latencyCount = 0;
    double latencySumMs = 0.0;
    std::deque<double> scans;
    SystemTime lastScanAt{};
    bool online = true;
    SystemTime since = std::chrono::system_clock::now();
    int stateCode = 0;
    std::string reason;
    unsigned long offlines = 0;
};

// A write or command queued to a line, and its outcome.
struct Job {
    Caller caller;  // who asked
    std::function<Result()> run;
    std::promise<Result> outcome;
};

struct Gateway::Line {
    LineSite site;
    std::vector<std::unique_ptr<Device>> owned;
    std::vector<Device*> devices;
    std::unique_ptr<SimulatedLine> sim;
    std::unique_ptr<toolkit::Port> port;
    std::unique_ptr<toolkit::TracingPort> tracing;
    size_t next = 0;  // round robin
    std::thread thread;
    std::atomic<bool> stop{false};
    // When the thread last went round its loop (BeatNow): the service
    // watchdog's sign of life.
    std::atomic<uint32_t> beat{BeatNow()};
    std::mutex mutex;  // tasks, state
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> tasks;
    int downCode = DEVCTRL_ERR_NOPORT;  // the line thread's: why no controller is there
    // Shared with the faces, under mutex.
    bool reportedUp = false;
    bool reported = false;
    LineStats stats;
    Clock::time_point cycleStart = Clock::now();
    std::vector<size_t> cycleScans;
    std::deque<double> cycles;

    explicit Line(LineSite s) : site(std::move(s)) {}
};

bool Subscription::Pop(Change& change, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return !m_queue.empty(); })) return false;
    change = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

unsigned long Subscription::Dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

unsigned long Subscription::Overflowed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned long n = m_dropped - m_caughtUp;
    if (n > 0) {
        m_caughtUp = m_dropped;
        m_queue.clear();
    }
    return n;
}

void Subscription::Push(const Change& change) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_capacity) {
            ++m_dropped;
            // A reload's mark always gets in, in place of the oldest change:
            // without it the indices after it would be taken for the old ones.
            if (change.kind != Change::Kind::Site || m_queue.empty()) return;
            m_queue.pop_front();
        }
        wasEmpty = m_queue.empty();
        m_queue.push_back(change);
    }
    // A subscriber waits only on an empty queue: one wake-up per batch.
    if (wasEmpty) m_cv.notify_one();
}

Gateway::Gateway(Site site, Options options) : m_options(std::move(options)) {
    m_library = toolkit::PluginLibrary::Load(m_options.plugin);
    for (LineSite& l : site.lines) m_lines.push_back(MakeLine(std::move(l)));
    Index();
}

std::unique_ptr<Gateway::Line> Gateway::MakeLine(LineSite site) {
    auto line = std::make_unique<Line>(std::move(site));
    std::vector<toolkit::SimulatorOptions> stations;
    for (DeviceSite& d : line->site.devices) {
        line->owned.push_back(std::make_unique<Device>(d, line->site.name));
        line->owned.back()->line = line.get();
        line->devices.push_back(line->owned.back().get());
        stations.push_back(d.file.Simulator());
    }
    line->cycleScans.assign(line->devices.size(), 0);
    if (line->site.kind == LineSite::Kind::Simulated)
        line->sim = std::make_unique<SimulatedLine>(stations, line->site.simBaud, line->site.echo);
    return line;
}

void Gateway::Index() {
    m_lineModels.clear();
    m_deviceModels.clear();
    m_devices.clear();
    for (const auto& l : m_lines) {
        LineModel lm{l->site.name, {}};
        for (Device* d : l->devices) {
            lm.devices.push_back(d->model.name);
            d->index = static_cast<int>(m_devices.size());
            m_devices.push_back(d);
            m_deviceModels.push_back(d->model);
        }
        m_lineModels.push_back(std::move(lm));
    }
}

std::string ReloadOutcome::Summary() const {
    auto list = [](const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
        return text.empty() ? std::string("none") : text;
    };
    return "kept " + list(kept) + "; changed " + list(changed) + "; added " + list(added) + "; removed " +
           list(removed);
}

ReloadOutcome Gateway::Reload(Site site) {
    ReloadOutcome outcome;
    // Everything new is built before anything stops: a simulator that cannot
    // start leaves the running site as it was.
    std::vector<std::unique_ptr<Line>> next;
    std::vector<bool> keep(m_lines.size(), false);
    for (LineSite& l : site.lines) {
        auto old = std::find_if(m_lines.begin(), m_lines.end(),
                                [&l](const std::unique_ptr<Line>& o) { return o->site.name == l.name; });
        if (old != m_lines.end() && SameLine((*old)->site, l)) {
            keep[static_cast<size_t>(old - m_lines.begin())] = true;
            outcome.kept.push_back(l.name);
            next.push_back(nullptr);  // the running one, moved over below
        } else {
            (old != m_lines.end() ? outcome.changed : outcome.added).push_back(l.name);
            next.push_back(MakeLine(std::move(l)));
        }
    }
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (keep[i]) continue;
        Line& line = *m_lines[i];
        if (std::find(outcome.changed.begin(), outcome.changed.end(), line.site.name) == outcome.changed.end())
            outcome.removed.push_back(line.site.name);
        {
            std::lock_guard<std::mutex> lock(line.mutex);
            line.stop = true;
        }
        line.cv.notify_all();
    }
    for (size_t i = 0; i < m_lines.size(); ++i)  // each tears its line down as it ends
        if (!keep[i] && m_lines[i]->thread.joinable()) m_lines[i]->thread.join();
    std::vector<std::unique_ptr<Line>> gone;
    {
        std::lock_guard<std::mutex> linesLock(m_linesMutex);
        for (size_t k = 0; k < next.size(); ++k)
            for (size_t i = 0; i < m_lines.size() && !next[k]; ++i)
                if (keep[i] && m_lines[i] && m_lines[i]->site.name == site.lines[k].name)
                    next[k] = std::move(m_lines[i]);
        for (auto& l : m_lines)
            if (l) gone.push_back(std::move(l));
        m_lines = std::move(next);
        // The kept lines go on publishing meanwhile: their changes before the
        // mark carry the old indices, those after it the new ones.
        std::lock_guard<std::mutex> lock(m_subsMutex);
        Index();
        Change mark;
        mark.kind = Change::Kind::Site;
        mark.time = std::chrono::system_clock::now();
        mark.event = "reloaded";
        mark.message = outcome.Summary();
        Deliver(mark);
    }
    gone.clear();
    if (m_running) Start();
    return outcome;
}

Gateway::~Gateway() { Stop(); }

void Gateway::Start() {
    m_running = true;
    for (auto& l : m_lines) {
        std::lock_guard<std::mutex> lock(l->mutex);
        if (!l->thread.joinable()) {
            l->stop = false;
            l->beat = BeatNow();
            l->thread = std::thread([this, &line = *l] { RunLine(line); });
        }
    }
}

void Gateway::Stop() {
    m_running = false;
    for (auto& l : m_lines) {
        {
            std::lock_guard<std::mutex> lock(l->mutex);
            l->stop = true;
        }
        l->cv.notify_all();
    }
    for (auto& l : m_lines)
        if (l->thread.joinable()) l->thread.join();
}

Clock::duration Gateway::Stalest() const {
    std::lock_guard<std::mutex> lock(m_linesMutex);
    uint32_t stalest = 0, now = BeatNow();
    for (const auto& l : m_lines) stalest = std::max(stalest, now - l->beat.load());
    return std::chrono::milliseconds(stalest);
}

int Gateway::DeviceIndex(const std::string& name) const {
    for (size_t i = 0; i < m_deviceModels.size(); ++i)
        if (m_deviceModels[i].name == name) return static_cast<int>(i);
    return -1;
}

Reading Gateway::Latest(const std::string& device, int channel) const {
    int i = DeviceIndex(device);
    if (i < 0) return Reading{};
    const Device& d = *m_devices[static_cast<size_t>(i)];
    std::lock_guard<std::mutex> lock(d.mutex);
    if (channel < 0 || static_cast<size_t>(channel) >= d.readings.size()) return Reading{};
    return d.readings[static_cast<size_t>(channel)];
}

std::vector<Reading> Gateway::Readings(const std::string& device) const {
    int i = DeviceIndex(device);
    if (i < 0) return {};
    const Device& d = *m_devices[static_cast<size_t>(i)];
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.readings;
}

std::vector<Reading> Gateway::Readings(const std::string& device, int first, int count) const {
    int i = DeviceIndex(device);
    if (i < 0 || first < 0 || count <= 0) return {};
    const Device& d = *m_devices[static_cast<size_t>(i)];
    std::lock_guard<std::mutex> lock(d.mutex);
    size_t from = std::min(static_cast<size_t>(first), d.readings.size());
    size_t to = std::min(from + static_cast<size_t>(count), d.readings.size());
    return std::vector<Reading>(d.readings.begin() + static_cast<std::ptrdiff_t>(from),
                                d.readings.begin() + static_cast<std::ptrdiff_t>(to));
}

std::shared_ptr<Subscription> Gateway::Subscribe(size_t capacity) {
    auto sub = std::make_shared<Subscription>(capacity);
    std::lock_guard<std::mutex> lock(m_subsMutex);
    m_subs.push_back(sub);
    return sub;
}

DeviceStats Gateway::Stats(const std::string& device) const {
    int i = DeviceIndex(device);
    if (i < 0) return DeviceStats{};
    const Device& d = *m_devices[static_cast<size_t>(i)];
    std::lock_guard<std::mutex> lock(d.mutex);
    DeviceStats s;
    s.calls = d.stats.Calls();
    s.requests = d.requests;
    s.failures = d.stats.Failures();
    s.scans = d.stats.ScanCount();
    s.lastScanMs = d.stats.LastScanMs();
    s.lastScanAt = d.lastScanAt;
    s.intervalMs = d.site.intervalMs;
    s.medianScanMs = Percentile({d.scans.begin(), d.scans.end()}, 0.5);
    std::vector<double> lat(d.latencies.begin(), d.latencies.end());
    s.latencyP50Ms = Percentile(lat, 0.5);
    s.latencyP90Ms = Percentile(lat, 0.9);
    s.latencyP99Ms = Percentile(lat, 0.99);
    s.latencyAtMost = d.latencyAtMost;
    s.latencyCount = d.latencyCount;
    s.latencySumMs = d.latencySumMs;
    s.online = d.online;
    s.since = d.since;
    s.code = d.stateCode;
    s.reason = d.reason;
    s.offlines = d.offlines;
    return s;
}

LineStats Gateway::LineStatsOf(const std::string& name) const {
    for (const auto& l : m_lines)
        if (l->site.name == name) {
            std::lock_guard<std::mutex> lock(l->mutex);
            LineStats s = l->stats;
            s.medianCycleMs = Percentile({l->cycles.begin(), l->cycles.end()}, 0.5);
            for (const Device* d : l->devices) {
                std::lock_guard<std::mutex> dl(d->mutex);
                s.requests += d->requests;
                for (const auto& [code, count] : d->stats.Failures()) s.failures[code] += count;
            }
            return s;
        }
    return LineStats{};
}

SimulatedLine* Gateway::Simulator(const std::string& name) {
    for (auto& l : m_lines)
        if (l->site.name == name) return l->sim.get();
    return nullptr;
}

void Gateway::Publish(Change change, const Device& device) {
    std::lock_guard<std::mutex> lock(m_subsMutex);
    change.deviceIndex = device.index;
    Deliver(change);
}

void Gateway::Publish(const Change& change) {
    std::lock_guard<std::mutex> lock(m_subsMutex);
    Deliver(change);
}

void Gateway::Deliver(const Change& change) {
    for (auto it = m_subs.begin(); it != m_subs.end();) {
        if (auto sub = it->lock()) {
            sub->Push(change);
            ++it;
        } else {
            it = m_subs.erase(it);
        }
    }
}

Result Gateway::Queue(const std::string& device, const Caller& caller, std::function<Result(Device&)> job) {
    int i = DeviceIndex(device);
    if (i < 0) return Outcome(DEVCTRL_BADCOMMAND);
    Device& d = *m_devices[static_cast<size_t>(i)];
    Line& line = *d.line;
    auto task = std::make_shared<Job>();
    task->caller = caller;
    task->run = [this, &d, job, who = caller.Text()] {
        if (!d.ctrl) return Outcome(d.line->downCode);
        if (m_options.trace) std::fprintf(stderr, "%s: a job of %s\n", d.model.name.c_str(), who.c_str());
        auto use = m_library->Use();
        Result r = job(d);
        if (d.line->tracing) d.line->tracing->EndRequest();
        return r;
    };
    std::future<Result> outcome = task->outcome.get_future();
    {
        std::lock_guard<std::mutex> lock(line.mutex);
        if (line.stop || !line.thread.joinable()) return Outcome(DEVCTRL_ERR_NOPORT);
        line.tasks.push_back(task);
    }
    line.cv.notify_all();
    if (outcome.wait_for(m_options.jobDeadline) == std::future_status::ready) return outcome.get();
    {
        // Still queued: withdrawn, never carried out. Taken up: under way,
        // bounded by the controller's wait times.
        std::lock_guard<std::mutex> lock(line.mutex);
        auto queued = std::find(line.tasks.begin(), line.tasks.end(), task);
        if (queued != line.tasks.end()) {
            line.tasks.erase(queued);
            Result r = Outcome(DEVCTRL_NOANSWER);
            r.meaning = "the line did not take it up within " + std::to_string(m_options.jobDeadline.count()) +
                        " ms; not carried out";
            return r;
        }
    }
    return outcome.get();
}

std::string Gateway::Refusal(const std::string& device, int channel, const toolkit::Asked& asked) const {
    toolkit::Value v;
    return Admitted(device, channel, asked, v);
}

std::string Gateway::Admitted(const std::string& device, int channel, const toolkit::Asked& asked,
                              toolkit::Value& value) const {
    int i = DeviceIndex(device);
    if (i < 0 || channel < 0 || static_cast<size_t>(channel) >= m_deviceModels[static_cast<size_t>(i)].channels.size())
        return "no channel " + std::to_string(channel) + " on " + device;
    const Device& d = *m_devices[static_cast<size_t>(i)];
    std::string why;
    toolkit::Admit(toolkit::KindOf(d.rows()[static_cast<size_t>(channel)], d.site.file.description.properties), asked,
                   value, why);
    return why;
}

AuditRecord Gateway::Taken(const Caller& caller, const std::string& device, int channel) const {
    AuditRecord r;
    r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count();
    r.face = caller.face;
    r.who = caller.who;
    r.device = device;
    if (channel < 0) {
        r.before = "null";
        return r;
    }
    int i = DeviceIndex(device);
    const auto* channels = i < 0 ? nullptr : &m_deviceModels[static_cast<size_t>(i)].channels;
    if (channels != nullptr && static_cast<size_t>(channel) < channels->size()) {
        r.channel = (*channels)[static_cast<size_t>(channel)].name;
        r.before = "{" + ReadingMembers(Latest(device, channel)) + "}";
    } else {
        r.channel = "#" + std::to_string(channel);
        r.before = "null";
    }
    return r;
}

Result Gateway::Audit(AuditRecord record, Result result) const {
    if (!m_audit) return result;
    record.code = result.code;
    record.meaning = result.meaning;
    record.refused = result.refused;
    m_audit->Push(std::move(record));
    return result;
}

Result Gateway::Refuse(const Caller& caller, const std::string& device, int channel, const std::string& command,
                       const std::string& asked, const std::string& why) {
    if (!m_audit) return Refused(why);
    AuditRecord r = Taken(caller, device, channel);
    r.command = command;
    r.asked = asked;
    return Audit(std::move(r), Refused(why));
}

Result Gateway::Write(const std::string& device, int channel, const toolkit::Asked& asked, const Caller& caller) {
    if (!m_audit) return WriteNow(device, channel, asked, caller);
    AuditRecord r = Taken(caller, device, channel);
    r.asked = AskedJson(asked);
    return Audit(std::move(r), WriteNow(device, channel, asked, caller));
}

Result Gateway::IoCtrl(const std::string& device, const std::string& text, const toolkit::Variables& variables,
                       const Caller& caller) {
    if (!m_audit) return IoCtrlNow(device, text, variables, caller);
    AuditRecord r = Taken(caller, device, -1);
    r.command = text;
    std::map<std::string, toolkit::Value> asked(variables.begin(), variables.end());
    r.asked = VariablesJson(asked);
    return Audit(std::move(r), IoCtrlNow(device, text, variables, caller));
}

Result Gateway::WriteNow(const std::string& device, int channel, const toolkit::Asked& asked, const Caller& caller) {
    int i = DeviceIndex(device);
    if (i < 0 || channel < 0 || static_cast<size_t>(channel) >= m_deviceModels[static_cast<size_t>(i)].channels.size())
        return Outcome(DEVCTRL_BADCOMMAND);
    toolkit::Value v;
    std::string why = Admitted(device, channel, asked, v);
    if (!why.empty()) return Refused(why);
    return Queue(device, caller, [channel, v](Device& d) {
        int rc;
        if (v.type == DATATYPE_INT) {
            int x = v.i;
            rc = d.ctrl->WriteChannel(channel, DATATYPE_INT, &x);
        } else if (v.type == DATATYPE_DOUBLE) {
            double x = v.d;
            rc = d.ctrl->WriteChannel(channel, DATATYPE_DOUBLE, &x);
        } else {
            std::vector<char> text(v.s.begin(), v.s.end());
            text.push_back('\0');
            rc = d.ctrl->WriteChannel(channel, DATATYPE_STRING, text.data());
        }
        return Outcome(rc);
    });
}

Result Gateway::IoCtrlNow(const std::string& device, const std::string& text, const toolkit::Variables& variables,
                          const Caller& caller) {
    int i = DeviceIndex(device);
    if (i < 0) return Outcome(DEVCTRL_BADCOMMAND);
    std::string why;
    if (!toolkit::CheckCommand(text, variables, m_devices[static_cast<size_t>(i)]->site.file.description.properties,
                               why))
        return Refused(why);
    return Queue(device, caller, [text, variables](Device& d) {
        for (const auto& [name, value] : variables) d.rtdb->DeclareVariable(name, value);
        Result r = Outcome(d.ctrl->DevIOCtrl(text.c_str()));
        for (const auto& [name, value] : variables) {
            r.variables[name] = d.rtdb->Variable(name);
            d.rtdb->RemoveVariable(name);
        }
        return r;
    });
}

void Gateway::LineEvent(Line& line, bool up, int code, const std::string& message) {
    SystemTime now = std::chrono::system_clock::now();
    {
        std::lock_guard<std::mutex> lock(line.mutex);
        if (line.reported && line.reportedUp == up) return;
        line.reported = true;
        line.reportedUp = up;
        line.stats.up = up;
        line.stats.since = now;
        line.stats.code = up ? 0 : code;
        line.stats.message = up ? std::string() : message;
        if (!up) ++line.stats.downs;
    }
    Change c;
    c.kind = Change::Kind::Line;
    c.time = now;
    c.line = line.site.name;
    c.event = up ? "up" : "down";
    c.code = code;
    c.message = message;
    Publish(c);
    if (up) return;
    // Every channel read on a failed line keeps its value, marked failed.
    for (Device* d : line.devices) {
        std::vector<Change> failed;
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            for (size_t ch = 0; ch < d->readings.size(); ++ch) {
                Reading& r = d->readings[ch];
                if (r.status == Status::WriteOnly || (r.status == Status::Failed && r.code == code)) continue;
                r.status = Status::Failed;
                r.code = code;
                failed.push_back(Change{Change::Kind::Value, c.time, line.site.name, d->model.name, -1,
                                        static_cast<int>(ch), r, "", 0, ""});
            }
        }
        for (const Change& f : failed) Publish(f, *d);
    }
}

bool Gateway::Connect(Line& line, int& code, std::string& why) {
    toolkit::PortOptions po;
    switch (line.site.kind) {
        case LineSite::Kind::Tcp:
            po.kind = toolkit::PortOptions::Kind::Tcp;
            po.address = line.site.address;
            break;
        case LineSite::Kind::Serial:
            po.device = line.site.port;
            po.line = line.site.serial;
            break;
        case LineSite::Kind::Simulated:
            po.device = line.sim->Path();
            po.line = line.site.serial;
            break;
    }
    po.line.rs485 = line.site.rs485;
    po.line.echo = line.site.echo;
    try {
        line.port = toolkit::OpenPort(po);
    } catch (const toolkit::PortError& e) {
        code = line.downCode = DEVCTRL_ERR_NOPORT;
        why = e.what();
        return false;
    }
    line.tracing =
        std::make_unique<toolkit::TracingPort>(line.port->Communication(), m_options.trace ? stderr : nullptr);
    // Each controller as the host runtime sets it up: created with its own
    // database, given the port, the configuration and every channel.
    for (Device* d : line.devices) {
        d->rtdb = std::make_unique<toolkit::Database>(d->site.file.ChannelTypes());
        d->rtdb->OnStore([this, d, &line](int channel, const toolkit::Database::ChannelState& state) {
            size_t c = static_cast<size_t>(channel);
            Change change{Change::Kind::Value,
                          std::chrono::system_clock::now(),
                          line.site.name,
                          d->model.name,
                          -1,
                          channel,
                          {},
                          "",
                          0,
                          ""};
            {
                std::lock_guard<std::mutex> lock(d->mutex);
                if (c >= d->readings.size()) return;
                size_t scans = d->stats.ScanCount();
                d->stats.Stored(c);
                if (d->stats.ScanCount() != scans) {
                    Keep(d->scans, d->stats.LastScanMs(), kScanWindow);
                    d->lastScanAt = change.time;
                }
                Reading& r = d->readings[c];
                r.status = d->rows()[c].rw == 1 ? Status::WriteOnly : Status::Ok;
                r.hasValue = true;
                r.value = state.value;
                r.code = 0;
                r.at = change.time;
                r.steadyAt = state.at;
                change.reading = r;
            }
            Publish(change, *d);
        });
        try {
            d->ctrl = m_library->Create(d->model.name, d->rtdb.get());
        } catch (const toolkit::PluginError& e) {
            code = line.downCode = DEVCTRL_ERR_ALLOC;
            why = d->model.name + ": the controller cannot be created: " + e.what();
            return false;
        }
        auto use = m_library->Use();
        int rc = d->ctrl->UpdataCommunication(line.tracing.get());
        if (rc == 0) rc = d->ctrl->InitDevice(d->site.file.blob.data(), static_cast<int>(d->site.file.blob.size()));
        d->refs.assign(d->rows().size(), 1);
        if (rc == 0) rc = d->ctrl->ChannelRefChange(d->refs.data(), static_cast<int>(d->refs.size()));
        if (rc != 0) {
            code = line.downCode = rc;
            why = d->model.name + ": the controller could not be set up: " + toolkit::CodeText(rc);
            return false;
        }
        d->failedInRow = 0;
        d->silentInRow = 0;
        d->due = Clock::now();
    }
    return true;
}

void Gateway::Teardown(Line& line) {
    for (Device* d : line.devices) {
        {
            auto use = m_library->Use();
            d->ctrl.Reset();  // cleaned up while its database and port are there
        }
        d->rtdb.reset();
    }
    line.tracing.reset();
    line.port.reset();
}

void Gateway::Collect(Line& line, Device& d) {
    if (!d.online) {
        // A probe: a scan starts with it, should it be answered.
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stats.RestartScan();
    }
    unsigned long before = line.tracing->Requests();
    int rc;
    {
        auto use = m_library->Use();
        rc = d.ctrl->CollectDevData(d.refs.data(), static_cast<int>(d.refs.size()));
    }
    line.tracing->EndRequest();
    std::vector<double> lat = line.tracing->TakeLatencies();
    std::vector<Change> failed;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stats.Called(rc);
        d.requests += line.tracing->Requests() - before;
        for (double l : lat) {
            Keep(d.latencies, l, kLatencyWindow);
            const std::vector<double>& bounds = LatencyBoundsMs();
            for (size_t b = 0; b < bounds.size(); ++b)
                if (l <= bounds[b]) ++d.latencyAtMost[b];
            ++d.latencyCount;
            d.latencySumMs += l;
        }
        if (rc != 0) {
            // The channels this scan has not reached yet are the failed step's
            // (or behind it): they keep their value, marked failed.
            for (size_t c = 0; c < d.readings.size(); ++c) {
                Reading& r = d.readings[c];
                if (r.status == Status::WriteOnly || d.stats.SeenThisScan(c) ||
                    (r.status == Status::Failed && r.code == rc))
                    continue;
                r.status = Status::Failed;
                r.code = rc;
                failed.push_back(Change{Change::Kind::Value, std::chrono::system_clock::now(), line.site.name,
                                        d.model.name, -1, static_cast<int>(c), r, "", 0, ""});
            }
        }
    }
    for (const Change& f : failed) Publish(f, d);
    d.failedInRow = rc == 0 ? 0 : d.failedInRow + 1;
    d.lastCode = rc;
    Judge(d, rc);

    std::lock_guard<std::mutex> lock(line.mutex);
    // A cycle: every online device completed a full scan since the last one.
    bool cycle = false, missing = false;
    for (size_t i = 0; i < line.devices.size() && !missing; ++i) {
        std::lock_guard<std::mutex> dl(line.devices[i]->mutex);
        if (!line.devices[i]->online) continue;
        cycle = true;
        missing = line.devices[i]->stats.ScanCount() <= line.cycleScans[i];
    }
    if (cycle && !missing) {
        auto now = Clock::now();
        line.stats.lastCycleMs = toolkit::Ms(now - line.cycleStart);
        ++line.stats.cycles;
        Keep(line.cycles, line.stats.lastCycleMs, kScanWindow);
        line.cycleStart = now;
        for (size_t i = 0; i < line.devices.size(); ++i) {
            std::lock_guard<std::mutex> dl(line.devices[i]->mutex);
            line.cycleScans[i] = line.devices[i]->stats.ScanCount();
        }
    }
}

void Gateway::Judge(Device& d, int rc) {
    auto now = Clock::now();
    auto interval = std::chrono::milliseconds(d.site.intervalMs);
    auto probeMax = std::chrono::milliseconds(std::chrono::seconds(d.site.probeMaxS));
    bool online;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        online = d.online;
    }
    if (!online) {
        // A probe: any answer brings the device back; none doubles the pause.
        if (rc != DEVCTRL_NOANSWER) {
            DeviceEvent(d, true, rc, "answered a probe");
            d.due = now + interval;
        } else {
            d.probePause = std::min(d.probePause * 2, probeMax);
            d.due = now + d.probePause;
        }
        return;
    }
    d.silentInRow = rc == DEVCTRL_NOANSWER ? d.silentInRow + 1 : 0;
    d.due = now + interval;
    if (d.silentInRow < d.site.offlineAfter) return;
    d.silentInRow = 0;
    // Probes ask for the first planned request: setting the channels again
    // puts the controller's cursor back there, and a probe that fails leaves
    // it there.
    {
        auto use = m_library->Use();
        d.ctrl->ChannelRefChange(d.refs.data(), static_cast<int>(d.refs.size()));
    }
    d.probePause = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(m_options.probeFirst), probeMax);
    d.due = now + d.probePause;
    DeviceEvent(d, false, rc,
                "no answer to " + std::to_string(d.site.offlineAfter) + " step" +
                    (d.site.offlineAfter == 1 ? "" : "s") + " in a row");
}

void Gateway::DeviceEvent(Device& d, bool online, int code, const std::string& reason) {
    SystemTime now = std::chrono::system_clock::now();
    Change c{Change::Kind::Device, now,   d.line->site.name, d.model.name, -1, -1, {}, online ? "online" : "offline",
             online ? 0 : code,    reason};
    std::vector<Change> failed;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.online = online;
        d.since = now;
        d.stateCode = c.code;
        d.reason = reason;
        if (!online) {
            ++d.offlines;
            // Every channel read keeps its value, marked failed.
            for (size_t ch = 0; ch < d.readings.size(); ++ch) {
                Reading& r = d.readings[ch];
                if (r.status == Status::WriteOnly || (r.status == Status::Failed && r.code == code)) continue;
                r.status = Status::Failed;
                r.code = code;
                failed.push_back(
                    Change{Change::Kind::Value, now, c.line, c.device, -1, static_cast<int>(ch), r, "", 0, ""});
            }
        }
    }
    Publish(c, d);
    for (const Change& f : failed) Publish(f, d);
}

void Gateway::RunLine(Line& line) {
    auto backoff = m_options.backoffMin;
    auto runTasks = [&line] {
        std::unique_lock<std::mutex> lock(line.mutex);
        while (!line.tasks.empty()) {
            std::shared_ptr<Job> job = std::move(line.tasks.front());
            line.tasks.pop_front();
            lock.unlock();
            try {
                job->outcome.set_value(job->run());
            } catch (...) {  // e.g. no memory: the caller gets it, the line goes on
                job->outcome.set_exception(std::current_exception());
            }
            lock.lock();
        }
    };
    // Waits until the time, a task or the stop, carrying out tasks that come;
    // wakes at least every kBeatPeriod to show it is alive.
    auto waitUntil = [&](Clock::time_point when) {
        std::unique_lock<std::mutex> lock(line.mutex);
        line.beat = BeatNow();
        line.cv.wait_until(lock, std::min(when, Clock::now() + kBeatPeriod),
                           [&line] { return line.stop.load() || !line.tasks.empty(); });
    };
    auto fail = [&](int code, const std::string& why) {
        Teardown(line);
        line.downCode = code;
        LineEvent(line, false, code, why);
        auto until = Clock::now() + backoff;
        while (!line.stop && Clock::now() < until) {
            runTasks();
            waitUntil(until);
        }
        backoff = std::min(backoff * 2, m_options.backoffMax);
    };
    while (!line.stop) {
        line.beat = BeatNow();
        if (!line.port) {
            int code = 0;
            std::string why;
            if (!Connect(line, code, why)) {
                fail(code, why);
                continue;
            }
        }
        runTasks();
        // The next device due, round robin from the one after the last.
        Device* next = nullptr;
        Clock::time_point earliest = Clock::time_point::max();
        auto now = Clock::now();
        for (size_t k = 0; k < line.devices.size(); ++k) {
            Device* d = line.devices[(line.next + k) % line.devices.size()];
            if (d->due <= now) {
                next = d;
                line.next = (line.next + k + 1) % line.devices.size();
                break;
            }
            earliest = std::min(earliest, d->due);
        }
        if (next == nullptr) {
            waitUntil(earliest);
            continue;
        }
        Collect(line, *next);
        if (next->failedInRow == 0) {
            backoff = m_options.backoffMin;
            LineEvent(line, true, 0, "polling");
        }
        bool silent = std::all_of(line.devices.begin(), line.devices.end(), [this](const Device* d) {
            std::lock_guard<std::mutex> lock(d->mutex);
            return !d->online || d->failedInRow >= m_options.silentCalls;
        });
        if (silent) {
            int code = next->lastCode;
            fail(code, "every device on the line failed: " + toolkit::CodeText(code));
        }
    }
    runTasks();
    Teardown(line);
}

}  // namespace gateway
