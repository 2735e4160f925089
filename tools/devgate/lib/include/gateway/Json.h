// JSON in and out of devgate's faces, in one place: values and command
// variables as clients send them, and a command's variables as they are
// answered. Numbers are written exactly (toolkit::JsonValue).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

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

}  // namespace gateway
