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

// The text without the blanks (spaces, tabs, line ends) at either end.
std::string Trim(const std::string& text);

// The whole text as an integer (decimal, 0x hexadecimal or 0 octal) within
// [low, high]; no blanks, no trailing characters.
bool ParseInteger(const std::string& text, long long low, long long high, long long& out);
// The whole text as a finite or infinite double; no blanks, no trailing characters.
bool ParseDouble(const std::string& text, double& out);
// A channel's value of that type written as text: an int channel takes any
// 32-bit value, signed or not (unsigned words are stored as their bit
// pattern), a double channel a number, a string channel any text. False when
// the text is no value of that type.
bool ParseValue(const std::string& text, DATATYPE type, Value& value);

// A CSV field: quoted (quotes doubled) when it holds a comma, a quote or a
// line break.
std::string CsvField(const std::string& s);

// A value as JSON: a quoted string or a number (null for nan and inf).
std::string JsonValue(const Value& value);

// The header line of the format (CSV only).
void WriteHeader(std::ostream& out, Format format);
// One line for a value stored into a channel (nothing for the table).
void WriteStored(std::ostream& out, Format format, int channel, const devdesc::Row& row, const toolkit::Value& value);

}  // namespace toolkit
