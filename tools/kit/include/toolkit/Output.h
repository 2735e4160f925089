// A polling host's machine-readable output: one line per value stored, as
// CSV or as JSON lines, with a UTC time stamp.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "DeviceDescription.h"
#include "toolkit/Database.h"

namespace toolkit {

enum class Format { Table, Csv, Jsonl };

// "int", "double", "string" or "none".
const char* TypeWord(DATATYPE type);
// "2026-12-08T10:36:59.123Z"
std::string Iso8601Now();
std::string Iso8601(std::chrono::system_clock::time_point time);

// A value as JSON: a quoted string or a number (null for nan and inf).
std::string JsonValue(const Value& value);

// The header line of the format (CSV only).
void WriteHeader(std::ostream& out, Format format);
// One line for a value stored into a channel (nothing for the table).
void WriteStored(std::ostream& out, Format format, int channel, const devdesc::Row& row, const toolkit::Value& value);

}  // namespace toolkit
