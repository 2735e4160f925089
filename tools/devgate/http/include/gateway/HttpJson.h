// devgate's event stream: feed events as Server-Sent Events text (the JSON
// of readings, device states and command variables: gateway/Json.h).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "gateway/Gateway.h"
#include "gateway/Json.h"

namespace gateway {

// One feed event as Server-Sent Events text: "event: value\ndata: {...}\n\n"
// (a reading), "event: line" or "event: device" (a change of state).
std::string EventText(const Gateway& gateway, const Change& change);

// "event: resync\ndata: {"dropped":N}\n\n": the stream lost N changes; the
// page reads /api/values again.
std::string ResyncText(unsigned long dropped);

}  // namespace gateway
