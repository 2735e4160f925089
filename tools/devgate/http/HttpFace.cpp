#include "gateway/HttpFace.h"

#include <httplib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "gateway/History.h"
#include "gateway/HttpAuth.h"
#include "gateway/HostPort.h"
#include "gateway/HttpJson.h"
#include "toolkit/CodeTexts.h"
#include "toolkit/Output.h"

// The web console's files, embedded at build time (Embed.cmake).
extern const unsigned char web_index_html[], web_app_js[], web_style_css[], web_chart_js[];
extern const std::size_t web_index_html_size, web_app_js_size, web_style_css_size, web_chart_js_size;

namespace gateway {

namespace {

using nlohmann::json;
using ojson = nlohmann::ordered_json;  // answers keep their fields in order

constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kMaxQueryValue = 256;
constexpr int kMaxHistorySeconds = 600;
constexpr int kNoPort = -2;
constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr auto kKeepalive = std::chrono::seconds(5);
constexpr size_t kEventQueue = 8192;       // changes queued for one event client
constexpr size_t kHistoryQueue = 1 << 16;  // changes queued for the history
constexpr int kServingNice = 10;
constexpr auto kValuesMaxAge = std::chrono::milliseconds(100);

struct Asset {
    const char* path;
    const char* type;
    const unsigned char* data;
    const std::size_t& size;
};

const Asset kAssets[] = {
    {"/", "text/html; charset=utf-8", web_index_html, web_index_html_size},
    {"/app.js", "text/javascript; charset=utf-8", web_app_js, web_app_js_size},
    {"/style.css", "text/css; charset=utf-8", web_style_css, web_style_css_size},
    {"/chart.js", "text/javascript; charset=utf-8", web_chart_js, web_chart_js_size},
};

// The HTTP threads yield the processor to the lines: a busy page or many
// clients slow the answers, not the polling. Once a thread (nice is per
// thread on Linux).
void YieldToLines() {
    thread_local bool done = false;
    if (!done) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kServingNice);
    done = true;
}

// httplib's pool, its workers below the lines.
class WorkerPool : public httplib::TaskQueue {
public:
    explicit WorkerPool(size_t n) : m_pool(n) {}
    void enqueue(std::function<void()> fn) override {
        m_pool.enqueue([fn = std::move(fn)] {
            YieldToLines();
            fn();
        });
    }
    void shutdown() override { m_pool.shutdown(); }

private:
    httplib::ThreadPool m_pool;
};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string RandomToken() {
    std::ifstream in("/dev/urandom", std::ios::binary);
    char bytes[16];
    if (!in.read(bytes, sizeof bytes)) throw std::runtime_error("http: no random token: /dev/urandom cannot be read");
    std::string token;
    char hex[3];
    for (char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(b));
        token += hex;
    }
    return token;
}

void Error(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Send(httplib::Response& res, const std::string& body) { res.set_content(body, "application/json"); }

std::string Dump(const ojson& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

const char* RwWord(int rw) { return rw == 1 ? "w" : rw == 2 ? "rw" : "r"; }

ojson Failures(const std::map<int, long>& failures) {
    ojson out = ojson::object();
    for (const auto& [code, count] : failures) out[std::to_string(code)] = count;
    return out;
}

}  // namespace

struct HttpFace::Impl {
    Gateway& g;
    HttpOptions options;
    std::string host;
    int port = -1;
    std::string token;
    bool generated = false;
    httplib::Server server;
    std::thread listener;
    std::thread feeder;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> eventClients{0};
    History history;
    std::shared_ptr<Subscription> historyFeed;
    struct ValuesCache {
        std::mutex mutex;
        std::chrono::steady_clock::time_point at;
        std::string body;
    };
    std::vector<std::unique_ptr<ValuesCache>> valuesCache;  // by device, then all devices

    Impl(Gateway& gateway, HttpOptions o) : g(gateway), options(std::move(o)), history(ChannelTypes(gateway)) {
        for (size_t d = 0; d <= g.Devices().size(); ++d) valuesCache.push_back(std::make_unique<ValuesCache>());
    }

    static std::vector<std::vector<DATATYPE>> ChannelTypes(const Gateway& g) {
        std::vector<std::vector<DATATYPE>> types;
        for (const DeviceModel& d : g.Devices()) {
            types.emplace_back();
            for (const ChannelModel& c : d.channels) types.back().push_back(c.type);
        }
        return types;
    }

    bool HasToken(const httplib::Request& req) const {
        return BearerMatches(req.get_header_value("Authorization"), token);
    }

    // Reads: open on a loopback address when the request names a loopback
    // host (a page of another site that renamed itself to this address gets
    // nothing), or with openReads; else with the token.
    bool MayRead(const httplib::Request& req) const {
        if (options.openReads || HasToken(req)) return true;
        if (req.has_param("token") && SameSecret(req.get_param_value("token"), token)) return true;
        if (!LoopbackHost(host.find(':') != std::string::npos ? "[" + host + "]" : host)) return false;
        return LoopbackHost(req.get_header_value("Host"));
    }

    const DeviceModel* Device(const std::string& name) const {
        int d = g.DeviceIndex(name);
        return d < 0 ? nullptr : &g.Devices()[static_cast<size_t>(d)];
    }

    static int ChannelIndex(const DeviceModel& d, const std::string& name) {
        for (size_t c = 0; c < d.channels.size(); ++c)
            if (d.channels[c].name == name) return static_cast<int>(c);
        return -1;
    }

    void Site(httplib::Response& res) const {
        ojson lines = ojson::array(), devices = ojson::array();
        for (const LineModel& l : g.Lines()) {
            LineStats s = g.LineStatsOf(l.name);
            ojson line = {{"name", l.name}, {"up", s.up}, {"devices", l.devices}};
            // Why a line is down, for a page opened after its event.
            if (!s.up && s.since != SystemTime{}) {
                line["time"] = toolkit::Iso8601(s.since);
                line["code"] = s.code;
                line["message"] = s.message;
            }
            lines.push_back(std::move(line));
        }
        for (const DeviceModel& d : g.Devices()) {
            ojson channels = ojson::array();
            for (const ChannelModel& c : d.channels)
                channels.push_back({{"name", c.name},
                                    {"element", c.element},
                                    {"type", toolkit::TypeWord(c.type)},
                                    {"rw", RwWord(c.rw)}});
            devices.push_back({{"name", d.name}, {"line", d.line}, {"station", d.station}, {"channels", channels}});
        }
        Send(res, Dump({{"lines", lines}, {"devices", devices}}));
    }

    // The values of one device (or of all at d == Devices().size()) as JSON,
    // built at most every kValuesMaxAge however many clients ask: the answer
    // is then at most that much older than the latest reading.
    std::string ValuesBody(size_t d) {
        ValuesCache& cache = *valuesCache[d];
        std::lock_guard<std::mutex> lock(cache.mutex);
        auto now = std::chrono::steady_clock::now();
        if (!cache.body.empty() && now - cache.at < kValuesMaxAge) return cache.body;
        std::string out = "{\"values\":[";
        bool first = true;
        const std::vector<DeviceModel>& devices = g.Devices();
        for (size_t k = d < devices.size() ? d : 0; k < (d < devices.size() ? d + 1 : devices.size()); ++k) {
            std::vector<Reading> readings = g.Readings(devices[k].name);
            for (size_t c = 0; c < readings.size() && c < devices[k].channels.size(); ++c) {
                if (!first) out += ',';
                first = false;
                out += ReadingJson(devices[k].name, devices[k].channels[c].name, readings[c]);
            }
        }
        cache.body = out + "]}";
        cache.at = now;
        return cache.body;
    }

    void Values(const httplib::Request& req, httplib::Response& res) {
        size_t d = g.Devices().size();
        if (req.has_param("device")) {
            int i = g.DeviceIndex(req.get_param_value("device"));
            if (i < 0) return Error(res, 404, "no device " + req.get_param_value("device"));
            d = static_cast<size_t>(i);
        }
        Send(res, ValuesBody(d));
    }

    void Stats(httplib::Response& res) const {
        ojson lines = ojson::array();
        for (const LineModel& l : g.Lines()) {
            LineStats ls = g.LineStatsOf(l.name);
            ojson devices = ojson::array();
            for (const std::string& name : l.devices) {
                DeviceStats s = g.Stats(name);
                devices.push_back(
                    {{"name", name},
                     {"calls", s.calls},
                     {"requests", s.requests},
                     {"failures", Failures(s.failures)},
                     {"scans", s.scans},
                     {"lastScanMs", s.lastScanMs},
                     {"medianScanMs", s.medianScanMs},
                     {"latencyMs", {{"p50", s.latencyP50Ms}, {"p90", s.latencyP90Ms}, {"p99", s.latencyP99Ms}}}});
            }
            lines.push_back({{"name", l.name},
                             {"up", ls.up},
                             {"downs", ls.downs},
                             {"cycles", ls.cycles},
                             {"lastCycleMs", ls.lastCycleMs},
                             {"medianCycleMs", ls.medianCycleMs},
                             {"requests", ls.requests},
                             {"failures", Failures(ls.failures)},
                             {"devices", devices}});
        }
        Send(res, Dump({{"lines", lines}}));
    }

    void HistoryOf(const httplib::Request& req, httplib::Response& res) const {
        if (!req.has_param("device") || !req.has_param("channel"))
            return Error(res, 400, "history needs device and channel");
        long long seconds = kMaxHistorySeconds;
        if (req.has_param("seconds") && !toolkit::ParseInteger(req.get_param_value("seconds"), 1, 1000000000, seconds))
            return Error(res, 400, "seconds is a whole number from 1 on");
        seconds = std::min<long long>(seconds, kMaxHistorySeconds);
        std::string device = req.get_param_value("device"), channel = req.get_param_value("channel");
        const DeviceModel* d = Device(device);
        if (d == nullptr) return Error(res, 404, "no device " + device);
        int c = ChannelIndex(*d, channel);
        if (c < 0) return Error(res, 404, "no channel " + channel + " on " + device);
        int64_t now =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        std::string out =
            "{\"device\":" + devdesc::Quote(device) + ",\"channel\":" + devdesc::Quote(channel) + ",\"points\":[";
        bool first = true;
        for (const History::Point& p :
             history.Since(static_cast<size_t>(g.DeviceIndex(device)), static_cast<size_t>(c), now - seconds * 1000)) {
            if (!first) out += ',';
            first = false;
            out += "[" + std::to_string(p.ms) + "," + (p.null ? "null" : toolkit::JsonValue(p.value)) + "]";
        }
        Send(res, out + "]}");
    }

    void Events(httplib::Response& res) {
        if (eventClients.fetch_add(1) >= options.eventClients) {
            eventClients.fetch_sub(1);
            return Error(res, 503, "too many event streams; try again later");
        }
        struct Stream {
            std::shared_ptr<Subscription> sub;
            std::chrono::steady_clock::time_point lastWrite;
        };
        auto stream = std::make_shared<Stream>(Stream{g.Subscribe(kEventQueue), std::chrono::steady_clock::now()});
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](size_t offset, httplib::DataSink& sink) {
                std::string out = offset == 0 ? ": devgate\n\n" : "";
                Change c;
                for (bool got = stream->sub->Pop(c, kEventWait); got && out.size() < kMaxBody;
                     got = stream->sub->Pop(c, std::chrono::milliseconds(0)))
                    out += EventText(g, c);
                auto now = std::chrono::steady_clock::now();
                if (out.empty() && now - stream->lastWrite >= kKeepalive) out = ": keepalive\n\n";
                if (!out.empty()) {
                    if (!sink.write(out.data(), out.size())) return false;  // the client went away
                    stream->lastWrite = now;
                }
                return !stopping.load();
            },
            [this](bool) { eventClients.fetch_sub(1); });
    }

    // The JSON object of a request body, or a 400 answer.
    bool Body(const httplib::Request& req, httplib::Response& res, json& body) {
        body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            Error(res, 400, "the body is no JSON object");
            return false;
        }
        return true;
    }

    static bool Field(const json& body, const char* name, std::string& out, httplib::Response& res) {
        auto it = body.find(name);
        if (it == body.end() || !it->is_string()) {
            Error(res, 400, std::string("the body needs a string \"") + name + "\"");
            return false;
        }
        out = it->get<std::string>();
        return true;
    }

    void Answer(httplib::Response& res, const Result& r, bool variables) {
        if (!r.refused.empty()) return Error(res, 400, r.refused);
        if (r.code == kNoPort) return Error(res, 503, "the line is down: " + r.meaning);
        std::string out = "{\"code\":" + std::to_string(r.code) + ",\"meaning\":" + devdesc::Quote(r.meaning);
        if (variables) out += ",\"variables\":" + VariablesJson(r.variables);
        Send(res, out + "}");
    }

    void Write(const httplib::Request& req, httplib::Response& res) {
        json body;
        std::string device, channel, why;
        if (!Body(req, res, body) || !Field(body, "device", device, res) || !Field(body, "channel", channel, res))
            return;
        if (!body.contains("value")) return Error(res, 400, "the body needs a \"value\"");
        const DeviceModel* d = Device(device);
        if (d == nullptr) return Error(res, 404, "no device " + device);
        int c = ChannelIndex(*d, channel);
        if (c < 0) return Error(res, 404, "no channel " + channel + " on " + device);
        const ChannelModel& ch = d->channels[static_cast<size_t>(c)];
        if (ch.rw == 0) return Error(res, 409, channel + " on " + device + " is read only");
        toolkit::Asked value;
        if (!AskedFromJson(body["value"], value, why)) return Error(res, 400, why);
        Answer(res, g.Write(device, c, value), false);
    }

    void IoCtrl(const httplib::Request& req, httplib::Response& res) {
        json body;
        std::string device, command, why;
        if (!Body(req, res, body) || !Field(body, "device", device, res) || !Field(body, "command", command, res))
            return;
        toolkit::Variables variables;
        if (body.contains("variables")) {
            if (!body["variables"].is_object()) return Error(res, 400, "variables is an object");
            for (const auto& [name, j] : body["variables"].items()) {
                toolkit::Value v;
                if (!VariableFromJson(j, v, why)) return Error(res, 400, name + ": " + why);
                variables.emplace_back(name, v);
            }
        }
        if (Device(device) == nullptr) return Error(res, 404, "no device " + device);
        Answer(res, g.IoCtrl(device, command, variables), true);
    }

    void Routes() {
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            // Answers go uncompressed: httplib compresses each answer anew,
            // brotli at its highest quality (0.7 s of CPU for the values of
            // examples/site.toml), gzip at 4 ms, where sending takes 0.1 ms.
            // The request is httplib's own, not const.
            const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
            for (const auto& [name, value] : req.params)
                if (name.size() > kMaxQueryValue || value.size() > kMaxQueryValue) {
                    Error(res, 400, "query value too long");
                    return httplib::Server::HandlerResponse::Handled;
                }
            if (req.path.rfind("/api/", 0) != 0) return httplib::Server::HandlerResponse::Unhandled;
            bool allowed = req.method == "GET" ? MayRead(req) : HasToken(req);
            if (allowed) return httplib::Server::HandlerResponse::Unhandled;
            res.set_header("WWW-Authenticate", "Bearer");
            res.set_header("Connection", "close");  // an unread body must not be taken for the next request
            Error(res, 401, "this needs the token: Authorization: Bearer TOKEN");
            return httplib::Server::HandlerResponse::Handled;
        });
        server.Get("/api/site", [this](const httplib::Request&, httplib::Response& res) { Site(res); });
        server.Get("/api/values", [this](const httplib::Request& req, httplib::Response& res) { Values(req, res); });
        server.Get("/api/stats", [this](const httplib::Request&, httplib::Response& res) { Stats(res); });
        server.Get("/api/history",
                   [this](const httplib::Request& req, httplib::Response& res) { HistoryOf(req, res); });
        server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { Events(res); });
        server.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) { Write(req, res); });
        server.Post("/api/ioctl", [this](const httplib::Request& req, httplib::Response& res) { IoCtrl(req, res); });
        for (const Asset& a : kAssets)
            server.Get(a.path, [&a](const httplib::Request&, httplib::Response& res) {
                res.set_content(reinterpret_cast<const char*>(a.data), a.size, a.type);
                res.set_header("X-Content-Type-Options", "nosniff");
            });
        server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            if (res.status == 413 || res.status == 414)
                return Error(res, 400, res.status == 413 ? "request body too long" : "request line too long");
            if (res.status == 404)
                return Error(
                    res, 404,
                    req.path.rfind("/api/", 0) == 0 ? "no such endpoint: " + req.method + " " + req.path : "not found");
            Error(res, res.status, res.status == 400 ? "malformed request" : "request refused");
        });
        server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            Error(res, 500, "internal error");
        });
    }

    void Feed() {
        YieldToLines();
        Change c;
        while (!stopping.load()) {
            if (!historyFeed->Pop(c, kEventWait) || c.kind != Change::Kind::Value) continue;
            int d = c.deviceIndex;
            if (d < 0 || c.channel < 0) continue;
            int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(c.time.time_since_epoch()).count();
            history.Add(static_cast<size_t>(d), static_cast<size_t>(c.channel), ms,
                        c.reading.status != Status::Ok || !c.reading.hasValue, c.reading.value);
        }
    }
};

HttpFace::HttpFace(Gateway& gateway, HttpOptions options)
    : m_impl(std::make_unique<Impl>(gateway, std::move(options))) {}

HttpFace::~HttpFace() { Stop(); }

void HttpFace::Start() {
    Impl& m = *m_impl;
    if (!ParseHostPort(m.options.listen, m.host, m.port, 0))
        throw std::runtime_error("http: not an address and port: " + m.options.listen);
    if (!m.options.tokenFile.empty()) {
        std::ifstream in(m.options.tokenFile);
        std::string line;
        if (in) std::getline(in, line);
        m.token = Trim(line);
        if (m.token.empty())
            throw std::runtime_error("http: the token file " + m.options.tokenFile + " is missing or empty");
    } else {
        m.token = RandomToken();
        m.generated = true;
    }
    size_t threads = m.options.workers + m.options.eventClients;
    m.server.new_task_queue = [threads] { return new WorkerPool(threads); };
    m.server.set_payload_max_length(kMaxBody);
    m.server.set_read_timeout(5, 0);
    m.server.set_write_timeout(5, 0);
    m.server.set_keep_alive_timeout(1);  // an idle connection holds a worker (and the stop) no longer
    m.server.set_keep_alive_max_count(1000);
    m.Routes();
    int bound = m.port == 0 ? m.server.bind_to_any_port(m.host) : (m.server.bind_to_port(m.host, m.port) ? m.port : -1);
    if (bound < 0) throw std::runtime_error("http: cannot listen on " + m.options.listen);
    m.port = bound;
    m.historyFeed = m.g.Subscribe(kHistoryQueue);
    m.feeder = std::thread([&m] { m.Feed(); });
    m.listener = std::thread([&m] { m.server.listen_after_bind(); });
    // Stop() can stop the server only once it runs.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m.server.is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

void HttpFace::Stop() {
    Impl& m = *m_impl;
    m.stopping = true;
    if (m.listener.joinable()) {
        m.server.stop();
        m.listener.join();
    }
    if (m.feeder.joinable()) m.feeder.join();
}

std::string HttpFace::Url() const {
    const Impl& m = *m_impl;
    std::string host = m.host.find(':') != std::string::npos ? "[" + m.host + "]" : m.host;
    return "http://" + host + ":" + std::to_string(m.port) + "/";
}

const std::string& HttpFace::Token() const { return m_impl->token; }

bool HttpFace::TokenGenerated() const { return m_impl->generated; }

}  // namespace gateway
