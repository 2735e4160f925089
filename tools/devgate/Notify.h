// Tells the service manager (systemd, through NOTIFY_SOCKET) that devgate is
// ready, and pings its watchdog while every line's thread is alive, so that a
// line stuck in a call gets the service restarted. Without NOTIFY_SOCKET it
// does nothing.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/Gateway.h"

namespace devgate {

class ServiceNotify {
public:
    explicit ServiceNotify(const gateway::Gateway& gateway);
    ~ServiceNotify();
    ServiceNotify(const ServiceNotify&) = delete;
    ServiceNotify& operator=(const ServiceNotify&) = delete;

    // READY=1 with a status line, and the watchdog's pings from then on.
    void Ready(const std::string& status);
    // RELOADING=1: the site is being reloaded; Ready() follows.
    void Reloading();
    // STOPPING=1; the pings end.
    void Stopping();

private:
    void Ping();

    const gateway::Gateway& m_gateway;
    std::chrono::microseconds m_watchdog{0};  // 0: no watchdog asked for
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace devgate
