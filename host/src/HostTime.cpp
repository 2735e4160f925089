// Tick counter and sleep of the host runtime, with a replaceable clock.
#include "HostTime.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

std::atomic<const ZevoClockHooks*> g_hooks{nullptr};
ZevoClockHooks g_installed;

uint64_t SystemTick() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SystemSleep(uint64_t milliseconds) {
    timespec wait;
    wait.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    wait.tv_nsec = static_cast<long>((milliseconds % 1000u) * 1000000u);
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

}  // namespace

extern "C" uint64_t Zevo_GetTickCount() {
    const ZevoClockHooks* hooks = g_hooks.load(std::memory_order_acquire);
    return hooks != nullptr ? hooks->tick(hooks->context) : SystemTick();
}

extern "C" void Zevo_Sleep(uint64_t milliseconds) {
    const ZevoClockHooks* hooks = g_hooks.load(std::memory_order_acquire);
    if (hooks != nullptr)
        hooks->sleep(hooks->context, milliseconds);
    else
        SystemSleep(milliseconds);
}

extern "C" void ZevoHost_SetClock(const ZevoClockHooks* hooks) {
    if (hooks == nullptr) {
        g_hooks.store(nullptr, std::memory_order_release);
        return;
    }
    g_installed = *hooks;
    g_hooks.store(&g_installed, std::memory_order_release);
}
