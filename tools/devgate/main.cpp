// devgate: a gateway host that polls the devices of a site (several lines,
// several devices a line) around the clock, as the host runtime does.
//
//   devgate check SITE    validates the site and every description in it
//   devgate map SITE      prints the site's register map (Modbus TCP face)
//   devgate run SITE [--format table|jsonl] [--seconds N] [--feed-queue N] [--http ADDR:PORT [--token-file F |
//                    --users F [--session-idle MIN]] [--open-reads] [--tls-cert F --tls-key F | --plain-http]]
//                    [--modbus ADDR:PORT [--modbus-writes [--modbus-allow CIDR[,CIDR...]]]]
//                    [--mqtt HOST:PORT [--mqtt-prefix P] [--mqtt-id ID] [--mqtt-auth FILE] [--mqtt-ca FILE]
//                     [--mqtt-backlog [--mqtt-backlog-rate N]]]
//                    [--history FILE] [--audit FILE]
//   devgate history SITE --device D --channel C [--from T] [--to T] [--points N] [--format csv|jsonl]
//                   [--history FILE]   prints a channel's recorded history
//   devgate user add NAME --role viewer|operator|admin [--devices A,B] [--users F]
//   devgate user token NAME [--users F]  adds a user (password from the terminal
//                                        or standard input) or an API token
//
// Exit status: 0 done, 1 set-up failed (site, plug-in, simulator), 2 wrong
// command line, 3 the driver reported nothing but failures.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <set>

#include "Notify.h"
#include "UserCommand.h"
#include "gateway/Audit.h"
#include "gateway/Face.h"
#include "gateway/Gateway.h"
#include "gateway/HistoryAudit.h"
#include "gateway/HistoryPrint.h"
#include "gateway/HistoryRecorder.h"
#include "gateway/HostPort.h"
#include "gateway/HttpFace.h"
#include "gateway/Json.h"
#include "gateway/ModbusMap.h"
#include "gateway/ModbusServer.h"
#include "gateway/MqttFace.h"
#include "toolkit/CodeTexts.h"
#include "toolkit/LiveTable.h"
#include "toolkit/Output.h"
#include "toolkit/Signals.h"
#include "toolkit/Statistics.h"

namespace {

// {"device":..,"channel":..,"element":..,"value":..,"time":..,"status":..,"code":..}
void WriteReading(std::ostream& out, const gateway::DeviceModel& d, size_t channel, const gateway::Reading& r) {
    const gateway::ChannelModel& ch = d.channels[channel];
    out << "{\"device\":" << devdesc::Quote(d.name) << ",\"channel\":" << devdesc::Quote(ch.name)
        << ",\"element\":" << devdesc::Quote(ch.element) << "," << gateway::ReadingMembers(r) << "}\n";
}

// A line's or a device's state (device empty for a line):
// {"time":..,"device":..,"line":..,"event":..,"code":..,"message":..}
void WriteState(std::ostream& out, gateway::SystemTime time, const std::string& device, const std::string& line,
                const char* event, int code, const std::string& message) {
    out << "{\"time\":\"" << toolkit::Iso8601(time) << "\",";
    if (!device.empty()) out << "\"device\":" << devdesc::Quote(device) << ",";
    out << "\"line\":" << devdesc::Quote(line) << ",\"event\":\"" << event << "\",\"code\":" << code
        << ",\"message\":" << devdesc::Quote(message) << "}\n";
}

void WriteJson(std::ostream& out, const gateway::Gateway& g, const gateway::Change& c) {
    if (c.kind == gateway::Change::Kind::Site) {
        out << "{\"time\":\"" << toolkit::Iso8601(c.time) << "\",\"site\":\"" << c.event
            << "\",\"message\":" << devdesc::Quote(c.message) << "}\n";
        return;
    }
    if (c.kind != gateway::Change::Kind::Value)
        return WriteState(out, c.time, c.kind == gateway::Change::Kind::Device ? c.device : std::string(), c.line,
                          c.event.c_str(), c.code, c.message);
    if (c.deviceIndex < 0 || static_cast<size_t>(c.deviceIndex) >= g.Devices().size()) return;
    const gateway::DeviceModel& d = g.Devices()[static_cast<size_t>(c.deviceIndex)];
    if (c.channel >= 0 && static_cast<size_t>(c.channel) < d.channels.size())
        WriteReading(out, d, static_cast<size_t>(c.channel), c.reading);
}

// Changes the output lost: one line that says how many, then every line's
// and device's state and every channel's latest reading.
void WriteCatchUp(std::ostream& out, const gateway::Gateway& g, unsigned long dropped) {
    out << "{\"time\":\"" << toolkit::Iso8601Now() << "\",\"dropped\":" << dropped << "}\n";
    for (const gateway::LineModel& l : g.Lines()) {
        gateway::LineStats s = g.LineStatsOf(l.name);
        if (s.since != gateway::SystemTime{})  // else neither up nor down yet
            WriteState(out, s.since, "", l.name, s.up ? "up" : "down", s.code, s.message);
    }
    for (const gateway::DeviceModel& d : g.Devices()) {
        gateway::DeviceStats s = g.Stats(d.name);
        WriteState(out, s.since, d.name, d.line, s.online ? "online" : "offline", s.code, s.reason);
        std::vector<gateway::Reading> readings = g.Readings(d.name);
        for (size_t c = 0; c < readings.size() && c < d.channels.size(); ++c) WriteReading(out, d, c, readings[c]);
    }
}

toolkit::LiveTable::Cell CellOf(const gateway::Reading& r) {
    toolkit::LiveTable::Cell cell;
    cell.stored = r.hasValue;
    cell.value = r.value;
    cell.at = r.steadyAt;
    if (r.status == gateway::Status::Failed) cell.status = "failed " + std::to_string(r.code);
    return cell;
}

// The tables of every device, stacked.
void DrawTables(std::ostream& out, gateway::Gateway& g, bool inPlace) {
    if (inPlace) out << "\x1b[H";
    const char* eol = inPlace ? "\x1b[K\n" : "\n";
    int room = inPlace ? toolkit::LiveTable::TerminalHeight() : 1000000;
    for (const gateway::DeviceModel& d : g.Devices()) {
        std::vector<gateway::Reading> readings = g.Readings(d.name);
        gateway::DeviceStats s = g.Stats(d.name);
        toolkit::LiveTable table(d.line + "/" + d.name, *d.rows, [&readings](size_t c) { return CellOf(readings[c]); });
        room -= table.Lines(out, eol, std::max(0, room - 3), s.lastScanMs, s.calls);
        if (room <= 3) break;
    }
    if (inPlace) out << "\x1b[J";
    out.flush();
}

void Summary(std::ostream& out, gateway::Gateway& g) {
    char line[256];
    for (const gateway::LineModel& l : g.Lines()) {
        gateway::LineStats ls = g.LineStatsOf(l.name);
        std::snprintf(line, sizeof line, "line %s: %s, %zu full cycles (median %.1f ms), failed %lu times\n",
                      l.name.c_str(), ls.up ? "up" : "down", ls.cycles, ls.medianCycleMs, ls.downs);
        out << line;
        for (const std::string& name : l.devices) {
            gateway::DeviceStats s = g.Stats(name);
            long failed = 0;
            for (const auto& f : s.failures) failed += f.second;
            std::snprintf(line, sizeof line,
                          "  %s: %ld calls, %lu requests, %ld failed, %zu full scans (median %.1f ms), latency p50 "
                          "%.3f p90 %.3f p99 %.3f ms\n",
                          name.c_str(), s.calls, s.requests, failed, s.scans, s.medianScanMs, s.latencyP50Ms,
                          s.latencyP90Ms, s.latencyP99Ms);
            out << line;
            if (!s.online || s.offlines > 0)
                out << "    " << (s.online ? "online" : "offline") << " since " << toolkit::Iso8601(s.since) << " ("
                    << s.reason << "), went offline " << s.offlines << (s.offlines == 1 ? " time\n" : " times\n");
            for (const auto& f : s.failures)
                out << "    failed " << f.second << " x code " << toolkit::CodeText(f.first) << "\n";
        }
    }
    out.flush();
}

// Every mapped channel: unit, table, address, registers (or bits), device,
// element, PLC data type, channel.
void PrintMap(std::ostream& out, const gateway::ModbusMap& map) {
    char line[256];
    out << "unit table    address count device       element    type channel\n";
    for (const gateway::ModbusEntry& e : map.entries) {
        std::snprintf(line, sizeof line, "%4d %-8s %7u %5u %-12s %-10s %-4s ", e.unit,
                      gateway::ModbusTableWord(e.table), e.address, e.count, e.device.c_str(), e.element.c_str(),
                      e.kind.c_str());
        out << line << e.name << "\n";
    }
}

// "history down" with its reason, or "history up", as the line events.
void HistoryEvents(gateway::HistoryRecorder* history, bool jsonl) {
    gateway::HistoryEvent e;
    while (history != nullptr && history->PopEvent(e)) {
        if (jsonl)
            std::cout << "{\"time\":\"" << toolkit::Iso8601(e.time) << "\",\"history\":\"" << (e.up ? "up" : "down")
                      << "\",\"reason\":" << devdesc::Quote(e.reason) << "}\n";
        else
            std::cerr << toolkit::Iso8601(e.time) << " history " << (e.up ? "up" : "down: " + e.reason) << "\n";
    }
}

// The polling of the lines, in the faces' list so that it starts after the
// history recorder and before the faces that serve clients, and stops in the
// reverse order.
class Polling : public gateway::Face {
public:
    explicit Polling(gateway::Gateway& g) : m_g(g) {}
    std::string Name() const override { return "polling"; }
    void Start() override { m_g.Start(); }
    void Stop() override { m_g.Stop(); }
    std::vector<gateway::HealthItem> Health() const override { return {}; }

private:
    gateway::Gateway& m_g;
};

// Standard output (the live tables or JSON lines) and the events on standard
// error: a subscriber of the change feed that the main loop empties. It lasts
// the whole run, reloads included, so that it sees a reload's mark.
class Console : public gateway::Face {
public:
    Console(gateway::Gateway& g, bool jsonl, size_t feedQueue) : m_sub(g.Subscribe(feedQueue)), m_jsonl(jsonl) {}
    std::string Name() const override { return m_jsonl ? "jsonl" : "console"; }
    void Start() override {}
    void Stop() override {}
    std::vector<gateway::HealthItem> Health() const override {
        return {{"feed_dropped_total", gateway::HealthItem::Kind::Counter, static_cast<double>(m_sub->Dropped()),
                 "Changes the face's queues on the change feed dropped while full."}};
    }
    gateway::Subscription& Feed() { return *m_sub; }

private:
    std::shared_ptr<gateway::Subscription> m_sub;
    bool m_jsonl;
};

// The faces of a run, in the order they start: the history first, so that
// it has the first values; the output; the gateway's lines; then the faces
// that serve clients. They stop in the reverse order. A reload stops them
// (but the lines and the output) and builds them again on the new site: each
// holds what it built from the site (device indices, the register map,
// history rules); the HTTP and Modbus faces keep their ports and the HTTP
// face its token.
struct Faces {
    gateway::HttpOptions http;
    const gateway::ModbusOptions* modbusOptions = nullptr;
    const gateway::MqttOptions* mqttOptions = nullptr;
    bool mqttBacklog = false;      // the MQTT face publishes the history's backlog
    gateway::ModbusMap modbusMap;  // of the site the faces are built on
    std::string historyFile;       // instead of the site's
    std::string auditFile;         // --audit: JSON lines, when there is no history
    std::unique_ptr<Console> console;
    // The audit records on their way to the writer; the same across reloads.
    std::shared_ptr<gateway::AuditQueue> auditQueue = std::make_shared<gateway::AuditQueue>();
    gateway::AuditWriter* audit = nullptr;  // in list, when records are kept

    gateway::HistoryRecorder* history = nullptr;  // in list, when the site keeps a history
    std::vector<std::unique_ptr<gateway::Face>> owned;
    std::vector<gateway::Face*> list;
    std::atomic<size_t> started{0};  // of list; read by /metrics
    std::string modbusPort;          // the first start's, for the starts after it

    // Builds the faces on the site and starts them in order. When one cannot
    // start, those started are stopped again and the reason thrown.
    void Start(gateway::Gateway& g, const gateway::Site& site) {
        owned.clear();
        list.clear();
        history = nullptr;
        audit = nullptr;
        gateway::HistorySetup setup = gateway::HistorySetupOf(site, historyFile);
        setup.options.orderIndex = mqttOptions != nullptr && mqttBacklog;
        if (!setup.options.path.empty()) {
            auto recorder = std::make_unique<gateway::HistoryRecorder>(g, setup.options, setup.rules);
            history = recorder.get();
            owned.push_back(std::move(recorder));
        }
        // The audit record: in the history database when there is one, else
        // in the --audit file (opened anew at every start: after a reload,
        // a file logrotate renamed is left behind).
        std::unique_ptr<gateway::AuditSink> sink;
        http.audit = nullptr;
        if (!setup.options.path.empty()) {
            if (!auditFile.empty() && !auditNoted)
                std::cerr << "devgate: audit: in the history database " << setup.options.path << ", not in "
                          << auditFile << std::endl;
            auditNoted = true;
            sink = std::make_unique<gateway::AuditDbSink>(setup.options.path, setup.options.retentionDays);
            http.audit = [path = setup.options.path](const gateway::AuditQuery& q) {
                return gateway::HistoryDb(path, gateway::HistoryDb::Mode::Read).Audit(q);
            };
        } else if (!auditFile.empty()) {
            sink = std::make_unique<gateway::AuditFileSink>(auditFile);
            http.audit = [path = auditFile](const gateway::AuditQuery& q) { return gateway::ReadAuditFile(path, q); };
        }
        g.SetAudit(sink ? auditQueue : nullptr);
        std::unique_ptr<gateway::AuditWriter> writer;
        if (sink) writer = std::make_unique<gateway::AuditWriter>(auditQueue, std::move(sink));
        audit = writer.get();
        owned.push_back(std::make_unique<Polling>(g));
        gateway::HttpFace* web = nullptr;
        if (!http.listen.empty()) {
            http.health = [this] {
                gateway::FaceHealth all;
                for (size_t i = 0; i < started.load() && i < list.size(); ++i)
                    all.emplace_back(list[i]->Name(), list[i]->Health());
                return all;
            };
            http.historyPath = setup.options.path;
            http.historyStats = nullptr;
            if (history != nullptr) http.historyStats = [recorder = history] { return recorder->Stats(); };
            http.auditStats = nullptr;
            if (audit != nullptr) http.auditStats = [writer = audit] { return writer->Stats(); };
            auto face = std::make_unique<gateway::HttpFace>(g, http);
            web = face.get();
            owned.push_back(std::move(face));
        }
        gateway::ModbusServer* modbus = nullptr;
        if (modbusOptions != nullptr) {
            gateway::ModbusOptions o = *modbusOptions;
            o.map = modbusMap;
            if (!modbusPort.empty()) o.port = modbusPort;
            auto face = std::make_unique<gateway::ModbusServer>(g, o);
            modbus = face.get();
            owned.push_back(std::move(face));
        }
        if (mqttOptions != nullptr) {
            gateway::MqttOptions o = *mqttOptions;
            if (mqttBacklog) {
                // The values from the history: of the site as reloaded, too.
                if (setup.options.path.empty())
                    throw std::runtime_error(
                        "--mqtt-backlog needs a history on disk ([history] path, or --history FILE)");
                o.historyPath = setup.options.path;
            }
            owned.push_back(std::make_unique<gateway::MqttFace>(g, o));
        }
        for (auto& face : owned) list.push_back(face.get());
        list.insert(list.begin() + (history != nullptr ? 1 : 0), console.get());
        // The audit writer first: it stops last, after every face that writes.
        if (writer) {
            list.insert(list.begin(), writer.get());
            owned.push_back(std::move(writer));
        }
        started = 0;
        for (gateway::Face* face : list) {
            try {
                face->Start();
            } catch (const std::exception&) {
                Stop(true);
                throw;
            }
            ++started;
            if (std::string where = face->Announcement(); !where.empty())
                std::cerr << "devgate: " << where << std::endl;
        }
        if (web != nullptr) {
            if (web->TokenGenerated()) http.token = web->Token();
            std::string host, url = web->Url();
            int port = 0;
            if (gateway::ParseHostPort(http.listen, host, port, 0) && port == 0)
                http.listen = url.substr(url.find("//") + 2, url.size() - url.find("//") - 3);
        }
        if (modbus != nullptr) modbusPort = std::to_string(modbus->Port());
    }

    bool auditNoted = false;  // that the database takes the audit record, not the --audit file

    // Stops the faces started, the last first; the lines too when polling.
    void Stop(bool polling) {
        while (started > 0) {
            gateway::Face* face = list[--started];
            if (polling || dynamic_cast<Polling*>(face) == nullptr) face->Stop();
        }
    }
};

// Loads the site again and hands it to the gateway, the faces stopped
// meanwhile. A site with faults changes nothing: its faults are printed as
// check prints them. The lines kept, or nullopt when nothing changed.
std::optional<std::set<std::string>> Reload(gateway::Gateway& g, gateway::Site& current, Faces& faces,
                                            devgate::ServiceNotify& service, bool jsonl) {
    gateway::Site next;
    gateway::ModbusMap map;
    try {
        next = gateway::LoadSite(current.path);
        map = gateway::ModbusMapOf(next);
    } catch (const gateway::SiteError& e) {
        for (const std::string& error : e.Errors()) std::cerr << error << "\n";
        std::cerr << "devgate: reload refused: " << e.Errors().size() << " fault" << (e.Errors().size() == 1 ? "" : "s")
                  << " in " << current.path << "; the running site is kept" << std::endl;
        if (faces.audit != nullptr) faces.audit->Reopen();  // the file rotated all the same
        return std::nullopt;
    }
    if (faces.mqttBacklog && faces.mqttOptions != nullptr && faces.historyFile.empty() && next.history.path.empty()) {
        std::cerr << "devgate: reload refused: --mqtt-backlog needs a history on disk and " << current.path
                  << " keeps none any more; the running site is kept" << std::endl;
        return std::nullopt;
    }
    std::optional<std::set<std::string>> kept;
    service.Reloading();
    faces.Stop(false);
    HistoryEvents(faces.history, jsonl);
    try {
        gateway::ReloadOutcome outcome = g.Reload(next);
        current = std::move(next);
        faces.modbusMap = std::move(map);
        std::cerr << "devgate: reloaded " << current.path << ": " << outcome.Summary() << std::endl;
        kept.emplace(outcome.kept.begin(), outcome.kept.end());
    } catch (const toolkit::PortError& e) {
        std::cerr << "devgate: reload refused: " << e.what() << "; the running site is kept" << std::endl;
    }
    faces.Start(g, current);
    service.Ready("polling " + std::to_string(g.Lines().size()) + " lines");
    return kept;
}

int Run(gateway::Gateway& g, gateway::Site site, double seconds, Faces& faces, bool jsonl) {
    bool live = !jsonl && isatty(STDOUT_FILENO) == 1;
    gateway::Subscription& sub = faces.console->Feed();
    auto begun = std::chrono::steady_clock::now();
    auto end = seconds > 0 ? begun + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds))
                           : std::chrono::steady_clock::time_point::max();
    if (live) std::cout << "\x1b[2J";
    try {
        faces.Start(g, site);
    } catch (const std::exception& e) {
        std::cerr << "devgate: " << e.what() << "\n";
        return 1;
    }
    devgate::ServiceNotify service(g);
    service.Ready("polling " + std::to_string(g.Lines().size()) + " lines");
    auto lastDraw = std::chrono::steady_clock::time_point{};
    gateway::Change c;
    std::optional<std::set<std::string>> keptLines;  // of a reload whose mark has not come yet
    while (!toolkit::StopRequested().load() && std::chrono::steady_clock::now() < end) {
        if (toolkit::TakeReloadRequest()) {
            try {
                if (auto kept = Reload(g, site, faces, service, jsonl)) keptLines = std::move(*kept);
            } catch (const std::exception& e) {  // a face cannot start again
                std::cerr << "devgate: " << e.what() << "\n";
                faces.Stop(true);
                return 1;
            }
            if (live) std::cout << "\x1b[2J";
        }
        bool got = sub.Pop(c, std::chrono::milliseconds(50));
        HistoryEvents(faces.history, jsonl);
        if (jsonl) {
            // Everything queued, then one flush.
            for (bool more = got; more; more = sub.Pop(c, std::chrono::milliseconds(0))) {
                // Before a reload's mark a change carries its device's old
                // index: a kept line's device has the same channels under
                // its name; the other lines' changes from before are left out.
                if (c.kind == gateway::Change::Kind::Site) keptLines.reset();
                if (keptLines && c.kind == gateway::Change::Kind::Value) {
                    if (keptLines->count(c.line) == 0) continue;
                    c.deviceIndex = g.DeviceIndex(c.device);
                }
                WriteJson(std::cout, g, c);
            }
            // A catch-up is written from the gateway as it is: after any mark.
            if (unsigned long dropped = sub.Overflowed(); dropped > 0) {
                WriteCatchUp(std::cout, g, dropped);
                keptLines.reset();
            }
            if (!std::cout.flush()) break;  // nobody reads any more
        }
        if (!jsonl && got && (c.kind == gateway::Change::Kind::Line || c.kind == gateway::Change::Kind::Device))
            std::cerr << toolkit::Iso8601(c.time) << (c.kind == gateway::Change::Kind::Line ? " line " : " device ")
                      << (c.kind == gateway::Change::Kind::Line ? c.line : c.device) << " " << c.event << ": "
                      << c.message << "\n";
        if (live && std::chrono::steady_clock::now() - lastDraw >= std::chrono::milliseconds(200)) {
            DrawTables(std::cout, g, true);
            lastDraw = std::chrono::steady_clock::now();
        }
    }
    service.Stopping();
    faces.Stop(true);
    gateway::HistoryRecorder* history = faces.history;
    HistoryEvents(history, jsonl);
    if (!jsonl) DrawTables(std::cout, g, live);
    Summary(jsonl ? std::cerr : std::cout, g);
    if (history != nullptr) {
        gateway::HistoryStats h = history->Stats();
        (jsonl ? std::cerr : std::cout) << "history: " << h.recorded << " changes recorded in " << h.batches
                                        << " transactions, " << h.missing << " not recorded (" << h.gaps << " gaps), "
                                        << h.pruned << " pruned, down " << h.downs << " times"
                                        << (h.up ? "" : ": " + h.reason) << "\n";
    }
    if (faces.audit != nullptr)
        (jsonl ? std::cerr : std::cout) << "audit: " << faces.audit->Written() << " records written, "
                                        << faces.audit->Lost() << " lost\n";
    long calls = 0, failed = 0;
    for (const gateway::DeviceModel& d : g.Devices()) {
        gateway::DeviceStats s = g.Stats(d.name);
        calls += s.calls;
        for (const auto& f : s.failures) failed += f.second;
    }
    return calls > 0 && failed == calls ? 3 : 0;
}

int Main(int argc, char** argv) {
    CLI::App app{"A gateway host: polls the devices of a site on several lines around the clock"};
    app.require_subcommand(1);
    std::string site, format = "table", plugin = QUORLAN_DEFAULT_PLUGIN;
    double seconds = 0;
    bool trace = false;
    CLI::App* check = app.add_subcommand("check", "Validate the site and every description in it");
    check->add_option("SITE", site, "The site description (TOML)")->required();
    CLI::App* run = app.add_subcommand("run", "Poll every device of the site");
    run->add_option("SITE", site, "The site description (TOML)")->required();
    run->add_option("--format", format, "table or jsonl")->check(CLI::IsMember({"table", "jsonl"}));
    run->add_option("--seconds", seconds, "Stop after this many seconds (default: at a signal)")
        ->check(CLI::NonNegativeNumber);
    run->add_option("--plugin", plugin, "The plug-in's shared library")->capture_default_str();
    run->add_flag("--trace", trace, "Print every frame to standard error");
    size_t feedQueue = 4096;
    run->add_option("--feed-queue", feedQueue,
                    "Changes queued for the output (0: none); beyond, JSON lines say how many were dropped and "
                    "print every device's state and channel's latest")
        ->capture_default_str()
        ->check(CLI::Range(size_t{0}, size_t{1000000}));
    gateway::HttpOptions http;
    CLI::Option* httpOption =
        run->add_option("--http", http.listen,
                        "Serve the HTTP API and web console on ADDR:PORT (port 0: any free port)")
            ->check([](const std::string& text) {
                std::string host;
                int port = 0;
                return gateway::ParseHostPort(text, host, port, 0) ? std::string() : "not ADDR:PORT: " + text;
            });
    CLI::Option* tokenFile =
        run->add_option("--token-file", http.tokenFile,
                        "The token for writes and commands (first line); default: a random one, printed at start")
            ->needs(httpOption);
    CLI::Option* usersOption =
        run->add_option("--users", http.usersFile,
                        "Users with roles (devgate user add): every request needs a login or a user's token")
            ->needs(httpOption)
            ->excludes(tokenFile);
    int sessionIdle = 30;
    run->add_option("--session-idle", sessionIdle, "Minutes a login lasts without a request")
        ->check(CLI::Range(1, 10080))
        ->capture_default_str()
        ->needs(usersOption);
    run->add_flag("--open-reads", http.openReads, "Reads need no token on a non-loopback address either")
        ->needs(httpOption);
    CLI::Option* tlsCert =
        run->add_option("--tls-cert", http.tlsCert, "Serve HTTPS only, with this certificate (PEM)")->needs(httpOption);
    run->add_option("--tls-key", http.tlsKey, "The certificate's private key (PEM)")->needs(tlsCert);
    tlsCert->needs(run->get_option("--tls-key"));
    run->add_flag("--plain-http", http.plainHttp, "Serve plain HTTP on an address other than the loopback all the same")
        ->needs(httpOption);
    std::string modbusAt;
    gateway::ModbusOptions modbusOptions;
    run->add_option("--modbus", modbusAt,
                    "Serve the site's register map over Modbus TCP on ADDR:PORT (port 0: a free one)")
        ->check([&modbusOptions](const std::string& text) {
            int port = 0;
            if (!gateway::ParseHostPort(text, modbusOptions.host, port, 0)) return "not ADDR:PORT: " + text;
            modbusOptions.port = std::to_string(port);
            return std::string();
        });
    run->add_option("--modbus-allow",
                    "Clients whose Modbus writes are carried out: CIDR[,CIDR...] (default: the "
                    "loopback); others get exception 1")
        ->check([&modbusOptions](const std::string& text) {
            std::string why;
            return gateway::ParseCidrList(text, modbusOptions.writeFrom, why) ? std::string() : why;
        });
    run->add_flag("--modbus-writes", modbusOptions.writes,
                  "Let Modbus clients write coils and holding registers (the channels of the PLCs)");
    std::string mqttAddress;
    gateway::MqttOptions mqtt;
    run->add_option("--mqtt", mqttAddress, "Publish to the MQTT broker at HOST:PORT")
        ->check(CLI::Validator(
            [&mqtt](std::string& text) {
                return gateway::ParseHostPort(text, mqtt.host, mqtt.port) ? std::string() : "not HOST:PORT: " + text;
            },
            "HOST:PORT"));
    run->add_option("--mqtt-prefix", mqtt.prefix, "Topic prefix")
        ->capture_default_str()
        ->check(CLI::Validator([](std::string& text) { return gateway::PrefixFault(text); }, "PREFIX"));
    run->add_option("--mqtt-id", mqtt.clientId, "MQTT client id (default devgate-HOSTNAME-PID)");
    run->add_option("--mqtt-auth", mqtt.authFile, "File whose first line is user:password")->check(CLI::ExistingFile);
    run->add_option("--mqtt-ca", mqtt.caFile, "TLS to the broker, checked against this CA file")
        ->check(CLI::ExistingFile);
    bool mqttBacklog = false;
    run->add_flag("--mqtt-backlog", mqttBacklog,
                  "Publish every recorded change from the history on disk, in order, resuming after outages");
    run->add_option("--mqtt-backlog-rate", mqtt.backlogRate, "Backlog messages a second at most")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));
    std::string historyFile;
    run->add_option("--history", historyFile, "Keep the history in this database (instead of the site's [history])");
    std::string auditFile;
    run->add_option("--audit", auditFile,
                    "Record every write and command in this file, as JSON lines (with a history: in its database)");
    CLI::App* historyCommand = app.add_subcommand("history", "Print a channel's recorded history");
    historyCommand->add_option("SITE", site, "The site description (TOML)")->required();
    gateway::HistoryQuery query;
    std::string from, to;
    historyCommand->add_option("--device", query.device, "The device")->required();
    historyCommand->add_option("--channel", query.channel, "The channel, by name or element")->required();
    historyCommand->add_option("--from", from, "ISO 8601 or epoch milliseconds (default: an hour before --to)");
    historyCommand->add_option("--to", to, "ISO 8601 or epoch milliseconds (default: now)");
    historyCommand->add_option("--points", query.points, "Reduce to this many buckets of min and max (0: every sample)")
        ->check(CLI::Range(0, 1000000));
    historyCommand->add_option("--format", format, "csv or jsonl")->check(CLI::IsMember({"csv", "jsonl"}));
    historyCommand->add_option("--history", historyFile, "The database (instead of the site's [history])");
    CLI::App* userCommand = app.add_subcommand("user", "Add users of the HTTP face, or their API tokens");
    userCommand->require_subcommand(1);
    devgate::UserRequest user;
    CLI::App* userAdd =
        userCommand->add_subcommand("add", "Add (or replace) a user; the password comes from the terminal or stdin");
    userAdd->add_option("NAME", user.name, "The user's name")->required()->check([](const std::string& name) {
        return name.size() <= 64 && name.find_first_of(" \t\r\n\"") == std::string::npos
                   ? std::string()
                   : "a name of at most 64 characters without blanks or quotes";
    });
    userAdd->add_option("--role", user.role, "viewer, operator or admin")
        ->required()
        ->check(CLI::IsMember({"viewer", "operator", "admin"}));
    userAdd->add_option("--devices", user.devices, "An operator's devices (default: every device)")->delimiter(',');
    userAdd->add_option("--users", user.file, "The users file")->capture_default_str();
    CLI::App* userToken = userCommand->add_subcommand("token", "Print a new API token of a user once; keep its hash");
    userToken->add_option("NAME", user.name, "The user's name")->required();
    userToken->add_option("--users", user.file, "The users file")->capture_default_str();
    CLI::App* map = app.add_subcommand("map", "Print the site's register map for the Modbus TCP face");
    map->add_option("SITE", site, "The site description (TOML)")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    http.sessionIdle = std::chrono::minutes(sessionIdle);
    if (userAdd->parsed()) return devgate::AddUser(user, std::cin, std::cout, std::cerr);
    if (userToken->parsed()) return devgate::AddToken(user, std::cout, std::cerr);
    if (historyCommand->parsed()) {
        query.toMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        if (!to.empty() && !gateway::ParseHistoryTime(to, query.toMs)) {
            std::cerr << "devgate: --to: not ISO 8601 or epoch milliseconds: " << to << "\n";
            return 2;
        }
        query.fromMs = query.toMs - 3600000;
        if (!from.empty() && !gateway::ParseHistoryTime(from, query.fromMs)) {
            std::cerr << "devgate: --from: not ISO 8601 or epoch milliseconds: " << from << "\n";
            return 2;
        }
        if (query.fromMs > query.toMs) {
            std::cerr << "devgate: --from is after --to\n";
            return 2;
        }
    }
    if (mqttBacklog && mqttAddress.empty()) {
        std::cerr << "devgate: --mqtt-backlog needs --mqtt HOST:PORT\n";
        return 2;
    }
    if (std::string why = gateway::PlainHttpRefusal(http); !why.empty()) {
        std::cerr << "devgate: " << why << "\n";
        return 2;
    }
    toolkit::InstallStopSignals();
    if (run->parsed()) toolkit::InstallReloadSignal();  // before the site is read: a SIGHUP then reloads it again
    gateway::Site loaded;
    try {
        loaded = gateway::LoadSite(site);
    } catch (const gateway::SiteError& e) {
        for (const std::string& error : e.Errors()) std::cerr << error << "\n";
        return 1;
    }
    gateway::ModbusMap modbusMap;
    try {
        modbusMap = gateway::ModbusMapOf(loaded);
    } catch (const gateway::SiteError& e) {
        for (const std::string& error : e.Errors()) std::cerr << error << "\n";
        return 1;
    }
    if (map->parsed()) {
        PrintMap(std::cout, modbusMap);
        return 0;
    }
    if (historyCommand->parsed()) {
        query.path = historyFile.empty() ? loaded.history.path : historyFile;
        query.jsonl = format == "jsonl";
        if (query.path.empty()) {
            std::cerr << "devgate: " << site << " keeps no history ([history] path, or --history FILE)\n";
            return 1;
        }
        return gateway::PrintHistory(query, std::cout, std::cerr);
    }
    if (run->parsed() && mqttBacklog && historyFile.empty() && loaded.history.path.empty()) {
        std::cerr << "devgate: --mqtt-backlog needs a history on disk: " << site
                  << " keeps none ([history] path), and no --history FILE is given\n";
        return 1;
    }
    if (check->parsed()) {
        size_t devices = 0;
        for (const auto& l : loaded.lines) devices += l.devices.size();
        std::cout << site << ": " << loaded.lines.size() << " lines, " << devices << " devices\n";
        return 0;
    }
    if (!auditFile.empty() && gateway::HistorySetupOf(loaded, historyFile).options.path.empty()) {
        try {
            gateway::AuditFileSink(auditFile).Reopen();  // a file that cannot be written is a start-up error
        } catch (const std::exception& e) {
            std::cerr << "devgate: --audit: " << e.what() << "\n";
            return 1;
        }
    }
    gateway::Options options;
    options.plugin = plugin;
    options.trace = trace;
    try {
        gateway::Gateway g(loaded, options);
        Faces faces;  // after the gateway: its faces end first
        faces.http = http;
        faces.modbusOptions = modbusAt.empty() ? nullptr : &modbusOptions;
        faces.mqttOptions = mqttAddress.empty() ? nullptr : &mqtt;
        faces.mqttBacklog = mqttBacklog;
        faces.modbusMap = std::move(modbusMap);
        faces.historyFile = historyFile;
        faces.auditFile = auditFile;
        faces.console = std::make_unique<Console>(g, format == "jsonl", feedQueue);
        return Run(g, std::move(loaded), seconds, faces, format == "jsonl");
    } catch (const toolkit::PluginError& e) {
        std::cerr << "devgate: plug-in cannot be loaded: " << e.what() << "\n";
    } catch (const toolkit::PortError& e) {
        std::cerr << "devgate: " << e.what() << "\n";
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "devgate: " << e.what() << "\n";
        return 1;
    }
}
