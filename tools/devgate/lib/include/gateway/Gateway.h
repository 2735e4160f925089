// The gateway: polls the devices of a site around the clock, one thread per
// line, and offers what it reads to the faces that publish it (a web page, a
// broker, a register server): the site's model, the latest value of every
// channel, a change feed, statistics, writes and commands.
//
// Each line's thread owns the line's port and its devices' controllers and
// databases; the devices take turns, one collection step (CollectDevData) a
// turn, round robin, none more often than its interval. A device that does
// not answer several steps in a row goes offline: it loses its turns and is
// only probed now and then until it answers again, so a silent device does not
// slow its line. Writes and commands are queued to the thread and carried out
// between steps. A line that fails (no port, no server, every PLC silent) is
// reported on the feed, torn down and set up again after a growing pause; the
// other lines go on.
//
// Reload() takes a new site while polling: lines whose settings and devices
// did not change go on untouched, the others are stopped or set up.
//
// Every public member but Reload may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gateway/Audit.h"
#include "gateway/SimulatedLine.h"
#include "gateway/Site.h"
#include "toolkit/CommandCheck.h"
#include "toolkit/Database.h"
#include "toolkit/Plugin.h"
#include "toolkit/ValueRule.h"

namespace gateway {

using SystemTime = std::chrono::system_clock::time_point;

enum class Status { NeverRead, Ok, Failed, WriteOnly };
// "never", "ok", "failed", "w-only"
const char* StatusWord(Status status);

// The latest value of a channel. A failed channel keeps its last value (if it
// had one) with the failure code.
struct Reading {
    Status status = Status::NeverRead;
    bool hasValue = false;
    toolkit::Value value;
    int code = 0;     // Failed: the collection step's code
    SystemTime at{};  // when the value was stored
    std::chrono::steady_clock::time_point steadyAt{};
};

struct ChannelModel {
    std::string name;
    std::string element;  // "D100", ...
    DATATYPE type = DATATYPE_NONE;
    int rw = 0;  // 0 read, 1 write only, 2 read and write
};

struct DeviceModel {
    std::string name;
    std::string line;
    int station = 0;
    std::vector<ChannelModel> channels;
    const std::vector<devdesc::Row>* rows = nullptr;  // the description's
};

struct LineModel {
    std::string name;
    std::vector<std::string> devices;
};

// An entry of the change feed: a value stored (or a channel failed), a line
// event ("up", "down"), a device event ("online", "offline") or the site
// reloaded ("reloaded"): the changes after that one carry the new site's
// device indices.
struct Change {
    enum class Kind { Value, Line, Device, Site };
    Kind kind = Kind::Value;
    SystemTime time{};
    std::string line;
    std::string device;    // Value, Device
    int deviceIndex = -1;  // Value, Device: the device's index in Gateway::Devices()
    int channel = -1;      // Value
    Reading reading;       // Value
    std::string event;     // Line, Device, Site
    int code = 0;          // Line, Device
    std::string message;   // Line, Device, Site
};

// A subscriber's queue: bounded; what does not fit is dropped and counted,
// so a slow subscriber never holds up a line.
class Subscription {
public:
    explicit Subscription(size_t capacity) : m_capacity(capacity) {}

    // The next change, waiting at most timeout; false when none came.
    bool Pop(Change& change, std::chrono::milliseconds timeout);
    // All changes dropped so far.
    unsigned long Dropped() const;
    // The changes dropped since the last call, 0 when none. When some were,
    // the queue is emptied too: what it held is older than the state the
    // subscriber now reads afresh (Gateway::Readings, Stats), and what comes
    // after is newer. A face calls it after each batch it took and catches
    // up once per overflow.
    unsigned long Overflowed();
    void Push(const Change& change);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Change> m_queue;
    size_t m_capacity;
    unsigned long m_dropped = 0;
    unsigned long m_caughtUp = 0;  // m_dropped at the last Overflowed()
};

// The outcome of a write or a command: the controller's code, its meaning,
// and for a command the host variables it was given, as they are after it.
// A write or command refused before anything was sent has code 5 and says
// why in refused.
struct Result {
    int code = 0;
    std::string meaning;
    std::map<std::string, toolkit::Value> variables;
    std::string refused;
};

// Who asked for a write or a command: the face ("http", "modbus", "mqtt")
// and, where it knows one, the user or the client's address.
struct Caller {
    std::string face;
    std::string who;
    // "http:alice", "modbus:127.0.0.1", "mqtt"
    std::string Text() const { return who.empty() ? face : face + ":" + who; }
};

struct DeviceStats {
    long calls = 0;
    unsigned long requests = 0;
    std::map<int, long> failures;  // by code
    size_t scans = 0;              // full scans completed
    double lastScanMs = 0.0;
    SystemTime lastScanAt{};    // when the last full scan completed; zero before the first
    unsigned intervalMs = 0;    // the device's polling interval
    double medianScanMs = 0.0;  // of the recent full scans
    double latencyP50Ms = 0.0, latencyP90Ms = 0.0, latencyP99Ms = 0.0;  // of the recent requests
    // Every request since the start: how many took at most each of
    // LatencyBoundsMs() (one count a bound), how many in all, and their sum.
    std::vector<unsigned long> latencyAtMost;
    unsigned long latencyCount = 0;
    double latencySumMs = 0.0;
    // Offline: left out of its line's turns after steps without an answer,
    // probed until it answers again.
    bool online = true;
    SystemTime since{};          // of the last change of state (the gateway's start before any)
    int code = 0;                // of the last change to offline: 2
    std::string reason;          // of the last change of state
    unsigned long offlines = 0;  // times it went offline
};

// The bounds of the request latency counts, ms, ascending.
const std::vector<double>& LatencyBoundsMs();

struct LineStats {
    bool up = false;
    SystemTime since{};       // of the last "up" or "down"
    int code = 0;             // of the last "down"
    std::string message;      // of the last "down"
    unsigned long downs = 0;  // times the line failed
    size_t cycles = 0;        // rounds in which every online device completed a full scan
    double lastCycleMs = 0.0;
    double medianCycleMs = 0.0;    // of the recent cycles
    unsigned long requests = 0;    // of all its devices
    std::map<int, long> failures;  // of all its devices, by code
};

struct Options {
    std::string plugin;  // the plug-in's shared library
    std::chrono::milliseconds backoffMin{200};
    std::chrono::milliseconds backoffMax{5000};
    int silentCalls = 2;  // failed calls in a row of every online device that make a line fail
    bool trace = false;   // frames to stderr
    // An offline device's first probe comes this long after it went offline;
    // the pause doubles after every probe without an answer, up to its
    // probe_max_s.
    std::chrono::milliseconds probeFirst{1000};
    // How long Write and IoCtrl wait for the line to take their job up.
    std::chrono::milliseconds jobDeadline{10000};
};

// Lowers the calling thread's priority below the lines' (once a thread; nice
// is per thread on Linux): a face's serving threads under load slow their
// answers, not the polling.
void YieldToLines();

// The lines of a reload by name, each in the new site's order (removed: the
// old site's).
struct ReloadOutcome {
    std::vector<std::string> kept;     // polling on without a gap
    std::vector<std::string> changed;  // stopped, then set up anew
    std::vector<std::string> added;
    std::vector<std::string> removed;
    std::string Summary() const;  // "kept a, b; changed c; added none; removed d"
};

class Gateway {
public:
    // Sets up the model and the simulated lines; throws toolkit::PortError
    // when a simulator cannot start and toolkit::PluginError when the plug-in
    // cannot be loaded. Polling starts with Start().
    Gateway(Site site, Options options);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    void Start();
    // Ends every line: controllers cleaned up and destroyed, ports closed.
    void Stop();

    // The longest time since a running line's thread last went round its
    // loop; an idle thread does so at least every kBeatPeriod. A line stuck in
    // a call shows here, which the service watchdog heeds.
    static constexpr std::chrono::milliseconds kBeatPeriod{500};
    // Takes the new site (loaded and checked): the lines SameLine finds in
    // it keep their threads, controllers, readings and statistics; changed
    // and removed lines are stopped and torn down, changed and added ones
    // set up (and started, when the gateway runs). Devices() and Lines()
    // follow the new site's order. Throws toolkit::PortError, changing
    // nothing, when a new simulator cannot start. No other thread may call
    // members meanwhile, but Stalest() and the subscriptions' own.
    ReloadOutcome Reload(Site site);
    std::chrono::steady_clock::duration Stalest() const;

    const std::vector<LineModel>& Lines() const { return m_lineModels; }
    const std::vector<DeviceModel>& Devices() const { return m_deviceModels; }
    // The device's index in Devices(), -1 when there is none of that name.
    int DeviceIndex(const std::string& name) const;

    Reading Latest(const std::string& device, int channel) const;
    std::vector<Reading> Readings(const std::string& device) const;
    // The readings of channels first .. first + count - 1 only (fewer past
    // the last channel): one lock, no copy of the others.
    std::vector<Reading> Readings(const std::string& device, int first, int count) const;
    std::shared_ptr<Subscription> Subscribe(size_t capacity = 4096);
    DeviceStats Stats(const std::string& device) const;
    LineStats LineStatsOf(const std::string& line) const;

    // Queued to the device's line and carried out between collection steps;
    // waits for the outcome. Code 5 for an unknown device or channel; -2 when
    // the line has no port (or the code that keeps the line down); 2 when the
    // line has not taken the job up within Options::jobDeadline: it is then
    // withdrawn, never carried out. A job under way is awaited: the
    // controller's own wait times bound it. A value the channel cannot hold (toolkit::Admit)
    // is refused before anything is sent.
    // The caller goes with the job to the line's thread.
    Result Write(const std::string& device, int channel, const toolkit::Asked& value, const Caller& caller = {});
    // Why the channel cannot hold the value; empty when it can.
    std::string Refusal(const std::string& device, int channel, const toolkit::Asked& value) const;
    // A command runs with the given variables only: they are declared before
    // it, read back after it and removed. A command toolkit::CheckCommand
    // refuses is not sent.
    Result IoCtrl(const std::string& device, const std::string& text, const toolkit::Variables& variables,
                  const Caller& caller = {});

    // Every Write and IoCtrl from now on, and every Refuse, goes to the
    // queue as an audit record (none without a queue). While no face calls
    // Write, IoCtrl or Refuse.
    void SetAudit(std::shared_ptr<AuditQueue> queue) { m_audit = std::move(queue); }
    // A write (channel >= 0) or a command a face refused before asking the
    // gateway (a read-only channel, a user without the right, a value it
    // could not read): recorded as refused with why; code 5.
    Result Refuse(const Caller& caller, const std::string& device, int channel, const std::string& command,
                  const std::string& asked, const std::string& why);

    // The simulated PLCs of a simulated line; nullptr for other lines.
    SimulatedLine* Simulator(const std::string& line);

    struct Device;
    struct Line;

private:
    void RunLine(Line& line);
    bool Connect(Line& line, int& code, std::string& why);
    void Teardown(Line& line);
    void Collect(Line& line, Device& device);
    // After a step: the device's next turn, and whether it goes offline or
    // comes back.
    void Judge(Device& device, int rc);
    void LineEvent(Line& line, bool up, int code, const std::string& message);
    void Publish(const Change& change);
    // A device's change, with the device's index as it is when published.
    void Publish(Change change, const Device& device);
    // To every subscriber; m_subsMutex held.
    void Deliver(const Change& change);
    std::unique_ptr<Line> MakeLine(LineSite site);
    // Devices(), Lines() and the device indices from m_lines.
    void Index();
    void DeviceEvent(Device& device, bool online, int code, const std::string& reason);
    Result Queue(const std::string& device, const Caller& caller, std::function<Result(Device&)> job);
    // Why the channel cannot hold the value (empty when it can), and the value it takes.
    std::string Admitted(const std::string& device, int channel, const toolkit::Asked& asked,
                         toolkit::Value& value) const;

    // An audit record of a request now: who, the device, the channel (or
    // -1) and its reading. Then Audit() with the outcome hands it on.
    AuditRecord Taken(const Caller& caller, const std::string& device, int channel) const;
    Result Audit(AuditRecord record, Result result) const;
    Result WriteNow(const std::string& device, int channel, const toolkit::Asked& value, const Caller& caller);
    Result IoCtrlNow(const std::string& device, const std::string& text, const toolkit::Variables& variables,
                     const Caller& caller);

    Options m_options;
    std::shared_ptr<AuditQueue> m_audit;
    std::vector<LineModel> m_lineModels;
    std::vector<DeviceModel> m_deviceModels;
    std::vector<Device*> m_devices;   // owned by their lines
    mutable std::mutex m_linesMutex;  // m_lines against Stalest() while reloading
    std::vector<std::unique_ptr<Line>> m_lines;
    bool m_running = false;
    std::shared_ptr<toolkit::PluginLibrary> m_library;  // the plug-in, loaded once
    std::mutex m_subsMutex;
    std::vector<std::weak_ptr<Subscription>> m_subs;
};

}  // namespace gateway
