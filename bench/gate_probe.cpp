// How soon an offline device is back: the gateway on an unpaced simulated line
// of two devices of DESCRIPTION (stations 1 and 2, offline_after 3,
// probe_max_s 4, so probes come 1, 3, 7, 11, ... s after it went offline).
// Station 2 is silenced until it is offline, then answers again AFTER seconds
// later; printed are the time from its return to its "online" event and the
// pause between probes in force at its return, which bounds that time.
//
//   gate_probe DESCRIPTION [AFTER...]      (default 0.3 1.5 2.5 5 9)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Gateway.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Waits (60 s at most) for the device event on the feed; its arrival time.
bool AwaitEvent(gateway::Subscription& feed, const std::string& event, Clock::time_point& at) {
    gateway::Change c;
    for (auto end = Clock::now() + std::chrono::seconds(60); Clock::now() < end;) {
        if (!feed.Pop(c, std::chrono::milliseconds(20))) continue;
        if (c.kind == gateway::Change::Kind::Device && c.device == "s" && c.event == event) {
            at = Clock::now();
            return true;
        }
    }
    return false;
}

// The pause between the probes around a return `after` seconds after going
// offline: probes come at 1 s, then every doubled pause up to 4 s.
double PauseAt(double after) {
    double probe = 1, pause = 1;
    while (probe <= after) {
        pause = std::min(pause * 2, 4.0);
        probe += pause;
    }
    return probe == 1 ? 1 : pause;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: gate_probe DESCRIPTION [AFTER...]\n";
        return 2;
    }
    std::vector<double> afters;
    for (int i = 2; i < argc; ++i) afters.push_back(std::atof(argv[i]));
    if (afters.empty()) afters = {0.3, 1.5, 2.5, 5, 9};
    fs::path folder = fs::temp_directory_path() / ("gate_probe-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::string description = fs::absolute(argv[1]).string();
    {
        std::ofstream site(folder / "site.toml");
        site << "[[line]]\nname = \"l\"\nsimulate = true\n";
        for (auto [name, station] : {std::pair<const char*, int>{"a", 1}, {"s", 2}})
            site << "[[line.device]]\nname = \"" << name << "\"\ndescription = \"" << description
                 << "\"\nstation = " << station << "\noffline_after = 3\nprobe_max_s = 4\n";
    }
    try {
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gateway::Gateway g(gateway::LoadSite((folder / "site.toml").string()), options);
        plcsim::Plc& silent = *g.Simulator("l")->Station(2);
        auto feed = g.Subscribe();
        g.Start();
        std::printf("returns after going offline   back online after   pause between probes then\n");
        for (double after : afters) {
            silent.AddFault(plcsim::FaultRule{});
            Clock::time_point offline, online;
            if (!AwaitEvent(*feed, "offline", offline)) throw std::runtime_error("never went offline");
            std::this_thread::sleep_until(offline + std::chrono::duration<double>(after));
            auto back = Clock::now();
            silent.ClearFaults();
            if (!AwaitEvent(*feed, "online", online)) throw std::runtime_error("never came back");
            std::printf("%27.1f s %17.0f ms %24.0f ms\n", after,
                        std::chrono::duration<double, std::milli>(online - back).count(), PauseAt(after) * 1000);
        }
        g.Stop();
    } catch (const std::exception& e) {
        std::cerr << "gate_probe: " << e.what() << "\n";
        fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}
