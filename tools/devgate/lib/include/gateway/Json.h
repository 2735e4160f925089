// JSON in and out of devgate's faces, in one place: values and command
// variables as clients send them; readings, device states and the outcomes
// of writes and commands as every face answers them. Numbers are written
// exactly (toolkit::JsonValue).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "gateway/Gateway.h"
#include "toolkit/Database.h"
#include "toolkit/ValueRule.h"

namespace gateway {

// A value to write as a client sent it: a number (whole numbers exactly, up
// to 64 bits) or a string. False, with why, for anything else.
bool AskedFromJson(const nlohmann::json& json, toolkit::Asked& value, std::string& why);

// A host variable for a command: a JSON integer is an int (32 bits), any
// other number a double, a string a string.
bool VariableFromJson(const nlohmann::json& json, toolkit::Value& value, std::string& why);

// {"name":value,...}
std::string VariablesJson(const std::map<std::string, toolkit::Value>& variables);

// A reading's members: "value":..,"time":..,"status":..,"code":..; value and
// time (when the value was stored) are null until the channel has a value.
std::string ReadingMembers(const Reading& reading);
// {"device":..,"channel":..,<ReadingMembers>}
std::string ReadingJson(const std::string& device, const std::string& channel, const Reading& reading);

// {"device":..,"state":"online"|"offline","since":..,"code":..,"reason":..}
std::string DeviceStateJson(const std::string& device, bool online, SystemTime since, int code,
                            const std::string& reason);

// The outcome of a write or a command: {"code":..,"meaning":..}, after
// "command":.. when command is not empty, with "variables":{..} when asked.
std::string ResultJson(const Result& result, const std::string& command, bool variables);

}  // namespace gateway
