#include "toolkit/Output.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace toolkit {

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
}

bool ParseInteger(const std::string& text, long long low, long long high, long long& out) {
    if (text.empty() || text.front() == ' ' || text.front() == '\t') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size() || v < low || v > high) return false;
    out = v;
    return true;
}

bool ParseDouble(const std::string& text, double& out) {
    if (text.empty() || text.front() == ' ' || text.front() == '\t') return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno == ERANGE || end != text.c_str() + text.size()) return false;
    out = v;
    return true;
}

bool ParseValue(const std::string& text, DATATYPE type, Value& value) {
    Value v;
    v.type = type;
    bool ok = true;
    if (type == DATATYPE_INT) {
        long long n = 0;
        ok = ParseInteger(text, INT32_MIN, UINT32_MAX, n);
        v.i = static_cast<int>(static_cast<uint32_t>(n));
    } else if (type == DATATYPE_DOUBLE) {
        ok = ParseDouble(text, v.d);
    } else if (type == DATATYPE_STRING) {
        v.s = text;
    } else {
        ok = false;
    }
    if (ok) value = v;
    return ok;
}

std::string JsonValue(const Value& v) {
    if (v.type == DATATYPE_STRING) return devdesc::Quote(v.s);
    std::string t = v.Text();
    return t == "nan" || t == "inf" || t == "-inf" ? "null" : t;
}

const char* TypeWord(DATATYPE t) {
    return t == DATATYPE_INT ? "int" : t == DATATYPE_DOUBLE ? "double" : t == DATATYPE_STRING ? "string" : "none";
}

std::string Iso8601Now() { return Iso8601(std::chrono::system_clock::now()); }

std::string Iso8601(std::chrono::system_clock::time_point now) {
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc{};
    gmtime_r(&secs, &utc);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return buf;
}

void WriteHeader(std::ostream& out, Format format) {
    if (format == Format::Csv) out << "time,channel,name,value\n";
}

void WriteStored(std::ostream& out, Format format, int channel, const devdesc::Row& row, const toolkit::Value& value) {
    if (format == Format::Csv)
        out << Iso8601Now() << "," << channel << "," << CsvField(row.name) << "," << CsvField(value.Text()) << "\n";
    else if (format == Format::Jsonl)
        out << "{\"time\":\"" << Iso8601Now() << "\",\"channel\":" << channel
            << ",\"name\":" << devdesc::Quote(row.name) << ",\"element\":\"" << devdesc::AddressText(row)
            << "\",\"type\":\"" << TypeWord(value.type) << "\",\"value\":" << JsonValue(value) << "}\n";
}

}  // namespace toolkit
