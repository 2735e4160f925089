#include "gateway/Json.h"

#include <cstdint>

#include "toolkit/Output.h"

namespace gateway {

bool AskedFromJson(const nlohmann::json& j, toolkit::Asked& value, std::string& why) {
    if (j.is_string()) {
        value = toolkit::Asked::Text(j.get<std::string>());
    } else if (j.is_number_unsigned()) {
        value = toolkit::Asked::Whole(false, j.get<uint64_t>());
    } else if (j.is_number_integer()) {
        int64_t n = j.get<int64_t>();
        value = toolkit::Asked::Whole(n < 0, n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n));
    } else if (j.is_number()) {
        value = toolkit::Asked::Number(j.get<double>());
    } else {
        why = "a value is a number or a string";
        return false;
    }
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

std::string VariablesJson(const std::map<std::string, toolkit::Value>& variables) {
    std::string out = "{";
    for (const auto& [name, value] : variables)
        out += (out.size() > 1 ? "," : "") + devdesc::Quote(name) + ":" + toolkit::JsonValue(value);
    return out + "}";
}

std::string ReadingMembers(const Reading& r) {
    std::string out = "\"value\":" + (r.hasValue ? toolkit::JsonValue(r.value) : std::string("null"));
    out += ",\"time\":" + (r.hasValue ? "\"" + toolkit::Iso8601(r.at) + "\"" : std::string("null"));
    return out + ",\"status\":\"" + StatusWord(r.status) + "\",\"code\":" + std::to_string(r.code);
}

std::string ReadingJson(const std::string& device, const std::string& channel, const Reading& r) {
    return "{\"device\":" + devdesc::Quote(device) + ",\"channel\":" + devdesc::Quote(channel) + "," +
           ReadingMembers(r) + "}";
}

std::string DeviceStateJson(const std::string& device, bool online, SystemTime since, int code,
                            const std::string& reason) {
    return "{\"device\":" + devdesc::Quote(device) + ",\"state\":\"" + (online ? "online" : "offline") +
           "\",\"since\":\"" + toolkit::Iso8601(since) + "\",\"code\":" + std::to_string(code) +
           ",\"reason\":" + devdesc::Quote(reason) + "}";
}

std::string ResultJson(const Result& r, const std::string& command, bool variables) {
    std::string out = "{";
    if (!command.empty()) out += "\"command\":" + devdesc::Quote(command) + ",";
    out += "\"code\":" + std::to_string(r.code) + ",\"meaning\":" + devdesc::Quote(r.meaning);
    if (variables) out += ",\"variables\":" + VariablesJson(r.variables);
    return out + "}";
}

}  // namespace gateway
