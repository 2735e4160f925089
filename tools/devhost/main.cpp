// devhost: drives the plug-in on the bench as the host runtime does. It loads
// the plug-in with dlopen, creates one controller through its exports, gives
// it a port (a serial line, a serial device server, or a simulated PLC on a
// pseudo-terminal), the configuration blob and all channels, and then
//
//   devhost run    ... polls with CollectDevData and shows the values
//   devhost write  ... --channel N|NAME --value V   writes one channel
//   devhost ioctl  ... 'READ(D,100,WUB=Level)' --var Level:int   runs one command
//
// Exit status: 0 done, 1 set-up failed (plug-in, port, description),
// 2 wrong command line, 3 the driver reported a failure.
#include <dlfcn.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "BenchRtdb.h"
#include "DeviceDescription.h"
#include "HostPorts.h"
#include "IDeviceCtrl.h"
#include "TracingPort.h"
#include "plcsim/Plc.h"
#include "plcsim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;
using devhost::BenchRtdb;
using devhost::TracingPort;
using devhost::Value;

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop.store(true); }

// What a result code of the controller means.
std::string Meaning(int code) {
    switch (static_cast<unsigned>(code)) {
        case 0:
            return "success";
        case 1:
            return "no planned request for the rank";
        case 2:
            return "no answer from the PLC";
        case 4:
            return "write failed: no reply or a wrong reply";
        case 5:
            return "bad command or channel (not understood, beyond the table, or read only)";
        case 6:
            return "nothing handed over (a host variable refused the value)";
        case 7:
            return "short or wrong answer (CRC, station, function or length)";
        case 100:
            return "collection step failed";
        case 0x80000000u:
            return "allocation failed, or no database";
        case 0x80000001u:
            return "bad argument, or a port of unexpected type";
        case 0x80000002u:
            return "database call not offered at this interface version";
        case static_cast<unsigned>(-2):
            return "no port";
        case static_cast<unsigned>(-3):
            return "no device data or database";
        default:
            return "unknown code";
    }
}

std::string CodeText(int code) {
    char buf[32];
    if (code < 0 && code < -100)
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    else
        std::snprintf(buf, sizeof buf, "%d", code);
    return std::string(buf) + " (" + Meaning(code) + ")";
}

std::string Iso8601Now() {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc{};
    gmtime_r(&secs, &utc);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return buf;
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

const char* TypeWord(DATATYPE t) {
    return t == DATATYPE_INT ? "int" : t == DATATYPE_DOUBLE ? "double" : t == DATATYPE_STRING ? "string" : "none";
}

std::string JsonValue(const Value& v) {
    if (v.type == DATATYPE_STRING) return devdesc::Quote(v.s);
    std::string t = v.Text();
    return t == "nan" || t == "inf" || t == "-inf" ? "null" : t;
}

// ---- the plug-in

class Plugin {
public:
    using CreateFn = IDeviceCtrl* (*)(const char*, IDevRtdbCtrl*);
    using DestroyFn = int (*)(IDeviceCtrl*);
    using VersionFn = int (*)(int, IDeviceCtrl*);

    bool Load(const std::string& path, std::string& error) {
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            const char* e = dlerror();
            error = e != nullptr ? e : "dlopen failed";
            return false;
        }
        m_create = reinterpret_cast<CreateFn>(dlsym(m_handle, "CreateDeviceCtrl"));
        m_destroy = reinterpret_cast<DestroyFn>(dlsym(m_handle, "DestroyDeviceCtrl"));
        m_version = reinterpret_cast<VersionFn>(dlsym(m_handle, "GetInterfaceVersion"));
        if (m_create == nullptr || m_destroy == nullptr || m_version == nullptr) {
            error = path + " lacks CreateDeviceCtrl, DestroyDeviceCtrl or GetInterfaceVersion";
            return false;
        }
        return true;
    }
    ~Plugin() {
        if (m_handle != nullptr) dlclose(m_handle);
    }
    CreateFn create() const { return m_create; }
    DestroyFn destroy() const { return m_destroy; }
    VersionFn version() const { return m_version; }

private:
    void* m_handle = nullptr;
    CreateFn m_create = nullptr;
    DestroyFn m_destroy = nullptr;
    VersionFn m_version = nullptr;
};

// ---- options shared by the commands

struct Options {
    std::string plugin = QUORLAN_DEFAULT_PLUGIN;
    std::string config;
    std::string port;
    unsigned baud = 9600;
    std::string parity = "N";
    int dataBits = 8;
    int stopBits = 1;
    std::string tcp;
    bool simulate = false;
    std::vector<std::string> sets;
    unsigned simBaud = 0;
    bool trace = false;
    // run
    long cycles = 0;
    unsigned intervalMs = 100;
    std::string format = "table";
    // write
    std::string channel;
    std::string value;
    // ioctl
    std::string command;
    std::vector<std::string> vars;
};

void AddCommon(CLI::App* cmd, Options& o) {
    cmd->add_option("--plugin", o.plugin, "The plug-in library")->capture_default_str();
    cmd->add_option("--config", o.config, "Device description (.toml) or configuration blob (.bin)")->required();
    cmd->add_option("--port", o.port, "Serial device, e.g. /dev/ttyUSB0");
    cmd->add_option("--baud", o.baud, "Baud rate of --port")->capture_default_str();
    cmd->add_option("--parity", o.parity, "Parity of --port: N, E or O")
        ->check(CLI::IsMember({"N", "E", "O"}))
        ->capture_default_str();
    cmd->add_option("--data", o.dataBits, "Data bits of --port: 7 or 8")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    cmd->add_option("--stop", o.stopBits, "Stop bits of --port: 1 or 2")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    cmd->add_option("--tcp", o.tcp, "Serial device server, HOST:PORT");
    cmd->add_flag("--simulate", o.simulate, "Talk to a simulated PLC on a pseudo-terminal");
    cmd->add_option("--set", o.sets, "Simulated PLC values, e.g. D100=5 (with --simulate)")->allow_extra_args(false);
    cmd->add_option("--sim-baud", o.simBaud, "Pace the simulated PLC's answers as on a line of this baud rate");
    cmd->add_flag("--trace", o.trace, "Print every frame through the port as hex (on standard error)");
}

// The controller on its port, with the device's blob and database.
class Session {
public:
    // Returns false with a message on any set-up failure.
    bool Open(const Options& o, std::string& error) {
        try {
            m_desc = devdesc::LoadAny(o.config);
        } catch (const devdesc::Error& e) {
            error = std::string("description invalid: ") + e.what();
            return false;
        }
        if (o.config.size() >= 5 && o.config.compare(o.config.size() - 5, 5, ".toml") == 0) {
            m_blob = devdesc::BuildBlob(m_desc);
        } else {
            std::ifstream in(o.config, std::ios::binary);
            m_blob.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        int ways = (o.port.empty() ? 0 : 1) + (o.tcp.empty() ? 0 : 1) + (o.simulate ? 1 : 0);
        if (ways != 1) {
            error = "give exactly one of --port DEV, --tcp HOST:PORT and --simulate";
            return false;
        }
        if (!o.sets.empty() && !o.simulate) {
            error = "--set needs --simulate";
            return false;
        }
        if (!OpenPort(o, error)) return false;
        m_tracing = std::make_unique<TracingPort>(*m_port, o.trace ? stderr : nullptr);

        std::vector<DATATYPE> types;
        for (const devdesc::Row& r : m_desc.rows) types.push_back(devdesc::ValueType(r));
        m_rtdb = std::make_unique<BenchRtdb>(types);

        std::string loadError;
        if (!m_plugin.Load(o.plugin, loadError)) {
            error = "plug-in cannot be loaded: " + loadError;
            return false;
        }
        m_ctrl = m_plugin.create()("devhost", m_rtdb.get());
        if (m_ctrl == nullptr) {
            error = "CreateDeviceCtrl returned no controller";
            return false;
        }
        m_plugin.version()(2, m_ctrl);
        int rc = m_ctrl->UpdataCommunication(m_tracing.get());
        if (rc != 0) {
            error = "the controller refused the port: " + CodeText(rc);
            return false;
        }
        rc = m_ctrl->InitDevice(m_blob.data(), static_cast<int>(m_blob.size()));
        if (rc != 0) {
            error = "InitDevice failed: " + CodeText(rc);
            return false;
        }
        m_refs.assign(m_desc.rows.size(), 1);
        rc = m_ctrl->ChannelRefChange(m_refs.data(), static_cast<int>(m_refs.size()));
        if (rc != 0) {
            error = "ChannelRefChange failed: " + CodeText(rc);
            return false;
        }
        return true;
    }

    ~Session() {
        if (m_ctrl != nullptr) {
            m_ctrl->CleanupDevice();
            m_plugin.destroy()(m_ctrl);
        }
        if (m_server) m_server->Stop();
    }

    IDeviceCtrl& Ctrl() { return *m_ctrl; }
    BenchRtdb& Rtdb() { return *m_rtdb; }
    TracingPort& Port() { return *m_tracing; }
    const devdesc::Description& Desc() const { return m_desc; }
    std::vector<int>& Refs() { return m_refs; }

private:
    bool OpenPort(const Options& o, std::string& error) {
        if (o.simulate) {
            plcsim::Plc::Settings s;
            s.station = static_cast<uint8_t>(Property(0));
            s.crcOrder = Property(7) == 0 ? plcsim::CrcOrder::LowFirst : plcsim::CrcOrder::HighFirst;
            m_plc = std::make_unique<plcsim::Plc>(s);
            std::vector<std::string> sets = m_desc.simulatorSet;
            sets.insert(sets.end(), o.sets.begin(), o.sets.end());
            for (const std::string& a : sets) {
                try {
                    m_plc->Assign(a);
                } catch (const std::exception& e) {
                    error = "--set " + a + ": " + e.what();
                    return false;
                }
            }
            try {
                plcsim::ServerOptions serverOptions;
                serverOptions.baud = o.simBaud;
                m_server = std::make_unique<plcsim::PtyServer>(*m_plc, serverOptions);
            } catch (const std::exception& e) {
                error = std::string("no pseudo-terminal for the simulator: ") + e.what();
                return false;
            }
            m_server->Start();
            auto serial = std::make_unique<SerialPort>(m_server->SlavePath());
            if (serial->Open() != 0) {
                error =
                    "port cannot be opened: " + m_server->SlavePath() + ": " + std::strerror(serial->GetLastError());
                return false;
            }
            m_port = std::move(serial);
            return true;
        }
        if (!o.port.empty()) {
            SerialLineSettings line;
            line.baud = o.baud;
            line.parity = o.parity[0];
            line.dataBits = o.dataBits;
            line.stopBits = o.stopBits;
            auto serial = std::make_unique<SerialPort>(o.port, line);
            if (serial->Open() != 0) {
                int e = serial->GetLastError();
                error = "port cannot be opened: " + o.port + ": " +
                        (e != 0 ? std::strerror(e) : "unsupported line settings");
                return false;
            }
            m_port = std::move(serial);
            return true;
        }
        auto tcp = std::make_unique<TcpPort>(o.tcp);
        if (tcp->Open() != 0) {
            int e = tcp->GetLastError();
            error = "port cannot be opened: " + o.tcp + ": " + (e != 0 ? std::strerror(e) : "not HOST:PORT");
            return false;
        }
        m_port = std::move(tcp);
        return true;
    }

    int Property(size_t index) const { return index < m_desc.properties.size() ? m_desc.properties[index] : 0; }

    devdesc::Description m_desc;
    std::vector<uint8_t> m_blob;
    std::unique_ptr<plcsim::Plc> m_plc;
    std::unique_ptr<plcsim::PtyServer> m_server;
    std::unique_ptr<ICommunication> m_port;
    std::unique_ptr<TracingPort> m_tracing;
    std::unique_ptr<BenchRtdb> m_rtdb;
    Plugin m_plugin;
    IDeviceCtrl* m_ctrl = nullptr;
    std::vector<int> m_refs;
};

// ---- run

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class LiveTable {
public:
    LiveTable(Session& s, std::string title) : m_s(s), m_title(std::move(title)) {}

    void Draw(std::ostream& out, bool inPlace, double scanMs, long calls) {
        int height = 1000000;
        if (inPlace) {
            winsize ws{};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 6) height = ws.ws_row - 4;
            out << "\x1b[H";
        }
        const char* eol = inPlace ? "\x1b[K\n" : "\n";
        char line[512];
        std::snprintf(line, sizeof line, "%s: %zu channels, call %ld", m_title.c_str(), m_s.Desc().rows.size(), calls);
        out << line << eol;
        std::snprintf(line, sizeof line, "%5s  %-24s %-8s %16s  %-7s %8s", "chan", "name", "element", "value", "status",
                      "age");
        out << line << eol;
        auto now = Clock::now();
        const auto& channels = m_s.Rtdb().Channels();
        double staleMs = std::max(1000.0, 3.0 * scanMs);
        int shown = 0;
        for (size_t c = 0; c < channels.size(); ++c) {
            if (shown >= height) {
                out << "... " << channels.size() - c << " more" << eol;
                break;
            }
            const auto& ch = channels[c];
            const devdesc::Row& row = m_s.Desc().rows[c];
            std::string value = ch.stored ? ch.value.Text() : "-";
            if (value.size() > 16) value = value.substr(0, 15) + "~";
            std::string age = "-", status = row.rw == 1 ? "w-only" : "none";
            if (ch.stored) {
                double ms = Ms(now - ch.at);
                char buf[32];
                std::snprintf(buf, sizeof buf, ms < 10000 ? "%.0fms" : "%.0fs", ms < 10000 ? ms : ms / 1000);
                age = buf;
                status = ms <= staleMs ? "ok" : "stale";
            }
            // Names are UTF-8: pad by characters, not bytes.
            std::string name = row.name;
            size_t chars = 0;
            for (char ch8 : name) chars += (static_cast<unsigned char>(ch8) & 0xC0) != 0x80;
            size_t wide = 0;  // CJK characters take two columns
            for (size_t i = 0; i < name.size(); ++i)
                if (static_cast<unsigned char>(name[i]) >= 0xE0) ++wide;
            size_t cols = chars + wide;
            if (cols < 24) name += std::string(24 - cols, ' ');
            std::snprintf(line, sizeof line, "%5zu  %s %-8s %16s  %-7s %8s", c, name.c_str(),
                          devdesc::AddressText(row).c_str(), value.c_str(), status.c_str(), age.c_str());
            out << line << eol;
            ++shown;
        }
        if (inPlace) out << "\x1b[J";
        out.flush();
    }

private:
    Session& m_s;
    std::string m_title;
};

int Run(Session& s, const Options& o) {
    bool table = o.format == "table";
    bool terminal = isatty(STDOUT_FILENO) == 1;
    bool live = table && terminal && !o.trace;
    std::ostream& summaryOut = table ? std::cout : std::cerr;
    const auto& rows = s.Desc().rows;

    // A full scan: from its start until every channel that is read (all but
    // the write-only ones) was stored once.
    std::vector<char> seen(rows.size(), 0);
    size_t readable = 0;
    for (const devdesc::Row& r : rows) readable += r.rw != 1;
    size_t seenCount = 0;
    Clock::time_point scanStart = Clock::now();
    std::vector<double> scans;
    s.Rtdb().OnStore([&](int channel, const BenchRtdb::Channel& ch) {
        size_t c = static_cast<size_t>(channel);
        if (o.format == "csv")
            std::cout << Iso8601Now() << "," << channel << "," << CsvField(rows[c].name) << ","
                      << CsvField(ch.value.Text()) << "\n";
        else if (o.format == "jsonl")
            std::cout << "{\"time\":\"" << Iso8601Now() << "\",\"channel\":" << channel
                      << ",\"name\":" << devdesc::Quote(rows[c].name) << ",\"element\":\""
                      << devdesc::AddressText(rows[c]) << "\",\"type\":\"" << TypeWord(ch.value.type)
                      << "\",\"value\":" << JsonValue(ch.value) << "}\n";
        if (!seen[c] && rows[c].rw != 1) {
            seen[c] = 1;
            if (++seenCount == readable) {
                auto now = Clock::now();
                scans.push_back(Ms(now - scanStart));
                scanStart = now;
                std::fill(seen.begin(), seen.end(), 0);
                seenCount = 0;
            }
        }
    });
    if (o.format == "csv") std::cout << "time,channel,name,value\n";

    LiveTable view(s, o.config);
    if (live) std::cout << "\x1b[2J";
    std::map<int, long> failures;
    long calls = 0;
    auto started = Clock::now();
    auto lastDraw = Clock::time_point{};
    while (!g_stop.load() && (o.cycles <= 0 || calls < o.cycles)) {
        int rc = s.Ctrl().CollectDevData(s.Refs().data(), static_cast<int>(s.Refs().size()));
        s.Port().EndRequest();
        ++calls;
        if (rc != 0) ++failures[rc];
        if (o.format != "table") std::cout.flush();
        if (live && Ms(Clock::now() - lastDraw) >= 100) {
            view.Draw(std::cout, true, scans.empty() ? 0 : scans.back(), calls);
            lastDraw = Clock::now();
        }
        if (o.cycles > 0 && calls >= o.cycles) break;
        auto wake = Clock::now() + std::chrono::milliseconds(o.intervalMs);
        while (!g_stop.load() && Clock::now() < wake)
            std::this_thread::sleep_for(std::min<Clock::duration>(wake - Clock::now(), std::chrono::milliseconds(20)));
    }
    double elapsed = Ms(Clock::now() - started);
    if (table) view.Draw(std::cout, live, scans.empty() ? 0 : scans.back(), calls);

    long failed = 0;
    for (const auto& f : failures) failed += f.second;
    char line[256];
    std::snprintf(line, sizeof line, "summary: %ld calls in %.1f s, %lu requests, %ld calls failed\n", calls,
                  elapsed / 1000.0, s.Port().Requests(), failed);
    summaryOut << line;
    for (const auto& f : failures) summaryOut << "  failed " << f.second << " x code " << CodeText(f.first) << "\n";
    if (scans.empty()) {
        summaryOut << "full scan: not completed (some channels got no value)\n";
    } else {
        std::snprintf(line, sizeof line, "full scan: %.1f ms (first), %.1f ms (last), %zu complete\n", scans.front(),
                      scans.back(), scans.size());
        summaryOut << line;
    }
    const auto& lat = s.Port().LatenciesMs();
    if (!lat.empty()) {
        std::snprintf(line, sizeof line,
                      "request latency: min %.3f ms, median %.3f ms, max %.3f ms (%zu answered, %lu unanswered)\n",
                      *std::min_element(lat.begin(), lat.end()), Median(lat), *std::max_element(lat.begin(), lat.end()),
                      lat.size(), s.Port().Unanswered());
        summaryOut << line;
    } else {
        summaryOut << "request latency: no answers (" << s.Port().Unanswered() << " unanswered)\n";
    }
    summaryOut.flush();
    return failed == calls && calls > 0 ? 3 : 0;
}

// ---- write

int Write(Session& s, const Options& o) {
    const auto& rows = s.Desc().rows;
    int channel = -1;
    if (!o.channel.empty() && std::all_of(o.channel.begin(), o.channel.end(), ::isdigit)) {
        channel = std::stoi(o.channel);
        if (static_cast<size_t>(channel) >= rows.size()) {
            std::cerr << "devhost: channel " << channel << " beyond the table of " << rows.size() << " channels\n";
            return 1;
        }
    } else {
        for (size_t c = 0; c < rows.size(); ++c)
            if (rows[c].name == o.channel || strcasecmp(rows[c].name.c_str(), o.channel.c_str()) == 0) {
                channel = static_cast<int>(c);
                break;
            }
        if (channel < 0) {
            std::cerr << "devhost: no channel named '" << o.channel << "'\n";
            return 1;
        }
    }
    const devdesc::Row& row = rows[static_cast<size_t>(channel)];
    DATATYPE type = devdesc::ValueType(row);
    int rc = 0;
    try {
        size_t used = 0;
        if (type == DATATYPE_INT) {
            long long v = std::stoll(o.value, &used, 0);
            if (used != o.value.size() || v < INT32_MIN || v > UINT32_MAX) throw std::invalid_argument("");
            int iv = static_cast<int>(static_cast<uint32_t>(v));
            rc = s.Ctrl().WriteChannel(channel, DATATYPE_INT, &iv);
        } else if (type == DATATYPE_DOUBLE) {
            double v = std::stod(o.value, &used);
            if (used != o.value.size()) throw std::invalid_argument("");
            rc = s.Ctrl().WriteChannel(channel, DATATYPE_DOUBLE, &v);
        } else {
            std::vector<char> text(o.value.begin(), o.value.end());
            text.push_back('\0');
            rc = s.Ctrl().WriteChannel(channel, DATATYPE_STRING, text.data());
        }
    } catch (const std::exception&) {
        std::cerr << "devhost: '" << o.value << "' is no " << TypeWord(type) << " value for channel " << channel
                  << "\n";
        return 1;
    }
    s.Port().EndRequest();
    std::cout << "write channel " << channel << " " << row.name << " (" << devdesc::AddressText(row) << ", "
              << devdesc::TypeName(row) << ") = " << o.value << "\n";
    std::cout << "result " << CodeText(rc) << "\n";
    return rc == 0 ? 0 : 3;
}

// ---- ioctl

int IoCtrl(Session& s, const Options& o) {
    for (const std::string& varText : o.vars) {
        // NAME:TYPE[=VALUE]
        size_t colon = varText.find(':');
        if (colon == std::string::npos || colon == 0) {
            std::cerr << "devhost: --var " << varText << ": expected NAME:int, NAME:double or NAME:string[=VALUE]\n";
            return 2;
        }
        std::string name = varText.substr(0, colon), rest = varText.substr(colon + 1), init;
        size_t eq = rest.find('=');
        if (eq != std::string::npos) {
            init = rest.substr(eq + 1);
            rest = rest.substr(0, eq);
        }
        Value v;
        try {
            if (rest == "int") {
                v.type = DATATYPE_INT;
                if (!init.empty()) v.i = std::stoi(init, nullptr, 0);
            } else if (rest == "double") {
                v.type = DATATYPE_DOUBLE;
                if (!init.empty()) v.d = std::stod(init);
            } else if (rest == "string") {
                v.type = DATATYPE_STRING;
                v.s = init;
            } else {
                throw std::invalid_argument("type");
            }
        } catch (const std::exception&) {
            std::cerr << "devhost: --var " << varText << ": expected NAME:int, NAME:double or NAME:string[=VALUE]\n";
            return 2;
        }
        s.Rtdb().DeclareVariable(name, v);
    }
    int rc = s.Ctrl().DevIOCtrl(o.command.c_str());
    s.Port().EndRequest();
    std::cout << o.command << "\n";
    for (const auto& [name, v] : s.Rtdb().Variables())
        std::cout << "  " << name << " (" << TypeWord(v.type) << ") = " << v.Text() << "\n";
    std::cout << "result " << CodeText(rc) << "\n";
    return rc == 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Drives the plug-in as the host runtime does: polling, channel writes, IOCtrl commands"};
    app.require_subcommand(1);
    Options o;
    CLI::App* run = app.add_subcommand("run", "Poll all channels with CollectDevData");
    AddCommon(run, o);
    run->add_option("--cycles", o.cycles, "CollectDevData calls (0: until Ctrl-C)")->capture_default_str();
    run->add_option("--interval", o.intervalMs, "Pause between calls, ms")->capture_default_str();
    run->add_option("--format", o.format, "table, csv or jsonl (one line per stored value)")
        ->check(CLI::IsMember({"table", "csv", "jsonl"}))
        ->capture_default_str();
    CLI::App* write = app.add_subcommand("write", "Write one channel");
    AddCommon(write, o);
    write->add_option("--channel", o.channel, "Channel number or name")->required();
    write->add_option("--value", o.value, "Value to write")->required();
    CLI::App* ioctl = app.add_subcommand("ioctl", "Carry out one IOCtrl command");
    AddCommon(ioctl, o);
    ioctl->add_option("COMMAND", o.command, "e.g. 'READ(D,100,WUB=Level=Done)'")->required();
    ioctl->add_option("--var", o.vars, "Host variable NAME:int|double|string[=VALUE]")->allow_extra_args(false);
    CLI11_PARSE(app, argc, argv);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Session session;
    std::string error;
    if (!session.Open(o, error)) {
        std::cerr << "devhost: " << error << "\n";
        return 1;
    }
    if (run->parsed()) return Run(session, o);
    if (write->parsed()) return Write(session, o);
    return IoCtrl(session, o);
}
