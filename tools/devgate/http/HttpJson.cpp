#include "gateway/HttpJson.h"

#include "toolkit/Output.h"

namespace gateway {

std::string ReadingJson(const std::string& device, const std::string& channel, const Reading& r) {
    std::string out = "{\"device\":" + devdesc::Quote(device) + ",\"channel\":" + devdesc::Quote(channel) +
                      ",\"value\":" + (r.hasValue ? toolkit::JsonValue(r.value) : "null") + ",\"time\":";
    out += r.hasValue ? "\"" + toolkit::Iso8601(r.at) + "\"" : "null";
    out += ",\"status\":\"" + std::string(StatusWord(r.status)) + "\",\"code\":" + std::to_string(r.code) + "}";
    return out;
}

std::string EventText(const Gateway& g, const Change& c) {
    if (c.kind == Change::Kind::Line)
        return "event: line\ndata: {\"line\":" + devdesc::Quote(c.line) + ",\"event\":\"" + c.event +
               "\",\"code\":" + std::to_string(c.code) + ",\"message\":" + devdesc::Quote(c.message) + ",\"time\":\"" +
               toolkit::Iso8601(c.time) + "\"}\n\n";
    if (c.kind != Change::Kind::Value) return "";  // device events: not shown by the page yet
    int d = c.deviceIndex;
    if (d < 0 || static_cast<size_t>(d) >= g.Devices().size()) return "";
    const DeviceModel& m = g.Devices()[static_cast<size_t>(d)];
    if (c.channel < 0 || static_cast<size_t>(c.channel) >= m.channels.size()) return "";
    return "event: value\ndata: " + ReadingJson(c.device, m.channels[static_cast<size_t>(c.channel)].name, c.reading) +
           "\n\n";
}

}  // namespace gateway
