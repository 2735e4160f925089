// devgate's MQTT face under load: the gateway polls a simulated site (every
// word channel of every station), the bench changes every value in the
// simulated PLCs round after round, and a subscriber on the same broker
// receives what the face publishes.
//
//   gate_mqtt SITE PORT SECONDS PAUSE_MS
//
// Latency: from the value stored into the channel (the Reading's time, taken
// from a feed of the bench's own) to its message at the subscriber; median
// and p99 over every message of the run. Throughput: messages received a
// second over the run, against the changes the gateway stored. PAUSE_MS
// between two rounds of changes (0: as fast as the bench can set them).
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gateway/Gateway.h"
#include "gateway/MqttFace.h"

namespace {

using Clock = std::chrono::system_clock;
using Key = std::tuple<size_t, size_t, int>;  // device, channel, value

struct Received {
    Key key;
    Clock::time_point at;
};

struct Subscriber {
    std::map<std::string, std::pair<size_t, size_t>> topics;
    std::mutex mutex;
    std::vector<Received> received;
    std::atomic<size_t> count{0};
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: gate_mqtt SITE PORT SECONDS PAUSE_MS\n");
        return 2;
    }
    int port = std::atoi(argv[2]);
    double seconds = std::atof(argv[3]);
    int pauseMs = std::atoi(argv[4]);
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway g(gateway::LoadSite(argv[1]), options);
    auto feed = g.Subscribe(1 << 22);
    g.Start();
    gateway::MqttOptions mo;
    mo.port = port;
    mo.prefix = "bench";
    mo.clientId = "gate-mqtt-bench";
    mo.log = false;
    gateway::MqttFace face(g, mo);
    face.Start();
    if (!face.AwaitConnected(true, std::chrono::seconds(10))) {
        std::fprintf(stderr, "no broker on port %d\n", port);
        return 1;
    }

    Subscriber sub;
    size_t channels = 0;
    for (size_t d = 0; d < g.Devices().size(); ++d)
        for (size_t c = 0; c < g.Devices()[d].channels.size(); ++c, ++channels)
            sub.topics["bench/" + g.Devices()[d].name + "/" + g.Devices()[d].channels[c].name] = {d, c};
    mosquitto_lib_init();
    mosquitto* m = mosquitto_new("gate-mqtt-subscriber", true, &sub);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(m, [](mosquitto*, void* obj, const mosquitto_message* msg) {
        auto now = Clock::now();
        Subscriber& s = *static_cast<Subscriber*>(obj);
        auto t = s.topics.find(msg->topic);
        std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
        if (t == s.topics.end() || payload.rfind("{\"value\":", 0) != 0) return;
        int value = std::atoi(payload.c_str() + 9);
        std::lock_guard<std::mutex> lock(s.mutex);
        s.received.push_back({Key{t->second.first, t->second.second, value}, now});
        ++s.count;
    });
    if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(m, nullptr, "bench/+/+", 1) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(m)) {
        std::fprintf(stderr, "the subscriber cannot connect\n");
        return 1;
    }

    // Every value stored: per channel the values in the order stored (they
    // only grow) with the time each was first stored.
    std::vector<size_t> first;  // each device's first channel
    for (size_t d = 0, n = 0; d < g.Devices().size(); n += g.Devices()[d].channels.size(), ++d) first.push_back(n);
    std::vector<std::vector<std::pair<int, Clock::time_point>>> stored(channels);
    std::atomic<bool> stop{false};
    size_t changes = 0;
    std::thread reader([&] {
        gateway::Change c;
        while (!stop)
            if (feed->Pop(c, std::chrono::milliseconds(100)) && c.kind == gateway::Change::Kind::Value) {
                auto& v = stored[first[static_cast<size_t>(c.deviceIndex)] + static_cast<size_t>(c.channel)];
                if (v.empty() || v.back().first != c.reading.value.i) {
                    v.emplace_back(c.reading.value.i, c.reading.at);
                    ++changes;
                }
            }
    });

    // Rounds of changes: every word of every station to the round's number.
    auto started = Clock::now();
    size_t before = sub.count;
    int round = 0;
    while (Clock::now() - started < std::chrono::duration<double>(seconds)) {
        ++round;
        for (const gateway::DeviceModel& d : g.Devices()) {
            plcsim::Plc* plc = g.Simulator(d.line)->Station(static_cast<uint8_t>(d.station));
            plc->SetRange("D", 0, std::vector<uint16_t>(d.channels.size(), static_cast<uint16_t>(1000 + round)));
        }
        if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    size_t during = sub.count - before;
    // The tail still on its way: until nothing came for a second.
    for (size_t seen = sub.count + 1; seen != sub.count;) {
        seen = sub.count;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    stop = true;
    reader.join();
    face.Stop();
    g.Stop();
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);

    std::vector<double> latencies;
    size_t unmatched = 0;
    {
        std::lock_guard<std::mutex> lock(sub.mutex);
        for (const Received& r : sub.received) {
            const auto& v = stored[first[std::get<0>(r.key)] + std::get<1>(r.key)];
            auto s = std::lower_bound(v.begin(), v.end(), std::make_pair(std::get<2>(r.key), Clock::time_point{}));
            if (std::get<2>(r.key) <= 1000 || s == v.end() || s->first != std::get<2>(r.key)) {
                ++unmatched;  // the retained starting values
                continue;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(r.at - s->second).count());
        }
    }
    std::printf(
        "%zu channels, %d rounds of changes in %.1f s (pause %d ms): gateway stored %zu distinct values; "
        "%zu messages received during the run = %.0f msg/s; latency store->subscriber median %.2f ms, p99 %.2f ms "
        "(%zu messages; %zu starting values left out)\n",
        channels, round, elapsed, pauseMs, changes, during, static_cast<double>(during) / elapsed,
        Percentile(latencies, 0.5), Percentile(latencies, 0.99), latencies.size(), unmatched);
    return 0;
}
