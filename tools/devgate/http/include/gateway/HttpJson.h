// JSON out of devgate's HTTP face: readings, history points and feed events
// as JSON text (values in and command variables: gateway/Json.h).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "gateway/Gateway.h"
#include "gateway/Json.h"

namespace gateway {

// {"device":..,"channel":..,"value":..,"time":..,"status":..,"code":..}; value
// and time are null until the channel has a value.
std::string ReadingJson(const std::string& device, const std::string& channel, const Reading& reading);

// One feed event as Server-Sent Events text ("event: value\ndata: {...}\n\n").
std::string EventText(const Gateway& gateway, const Change& change);

}  // namespace gateway
