// plcsim: a simulated PLC on a pseudo-terminal or a TCP port.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "plcsim/Options.h"
#include "plcsim/Plc.h"
#include "plcsim/Server.h"

namespace {

plcsim::Server* g_server = nullptr;

extern "C" void OnStopSignal(int) {
    if (g_server != nullptr) g_server->RequestStop();
}

void InstallSignals() {
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    plcsim::Options options;
    std::string error;
    if (!plcsim::ParseCommandLine(args, options, error)) {
        std::fprintf(stderr, "plcsim: %s\n%s", error.c_str(), plcsim::UsageText());
        return 2;
    }
    if (options.help) {
        std::fputs(plcsim::UsageText(), stdout);
        return 0;
    }
    try {
        plcsim::Plc::Settings settings;
        settings.station = options.station;
        settings.crcOrder = options.crcOrder;
        settings.seed = options.seed;
        plcsim::Plc plc(settings);
        for (const std::string& a : options.assignments) plc.Assign(a);
        for (const plcsim::FaultRule& f : options.faults) plc.AddFault(f);

        plcsim::ServerOptions serverOptions;
        serverOptions.baud = options.baud;
        serverOptions.silenceMs = options.silenceMs;
        serverOptions.trace = options.trace ? stdout : nullptr;

        std::unique_ptr<plcsim::Server> server;
        if (options.transport == plcsim::Options::Transport::Pty) {
            auto pty = std::make_unique<plcsim::PtyServer>(plc, serverOptions);
            std::printf("%s\n", pty->SlavePath().c_str());
            if (!options.link.empty()) {
                ::unlink(options.link.c_str());
                if (::symlink(pty->SlavePath().c_str(), options.link.c_str()) != 0) {
                    std::perror(("plcsim: " + options.link).c_str());
                    return 1;
                }
            }
            server = std::move(pty);
        } else {
            auto tcp = std::make_unique<plcsim::TcpServer>(plc, options.tcpPort, serverOptions);
            std::printf("127.0.0.1:%u\n", static_cast<unsigned>(tcp->Port()));
            server = std::move(tcp);
        }
        std::fflush(stdout);
        g_server = server.get();
        InstallSignals();
        server->Run();
        g_server = nullptr;
        if (!options.link.empty()) ::unlink(options.link.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plcsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
