// devgate history: one channel's range from the database, as CSV or JSON
// lines, read directly (also while devgate writes it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace gateway {

struct HistorySample;

// The CSV of raw samples, as devgate history and GET /api/history.csv
// write it: this header, then a line a sample.
extern const char* const kHistoryCsvHeader;  // "time,ms,value,status,code\n"
std::string HistoryCsvLine(const HistorySample& sample);
// A bucket's min or max as JSON: the number, or null when it is none.
std::string HistoryNumber(double x);

struct HistoryQuery {
    std::string path, device, channel;
    int64_t fromMs = 0, toMs = 0;
    size_t points = 0;  // 0: every sample
    bool jsonl = false;
};

// Prints the range to out; on a fault says why on err. Returns 0, or 1 when
// the database cannot be read or has no such channel.
int PrintHistory(const HistoryQuery& query, std::ostream& out, std::ostream& err);

}  // namespace gateway
