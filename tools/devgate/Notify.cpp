#include "Notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>
#include <string>

namespace devgate {

ServiceNotify::ServiceNotify(const gateway::Gateway& gateway) : m_gateway(gateway) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) m_watchdog = std::chrono::microseconds(usec);
}

ServiceNotify::~ServiceNotify() { Stopping(); }

void ServiceNotify::Ready(const std::string& status) {
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
    if (m_watchdog.count() > 0 && !m_thread.joinable()) m_thread = std::thread([this] { Ping(); });
}

void ServiceNotify::Reloading() {
    // The monotonic time tells the service manager which reload this is.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t usec = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec)).c_str());
}

void ServiceNotify::Stopping() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) return;
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
    sd_notify(0, "STOPPING=1");
}

// Pings at half the watchdog's time, and only while no line's thread has
// been silent for that long; a line that comes back brings the pings back.
void ServiceNotify::Ping() {
    // A watchdog set absurdly short must not make this a busy loop.
    const auto period = std::max<std::chrono::steady_clock::duration>(m_watchdog / 2, std::chrono::milliseconds(100));
    // The lines wake at least every kBeatPeriod, so a shorter watchdog would
    // take idle lines for stuck ones.
    const auto limit = std::max<std::chrono::steady_clock::duration>(period, 2 * gateway::Gateway::kBeatPeriod);
    std::unique_lock<std::mutex> lock(m_mutex);
    do {
        if (m_gateway.Stalest() < limit) sd_notify(0, "WATCHDOG=1");
    } while (!m_cv.wait_for(lock, period, [this] { return m_stop; }));
}

}  // namespace devgate
