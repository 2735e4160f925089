// plcsim: a simulated PLC, or a bus of several, on a pseudo-terminal or a TCP
// port.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "plcsim/Bus.h"
#include "plcsim/Options.h"
#include "plcsim/Server.h"

namespace {

// The server a stop signal ends, once there is one; a signal that comes
// before is remembered and ends the server as soon as it is there.
std::atomic<plcsim::Server*> g_server{nullptr};
std::atomic<bool> g_stopAsked{false};

extern "C" void OnStopSignal(int) {
    g_stopAsked.store(true);
    plcsim::Server* server = g_server.load();
    if (server != nullptr) server->RequestStop();
}

void InstallSignals() {
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void ServeUntilStopped(plcsim::Server& server) {
    g_server.store(&server);
    if (g_stopAsked.load()) server.RequestStop();
    server.Run();
    g_server.store(nullptr);
}

// A link to the pseudo-terminal. Only a symbolic link to a pseudo-terminal
// (one an earlier plcsim left behind) is replaced; a file, a directory or a
// link to anything else is left alone and refused.
class PtyLink {
public:
    PtyLink(const std::string& path, const std::string& target) : m_path(path), m_target(target) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                throw std::runtime_error("--link " + path + ": a file is in the way (only a link is replaced)");
            std::string old = ReadLink(path);
            if (old.rfind("/dev/pts/", 0) != 0)
                throw std::runtime_error("--link " + path + ": a link to " + old +
                                         " is in the way (only a link to a pseudo-terminal is replaced)");
        } else if (errno != ENOENT) {
            throw std::system_error(errno, std::generic_category(), "--link " + path);
        }
        // A new link under a unique name, renamed over the old one at once.
        for (unsigned attempt = 0;; ++attempt) {
            std::string tmp = path + ".plcsim-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            if (::symlink(target.c_str(), tmp.c_str()) == 0) {
                if (::rename(tmp.c_str(), path.c_str()) != 0) {
                    int e = errno;
                    ::unlink(tmp.c_str());
                    throw std::system_error(e, std::generic_category(), "--link " + path);
                }
                break;
            }
            if (errno != EEXIST || attempt >= 100)
                throw std::system_error(errno, std::generic_category(), "--link " + path);
        }
    }
    // Removes the link, unless something else has taken its place meanwhile.
    ~PtyLink() {
        struct stat st {};
        if (::lstat(m_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ReadLink(m_path) == m_target)
            ::unlink(m_path.c_str());
    }
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

private:
    static std::string ReadLink(const std::string& path) {
        char buf[4096];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    std::string m_path;
    std::string m_target;
};

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
        plcsim::Bus bus;
        for (const plcsim::StationOptions& station : options.stations) {
            plcsim::Plc::Settings settings;
            settings.station = station.station;
            settings.crcOrder = station.crcOrder;
            settings.seed = station.seed;
            plcsim::Plc& plc = bus.Add(settings);
            for (const std::string& a : station.assignments) plc.Assign(a);
            for (const plcsim::FaultRule& f : station.faults) plc.AddFault(f);
        }

        plcsim::ServerOptions serverOptions;
        serverOptions.baud = options.baud;
        serverOptions.silenceMs = options.silenceMs;
        serverOptions.trace = options.trace ? stdout : nullptr;
        serverOptions.echo = options.echo;

        // Stop signals are caught before the path is printed: a supervisor
        // that stops plcsim as soon as it has read it still gets the link
        // removed.
        InstallSignals();
        if (options.transport == plcsim::Options::Transport::Pty) {
            plcsim::PtyServer pty(bus, serverOptions);
            std::unique_ptr<PtyLink> link;
            if (!options.link.empty()) link = std::make_unique<PtyLink>(options.link, pty.SlavePath());
            std::printf("%s\n", pty.SlavePath().c_str());
            std::fflush(stdout);
            ServeUntilStopped(pty);
        } else {
            plcsim::TcpServer tcp(bus, options.tcpPort, serverOptions);
            std::printf("127.0.0.1:%u\n", static_cast<unsigned>(tcp.Port()));
            std::fflush(stdout);
            ServeUntilStopped(tcp);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plcsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
