#include "toolkit/Signals.h"

#include <signal.h>

namespace toolkit {

namespace {

std::atomic<bool> g_stop{false};

std::atomic<bool> g_reload{false};

extern "C" void OnStopSignal(int) { g_stop.store(true); }
extern "C" void OnReloadSignal(int) { g_reload.store(true); }

}  // namespace

void InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& StopRequested() { return g_stop; }

void InstallReloadSignal() {
    struct sigaction sa {};
    sa.sa_handler = OnReloadSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);
}

bool TakeReloadRequest() { return g_reload.exchange(false); }

}  // namespace toolkit
