// The MQTT face on libmosquitto. Four kinds of threads: the network thread
// runs the connection (mosquitto_loop, reconnecting with a growing pause) and
// the callbacks, which only check and queue what comes in; the feed thread
// takes the gateway's changes and keeps each channel's latest; the publisher
// publishes what changed (with a backlog: what the history recorded, in
// order); one worker a line carries out the writes and commands for that
// line's devices, in the order they came.
#include "gateway/MqttFace.h"

#include <mosquitto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <vector>

#include "DeviceDescription.h"
#include "gateway/HistoryDb.h"
#include "gateway/Json.h"
#include "toolkit/Output.h"

namespace gateway {
namespace {

using namespace std::chrono_literals;

void InitLibrary() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

// A name must be one topic level; the reason when not.
std::string NameFault(const std::string& what, const std::string& name);

std::string IsoMs(int64_t ms) { return toolkit::Iso8601(SystemTime(std::chrono::milliseconds(ms))); }

// A channel's retained payload.
std::string ValuePayload(const Reading& r) { return "{" + ReadingMembers(r) + "}"; }

// What makes a reading worth publishing again: status, code and value.
std::string ChangeKey(const Reading& r) {
    return std::string(StatusWord(r.status)) + ' ' + std::to_string(r.code) + ' ' +
           (r.hasValue ? toolkit::JsonValue(r.value) : std::string("null"));
}

// One line's writes and commands, carried out in order by a thread of its own.
class Worker {
public:
    explicit Worker(size_t capacity) : m_capacity(capacity), m_thread([this] { Run(); }) {}
    ~Worker() { Stop(); }

    // False when the queue is full or the worker stopped.
    bool Post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop || m_jobs.size() >= m_capacity) return false;
            m_jobs.push_back(std::move(job));
        }
        m_cv.notify_all();
        return true;
    }
    // Drops what waits; a job under way finishes first.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_jobs.clear();
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
                if (m_stop) return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    size_t m_capacity;
    bool m_stop = false;
    std::thread m_thread;  // last: it starts once the rest is there
};

}  // namespace

struct MqttFace::Impl {
    Impl(Gateway& gateway, MqttOptions options) : g(gateway), o(std::move(options)) {}

    struct Sent {
        std::string key;
        SystemTime at{};
    };
    struct LineState {
        std::string event, time, message;
        int code = 0;
    };

    Gateway& g;
    MqttOptions o;
    std::string user, password;
    mosquitto* mosq = nullptr;
    std::map<std::string, size_t> deviceIndex;
    std::vector<std::map<std::string, int>> channelIndex;    // per device, by name
    std::map<std::string, std::unique_ptr<Worker>> workers;  // by line
    std::shared_ptr<Subscription> feed;
    std::thread feeder, publisher, network;
    bool networkStop = false;  // under ackMutex
    bool started = false;
    std::atomic<bool> stopping{false}, connected{false}, everConnected{false}, resync{false}, waitingLogged{false};

    std::atomic<unsigned long> reconnects{0};
    mutable std::mutex ackMutex;
    std::condition_variable ackCv;
    long unacked = 0;
    bool watchAcks = false;  // while stopping: which messages were acknowledged
    std::vector<int> acked;

    std::mutex recentMutex;
    RecentMessages recent{std::chrono::minutes(10), 4096};

    // Between the feed thread and the publisher.
    struct Slot {
        Reading latest;
        bool pending = false;
    };
    mutable std::mutex pendingMutex;
    std::condition_variable pendingCv;
    std::vector<std::vector<Slot>> slots;         // per device, per channel
    std::deque<std::pair<size_t, size_t>> dirty;  // channels with a reading to look at, in order
    std::deque<Change> lineEvents;                // at most kMaxLineEvents
    static constexpr size_t kMaxLineEvents = 1024;
    unsigned long lineEventsDropped = 0;

    // The publisher thread's own.
    std::vector<std::vector<Sent>> sent;  // per device, per channel
    std::map<std::string, LineState> lines;

    // The backlog. A position: the last sample and gap row taken, and the
    // time of that sample (the start of a gap retention makes).
    struct Position {
        int64_t sample = 0, gap = 0, ms = -1;
        bool operator!=(const Position& p) const { return sample != p.sample || gap != p.gap || ms != p.ms; }
    };
    // A message sent and the position once the broker has it.
    struct Flight {
        int mid = -1;
        Position after;
        bool acked = false;
    };
    bool backlog = false;
    std::unique_ptr<HistoryDb> history;  // the publisher's, then Stop's
    Position sentAt;                     // the publisher's
    Position savedAt;                    // in the database
    std::deque<Flight> flights;          // under ackMutex, in the order sent
    std::deque<int> otherAcks;           // under ackMutex: the last acknowledgements of no flight
    Position ackedAt;                    // under ackMutex: every message up to here acknowledged
    unsigned connection = 0;             // under ackMutex: connections so far
    int64_t behind = 0;                  // under ackMutex (no 64-bit atomics on ARMv5)

    std::string Topic(const std::string& device, const std::string& leaf) const {
        return o.prefix + "/" + device + "/" + leaf;
    }
    void Log(const std::string& text) const {
        if (o.log) std::cerr << "devgate: mqtt " << text << "\n";
    }

    // QoS 1; counts the message until the broker acknowledges it. It is
    // counted before it goes out, so that an acknowledgement the network
    // thread sees first always finds it counted.
    int Send(const std::string& topic, const std::string& payload, bool retain) {
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            ++unacked;
        }
        int mid = 0;
        int rc =
            mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
        if (rc == MOSQ_ERR_SUCCESS) return mid;
        Uncount();
        ackCv.notify_all();
        return -1;
    }

    // A new connection starts the count afresh, and the library may still
    // deliver acknowledgements of messages sent before: the count stops at 0.
    void Uncount() {
        std::lock_guard<std::mutex> lock(ackMutex);
        if (unacked > 0) --unacked;
    }

    void Refuse(const std::string& device, const std::string& topic, const std::string& reason, int code = 0) {
        std::string payload = "{\"topic\":" + devdesc::Quote(topic) + ",\"reason\":" + devdesc::Quote(reason);
        if (code != 0) payload += ",\"code\":" + std::to_string(code);
        Send(Topic(device, "$error"), payload + ",\"time\":\"" + toolkit::Iso8601Now() + "\"}", false);
    }

    // --- the network thread's callbacks

    void OnConnect(int rc, int flags) {
        if (rc != 0) {
            if (!waitingLogged.exchange(true))
                Log("refused by the broker: " + std::string(mosquitto_connack_string(rc)));
            return;
        }
        if ((flags & 1) == 0) {
            // A new session: the broker holds nothing of ours to deliver again.
            std::lock_guard<std::mutex> lock(recentMutex);
            recent.Clear();
        }
        for (const std::string& topic : {o.prefix + "/+/+/set", o.prefix + "/+/$ioctl"})
            if (int sub = mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1); sub != MOSQ_ERR_SUCCESS) {
                // Writes or commands would go unheard: a new connection tries again.
                Log("cannot subscribe to " + topic + ": " + mosquitto_strerror(sub) + "; connecting again");
                mosquitto_disconnect(mosq);
                return;
            }
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            unacked = 0;
            connected = true;
            ++connection;
        }
        ackCv.notify_all();
        if (everConnected.exchange(true)) ++reconnects;
        resync = true;
        pendingCv.notify_all();
        waitingLogged = false;
        Log("connected to " + Describe());
    }

    void OnDisconnect(int rc) {
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            connected = false;
        }
        ackCv.notify_all();
        NoteDown(rc);
    }

    // Once per outage: the connection failed (the library calls no
    // callback when a connection fails before it is made, TLS's among them).
    void NoteDown(int rc) {
        if (stopping || waitingLogged.exchange(true)) return;
        std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        Log(std::string(everConnected ? "lost the broker" : "waiting for the broker") + " at " + o.host + ":" +
            std::to_string(o.port) + " (" + why + "); trying again");
    }

    void OnPublish(int mid) {
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            if (unacked > 0) --unacked;  // see Uncount
            if (watchAcks) acked.push_back(mid);
            if (backlog) Acknowledged(mid);
        }
        ackCv.notify_all();
    }

    void OnMessage(const mosquitto_message& m) {
        if (stopping || m.topic == nullptr) return;
        std::string topic = m.topic;
        std::string payload;
        if (m.payload != nullptr && m.payloadlen > 0)
            payload.assign(static_cast<const char*>(m.payload), static_cast<size_t>(m.payloadlen));
        if (m.qos > 0) {
            std::lock_guard<std::mutex> lock(recentMutex);
            if (recent.Seen(m.mid, topic, payload, RecentMessages::Clock::now())) return;
        }
        // (A session kept from a run with another prefix may still deliver its topics.)
        if (topic.size() <= o.prefix.size() + 1 || topic.compare(0, o.prefix.size() + 1, o.prefix + "/") != 0) return;
        std::vector<std::string> parts;
        for (size_t at = o.prefix.size() + 1;;) {
            size_t slash = topic.find('/', at);
            parts.push_back(topic.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
            if (slash == std::string::npos) break;
            at = slash + 1;
        }
        const std::string& device = parts[0];
        auto d = deviceIndex.find(device);
        // Every message here is a write or a command (the topics subscribed
        // to), so each refusal is recorded; a payload beyond the limit is not
        // copied into the record.
        if (d == deviceIndex.end()) return Unheard(device, -1, "", topic, devdesc::Quote(payload), "no such device");
        if (static_cast<size_t>(m.payloadlen) > o.payloadLimit)
            return Unheard(device, -1, "", topic, "null",
                           "the payload is longer than " + std::to_string(o.payloadLimit) + " bytes");
        if (m.retain)
            return Unheard(device, -1, "", topic, devdesc::Quote(payload), "a retained message is not carried out");
        if (parts.size() == 2 && parts[1] == "$ioctl") return Command(d->second, topic, payload);
        if (parts.size() == 3 && parts[2] == "set") return Set(d->second, parts[1], topic, payload);
        Unheard(device, -1, "", topic, devdesc::Quote(payload), "no such channel");
    }

    // A write (channel >= 0: of that channel) or command refused here:
    // recorded, and answered on the device's $error topic.
    void Unheard(const std::string& device, int channel, const std::string& command, const std::string& topic,
                 const std::string& asked, const std::string& reason) {
        g.Refuse(Caller{"mqtt", topic}, device, channel, command, asked, reason);
        Refuse(device, topic, reason);
    }

    // False when the line's queue is full.
    bool Post(size_t d, std::function<void()> job) {
        auto w = workers.find(g.Devices()[d].line);
        return w != workers.end() && w->second->Post(std::move(job));
    }
    static constexpr const char* kBusy = "too many writes and commands wait for the line";

    void Set(size_t d, const std::string& channel, const std::string& topic, const std::string& payload) {
        const DeviceModel& dm = g.Devices()[d];
        auto c = channelIndex[d].find(channel);
        if (c == channelIndex[d].end())
            return Unheard(dm.name, -1, "", topic, devdesc::Quote(payload), "no such channel");
        const ChannelModel& ch = dm.channels[static_cast<size_t>(c->second)];
        int index = c->second;
        if (ch.rw == 0) return Unheard(dm.name, index, "", topic, devdesc::Quote(payload), "the channel is read only");
        std::string text = payload;
        if (!text.empty() && text.front() == '"') {
            nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
            if (!j.is_string())
                return Unheard(dm.name, index, "", topic, devdesc::Quote(payload), "malformed JSON string");
            text = j.get<std::string>();
        } else if (ch.type != DATATYPE_STRING) {
            text = toolkit::Trim(text);
        }
        bool posted = Post(d, [this, device = dm.name, index, asked = toolkit::Asked::Text(text), topic] {
            Result r = g.Write(device, index, asked, Caller{"mqtt", topic});
            if (!r.refused.empty())
                Refuse(device, topic, r.refused);
            else if (r.code != 0)
                Refuse(device, topic, "the write failed: " + r.meaning, r.code);
        });
        if (!posted) Unheard(dm.name, index, "", topic, AskedJson(toolkit::Asked::Text(text)), kBusy);
    }

    void Command(size_t d, const std::string& topic, const std::string& payload) {
        const DeviceModel& dm = g.Devices()[d];
        std::string text = toolkit::Trim(payload);
        toolkit::Variables vars;
        if (!text.empty() && text.front() == '{') {
            nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
            if (!j.is_object() || !j.contains("command") || !j["command"].is_string())
                return Unheard(dm.name, -1, text, topic, "{}",
                               "malformed command: expected {\"command\":\"...\",\"variables\":{...}}");
            text = j["command"].get<std::string>();
            if (j.contains("variables")) {
                std::string asked = j["variables"].dump();
                if (!j["variables"].is_object())
                    return Unheard(dm.name, -1, text, topic, asked, "malformed command: variables");
                for (const auto& [name, value] : j["variables"].items()) {
                    toolkit::Value v;
                    std::string why;
                    if (!VariableFromJson(value, v, why))
                        return Unheard(dm.name, -1, text, topic, asked, "variable " + name + ": " + why);
                    vars.emplace_back(name, v);
                }
            }
        }
        if (text.empty()) return Unheard(dm.name, -1, text, topic, "{}", "empty command");
        bool posted = Post(d, [this, device = dm.name, text, vars, topic] {
            Result r = g.IoCtrl(device, text, vars, Caller{"mqtt", topic});
            if (!r.refused.empty()) return Refuse(device, topic, r.refused);
            Send(Topic(device, "$ioctl/result"), ResultJson(r, text, true), false);
        });
        if (!posted) Unheard(dm.name, -1, text, topic, VariablesJson({vars.begin(), vars.end()}), kBusy);
    }

    // --- the network thread

    // The connection, and a new one after a pause that doubles from the
    // shortest to the longest while the broker cannot be reached. (The
    // library's own thread does not try again when the first connection
    // fails; this one does.)
    void RunNetwork(int rc) {
        unsigned delay = o.reconnectMinS;
        auto attempt = std::chrono::steady_clock::now();
        for (;;) {
            if (rc == MOSQ_ERR_SUCCESS) {
                rc = mosquitto_loop(mosq, 100, 1);
                if (connected) {
                    delay = o.reconnectMinS;
                } else if (rc == MOSQ_ERR_SUCCESS) {
                    rc = Connecting(attempt);
                }
                continue;
            }
            NoteDown(rc);
            {
                std::unique_lock<std::mutex> lock(ackMutex);
                if (ackCv.wait_for(lock, std::chrono::seconds(delay), [this] { return networkStop; })) return;
            }
            delay = std::min(delay * 2, o.reconnectMaxS);
            attempt = std::chrono::steady_clock::now();
            rc = mosquitto_reconnect(mosq);
        }
    }

    // A connection under way: failed when its socket reports an error or is
    // closed (the library goes on with a refused TLS connection as if it were
    // pending, and spins), or when it is not up 10 s after the attempt.
    int Connecting(std::chrono::steady_clock::time_point attempt) {
        int sock = mosquitto_socket(mosq);
        int error = 0;
        socklen_t len = sizeof error;
        if (sock >= 0 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error != 0) {
            errno = error;
            return MOSQ_ERR_ERRNO;
        }
        char byte;
        if (sock >= 0 && recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return MOSQ_ERR_CONN_LOST;  // closed
        if (std::chrono::steady_clock::now() - attempt > 10s) return MOSQ_ERR_NO_CONN;
        return MOSQ_ERR_SUCCESS;
    }

    // --- the publisher thread

    // Waits while too many messages are unacknowledged (the feed thread
    // keeps the newest reading of every channel meanwhile).
    void Throttle() {
        std::unique_lock<std::mutex> lock(ackMutex);
        while (unacked > static_cast<long>(o.unacknowledged) && connected && !stopping) ackCv.wait_for(lock, 100ms);
    }

    // The line's state, and the device's own beside it.
    void PublishState(const std::string& device, const std::string& line) {
        auto l = lines.find(line);
        if (l == lines.end()) return;
        DeviceStats s = g.Stats(device);
        std::string payload = "{\"line\":" + devdesc::Quote(line) + ",\"state\":\"" + l->second.event +
                              "\",\"time\":\"" + l->second.time + "\",\"code\":" + std::to_string(l->second.code) +
                              ",\"message\":" + devdesc::Quote(l->second.message) +
                              ",\"device\":" + DeviceStateJson(device, s.online, s.since, s.code, s.reason) + "}";
        Send(Topic(device, "$state"), payload, true);
    }

    // Everything again: after every connection (a broker that restarted
    // without its retained messages gets them back) and after the feed lost
    // changes.
    void Republish() {
        Send(o.prefix + "/$gateway", "online", true);
        // The lines' state as it is now: their events may be among the lost.
        for (const LineModel& l : g.Lines()) {
            LineStats s = g.LineStatsOf(l.name);
            if (s.up || s.downs > 0)
                lines[l.name] = LineState{s.up ? "up" : "down", toolkit::Iso8601(s.since), s.message, s.code};
        }
        const std::vector<DeviceModel>& devices = g.Devices();
        for (size_t d = 0; d < devices.size() && connected && !stopping; ++d) {
            PublishState(devices[d].name, devices[d].line);
            if (backlog) continue;  // the values come from the history, in order
            std::vector<Reading> readings = g.Readings(devices[d].name);
            for (size_t c = 0; c < readings.size() && c < sent[d].size(); ++c) {
                Throttle();
                sent[d][c] = Sent{ChangeKey(readings[c]), readings[c].at};
                Send(Topic(devices[d].name, devices[d].channels[c].name), ValuePayload(readings[c]), true);
            }
        }
    }

    // The feed thread: takes every change off the feed at once and keeps
    // only each channel's latest reading, with the channel marked for the
    // publisher; so the feed never overflows, and when the broker is slower
    // than the lines, what goes out is each channel's newest value, not a
    // backlog of old ones.
    void RunFeed() {
        Change c;
        while (!stopping) {
            bool got = feed->Pop(c, 100ms);
            // Changes lost: the publisher publishes every channel's latest
            // again (one republish however many were lost meanwhile).
            if (feed->Overflowed() > 0) {
                resync = true;
                pendingCv.notify_all();
            }
            if (!got) continue;
            {
                std::lock_guard<std::mutex> lock(pendingMutex);
                if (c.kind == Change::Kind::Line || c.kind == Change::Kind::Device) {
                    // While the publisher waits on a slow broker, state events
                    // queue here; beyond the bound the oldest goes, and the
                    // republish brings every state as it is now.
                    if (lineEvents.size() >= kMaxLineEvents) {
                        lineEvents.pop_front();
                        ++lineEventsDropped;
                        resync = true;
                    }
                    lineEvents.push_back(c);
                } else if (size_t d = static_cast<size_t>(c.deviceIndex);
                           !backlog && c.kind == Change::Kind::Value && c.deviceIndex >= 0 && d < slots.size() &&
                           c.channel >= 0 && static_cast<size_t>(c.channel) < slots[d].size()) {
                    Slot& slot = slots[d][static_cast<size_t>(c.channel)];
                    slot.latest = c.reading;
                    if (!slot.pending) {
                        slot.pending = true;
                        dirty.emplace_back(d, static_cast<size_t>(c.channel));
                    }
                }
            }
            pendingCv.notify_all();
        }
    }

    void HandleLine(const Change& c) {
        if (c.kind == Change::Kind::Device) {
            int d = c.deviceIndex;
            if (connected && d >= 0 && static_cast<size_t>(d) < g.Devices().size())
                PublishState(c.device, g.Devices()[static_cast<size_t>(d)].line);
            return;
        }
        lines[c.line] = LineState{c.event, toolkit::Iso8601(c.time), c.message, c.code};
        if (!connected) return;
        for (const DeviceModel& dm : g.Devices())
            if (dm.line == c.line) PublishState(dm.name, dm.line);
    }

    void HandleValue(size_t d, size_t channel, const Reading& reading) {
        Sent& last = sent[d][channel];
        std::string key = ChangeKey(reading);
        // The gateway reports every value stored, changed or not; and a
        // reading older than the one published (by a republish) is news to
        // nobody.
        if (key == last.key || reading.at < last.at) return;
        last = Sent{key, reading.at};
        if (!connected) return;  // the republish after connecting takes it
        Throttle();
        const DeviceModel& dm = g.Devices()[d];
        Send(Topic(dm.name, dm.channels[channel].name), ValuePayload(reading), true);
    }

    void RunPublisher() {
        if (backlog) return RunBacklog();
        while (!stopping) {
            if (resync.exchange(false)) Republish();
            std::deque<Change> events;
            std::pair<size_t, size_t> next;
            Reading reading;
            bool value = false;
            {
                std::unique_lock<std::mutex> lock(pendingMutex);
                pendingCv.wait_for(lock, 100ms,
                                   [this] { return stopping || resync || !dirty.empty() || !lineEvents.empty(); });
                events.swap(lineEvents);
                if (!dirty.empty()) {
                    next = dirty.front();
                    dirty.pop_front();
                    Slot& slot = slots[next.first][next.second];
                    slot.pending = false;
                    reading = slot.latest;
                    value = true;
                }
            }
            for (const Change& c : events) HandleLine(c);
            if (value) HandleValue(next.first, next.second, reading);
        }
    }

    // --- the backlog (the publisher thread, with a history)

    // Under ackMutex: the flight of mid acknowledged; the position moves
    // past every acknowledged flight at the front.
    void Acknowledged(int mid) {
        auto f = std::find_if(flights.begin(), flights.end(), [mid](const Flight& x) { return x.mid == mid; });
        if (f == flights.end()) {
            // Not (yet) a flight: publish returns its mid after the broker may have answered.
            otherAcks.push_back(mid);
            if (otherAcks.size() > 64) otherAcks.pop_front();
            return;
        }
        f->acked = true;
        while (!flights.empty() && flights.front().acked) {
            ackedAt = flights.front().after;
            flights.pop_front();
        }
    }

    // Sends a message of the backlog (QoS 1) and counts it as a flight;
    // false when the connection is gone.
    bool SendFlight(const std::string& topic, const std::string& payload, bool retain, const Position& after) {
        int mid = -1;
        if (!topic.empty()) {
            mid = Send(topic, payload, retain);
            if (mid < 0) return false;
        }
        std::lock_guard<std::mutex> lock(ackMutex);
        auto early = std::find(otherAcks.begin(), otherAcks.end(), mid);
        flights.push_back(Flight{mid, after, mid < 0 || early != otherAcks.end()});
        if (early != otherAcks.end()) otherAcks.erase(early);
        while (!flights.empty() && flights.front().acked) {
            ackedAt = flights.front().after;
            flights.pop_front();
        }
        return true;
    }

    static std::string PositionText(const Position& p) {
        return std::to_string(p.sample) + " " + std::to_string(p.gap) + " " + std::to_string(p.ms);
    }

    // Opens the history and reads the position; a position never kept
    // starts at the oldest sample kept.
    bool OpenHistory() {
        try {
            auto db = std::make_unique<HistoryDb>(o.historyPath, HistoryDb::Mode::Follow);
            std::string text;
            Position p;
            long long sample = 0, gap = 0, ms = -1;
            bool kept = db->Meta(BacklogKey(o), text);
            if (kept && std::sscanf(text.c_str(), "%lld %lld %lld", &sample, &gap, &ms) >= 2) {
                p = Position{sample, gap, ms};
            } else {
                // Never kept (or not readable): from the oldest sample kept, sent again rather than lost.
                if (kept) Log("backlog: the position \"" + text + "\" is not SAMPLE GAP MS; from the oldest sample");
                int64_t oldest = db->OldestId();
                p.sample = oldest > 0 ? oldest - 1 : db->LastId();
            }
            history = std::move(db);
            savedAt = p;
            sentAt = p;
            std::lock_guard<std::mutex> lock(ackMutex);
            ackedAt = p;
            flights.clear();
            historyFailures = 0;
            Log("backlog from " + o.historyPath + " after sample " + std::to_string(p.sample));
            return true;
        } catch (const std::exception& e) {
            std::string what = e.what();
            if (what.rfind(o.historyPath, 0) != 0) what = o.historyPath + ": " + what;
            // Said at the second try: at the start the recorder may not have made it yet.
            if (++historyFailures == 2) Log("backlog: the history cannot be opened (" + what + "); trying again");
            return false;
        }
    }
    unsigned historyFailures = 0;  // tries in a row that failed

    // The acknowledged position into the database, when it moved.
    void SavePosition() {
        Position p;
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            p = ackedAt;
        }
        if (history == nullptr || !(p != savedAt)) return;
        try {
            history->SetMeta(BacklogKey(o), PositionText(p));
            savedAt = p;
            positionFault.clear();
        } catch (const HistoryError& e) {
            // Tried again in a second; said once while the reason stays the same.
            if (positionFault != e.what()) Log("backlog: the position cannot be kept: " + std::string(e.what()));
            positionFault = e.what();
        }
    }
    std::string positionFault;

    // {"behind":N,"oldest":..,"rate":R,"limit":L}: the samples recorded and
    // not yet acknowledged, the time of the oldest of them, messages a
    // second lately.
    void PublishBehind(int64_t count, double rate) {
        Position p;
        {
            std::lock_guard<std::mutex> lock(ackMutex);
            p = ackedAt;
        }
        std::string oldest = "null";
        history->After(p.sample, 1, [&oldest](const HistorySample& x, const std::string&, const std::string&) {
            oldest = "\"" + IsoMs(x.ms) + "\"";
        });
        char r[32];
        std::snprintf(r, sizeof r, "%.0f", rate);
        Send(o.prefix + "/$gateway/backlog",
             "{\"behind\":" + std::to_string(count) + ",\"oldest\":" + oldest + ",\"rate\":" + r +
                 ",\"limit\":" + std::to_string(o.backlogRate) + "}",
             true);
    }

    std::string GapPayload(const std::string& from, int64_t toMs, uint64_t count, const char* reason) const {
        return "{\"from\":" + from + ",\"to\":\"" + IsoMs(toMs) + "\",\"count\":" + std::to_string(count) +
               ",\"reason\":\"" + reason + "\"}";
    }

    void RunBacklog() {
        using Clock = std::chrono::steady_clock;
        Clock::time_point openAt{}, savedTime = Clock::now(), statusTime{}, tokenTime = Clock::now();
        double tokens = 0, burst = std::max(1.0, o.backlogRate / 10.0);
        unsigned seen = 0;
        int64_t shown = -1;  // behind, as published last
        Clock::time_point shownTime{};
        unsigned long sentCount = 0, sentAtStatus = 0;
        struct Item {
            HistorySample sample;
            std::string device, name;
        };
        std::vector<Item> items;
        while (!stopping) {
            std::deque<Change> events;
            {
                std::unique_lock<std::mutex> lock(pendingMutex);
                events.swap(lineEvents);
            }
            for (const Change& c : events) HandleLine(c);
            if (resync.exchange(false)) {
                Republish();
                shown = -1;
            }
            Clock::time_point now = Clock::now();
            if (history == nullptr && now >= openAt && !OpenHistory()) openAt = now + 1s;
            bool idle = true;
            if (history != nullptr && connected) {
                size_t room = 0;
                {
                    std::lock_guard<std::mutex> lock(ackMutex);
                    if (connection != seen) {
                        // A new connection: what was not acknowledged goes again
                        // (QoS 1 may deliver twice; never out of order per topic).
                        seen = connection;
                        flights.clear();
                        sentAt = ackedAt;
                    }
                    room = o.backlogWindow > flights.size() ? o.backlogWindow - flights.size() : 0;
                }
                if (room == 0) {
                    // The window is full: on as soon as half of it is acknowledged.
                    std::unique_lock<std::mutex> lock(ackMutex);
                    ackCv.wait_for(lock, 100ms,
                                   [this] { return stopping || !connected || flights.size() <= o.backlogWindow / 2; });
                    continue;
                }
                try {
                    items.clear();
                    if (room > 0)
                        history->After(sentAt.sample, std::min<size_t>(room, 256),
                                       [&items](const HistorySample& x, const std::string& d, const std::string& n) {
                                           items.push_back(Item{x, d, n});
                                       });
                    std::vector<std::pair<int64_t, HistoryGap>> gaps =
                        room > 0 ? history->GapsAfter(sentAt.gap, 16) : std::vector<std::pair<int64_t, HistoryGap>>{};
                    auto take = [&]() {  // a token of the rate; false when stopping or disconnected
                        for (;;) {
                            Clock::time_point t = Clock::now();
                            tokens = std::min(
                                burst, tokens + std::chrono::duration<double>(t - tokenTime).count() * o.backlogRate);
                            tokenTime = t;
                            if (stopping || !connected) return false;
                            if (tokens >= 1) {
                                tokens -= 1;
                                ++sentCount;
                                return true;
                            }
                            std::this_thread::sleep_for(std::chrono::duration<double>((1 - tokens) / o.backlogRate));
                        }
                    };
                    size_t nextGap = 0;
                    auto sendGap = [&](size_t i) {
                        Position after = sentAt;
                        after.gap = gaps[i].first;
                        const HistoryGap& x = gaps[i].second;
                        if (!take() ||
                            !SendFlight(o.prefix + "/$gateway/gap",
                                        GapPayload("\"" + IsoMs(x.fromMs) + "\"", x.toMs, x.missing, "not recorded"),
                                        false, after))
                            return false;
                        sentAt = after;
                        return true;
                    };
                    bool ok = true;
                    for (const Item& it : items) {
                        const HistorySample& x = it.sample;
                        // Samples retention deleted before they could be sent: one gap.
                        if (x.id > sentAt.sample + 1) {
                            Position after = sentAt;
                            after.sample = x.id - 1;
                            std::string from = sentAt.ms >= 0 ? "\"" + IsoMs(sentAt.ms) + "\"" : "null";
                            if (!(ok = take() && SendFlight(o.prefix + "/$gateway/gap",
                                                            GapPayload(from, x.ms,
                                                                       static_cast<uint64_t>(x.id - sentAt.sample - 1),
                                                                       "retention"),
                                                            false, after)))
                                break;
                            sentAt = after;
                        }
                        while (ok && nextGap < gaps.size() && gaps[nextGap].second.toMs <= x.ms)
                            ok = sendGap(nextGap++);
                        if (!ok) break;
                        Position after = sentAt;
                        after.sample = x.id;
                        after.ms = x.ms;
                        std::string topic;  // none: a name that cannot be a topic level is passed over
                        if (NameFault("", it.device).empty() && NameFault("", it.name).empty())
                            topic = Topic(it.device, it.name);
                        Reading r;
                        r.status = x.status;
                        r.code = x.code;
                        r.hasValue = x.hasValue;
                        r.value = x.value;
                        r.at = SystemTime(std::chrono::milliseconds(x.ms));
                        if (!(ok = take() && SendFlight(topic, ValuePayload(r), true, after))) break;
                        sentAt = after;
                    }
                    // Caught up: the gaps recorded after the last sample.
                    while (ok && items.size() < std::min<size_t>(room, 256) && nextGap < gaps.size())
                        ok = sendGap(nextGap++);
                    idle = items.empty() && nextGap == 0;
                } catch (const HistoryError& e) {
                    Log("backlog: the history " + std::string(e.what()) + "; opening it again");
                    history.reset();
                    openAt = Clock::now() + 1s;
                    historyFailures = 1;
                }
            }
            now = Clock::now();
            if (history != nullptr && now - savedTime >= 1s) {
                savedTime = now;
                SavePosition();
            }
            if (history != nullptr && now - statusTime >= 1s) {
                try {
                    int64_t last = history->LastId(), count = 0;
                    {
                        std::lock_guard<std::mutex> lock(ackMutex);
                        count = std::max<int64_t>(0, last - ackedAt.sample);
                        behind = count;
                    }
                    double seconds = std::chrono::duration<double>(now - statusTime).count();
                    if (connected && (shown < 0 || std::llabs(count - shown) >= std::max<int64_t>(100, shown / 10) ||
                                      (count != shown && now - shownTime >= 10s))) {
                        PublishBehind(count,
                                      statusTime == Clock::time_point{} ? 0.0 : (sentCount - sentAtStatus) / seconds);
                        shown = count;
                        shownTime = now;
                    }
                } catch (const HistoryError&) {
                }
                statusTime = now;
                sentAtStatus = sentCount;
            }
            if (idle) {
                // Nothing new: look again in 100 ms, or at once for a line event.
                std::unique_lock<std::mutex> lock(pendingMutex);
                pendingCv.wait_for(lock, 100ms, [this] { return stopping || resync || !lineEvents.empty(); });
            }
        }
    }

    std::string Describe() const {
        return o.host + ":" + std::to_string(o.port) + " as " + o.clientId + (o.caFile.empty() ? "" : " (TLS)");
    }
};

namespace {

MqttFace::Impl& Of(void* obj) { return *static_cast<MqttFace::Impl*>(obj); }

// A name must be one topic level.
std::string NameFault(const std::string& what, const std::string& name) {
    if (name.empty()) return what + " with an empty name cannot be a topic level";
    if (name.find_first_of("+#/") != std::string::npos || name.find('\0') != std::string::npos)
        return what + " \"" + name + "\": a name with '+', '#' or '/' cannot be a topic level";
    if (mosquitto_validate_utf8(name.c_str(), static_cast<int>(name.size())) != MOSQ_ERR_SUCCESS)
        return what + " \"" + name + "\": not UTF-8";
    return std::string();
}

}  // namespace

MqttFace::MqttFace(Gateway& gateway, MqttOptions options)
    : m_impl(std::make_unique<Impl>(gateway, std::move(options))) {
    InitLibrary();
    Impl& m = *m_impl;
    if (std::string why = PrefixFault(m.o.prefix); !why.empty()) throw std::runtime_error("mqtt: " + why);
    const std::vector<DeviceModel>& devices = gateway.Devices();
    for (size_t d = 0; d < devices.size(); ++d) {
        if (std::string why = NameFault("device", devices[d].name); !why.empty())
            throw std::runtime_error("mqtt: " + why);
        m.deviceIndex[devices[d].name] = d;
        m.channelIndex.emplace_back();
        for (size_t c = 0; c < devices[d].channels.size(); ++c) {
            const std::string& name = devices[d].channels[c].name;
            if (std::string why = NameFault("device " + devices[d].name + ", channel", name); !why.empty())
                throw std::runtime_error("mqtt: " + why);
            m.channelIndex.back()[name] = static_cast<int>(c);
        }
        m.sent.emplace_back(devices[d].channels.size());
        m.slots.emplace_back(devices[d].channels.size());
    }
    if (!m.o.authFile.empty()) ReadMqttAuth(m.o.authFile, m.user, m.password);
    // A persistent session (clean_session false) under a fixed id: writes
    // sent while the connection was down are delivered when it is back. An id
    // of this run's own would leave a session behind on the broker at every
    // restart, queueing writes for nobody: that one gets a clean session.
    bool persistent = !m.o.clientId.empty();
    if (!persistent) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        m.o.clientId = "devgate-" + std::string(host) + "-" + std::to_string(getpid());
    }
    m.backlog = !m.o.historyPath.empty();
    if (m.backlog && m.o.backlogRate == 0) throw std::runtime_error("mqtt: a backlog rate of 0 sends nothing");
    m.mosq = mosquitto_new(m.o.clientId.c_str(), !persistent, &m);
    if (m.mosq == nullptr) throw std::runtime_error("mqtt: the client cannot be created");
    std::string gatewayTopic = m.o.prefix + "/$gateway";
    int rc = mosquitto_will_set(m.mosq, gatewayTopic.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !m.o.authFile.empty())
        rc = mosquitto_username_pw_set(m.mosq, m.user.c_str(), m.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !m.o.caFile.empty())
        rc = mosquitto_tls_set(m.mosq, m.o.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_threaded_set(m.mosq, true);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_int_option(m.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_max_inflight_messages_set(m.mosq, 1000);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m.mosq);
        throw std::runtime_error("mqtt: the client cannot be set up: " + std::string(mosquitto_strerror(rc)));
    }
    mosquitto_connect_with_flags_callback_set(
        m.mosq, [](mosquitto*, void* obj, int code, int flags) { Of(obj).OnConnect(code, flags); });
    mosquitto_disconnect_callback_set(m.mosq, [](mosquitto*, void* obj, int code) { Of(obj).OnDisconnect(code); });
    mosquitto_publish_callback_set(m.mosq, [](mosquitto*, void* obj, int mid) { Of(obj).OnPublish(mid); });
    mosquitto_message_callback_set(
        m.mosq, [](mosquitto*, void* obj, const mosquitto_message* msg) { Of(obj).OnMessage(*msg); });
}

MqttFace::~MqttFace() {
    Stop();
    mosquitto_destroy(m_impl->mosq);
}

void MqttFace::Start() {
    Impl& m = *m_impl;
    if (m.started) return;
    m.feed = m.g.Subscribe(m.o.feedCapacity);
    // The lines' state so far; the feed brings what follows.
    for (const LineModel& l : m.g.Lines()) {
        LineStats s = m.g.LineStatsOf(l.name);
        if (s.up || s.downs > 0) m.lines[l.name] = Impl::LineState{s.up ? "up" : "down", toolkit::Iso8601Now(), "", 0};
        m.workers[l.name] = std::make_unique<Worker>(m.o.pendingPerLine);
    }
    int rc = mosquitto_connect_async(m.mosq, m.o.host.c_str(), m.o.port, 30);
    if (rc != MOSQ_ERR_SUCCESS) m.NoteDown(rc);
    m.started = true;
    m.network = std::thread([&m, rc] { m.RunNetwork(rc); });
    m.feeder = std::thread([&m] { m.RunFeed(); });
    m.publisher = std::thread([&m] { m.RunPublisher(); });
}

void MqttFace::Stop() {
    Impl& m = *m_impl;
    if (!m.started) return;
    m.started = false;
    m.stopping = true;
    m.ackCv.notify_all();
    for (auto& [name, worker] : m.workers) worker->Stop();
    m.pendingCv.notify_all();
    if (m.feeder.joinable()) m.feeder.join();
    if (m.publisher.joinable()) m.publisher.join();
    if (m.connected) {
        // A clean stop: offline, once the broker has it (2 s at most).
        std::unique_lock<std::mutex> lock(m.ackMutex);
        m.watchAcks = true;
        lock.unlock();
        int mid = m.Send(m.o.prefix + "/$gateway", "offline", true);
        lock.lock();
        m.ackCv.wait_for(lock, 2s, [&m, mid] {
            return mid < 0 || !m.connected || std::find(m.acked.begin(), m.acked.end(), mid) != m.acked.end();
        });
    }
    mosquitto_disconnect(m.mosq);
    {
        std::lock_guard<std::mutex> lock(m.ackMutex);
        m.networkStop = true;
    }
    m.ackCv.notify_all();
    if (m.network.joinable()) m.network.join();
    m.connected = false;
    m.SavePosition();  // the acknowledgements that came while stopping
    m.history.reset();
}

std::vector<HealthItem> MqttFace::Health() const {
    const Impl& m = *m_impl;
    size_t queued = 0;
    long unacked = 0;
    double dropped = m.feed ? static_cast<double>(m.feed->Dropped()) : 0.0;
    {
        std::lock_guard<std::mutex> lock(m.pendingMutex);
        queued = m.dirty.size() + m.lineEvents.size();
        dropped += static_cast<double>(m.lineEventsDropped);
    }
    int64_t behind = 0;
    {
        std::lock_guard<std::mutex> lock(m.ackMutex);
        unacked = m.unacked;
        behind = m.behind;
    }
    using K = HealthItem::Kind;
    std::vector<HealthItem> items{
        {"mqtt_connected", K::Gauge, m.connected ? 1.0 : 0.0, "1 while connected to the broker."},
        {"mqtt_queue_depth", K::Gauge, static_cast<double>(queued),
         "Channels and line events waiting to be published."},
        {"mqtt_unacknowledged", K::Gauge, static_cast<double>(unacked),
         "Messages sent and not yet acknowledged by the broker."},
        {"mqtt_reconnects_total", K::Counter, static_cast<double>(m.reconnects.load()),
         "Connections to the broker after the first."},
        {"feed_dropped_total", K::Counter, dropped,
         "Changes the face's queues on the change feed dropped while full."}};
    if (m.backlog)
        items.push_back({"mqtt_backlog_behind", K::Gauge, static_cast<double>(behind),
                         "Samples of the history not yet acknowledged by the broker."});
    return items;
}

std::string BacklogKey(const MqttOptions& o) {
    return "mqtt_position " + o.host + ":" + std::to_string(o.port) + " " + o.prefix;
}

std::string MqttFace::Announcement() const { return "mqtt to " + Describe(); }

bool MqttFace::Connected() const { return m_impl->connected; }

bool MqttFace::AwaitConnected(bool state, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_impl->ackMutex);
    return m_impl->ackCv.wait_for(lock, timeout, [this, state] { return m_impl->connected == state; });
}

std::string MqttFace::Describe() const { return m_impl->Describe(); }

}  // namespace gateway
