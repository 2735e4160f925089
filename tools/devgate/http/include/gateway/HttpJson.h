// JSON in and out of devgate's HTTP face: values from request bodies, and
// readings, history points and feed events as JSON text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "gateway/Gateway.h"

namespace gateway {

// A channel's value from JSON: a number or a string, converted with the
// channel's type (strings as toolkit::ParseValue reads them). An int channel
// takes whole numbers in 32 bits, signed or not, and refuses 1.5; a string
// channel takes only a string. False, with the reason, otherwise.
bool ValueFromJson(const nlohmann::json& json, DATATYPE type, toolkit::Value& value, std::string& why);

// A host variable for a command: a JSON integer is an int (32 bits), any
// other number a double, a string a string.
bool VariableFromJson(const nlohmann::json& json, toolkit::Value& value, std::string& why);

// {"device":..,"channel":..,"value":..,"time":..,"status":..,"code":..}; value
// and time are null until the channel has a value.
std::string ReadingJson(const std::string& device, const std::string& channel, const Reading& reading);

// One feed event as Server-Sent Events text ("event: value\ndata: {...}\n\n").
std::string EventText(const Gateway& gateway, const Change& change);

}  // namespace gateway
