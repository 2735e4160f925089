// The recent values of every channel, for the web console's charts.
//
// Each channel keeps a ring of at most `points` points no older than `keep`.
// Points are thinned to one per `spacing`: a value that comes within `spacing`
// of the point before the newest replaces the newest, so the ring spans its
// whole time at that resolution however fast the line polls, and always ends
// with the latest value. A change between failed and read always takes a new
// point, so a failure stays visible. A point costs 16 bytes (a string
// channel's points keep their text besides); a ring grows as points come.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "toolkit/Database.h"

namespace gateway {

class History {
public:
    struct Point {
        int64_t ms = 0;     // since the epoch
        bool null = false;  // the channel failed
        toolkit::Value value;
    };

    // types[d][c]: the type of channel c of device d.
    explicit History(const std::vector<std::vector<DATATYPE>>& types, size_t points = 1200,
                     std::chrono::milliseconds spacing = std::chrono::milliseconds(500),
                     std::chrono::milliseconds keep = std::chrono::minutes(10));

    // A value (null: the channel failed) of channel c of device d at ms.
    void Add(size_t d, size_t c, int64_t ms, bool null, const toolkit::Value& value);
    // The points from fromMs on, oldest first.
    std::vector<Point> Since(size_t d, size_t c, int64_t fromMs) const;

private:
    struct Sample {
        int64_t ms;
        double x;  // NaN: null; a string channel's text is in texts
    };
    struct Ring {
        DATATYPE type = DATATYPE_NONE;
        std::vector<Sample> samples;
        std::vector<std::string> texts;  // string channels only, beside samples
        size_t head = 0;                 // the oldest, once full
        size_t count = 0;
        Sample& At(size_t i) { return samples[(head + i) % samples.size()]; }
        const Sample& At(size_t i) const { return samples[(head + i) % samples.size()]; }
        size_t Slot(size_t i) const { return (head + i) % samples.size(); }
    };

    mutable std::mutex m_mutex;
    std::vector<std::vector<Ring>> m_rings;
    size_t m_points;
    int64_t m_spacing;
    int64_t m_keep;
};

}  // namespace gateway
