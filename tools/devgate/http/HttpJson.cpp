#include "gateway/HttpJson.h"

#include <cmath>
#include <cstdint>

#include "toolkit/Output.h"

namespace gateway {

bool ValueFromJson(const nlohmann::json& j, DATATYPE type, toolkit::Value& value, std::string& why) {
    if (j.is_string()) {
        if (toolkit::ParseValue(j.get<std::string>(), type, value)) return true;
        why = std::string("not a value for a channel of type ") + toolkit::TypeWord(type);
        return false;
    }
    if (!j.is_number() || type == DATATYPE_STRING) {
        why = type == DATATYPE_STRING ? "a string channel takes a string" : "a value is a number or a string";
        return false;
    }
    double x = j.get<double>();
    if (type == DATATYPE_DOUBLE) {
        value = toolkit::Value{DATATYPE_DOUBLE, 0, x, ""};
        return true;
    }
    // An int channel: a whole number in 32 bits, signed or not (unsigned
    // words are stored as their bit pattern, as ParseValue does).
    bool whole = j.is_number_integer() || (std::isfinite(x) && std::floor(x) == x);
    bool fits = j.is_number_unsigned() ? j.get<uint64_t>() <= UINT32_MAX
                                       : whole && x >= static_cast<double>(INT32_MIN) && x <= UINT32_MAX;
    if (type != DATATYPE_INT || !whole || !fits) {
        why = type != DATATYPE_INT ? "the channel has no type" : "an int channel takes a whole number in 32 bits";
        return false;
    }
    long long n = j.is_number_integer() ? j.get<long long>() : static_cast<long long>(x);
    value = toolkit::Value{DATATYPE_INT, static_cast<int>(static_cast<uint32_t>(n)), 0.0, ""};
    return true;
}

bool VariableFromJson(const nlohmann::json& j, toolkit::Value& value, std::string& why) {
    if (j.is_string()) {
        value = toolkit::Value{DATATYPE_STRING, 0, 0.0, j.get<std::string>()};
    } else if (j.is_number_integer()) {
        if (j.is_number_unsigned() ? j.get<uint64_t>() > INT32_MAX
                                   : j.get<long long>() < INT32_MIN || j.get<long long>() > INT32_MAX) {
            why = "an integer variable takes 32 bits";
            return false;
        }
        value = toolkit::Value{DATATYPE_INT, j.get<int>(), 0.0, ""};
    } else if (j.is_number()) {
        value = toolkit::Value{DATATYPE_DOUBLE, 0, j.get<double>(), ""};
    } else {
        why = "a variable is a number or a string";
        return false;
    }
    return true;
}

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
    int d = g.DeviceIndex(c.device);
    if (d < 0) return "";
    const DeviceModel& m = g.Devices()[static_cast<size_t>(d)];
    if (c.channel < 0 || static_cast<size_t>(c.channel) >= m.channels.size()) return "";
    return "event: value\ndata: " + ReadingJson(c.device, m.channels[static_cast<size_t>(c.channel)].name, c.reading) +
           "\n\n";
}

}  // namespace gateway
