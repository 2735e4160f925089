// What every face of the gateway has in common (the HTTP API, the MQTT
// client, the Modbus TCP server, the console output, the history recorder):
// it is made with the gateway and its own options and part of the site, is
// started and stopped, and reports its health as numbers the metrics show.
// devgate keeps its faces in a list, starts them in order and stops them in
// reverse order.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gateway {

// One number a face reports, shown as the metric devgate_NAME{face="..."}.
// A counter only grows (its name ends in _total); a gauge goes up and down.
struct HealthItem {
    enum class Kind { Counter, Gauge };
    std::string name;  // [a-z_]+, the same for the same thing on every face
    Kind kind = Kind::Gauge;
    double value = 0.0;
    std::string help;
};

class Face {
public:
    virtual ~Face() = default;
    // "http", "mqtt", ...: the face label of its metrics.
    virtual std::string Name() const = 0;
    // Throws std::runtime_error with the reason when the face cannot start.
    virtual void Start() = 0;
    // Ends every thread and connection of the face; may be called again.
    virtual void Stop() = 0;
    // May be called from any thread, before, while and after it runs.
    virtual std::vector<HealthItem> Health() const = 0;
    // Where it serves or publishes, for the start-up message ("" for none).
    virtual std::string Announcement() const { return ""; }
};

// Every face's health, by face name: what the metrics are given.
using FaceHealth = std::vector<std::pair<std::string, std::vector<HealthItem>>>;
using HealthSource = std::function<FaceHealth()>;

}  // namespace gateway
