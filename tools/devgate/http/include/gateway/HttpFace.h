// devgate's HTTP face: a JSON API over the gateway (the site, the latest
// values, statistics, recent history, writes and commands), a change feed as
// Server-Sent Events, and the web console's files, embedded in the binary.
//
// GET /metrics answers the metrics (gateway/Metrics.h) under the rule of the
// other reads. Writes and commands need "Authorization: Bearer TOKEN". Reads are open when
// the server listens on a loopback address (and the request names a loopback
// host), or with openReads; otherwise they need the token too (in the header,
// or, for reads only, the cookie POST /api/session gives for the token, which
// the page's event stream carries: a browser opens it without headers).
//
// GET /api/audit?from&to&device&limit answers the audit record, newest
// first; it needs a user or token that may write, even where reads are open.
//
// With a users file, every request under /api/ needs a user: a session
// cookie from POST /api/login (and, on a request that changes anything, the
// header "X-Devgate: 1", which a page of another site cannot send without a
// preflight this server never grants), or one of the user's API tokens as
// "Authorization: Bearer TOKEN". The user's role decides what it may do.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "gateway/Audit.h"
#include "gateway/Face.h"
#include "gateway/Gateway.h"
#include "gateway/HistoryRecorder.h"

namespace gateway {

struct HttpOptions {
    std::string listen;     // "ADDR:PORT"; port 0 takes a free port
    std::string tokenFile;  // empty: a random token
    std::string token;      // instead of the file's or a random one (a restarted face keeps its token)
    bool openReads = false;
    size_t workers = 64;          // writes and commands carried out at once, each on a thread of its own
    size_t eventClients = 16;     // event streams at once; each holds a thread of its own
    size_t eventQueue = 8192;     // changes queued for one event stream; beyond, it resynchronises
    size_t perClient = 32;        // connections from one client address at once
    std::string tlsCert, tlsKey;  // PEM files: HTTPS only
    bool plainHttp = false;       // plain HTTP on an address other than the loopback
    std::string usersFile;        // empty: the single token
    std::chrono::minutes sessionIdle{30};
    HealthSource health;  // every face's health for /metrics; empty: this face's own
    // The history on disk, which /api/history and /api/history.csv read
    // (a connection of their own, read only); empty: the charts' memory only.
    std::string historyPath;
    std::function<HistoryStats()> historyStats;  // its recorder's state for /api/stats
    AuditReader audit;                           // GET /api/audit; empty: devgate keeps no audit record
    std::function<AuditStats()> auditStats;      // its writer's state for /api/stats
};

// Why these options must not start (plain HTTP on an address other than the
// loopback without plainHttp), or "".
std::string PlainHttpRefusal(const HttpOptions& options);

class HttpFace : public Face {
public:
    HttpFace(Gateway& gateway, HttpOptions options);
    ~HttpFace();
    HttpFace(const HttpFace&) = delete;
    HttpFace& operator=(const HttpFace&) = delete;

    // Reads or makes the token (or reads the users), binds and serves; throws
    // std::runtime_error when the token file is missing or empty, the users
    // file is faulty or names a device the site has not, a TLS file is
    // missing or no PEM, or the address cannot be bound.
    void Start() override;
    void Stop() override;
    std::string Name() const override { return "http"; }
    // Connections open, event streams, changes its feeds dropped.
    std::vector<HealthItem> Health() const override;
    // "http on URL" (with "#token=..." when the token was made up).
    std::string Announcement() const override;

    // "http://127.0.0.1:43125/" (https with TLS), once started.
    std::string Url() const;
    const std::string& Token() const;
    // True when the token was made up at start (no token file).
    bool TokenGenerated() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace gateway
