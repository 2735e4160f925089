#include "gateway/History.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace gateway {

History::History(const std::vector<std::vector<DATATYPE>>& types, size_t points, std::chrono::milliseconds spacing,
                 std::chrono::milliseconds keep)
    : m_points(std::max<size_t>(points, 2)), m_spacing(spacing.count()), m_keep(keep.count()) {
    m_rings.resize(types.size());
    for (size_t d = 0; d < types.size(); ++d) {
        m_rings[d].resize(types[d].size());
        for (size_t c = 0; c < types[d].size(); ++c) m_rings[d][c].type = types[d][c];
    }
}

void History::Add(size_t d, size_t c, int64_t ms, bool null, const toolkit::Value& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (d >= m_rings.size() || c >= m_rings[d].size()) return;
    Ring& r = m_rings[d][c];
    double x = std::numeric_limits<double>::quiet_NaN();
    if (!null) x = r.type == DATATYPE_INT ? value.i : r.type == DATATYPE_DOUBLE ? value.d : 0.0;
    null = std::isnan(x);  // a double that is no number is charted as a gap too
    const std::string text = !null && r.type == DATATYPE_STRING ? value.s : std::string();
    while (r.count > 0 && r.At(0).ms < ms - m_keep) {
        r.head = (r.head + 1) % r.samples.size();
        --r.count;
    }
    size_t slot;
    if (r.count >= 2 && r.At(r.count - 1).ms - r.At(r.count - 2).ms < m_spacing &&
        std::isnan(r.At(r.count - 1).x) == null) {
        slot = r.Slot(r.count - 1);  // the newest point is replaced
    } else if (r.count < r.samples.size()) {
        slot = r.Slot(r.count++);
    } else if (r.samples.size() < m_points) {
        // Grows: the oldest moved to the front first.
        std::rotate(r.samples.begin(), r.samples.begin() + static_cast<long>(r.head), r.samples.end());
        if (!r.texts.empty()) std::rotate(r.texts.begin(), r.texts.begin() + static_cast<long>(r.head), r.texts.end());
        r.head = 0;
        // Exactly that room: resize alone may take twice what it had (2048
        // points where the ring holds 1200).
        size_t room = std::min(m_points, std::max<size_t>(16, r.samples.size() * 2));
        r.samples.reserve(room);
        r.samples.resize(room);
        if (r.type == DATATYPE_STRING) {
            r.texts.reserve(room);
            r.texts.resize(room);
        }
        slot = r.count++;
    } else {
        slot = r.head;  // full: the oldest goes
        r.head = (r.head + 1) % r.samples.size();
    }
    r.samples[slot] = Sample{ms, x};
    if (r.type == DATATYPE_STRING) r.texts[slot] = text;
}

std::vector<History::Point> History::Since(size_t d, size_t c, int64_t fromMs) const {
    std::vector<Point> out;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (d >= m_rings.size() || c >= m_rings[d].size()) return out;
    const Ring& r = m_rings[d][c];
    for (size_t i = 0; i < r.count; ++i) {
        const Sample& s = r.At(i);
        if (s.ms < fromMs) continue;
        Point p;
        p.ms = s.ms;
        p.null = std::isnan(s.x);
        p.value.type = r.type;
        if (!p.null && r.type == DATATYPE_INT) p.value.i = static_cast<int>(s.x);
        if (!p.null && r.type == DATATYPE_DOUBLE) p.value.d = s.x;
        if (!p.null && r.type == DATATYPE_STRING) p.value.s = r.texts[r.Slot(i)];
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace gateway
