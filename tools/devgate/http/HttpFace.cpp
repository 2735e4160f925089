#include "gateway/HttpFace.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "gateway/History.h"
#include "gateway/HistoryDb.h"
#include "gateway/HistoryPrint.h"
#include "gateway/HostPort.h"
#include "gateway/HttpAuth.h"
#include "gateway/HttpJson.h"
#include "gateway/Metrics.h"
#include "gateway/Users.h"
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
constexpr size_t kMaxHeaders = 64;                    // header fields of one request
constexpr size_t kHeadMemory = 32 * 1024;             // a connection's buffer: the request head must fit
constexpr unsigned kIdleSeconds = 10;                 // a connection with no traffic that long is closed
constexpr auto kHeadTime = std::chrono::seconds(10);  // a request head must be whole within this
constexpr unsigned kServingThreads = 2;
constexpr unsigned kMaxConnections = 256;
constexpr int kMaxHistorySeconds = 600;  // of the memory rings; the default window on disk too
constexpr long long kHistoryPoints = 1000, kMaxHistoryPoints = 10000;  // of /api/history on disk
constexpr int64_t kMaxHistoryRangeMs = 31LL * 24 * 3600 * 1000;        // from..to of /api/history on disk
constexpr int64_t kMaxCsvRangeMs = 366LL * 24 * 3600 * 1000;           // of /api/history.csv
constexpr size_t kCsvStreams = 4;                                      // /api/history.csv answers being sent at once
constexpr size_t kCsvPageRows = 2000;                                  // samples read in one go for /api/history.csv
constexpr int kNoPort = -2;
constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr auto kKeepalive = std::chrono::seconds(5);
constexpr size_t kHistoryQueue = 1 << 16;  // changes queued for the history
constexpr auto kValuesMaxAge = std::chrono::milliseconds(100);
constexpr const char* kReadCookie = "devgate-read";
constexpr const char* kSessionCookie = "devgate-session";
constexpr const char* kPageHeader = "X-Devgate";       // "1" on a session's requests that change anything
constexpr size_t kMaxSessions = 1024;                  // the least recently used goes beyond
constexpr size_t kMaxLoginClients = 1024;              // addresses with failed logins remembered
constexpr size_t kLoginsAtOnce = 4;                    // password checks under way or waiting
constexpr auto kLoginPause = std::chrono::seconds(2);  // after the first failure; doubles after each
constexpr auto kLoginPauseMax = std::chrono::seconds(60);
constexpr auto kLoginMemory = std::chrono::minutes(15);  // failures older than this are forgotten
constexpr size_t kMaxUserName = 64, kMaxPassword = 1024;

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

// TLS 1.3 only (it has no renegotiation a client could start again and
// again), with AEAD ciphers and forward-secret key exchange.
constexpr const char* kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA:-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:+GROUP-SECP384R1:"
    "%SERVER_PRECEDENCE";

std::string ReadPem(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) text.clear();
    if (text.find("-----BEGIN ") == std::string::npos)
        throw std::runtime_error("http: the TLS " + std::string(what) + " " + path + " is missing or no PEM");
    return text;
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

// One request as the handlers see it: its head as sent (header values not
// decoded), its query arguments (decoded) and its body.
struct Req {
    MHD_Connection* connection = nullptr;
    std::string method, path, body;

    bool has_param(const char* name) const {
        return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name) != nullptr;
    }
    std::string get_param_value(const char* name) const {
        const char* v = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
        return v == nullptr ? std::string() : v;
    }
    std::string get_header_value(const char* name) const {
        const char* v = nullptr;
        size_t n = 0;
        if (MHD_lookup_connection_value_n(connection, MHD_HEADER_KIND, name, std::strlen(name), &v, &n) != MHD_YES ||
            v == nullptr)
            return std::string();
        return std::string(v, n);
    }
};

// An answer, queued once the handler returns.
struct Res {
    int status = 200;
    std::string body, type;
    std::vector<std::pair<std::string, std::string>> headers;

    void set_content(std::string b, const char* t) {
        body = std::move(b);
        type = t;
    }
    void set_header(const char* name, const char* value) { headers.emplace_back(name, value); }
};

void Error(Res& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Send(Res& res, const std::string& body) { res.set_content(body, "application/json"); }

std::string Dump(const ojson& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

const char* RwWord(int rw) { return rw == 1 ? "w" : rw == 2 ? "rw" : "r"; }

ojson Failures(const std::map<int, long>& failures) {
    ojson out = ojson::object();
    for (const auto& [code, count] : failures) out[std::to_string(code)] = count;
    return out;
}

// On every answer: only the page's own scripts run (its feed worker is made
// from its own code as a blob), no type is guessed, no page frames it.
void PageHeaders(MHD_Response* r) {
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'self'; script-src 'self'; worker-src 'self' blob:; style-src 'self'; "
                            "img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
                            "form-action 'self'; frame-ancestors 'none'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
}

MHD_Result Queue(MHD_Connection* connection, const Res& res, bool close) {
    MHD_Response* r =
        MHD_create_response_from_buffer(res.body.size(), const_cast<char*>(res.body.data()), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    if (!res.type.empty()) MHD_add_response_header(r, "Content-Type", res.type.c_str());
    for (const auto& [name, value] : res.headers) MHD_add_response_header(r, name.c_str(), value.c_str());
    if (close) MHD_add_response_header(r, "Connection", "close");
    PageHeaders(r);
    MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(res.status), r);
    MHD_destroy_response(r);
    return ok;
}

// Who a request comes from: a user of the users file (by a session or a
// token), the single token, or nobody known (reads open).
struct Who {
    bool known = false;
    std::string name;  // "anonymous", "token" or the user's
    Role role = Role::Viewer;
    const User* user = nullptr;
    bool session = false;  // by the session cookie
    std::string sessionKey;

    bool Controls(const std::string& device) const {
        return user != nullptr ? user->Controls(device) : Permits(role, Action::Control);
    }
};

// The state of one request between the server's calls: its body as it comes.
struct Call {
    Req req;
    Who who;
    bool answered = false;
};

// What each endpoint asks for. Administration endpoints join with
// Action::Administer. Paths not listed: a read for GET, control otherwise.
struct Endpoint {
    const char* method;  // "GET" takes HEAD too
    const char* path;
    Action action;
    bool open;  // needs nobody known
};

const Endpoint kEndpoints[] = {
    {"GET", "/api/site", Action::Read, false},        {"GET", "/api/values", Action::Read, false},
    {"GET", "/api/stats", Action::Read, false},       {"GET", "/api/history", Action::Read, false},
    {"GET", "/api/history.csv", Action::Read, false}, {"GET", "/api/events", Action::Read, false},
    {"POST", "/api/session", Action::Read, false},    {"POST", "/api/logout", Action::Read, false},
    {"POST", "/api/login", Action::Read, true},       {"POST", "/api/write", Action::Control, false},
    {"POST", "/api/ioctl", Action::Control, false},   {"GET", "/metrics", Action::Read, false},
    {"GET", "/api/audit", Action::Control, false},
};

const char* ActionWord(Action action) {
    return action == Action::Read ? "read" : action == Action::Control ? "write or command" : "administer";
}

// A header value that went on past a NUL byte: libmicrohttpd ends a value at
// its first NUL and drops the rest, so "Bearer TOKEN<NUL>junk" would pass as
// the token. The request head lies in the connection's buffer from the
// method on, each line ended with NULs; anything but NULs between the end of
// a value and the next field's name (or the head's end) is such a rest.
// Values kept elsewhere are not checked.
bool HeadHasNul(MHD_Connection* connection, const char* method) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (info == nullptr || method == nullptr) return false;
    struct Field {
        const char *key, *value;
        size_t size;
    };
    std::vector<Field> fields;
    MHD_get_connection_values_n(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, size_t, const char* value, size_t size) {
            static_cast<std::vector<Field>*>(cls)->push_back({key, value, size});
            return MHD_YES;
        },
        &fields);
    const char* end = method + info->header_size;
    auto within = [method, end](const char* p) { return p >= method && p <= end; };
    for (size_t i = 0; i < fields.size(); ++i) {
        const Field& f = fields[i];
        const char* next = i + 1 < fields.size() ? fields[i + 1].key : end;
        if (f.value == nullptr || !within(f.key) || !within(f.value) || !within(next) || f.value + f.size > next)
            continue;
        for (const char* p = f.value + f.size; p < next; ++p)
            if (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return true;
    }
    return false;
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    const sockaddr* a = info->client_addr;
    if (a->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
    else if (a->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    return text;
}

// An event stream: changes taken from its own subscription by a thread of its
// own into a bounded buffer the server sends from; the connection waits
// (suspended) while the buffer is empty.
struct Stream {
    std::shared_ptr<Subscription> sub;
    MHD_Connection* connection = nullptr;
    std::mutex mutex;
    std::string buffer = ": devgate\n\n";
    bool suspended = false;
    bool ended = false;  // the client went, or the server stops
};

// A /api/history.csv answer: the samples read a page at a time, each page
// in a read of its own, so the range is never in memory and no read is held
// open while the client takes its time.
struct CsvStream {
    std::unique_ptr<HistoryDb> db;
    std::atomic<size_t>* streams = nullptr;  // the face's count, given back when sent
    int channel = 0;
    int64_t lastMs = 0, lastId = 0, toMs = 0;
    bool done = false;
    std::string buffer;
    size_t sent = 0;  // of buffer
};

// A connection's head deadline: from its accept or its last answer, a whole
// request head must come within kHeadTime.
struct Conn {
    int fd = -1;
    std::chrono::steady_clock::time_point since;
    bool busy = false;  // a whole request is being answered
    bool cut = false;
};

}  // namespace

struct HttpFace::Impl {
    Gateway& g;
    HttpOptions options;
    std::string host;
    int port = -1;
    std::string token;
    std::string readKey = RandomToken();  // the read cookie's value, given for the token
    bool generated = false;
    std::string certPem, keyPem;
    MHD_Daemon* daemon = nullptr;
    std::thread feeder, reaper;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> eventClients{0};
    std::atomic<unsigned long> streamDrops{0};  // of the event streams that ended
    std::atomic<size_t> csvStreams{0};          // /api/history.csv answers being sent
    std::mutex jobsMutex;                       // threads of writes, commands and event streams
    std::condition_variable jobsDone;
    size_t jobs = 0;
    mutable std::mutex connsMutex;
    std::condition_variable reaperWake;
    std::map<MHD_Connection*, Conn> conns;
    History history;
    std::shared_ptr<Subscription> historyFeed;
    struct ValuesCache {
        std::mutex mutex;
        std::chrono::steady_clock::time_point at;
        std::string body;
    };
    std::vector<std::unique_ptr<ValuesCache>> valuesCache;  // by device, then all devices
    // The users (none: the single token), their tokens by hash, their
    // sessions by the hash of the cookie's value.
    std::vector<User> users;
    std::map<std::string, size_t> tokenUsers;
    struct Session {
        size_t user;
        std::chrono::steady_clock::time_point used;
    };
    std::mutex sessionsMutex;
    std::map<std::string, Session> sessions;
    // Failed logins by client address: no login is checked from it until.
    struct Failed {
        unsigned count = 0;
        std::chrono::steady_clock::time_point last, until;
    };
    std::mutex loginsMutex;
    std::map<std::string, Failed> failed;
    size_t logins = 0;            // password checks under way or waiting
    std::mutex verifyMutex;       // one Argon2id check at a time: each takes 64 MiB
    std::string unknownUserHash;  // checked for a name that is no user's, so both take as long

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

    bool HasToken(const Req& req) const { return BearerMatches(req.get_header_value("Authorization"), token); }

    bool WithUsers() const { return !options.usersFile.empty(); }

    Who UserWho(size_t u, bool session) const {
        Who w;
        w.known = true;
        w.user = &users[u];
        w.name = users[u].name;
        w.role = users[u].role;
        w.session = session;
        return w;
    }

    // Who sent the request. Without users: the token is an operator, reads
    // as MayRead lets them come from anybody. With users: an Authorization
    // header must carry a token of a user (no session is looked at then),
    // else the session cookie names one; with openReads anybody reads.
    Who Identify(const Req& req) {
        Who w;
        bool get = req.method == "GET" || req.method == "HEAD";
        if (!WithUsers()) {
            if (HasToken(req)) {
                w.known = true;
                w.name = "token";
                w.role = Role::Operator;
            } else if (get && MayRead(req)) {
                w.known = true;
                w.name = "anonymous";
            }
            return w;
        }
        std::string authorization = req.get_header_value("Authorization");
        if (!authorization.empty()) {
            std::string given = BearerOf(authorization);
            if (given.empty()) return w;
            auto it = tokenUsers.find(TokenHash(given));
            return it == tokenUsers.end() ? w : UserWho(it->second, false);
        }
        const char* cookie = MHD_lookup_connection_value(req.connection, MHD_COOKIE_KIND, kSessionCookie);
        if (cookie != nullptr) {
            std::string key = TokenHash(cookie);
            std::lock_guard<std::mutex> lock(sessionsMutex);
            auto it = sessions.find(key);
            auto now = std::chrono::steady_clock::now();
            if (it != sessions.end() && now - it->second.used > options.sessionIdle) {
                sessions.erase(it);
                it = sessions.end();
            }
            if (it != sessions.end()) {
                it->second.used = now;
                w = UserWho(it->second.user, true);
                w.sessionKey = key;
                return w;
            }
        }
        if (options.openReads && get) {
            w.known = true;
            w.name = "anonymous";
        }
        return w;
    }

    // A new session of user u: its cookie's Set-Cookie value.
    std::string NewSession(size_t u) {
        std::string id = RandomSecret();
        std::lock_guard<std::mutex> lock(sessionsMutex);
        if (sessions.size() >= kMaxSessions) {
            auto oldest = sessions.begin();
            for (auto it = sessions.begin(); it != sessions.end(); ++it)
                if (it->second.used < oldest->second.used) oldest = it;
            sessions.erase(oldest);
        }
        sessions[TokenHash(id)] = Session{u, std::chrono::steady_clock::now()};
        return SessionCookie(id);
    }

    std::string SessionCookie(const std::string& value) const {
        return std::string(kSessionCookie) + "=" + value + "; HttpOnly; SameSite=Strict; Path=/" +
               (value.empty() ? "; Max-Age=0" : "") + (options.tlsCert.empty() ? "" : "; Secure");
    }

    static ojson UserJson(const Who& who) {
        ojson devices = ojson::array();
        if (who.user != nullptr)
            for (const std::string& d : who.user->devices) devices.push_back(d);
        return {{"user", who.name}, {"role", RoleWord(who.role)}, {"devices", devices}};
    }

    // POST /api/login {"user","password"}, on a thread of its own (the
    // password check takes 64 MiB and a second or more on a busy machine).
    // A client address whose login failed waits before its next is checked:
    // 2 s, doubling after each failure up to 60 s; every failure is logged.
    void Login(const Req& req, const Who&, Res& res) {
        std::string address = ClientAddress(req.connection);
        auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(loginsMutex);
            auto it = failed.find(address);
            if (it != failed.end() && now < it->second.until) {
                auto wait = std::chrono::duration_cast<std::chrono::seconds>(it->second.until - now).count() + 1;
                res.headers.emplace_back("Retry-After", std::to_string(wait));
                return Error(
                    res, 429,
                    "too many failed logins from " + address + "; try again in " + std::to_string(wait) + " s");
            }
        }
        json body;
        std::string name, password;
        if (!Body(req, res, body) || !Field(body, "user", name, res) || !Field(body, "password", password, res)) return;
        if (name.size() > kMaxUserName || password.size() > kMaxPassword)
            return Error(res, 400, "the user name or the password is too long");
        size_t u = users.size();
        for (size_t i = 0; i < users.size(); ++i)
            if (users[i].name == name) u = i;
        bool ok;
        {
            std::lock_guard<std::mutex> lock(verifyMutex);
            ok = PasswordMatches(password, u < users.size() ? users[u].passwordHash : unknownUserHash) &&
                 u < users.size();
        }
        now = std::chrono::steady_clock::now();  // the pause runs from the answer: the check takes its time
        std::lock_guard<std::mutex> lock(loginsMutex);
        if (ok) {
            failed.erase(address);
            res.headers.emplace_back("Set-Cookie", NewSession(u));
            return Send(res, Dump(UserJson(UserWho(u, true))));
        }
        for (auto it = failed.begin(); it != failed.end();)
            it = now - it->second.last > kLoginMemory ? failed.erase(it) : std::next(it);
        if (failed.size() >= kMaxLoginClients && failed.count(address) == 0) {
            auto oldest = failed.begin();
            for (auto it = failed.begin(); it != failed.end(); ++it)
                if (it->second.last < oldest->second.last) oldest = it;
            failed.erase(oldest);
        }
        Failed& f = failed[address];
        ++f.count;
        f.last = now;
        f.until =
            now + std::min<std::chrono::seconds>(kLoginPause * (1LL << std::min(f.count - 1, 10u)), kLoginPauseMax);
        std::cerr << "devgate: http: failed login as " << devdesc::Quote(name) << " from " << address << " (" << f.count
                  << (f.count == 1 ? " failure" : " failures in a row") << ")" << std::endl;
        Error(res, 401, "wrong user name or password");
    }

    // POST /api/login's thread, at most kLoginsAtOnce at once.
    MHD_Result CarryLogin(Call& call) {
        {
            std::lock_guard<std::mutex> lock(loginsMutex);
            if (logins >= kLoginsAtOnce) {
                Res res;
                Error(res, 503, "too many logins at once; try again later");
                return Queue(call.req.connection, res, false);
            }
            ++logins;
        }
        return Carry(call, &Impl::Login, true);
    }

    void Logout(const Who& who, Res& res) {
        if (who.session) {
            std::lock_guard<std::mutex> lock(sessionsMutex);
            sessions.erase(who.sessionKey);
        }
        res.headers.emplace_back("Set-Cookie", SessionCookie(""));
        Send(res, "{}");
    }

    // The users of the users file, their devices checked against the site.
    void LoadUsersFile() {
        InitCrypto();
        try {
            users = LoadUsers(options.usersFile);
        } catch (const UsersError& e) {
            throw std::runtime_error(std::string("http: ") + e.what());
        }
        for (const User& u : users)
            for (const std::string& d : u.devices)
                if (g.DeviceIndex(d) < 0)
                    throw std::runtime_error("http: " + options.usersFile + ":" + std::to_string(u.line) + ": user " +
                                             u.name + ": the site has no device " + d);
        for (size_t i = 0; i < users.size(); ++i)
            for (const std::string& h : users[i].tokens) tokenUsers[h] = i;
        if (std::string why = UsersFileExposure(options.usersFile); !why.empty())
            std::cerr << "devgate: warning: " << why << std::endl;
        unknownUserHash = HashPassword(RandomSecret());
    }

    // Reads: open on a loopback address when the request names a loopback
    // host (a page of another site that renamed itself to this address gets
    // nothing), or with openReads; else with the token, or the read cookie
    // the page takes for its event stream (a browser opens it without
    // headers, and a token in its address would end up in logs).
    bool MayRead(const Req& req) const {
        if (options.openReads || HasToken(req)) return true;
        const char* cookie = MHD_lookup_connection_value(req.connection, MHD_COOKIE_KIND, kReadCookie);
        if (cookie != nullptr && SameSecret(cookie, readKey)) return true;
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

    void Site(Res& res) const {
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
            DeviceStats s = g.Stats(d.name);
            devices.push_back({{"name", d.name},
                               {"line", d.line},
                               {"station", d.station},
                               {"intervalMs", s.intervalMs},
                               {"state", s.online ? "online" : "offline"},
                               {"since", toolkit::Iso8601(s.since)},
                               {"code", s.code},
                               {"reason", s.reason},
                               {"channels", channels}});
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

    // After an event stream lost changes: the next /api/values is built
    // afresh, so that the page that reads it again catches up.
    void ForgetValues() {
        for (auto& cache : valuesCache) {
            std::lock_guard<std::mutex> lock(cache->mutex);
            cache->body.clear();
        }
    }

    void Values(const Req& req, Res& res) {
        size_t d = g.Devices().size();
        if (req.has_param("device")) {
            int i = g.DeviceIndex(req.get_param_value("device"));
            if (i < 0) return Error(res, 404, "no device " + req.get_param_value("device"));
            d = static_cast<size_t>(i);
        }
        Send(res, ValuesBody(d));
    }

    // When the device last completed a full scan, or how long ago; null before the first.
    static ojson LastScan(const DeviceStats& s, bool age) {
        if (s.lastScanAt == SystemTime{}) return ojson();
        if (!age) return toolkit::Iso8601(s.lastScanAt);
        return std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now() - s.lastScanAt)
                   .count());
    }

    void Metrics(Res& res) const {
        std::ostringstream out;
        WriteMetrics(out, g, options.health ? options.health() : FaceHealth{{"http", Health()}});
        res.set_content(out.str(), "text/plain; version=0.0.4; charset=utf-8");
    }

    std::vector<HealthItem> Health() const {
        size_t open = 0;
        {
            std::lock_guard<std::mutex> lock(connsMutex);
            open = conns.size();
        }
        unsigned long dropped = streamDrops.load() + (historyFeed ? historyFeed->Dropped() : 0);
        return {
            {"clients", HealthItem::Kind::Gauge, static_cast<double>(open), "Connections of the face's clients."},
            {"event_streams", HealthItem::Kind::Gauge, static_cast<double>(eventClients.load()), "Event streams open."},
            {"feed_dropped_total", HealthItem::Kind::Counter, static_cast<double>(dropped),
             "Changes the face's queues on the change feed dropped while full."}};
    }

    void Stats(Res& res) const {
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
                     {"lastScan", LastScan(s, false)},
                     {"lastScanAgeMs", LastScan(s, true)},
                     {"intervalMs", s.intervalMs},
                     {"state", s.online ? "online" : "offline"},
                     {"since", toolkit::Iso8601(s.since)},
                     {"code", s.code},
                     {"reason", s.reason},
                     {"offlines", s.offlines},
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
        ojson stored;  // null: no history on disk
        if (options.historyStats) {
            HistoryStats h = options.historyStats();
            stored = {{"up", h.up},     {"reason", h.reason}, {"recorded", h.recorded}, {"missing", h.missing},
                      {"gaps", h.gaps}, {"downs", h.downs},   {"pruned", h.pruned},     {"batches", h.batches}};
        }
        ojson audit;  // null: no audit record
        if (options.auditStats) {
            AuditStats a = options.auditStats();
            audit = {{"up", a.up}, {"written", a.written}, {"lost", a.lost}};
        }
        Send(res, Dump({{"lines", lines}, {"history", stored}, {"audit", audit}}));
    }

    void HistoryOf(const Req& req, Res& res) const {
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

    // The device and channel of a history request, and its range: from and to
    // (ISO 8601 or epoch ms; to defaults to now, from to seconds before to,
    // seconds to 600), at most maxRange long. False: answered with the fault.
    bool HistoryAsked(const Req& req, Res& res, int64_t maxRange, HistoryChannel& ch, int64_t& from,
                      int64_t& to) const {
        if (!req.has_param("device") || !req.has_param("channel")) {
            Error(res, 400, "history needs device and channel");
            return false;
        }
        to = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                 .count();
        long long seconds = kMaxHistorySeconds;
        std::string text;
        if (req.has_param("to") && !ParseHistoryTime(text = req.get_param_value("to"), to)) {
            Error(res, 400, "to is no time (ISO 8601 or epoch milliseconds): " + text);
            return false;
        }
        if (req.has_param("seconds") &&
            !toolkit::ParseInteger(text = req.get_param_value("seconds"), 1, maxRange / 1000, seconds)) {
            Error(res, 400, "seconds is a whole number from 1 to " + std::to_string(maxRange / 1000) + ": " + text);
            return false;
        }
        from = to - seconds * 1000;
        if (req.has_param("from") && !ParseHistoryTime(text = req.get_param_value("from"), from)) {
            Error(res, 400, "from is no time (ISO 8601 or epoch milliseconds): " + text);
            return false;
        }
        std::string toText = req.has_param("to") ? req.get_param_value("to") : "now";
        if (from > to) {
            Error(res, 400, "from " + req.get_param_value("from") + " is after to " + toText);
            return false;
        }
        if (to - from > maxRange) {
            Error(res, 400,
                  "the range from " + req.get_param_value("from") + " to " + toText + " is longer than " +
                      std::to_string(maxRange / 86400000) + " days");
            return false;
        }
        std::string device = req.get_param_value("device"), channel = req.get_param_value("channel");
        const DeviceModel* d = Device(device);
        if (d == nullptr) {
            Error(res, 404, "no device " + device);
            return false;
        }
        // By name or, as devgate history takes it, by element.
        auto named = [&channel](const ChannelModel& c) { return c.name == channel || c.element == channel; };
        if (std::none_of(d->channels.begin(), d->channels.end(), named)) {
            Error(res, 404, "no channel " + channel + " on " + device);
            return false;
        }
        ch.device = device;
        ch.name = channel;
        return true;
    }

    // The history's database for one request, and the channel in it; false:
    // answered (503 when it cannot be read, 404 when nothing of the channel
    // was recorded yet).
    bool HistoryOpen(Res& res, HistoryChannel& ch, std::unique_ptr<HistoryDb>& db) const {
        std::string name = ch.name;
        try {
            db = std::make_unique<HistoryDb>(options.historyPath, HistoryDb::Mode::Read);
            if (db->Find(ch.device, name, ch)) return true;
            Error(res, 404, "nothing of " + name + " on " + ch.device + " is recorded yet");
        } catch (const HistoryError& e) {
            Error(res, 503, std::string("the history cannot be read: ") + e.what());
        }
        return false;
    }

    // /api/history from the database: the samples of the range, or, when
    // there are more than points (numbers only), buckets of min and max.
    void StoredHistory(const Req& req, const Who&, Res& res) {
        HistoryChannel ch;
        int64_t from = 0, to = 0;
        long long points = kHistoryPoints;
        std::string text;
        if (!HistoryAsked(req, res, kMaxHistoryRangeMs, ch, from, to)) return;
        if (req.has_param("points") &&
            !toolkit::ParseInteger(text = req.get_param_value("points"), 1, kMaxHistoryPoints, points))
            return Error(res, 400,
                         "points is a whole number from 1 to " + std::to_string(kMaxHistoryPoints) + ": " + text);
        std::unique_ptr<HistoryDb> db;
        if (!HistoryOpen(res, ch, db)) return;
        gateway::HistoryRange r;
        try {
            r = db->Query(ch, from, to, static_cast<size_t>(points));
        } catch (const HistoryError& e) {
            return Error(res, 503, std::string("the history cannot be read: ") + e.what());
        }
        std::string out = "{\"device\":" + devdesc::Quote(ch.device) +
                          ",\"channel\":" + devdesc::Quote(req.get_param_value("channel")) +
                          ",\"from\":" + std::to_string(from) + ",\"to\":" + std::to_string(to);
        if (r.reduced) {
            out += ",\"reduced\":true,\"bucketMs\":" + std::to_string(r.bucketMs) + ",\"points\":[],\"buckets\":[";
            for (size_t i = 0; i < r.buckets.size(); ++i) {
                const HistoryBucket& b = r.buckets[i];
                bool values = b.count > b.failed;
                out += (i > 0 ? ",[" : "[") + std::to_string(b.fromMs) + "," +
                       (values ? HistoryNumber(b.min) : "null") + "," + (values ? HistoryNumber(b.max) : "null") + "]";
            }
        } else {
            out += ",\"reduced\":false,\"points\":[";
            for (size_t i = 0; i < r.samples.size(); ++i) {
                const HistorySample& x = r.samples[i];
                bool value = x.hasValue && x.status != Status::Failed;
                out += (i > 0 ? ",[" : "[") + std::to_string(x.ms) + "," +
                       (value ? toolkit::JsonValue(x.value) : "null") + "]";
            }
        }
        out += "],\"gaps\":[";
        for (size_t i = 0; i < r.gaps.size(); ++i)
            out += std::string(i > 0 ? "," : "") + "{\"from\":" + std::to_string(r.gaps[i].fromMs) +
                   ",\"to\":" + std::to_string(r.gaps[i].toMs) + ",\"missing\":" + std::to_string(r.gaps[i].missing) +
                   "}";
        Send(res, out + "]}");
    }

    static ssize_t CsvRead(void* cls, uint64_t, char* out, size_t most) {
        CsvStream& s = *static_cast<CsvStream*>(cls);
        if (s.sent == s.buffer.size()) {
            s.buffer.clear();
            s.sent = 0;
            if (s.done) return MHD_CONTENT_READER_END_OF_STREAM;
            try {
                size_t n = s.db->SamplesAfter(s.channel, s.lastMs, s.lastId, s.toMs, kCsvPageRows,
                                              [&s](const HistorySample& x) {
                                                  s.buffer += HistoryCsvLine(x);
                                                  s.lastMs = x.ms;
                                                  s.lastId = x.id;
                                              });
                s.done = n < kCsvPageRows;
            } catch (const HistoryError&) {
                return MHD_CONTENT_READER_END_WITH_ERROR;  // the client sees the answer cut short
            }
            if (s.buffer.empty()) return MHD_CONTENT_READER_END_OF_STREAM;
        }
        size_t n = std::min(most, s.buffer.size() - s.sent);
        std::memcpy(out, s.buffer.data() + s.sent, n);
        s.sent += n;
        return static_cast<ssize_t>(n);
    }

    static void CsvFree(void* cls) {
        auto* s = static_cast<CsvStream*>(cls);
        s->streams->fetch_sub(1);
        delete s;
    }

    // /api/history.csv: every sample of the range as devgate history prints
    // it, sent as it is read.
    MHD_Result HistoryCsv(const Req& req) {
        Res res;
        HistoryChannel ch;
        auto stream = std::make_unique<CsvStream>();
        if (options.historyPath.empty()) {
            Error(res, 404, "this site keeps no history on disk");
        } else if (HistoryAsked(req, res, kMaxCsvRangeMs, ch, stream->lastMs, stream->toMs) &&
                   HistoryOpen(res, ch, stream->db)) {
            if (csvStreams.fetch_add(1) >= kCsvStreams) {
                csvStreams.fetch_sub(1);
                Error(res, 503, "too many CSV downloads at once; try again later");
                return Queue(req.connection, res, false);
            }
            stream->streams = &csvStreams;
            stream->channel = ch.id;
            stream->buffer = kHistoryCsvHeader;
            MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Impl::CsvRead,
                                                                stream.get(), &Impl::CsvFree);
            if (r == nullptr) {
                csvStreams.fetch_sub(1);
                return MHD_NO;
            }
            stream.release();  // CsvFree's now
            std::string file = FileName(ch.device + "-" + req.get_param_value("channel")) + ".csv";
            std::string disposition = "attachment; filename=\"" + file + "\"";
            MHD_add_response_header(r, "Content-Type", "text/csv; charset=utf-8");
            MHD_add_response_header(r, "Content-Disposition", disposition.c_str());
            MHD_add_response_header(r, "Cache-Control", "no-store");
            PageHeaders(r);
            MHD_Result ok = MHD_queue_response(req.connection, 200, r);
            MHD_destroy_response(r);
            return ok;
        }
        return Queue(req.connection, res, false);
    }

    // Letters, digits, '-', '_' and '.' of the text, anything else as '_'.
    static std::string FileName(std::string text) {
        for (char& c : text)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
        return text;
    }

    // On a job's thread: reading the file from its end may take a while.
    void AuditOf(const Req& req, const Who&, Res& res) {
        if (!options.audit) return Error(res, 404, "devgate keeps no audit record: no history and no --audit FILE");
        AuditQuery q;
        if (req.has_param("from") && !ParseHistoryTime(req.get_param_value("from"), q.fromMs))
            return Error(res, 400, "from is no time: " + req.get_param_value("from"));
        if (req.has_param("to") && !ParseHistoryTime(req.get_param_value("to"), q.toMs))
            return Error(res, 400, "to is no time: " + req.get_param_value("to"));
        long long limit = 100;
        if (req.has_param("limit") && !toolkit::ParseInteger(req.get_param_value("limit"), 1, 1000, limit))
            return Error(res, 400, "limit is a whole number from 1 to 1000");
        q.limit = static_cast<size_t>(limit);
        if (req.has_param("device")) q.device = req.get_param_value("device");
        std::vector<AuditRecord> records;
        try {
            records = options.audit(q);
        } catch (const std::exception& e) {
            return Error(res, 503, std::string("the audit record cannot be read: ") + e.what());
        }
        std::string out = "{\"order\":\"newest first\",\"records\":[";
        for (size_t i = 0; i < records.size(); ++i) out += (i > 0 ? "," : "") + AuditJson(records[i]);
        Send(res, out + "]}");
    }

    // Who asks, for the audit record: the user (a session's or a token's),
    // else (the single token) the client's address.
    Caller CallerOf(const Req& req, const Who& who) const {
        return Caller{"http", WithUsers() ? who.name : ClientAddress(req.connection)};
    }

    // The JSON object of a request body, or a 400 answer.
    bool Body(const Req& req, Res& res, json& body) {
        body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            Error(res, 400, "the body is no JSON object");
            return false;
        }
        return true;
    }

    static bool Field(const json& body, const char* name, std::string& out, Res& res) {
        auto it = body.find(name);
        if (it == body.end() || !it->is_string()) {
            Error(res, 400, std::string("the body needs a string \"") + name + "\"");
            return false;
        }
        out = it->get<std::string>();
        return true;
    }

    void Answer(Res& res, const Result& r, bool variables) {
        if (!r.refused.empty()) return Error(res, 400, r.refused);
        if (r.code == kNoPort) return Error(res, 503, "the line is down: " + r.meaning);
        Send(res, ResultJson(r, "", variables));
    }

    void Write(const Req& req, const Who& who, Res& res) {
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
        Caller caller = CallerOf(req, who);
        auto refuse = [&](int status, const std::string& reason) {
            g.Refuse(caller, device, c, "", body["value"].dump(), reason);
            Error(res, status, reason);
        };
        if (ch.rw == 0) return refuse(409, channel + " on " + device + " is read only");
        if (!who.Controls(device)) return refuse(403, who.name + " may not write to " + device);
        toolkit::Asked value;
        if (!AskedFromJson(body["value"], value, why)) return refuse(400, why);
        Answer(res, g.Write(device, c, value, caller), false);
    }

    void IoCtrl(const Req& req, const Who& who, Res& res) {
        json body;
        std::string device, command, why;
        if (!Body(req, res, body) || !Field(body, "device", device, res) || !Field(body, "command", command, res))
            return;
        if (Device(device) == nullptr) return Error(res, 404, "no device " + device);
        Caller caller = CallerOf(req, who);
        auto refuse = [&](int status, const std::string& reason) {
            g.Refuse(caller, device, -1, command, body.contains("variables") ? body["variables"].dump() : "{}", reason);
            Error(res, status, reason);
        };
        toolkit::Variables variables;
        if (body.contains("variables")) {
            if (!body["variables"].is_object()) return refuse(400, "variables is an object");
            for (const auto& [name, j] : body["variables"].items()) {
                toolkit::Value v;
                if (!VariableFromJson(j, v, why)) return refuse(400, name + ": " + why);
                variables.emplace_back(name, v);
            }
        }
        if (!who.Controls(device)) return refuse(403, who.name + " may not command " + device);
        Answer(res, g.IoCtrl(device, command, variables, caller), true);
    }

    // A thread that holds a slot of the jobs Stop() waits for; false when
    // all options.workers slots are taken (or the server stops).
    bool StartJob(std::function<void()> fn, size_t most) {
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            if (stopping.load() || jobs >= most) return false;
            ++jobs;
        }
        std::thread([this, fn = std::move(fn)] {
            YieldToLines();
            fn();
            std::lock_guard<std::mutex> lock(jobsMutex);
            --jobs;
            jobsDone.notify_all();
        }).detach();
        return true;
    }

    // Writes and commands wait for their line: their connection is suspended
    // while a thread of their own carries them out and queues the answer
    // (the server takes it on resuming), the server threads go on.
    // A login's slot (CarryLogin) is given back when it is done.
    MHD_Result Carry(Call& call, void (Impl::*handler)(const Req&, const Who&, Res&), bool login = false) {
        auto loginDone = [this, login] {
            if (!login) return;
            std::lock_guard<std::mutex> lock(loginsMutex);
            --logins;
        };
        MHD_suspend_connection(call.req.connection);
        bool started = StartJob(
            [this, &call, handler, loginDone] {
                Res res;
                (this->*handler)(call.req, call.who, res);
                loginDone();
                Queue(call.req.connection, res, false);
                MHD_resume_connection(call.req.connection);
            },
            options.workers);
        if (started) return MHD_YES;
        loginDone();
        MHD_resume_connection(call.req.connection);
        Res res;
        Error(res, 503, "too many writes, commands and history queries at once; try again later");
        return Queue(call.req.connection, res, false);
    }

    static ssize_t StreamRead(void* cls, uint64_t, char* out, size_t most) {
        Stream& s = **static_cast<std::shared_ptr<Stream>*>(cls);
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.buffer.empty()) {
            size_t n = std::min(most, s.buffer.size());
            std::memcpy(out, s.buffer.data(), n);
            s.buffer.erase(0, n);
            return static_cast<ssize_t>(n);
        }
        if (s.ended) return MHD_CONTENT_READER_END_OF_STREAM;
        s.suspended = true;
        MHD_suspend_connection(s.connection);
        return 0;
    }

    static void StreamFree(void* cls) {
        auto* s = static_cast<std::shared_ptr<Stream>*>(cls);
        {
            std::lock_guard<std::mutex> lock((*s)->mutex);
            (*s)->ended = true;
        }
        delete s;
    }

    // Moves changes from the stream's subscription into its buffer (at most
    // kMaxBody waiting) and wakes its connection, until the client goes or
    // the server stops; a comment line every kKeepalive shows a gone client.
    void Pump(const std::shared_ptr<Stream>& s) {
        auto lastWrite = std::chrono::steady_clock::now();
        for (;;) {
            std::string out;
            Change c;
            bool full;
            {
                std::lock_guard<std::mutex> lock(s->mutex);
                full = s->buffer.size() >= kMaxBody;
            }
            if (!full) {
                for (bool got = s->sub->Pop(c, kEventWait); got && out.size() < kMaxBody;
                     got = s->sub->Pop(c, std::chrono::milliseconds(0)))
                    out += EventText(g, c);
                // Changes lost (a slow client filled the buffer): the page
                // reads every value again, once per overflow.
                if (unsigned long dropped = s->sub->Overflowed(); dropped > 0) {
                    ForgetValues();
                    out += ResyncText(dropped);
                }
            } else {
                std::this_thread::sleep_for(kEventWait);
            }
            auto now = std::chrono::steady_clock::now();
            if (out.empty() && now - lastWrite >= kKeepalive) out = ": keepalive\n\n";
            std::lock_guard<std::mutex> lock(s->mutex);
            if (stopping.load()) s->ended = true;
            if (!out.empty()) {
                s->buffer += out;
                lastWrite = now;
            }
            if (s->suspended && (!s->buffer.empty() || s->ended)) {
                s->suspended = false;
                MHD_resume_connection(s->connection);
            }
            if (s->ended) break;
        }
        streamDrops += s->sub->Dropped();
        eventClients.fetch_sub(1);
    }

    MHD_Result Events(MHD_Connection* connection) {
        Res refusal;
        if (eventClients.fetch_add(1) >= options.eventClients) {
            eventClients.fetch_sub(1);
            Error(refusal, 503, "too many event streams; try again later");
            return Queue(connection, refusal, false);
        }
        auto stream = std::make_shared<Stream>();
        stream->sub = g.Subscribe(options.eventQueue);
        stream->connection = connection;
        if (!StartJob([this, stream] { Pump(stream); }, options.workers + options.eventClients)) {
            eventClients.fetch_sub(1);
            Error(refusal, 503, "the server stops");
            return Queue(connection, refusal, true);
        }
        MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Impl::StreamRead,
                                                            new std::shared_ptr<Stream>(stream), &Impl::StreamFree);
        if (r == nullptr) return MHD_NO;
        MHD_add_response_header(r, "Content-Type", "text/event-stream");
        MHD_add_response_header(r, "Cache-Control", "no-cache");
        PageHeaders(r);
        MHD_Result ok = MHD_queue_response(connection, 200, r);
        MHD_destroy_response(r);
        return ok;
    }

    // A request with its whole body: routed and answered, or handed to a thread.
    MHD_Result Route(Call& call) {
        const Req& req = call.req;
        Res res;
        bool close = false;
        bool tooLong = false;
        MHD_get_connection_values(
            req.connection, MHD_GET_ARGUMENT_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                if (std::strlen(key) > kMaxQueryValue || (value != nullptr && std::strlen(value) > kMaxQueryValue))
                    *static_cast<bool*>(cls) = true;
                return MHD_YES;
            },
            &tooLong);
        bool get = req.method == "GET" || req.method == "HEAD";
        bool api = req.path.rfind("/api/", 0) == 0 || req.path == "/metrics";
        const Endpoint* endpoint = nullptr;
        for (const Endpoint& e : kEndpoints)
            if (req.path == e.path && (req.method == e.method || (get && std::strcmp(e.method, "GET") == 0)))
                endpoint = &e;
        Action action = endpoint != nullptr ? endpoint->action : get ? Action::Read : Action::Control;
        if (api && (endpoint == nullptr || !endpoint->open)) call.who = Identify(req);
        const Who& who = call.who;
        bool guarded = api && (endpoint == nullptr || !endpoint->open);
        const char* pageHeader = MHD_lookup_connection_value(req.connection, MHD_HEADER_KIND, kPageHeader);
        if (tooLong) {
            Error(res, 400, "query value too long");
        } else if (guarded && !who.known) {
            res.set_header("WWW-Authenticate", "Bearer");
            close = true;  // an unread body must not be taken for the next request
            Error(res, 401,
                  WithUsers() ? "this needs a login or a user's token: Authorization: Bearer TOKEN"
                              : "this needs the token: Authorization: Bearer TOKEN");
            if (WithUsers()) res.set_header("X-Devgate-Login", "1");  // the page shows its login form
        } else if (WithUsers() && api && !get && (who.session || (endpoint != nullptr && endpoint->open)) &&
                   (pageHeader == nullptr || std::strcmp(pageHeader, "1") != 0)) {
            close = true;
            Error(res, 403, std::string("a request of the page needs the header ") + kPageHeader + ": 1");
        } else if (guarded && !Permits(who.role, action)) {
            close = true;
            Error(res, 403, who.name + " (" + RoleWord(who.role) + ") may not " + ActionWord(action));
        } else if (req.method == "POST" && req.path == "/api/login") {
            if (WithUsers()) return CarryLogin(call);
            Error(res, 404, "devgate has no users (--users): the token is the login");
        } else if (req.method == "POST" && req.path == "/api/logout") {
            Logout(who, res);
        } else if (get && req.path == "/api/site") {
            Site(res);
        } else if (get && req.path == "/api/values") {
            Values(req, res);
        } else if (get && req.path == "/api/stats") {
            Stats(res);
        } else if (get && req.path == "/metrics") {
            Metrics(res);
        } else if (get && req.path == "/api/history" && !options.historyPath.empty()) {
            return Carry(call, &Impl::StoredHistory);  // a long range must not hold up a server thread
        } else if (get && req.path == "/api/history") {
            HistoryOf(req, res);
        } else if (get && req.path == "/api/history.csv") {
            return HistoryCsv(req);
        } else if (get && req.path == "/api/audit") {
            return Carry(call, &Impl::AuditOf);
        } else if (req.method == "POST" && req.path == "/api/session" && WithUsers()) {
            // A token's user takes a session for the page's event stream.
            if (who.user != nullptr && !who.session)
                res.headers.emplace_back("Set-Cookie", NewSession(static_cast<size_t>(who.user - users.data())));
            Send(res, Dump(UserJson(who)));
        } else if (req.method == "POST" && req.path == "/api/session") {
            std::string cookie = std::string(kReadCookie) + "=" + readKey + "; HttpOnly; SameSite=Strict; Path=/api/" +
                                 (options.tlsCert.empty() ? "" : "; Secure");
            res.headers.emplace_back("Set-Cookie", cookie);
            Send(res, "{}");
        } else if (get && req.path == "/api/events") {
            return Events(req.connection);
        } else if (req.method == "POST" && req.path == "/api/write") {
            return Carry(call, &Impl::Write);
        } else if (req.method == "POST" && req.path == "/api/ioctl") {
            return Carry(call, &Impl::IoCtrl);
        } else {
            const Asset* asset = nullptr;
            for (const Asset& a : kAssets)
                if (get && req.path == a.path) asset = &a;
            if (asset != nullptr) {
                res.set_content(std::string(reinterpret_cast<const char*>(asset->data), asset->size), asset->type);
            } else {
                Error(
                    res, 404,
                    req.path.rfind("/api/", 0) == 0 ? "no such endpoint: " + req.method + " " + req.path : "not found");
            }
        }
        return Queue(req.connection, res, close);
    }

    // The server's call for each request: first with its head, then with
    // each piece of its body, then with none (and again after a resume).
    MHD_Result OnRequest(MHD_Connection* connection, const char* url, const char* method, const char* data,
                         size_t* size, void** context) {
        YieldToLines();
        auto* call = static_cast<Call*>(*context);
        if (call == nullptr) {
            call = new Call;
            *context = call;
            call->req = Req{connection, method, url, ""};
            {
                std::lock_guard<std::mutex> lock(connsMutex);
                auto it = conns.find(connection);
                if (it != conns.end()) it->second.busy = true;
            }
            Res res;
            size_t headers = 0;
            MHD_get_connection_values(
                connection, MHD_HEADER_KIND,
                [](void* cls, MHD_ValueKind, const char*, const char*) {
                    ++*static_cast<size_t*>(cls);
                    return MHD_YES;
                },
                &headers);
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            if (headers > kMaxHeaders) {
                call->answered = true;
                Error(res, 431, "more than " + std::to_string(kMaxHeaders) + " header fields");
                return Queue(connection, res, true);
            }
            if (HeadHasNul(connection, method)) {
                call->answered = true;
                Error(res, 400, "a header value holds a NUL byte");
                return Queue(connection, res, true);
            }
            if (length != nullptr && (std::strlen(length) > 9 || std::strtoul(length, nullptr, 10) > kMaxBody)) {
                call->answered = true;
                Error(res, 400, "request body too long");
                return Queue(connection, res, true);
            }
            return MHD_YES;
        }
        if (call->answered) {
            *size = 0;  // the rest of a refused body is not read: the connection closes
            return MHD_YES;
        }
        if (*size != 0) {
            if (call->req.body.size() + *size > kMaxBody) {
                // Reading stops here whatever the transfer encoding.
                call->answered = true;
                *size = 0;
                Res res;
                Error(res, 400, "request body too long");
                return Queue(connection, res, true);
            }
            call->req.body.append(data, *size);
            *size = 0;
            return MHD_YES;
        }
        call->answered = true;
        return Route(*call);
    }

    void OnConnection(MHD_Connection* connection, MHD_ConnectionNotificationCode code) {
        std::lock_guard<std::mutex> lock(connsMutex);
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            conns.erase(connection);
            return;
        }
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        conns[connection] =
            Conn{info != nullptr ? info->connect_fd : -1, std::chrono::steady_clock::now(), false, false};
    }

    void OnCompleted(MHD_Connection* connection, void** context) {
        delete static_cast<Call*>(*context);
        *context = nullptr;
        std::lock_guard<std::mutex> lock(connsMutex);
        auto it = conns.find(connection);
        if (it != conns.end()) {
            it->second.busy = false;
            it->second.since = std::chrono::steady_clock::now();
        }
    }

    // Closes connections that have not sent a whole request head within
    // kHeadTime: a client sending a byte now and then holds nothing for long.
    // The socket is shut down under the lock the server's close notice takes,
    // so it is still this connection's.
    void Reap() {
        std::unique_lock<std::mutex> lock(connsMutex);
        while (!stopping.load()) {
            reaperWake.wait_for(lock, std::chrono::seconds(1));
            auto now = std::chrono::steady_clock::now();
            for (auto& [connection, c] : conns)
                if (!c.busy && !c.cut && c.fd >= 0 && now - c.since > kHeadTime) {
                    shutdown(c.fd, SHUT_RDWR);
                    c.cut = true;
                }
        }
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

    // A listening socket on host:port (port 0: a free one), or -1.
    int Listen() {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
        int fd = -1;
        for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
            fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            int one = 1;
            if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
                            bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 1024) != 0)) {
                close(fd);
                fd = -1;
            }
        }
        freeaddrinfo(found);
        if (fd < 0) return -1;
        sockaddr_storage bound{};
        socklen_t n = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &n);
        port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        return fd;
    }
};

HttpFace::HttpFace(Gateway& gateway, HttpOptions options)
    : m_impl(std::make_unique<Impl>(gateway, std::move(options))) {}

HttpFace::~HttpFace() { Stop(); }

void HttpFace::Start() {
    Impl& m = *m_impl;
    if (!ParseHostPort(m.options.listen, m.host, m.port, 0))
        throw std::runtime_error("http: not an address and port: " + m.options.listen);
    if (m.WithUsers()) {
        m.LoadUsersFile();
    } else if (!m.options.token.empty()) {
        m.token = m.options.token;
    } else if (!m.options.tokenFile.empty()) {
        std::ifstream in(m.options.tokenFile);
        std::string line;
        if (in) std::getline(in, line);
        m.token = toolkit::Trim(line);
        if (m.token.empty())
            throw std::runtime_error("http: the token file " + m.options.tokenFile + " is missing or empty");
    } else {
        m.token = RandomToken();
        m.generated = true;
    }
    if (!m.options.tlsCert.empty() && m.options.tlsKey.empty())
        throw std::runtime_error("http: --tls-cert needs --tls-key");
    int fd = m.Listen();
    if (fd < 0) throw std::runtime_error("http: cannot listen on " + m.options.listen);
    auto onRequest = [](void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                        const char* data, size_t* size, void** context) {
        return static_cast<Impl*>(cls)->OnRequest(connection, url, method, data, size, context);
    };
    auto onCompleted = [](void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        static_cast<Impl*>(cls)->OnCompleted(connection, context);
    };
    auto onConnection = [](void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
        static_cast<Impl*>(cls)->OnConnection(connection, code);
    };
    std::vector<MHD_OptionItem> tls;
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (!m.options.tlsCert.empty()) {
        m.certPem = ReadPem(m.options.tlsCert, "certificate");
        m.keyPem = ReadPem(m.options.tlsKey, "key");
        flags |= MHD_USE_TLS;
        tls.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m.certPem.c_str())});
        tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m.keyPem.c_str())});
        tls.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    m.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, +onRequest, &m, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE,
        kServingThreads, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(m.options.perClient), MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kHeadMemory, MHD_OPTION_NOTIFY_COMPLETED,
        static_cast<MHD_RequestCompletedCallback>(+onCompleted), &m, MHD_OPTION_NOTIFY_CONNECTION,
        static_cast<MHD_NotifyConnectionCallback>(+onConnection), &m, MHD_OPTION_ARRAY, tls.data(), MHD_OPTION_END);
    if (m.daemon == nullptr) {
        close(fd);
        throw std::runtime_error("http: cannot serve on " + m.options.listen +
                                 (m.options.tlsCert.empty() ? "" : " (are the TLS certificate and key a pair?)"));
    }
    m.historyFeed = m.g.Subscribe(kHistoryQueue);
    m.feeder = std::thread([&m] { m.Feed(); });
    m.reaper = std::thread([&m] { m.Reap(); });
}

void HttpFace::Stop() {
    Impl& m = *m_impl;
    m.stopping = true;
    if (m.daemon != nullptr) {
        // Streams and writes end and resume their connections first: the
        // server cannot stop with connections suspended.
        // The listening socket is then ours to close: else the port stays
        // taken until the program ends (a face started again cannot bind it).
        MHD_socket listening = MHD_quiesce_daemon(m.daemon);
        {
            std::unique_lock<std::mutex> lock(m.jobsMutex);
            m.jobsDone.wait(lock, [&m] { return m.jobs == 0; });
        }
        MHD_stop_daemon(m.daemon);
        m.daemon = nullptr;
        if (listening != MHD_INVALID_SOCKET) close(listening);
    }
    m.reaperWake.notify_all();
    if (m.reaper.joinable()) m.reaper.join();
    if (m.feeder.joinable()) m.feeder.join();
}

std::vector<HealthItem> HttpFace::Health() const { return m_impl->Health(); }

std::string HttpFace::Announcement() const {
    return "http on " + Url() + (TokenGenerated() ? "#token=" + Token() : "");
}

std::string HttpFace::Url() const {
    const Impl& m = *m_impl;
    std::string host = m.host.find(':') != std::string::npos ? "[" + m.host + "]" : m.host;
    return (m.options.tlsCert.empty() ? "http://" : "https://") + host + ":" + std::to_string(m.port) + "/";
}

const std::string& HttpFace::Token() const { return m_impl->token; }

bool HttpFace::TokenGenerated() const { return m_impl->generated; }

std::string PlainHttpRefusal(const HttpOptions& options) {
    std::string host;
    int port = 0;
    if (!options.tlsCert.empty() || options.plainHttp || !ParseHostPort(options.listen, host, port, 0)) return "";
    if (LoopbackHost(host.find(':') != std::string::npos ? "[" + host + "]" : host)) return "";
    return "--http " + options.listen +
           " is not a loopback address: the token and the plant's values would cross the network in clear; give "
           "--tls-cert and --tls-key, or --plain-http to serve plain HTTP all the same";
}

}  // namespace gateway
