// The web console's bench host: the gateway and its HTTP face on a site of
// simulated lines, as devgate runs them, and besides every word channel
// (element "D<n>") of every device given a new value in its simulated PLC
// every CHANGE_MS, so that every poll reads a change.
//
//   gate_page_host SITE CHANGE_MS
//
// Prints "http on URL#token=TOKEN" on standard error and runs until SIGINT
// or SIGTERM. bench/gate_page.py drives it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "gateway/Gateway.h"
#include "gateway/HttpFace.h"
#include "toolkit/Signals.h"

namespace {

struct Words {
    plcsim::Plc* plc = nullptr;
    std::vector<uint32_t> addresses;
};

// The D words of every device's channels, in its simulated PLC.
std::vector<Words> WordsOf(gateway::Gateway& g) {
    std::vector<Words> all;
    for (const gateway::DeviceModel& d : g.Devices()) {
        gateway::SimulatedLine* line = g.Simulator(d.line);
        Words w;
        w.plc = line == nullptr ? nullptr : line->Station(static_cast<uint8_t>(d.station));
        if (w.plc == nullptr) continue;
        for (const gateway::ChannelModel& c : d.channels) {
            if (c.element.size() < 2 || c.element[0] != 'D') continue;
            char* end = nullptr;
            unsigned long n = std::strtoul(c.element.c_str() + 1, &end, 10);
            if (end != nullptr && *end == '\0') w.addresses.push_back(static_cast<uint32_t>(n));
        }
        all.push_back(std::move(w));
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: gate_page_host SITE CHANGE_MS\n";
        return 2;
    }
    toolkit::InstallStopSignals();
    try {
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gateway::Gateway g(gateway::LoadSite(argv[1]), options);
        gateway::HttpOptions http;
        http.listen = "127.0.0.1:0";
        gateway::HttpFace face(g, http);
        g.Start();
        face.Start();
        std::cerr << "http on " << face.Url() << "#token=" << face.Token() << std::endl;
        std::vector<Words> words = WordsOf(g);
        auto every = std::chrono::milliseconds(std::atoi(argv[2]));
        auto next = std::chrono::steady_clock::now();
        for (uint16_t tick = 0; !toolkit::StopRequested().load(); ++tick) {
            for (const Words& w : words)
                for (uint32_t a : w.addresses) w.plc->Set("D", a, static_cast<uint16_t>(tick * 7u + a));
            next += every;
            std::this_thread::sleep_until(next);
        }
        face.Stop();
        g.Stop();
    } catch (const gateway::SiteError& e) {
        for (const std::string& error : e.Errors()) std::cerr << error << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "gate_page_host: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
