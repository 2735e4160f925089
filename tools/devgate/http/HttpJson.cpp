#include "gateway/HttpJson.h"

#include "toolkit/Output.h"

namespace gateway {

std::string EventText(const Gateway& g, const Change& c) {
    if (c.kind == Change::Kind::Line)
        return "event: line\ndata: {\"line\":" + devdesc::Quote(c.line) + ",\"event\":\"" + c.event +
               "\",\"code\":" + std::to_string(c.code) + ",\"message\":" + devdesc::Quote(c.message) + ",\"time\":\"" +
               toolkit::Iso8601(c.time) + "\"}\n\n";
    int d = c.deviceIndex;
    if (d < 0 || static_cast<size_t>(d) >= g.Devices().size()) return "";
    if (c.kind == Change::Kind::Device)
        return "event: device\ndata: " + DeviceStateJson(c.device, c.event == "online", c.time, c.code, c.message) +
               "\n\n";
    const DeviceModel& m = g.Devices()[static_cast<size_t>(d)];
    if (c.channel < 0 || static_cast<size_t>(c.channel) >= m.channels.size()) return "";
    return "event: value\ndata: " + ReadingJson(c.device, m.channels[static_cast<size_t>(c.channel)].name, c.reading) +
           "\n\n";
}

std::string ResyncText(unsigned long dropped) {
    return "event: resync\ndata: {\"dropped\":" + std::to_string(dropped) + "}\n\n";
}

}  // namespace gateway
