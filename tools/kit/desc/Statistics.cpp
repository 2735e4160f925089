#include "toolkit/Statistics.h"

#include <algorithm>
#include <cstdio>

#include "toolkit/CodeTexts.h"

namespace toolkit {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

Statistics::Statistics(const std::vector<devdesc::Row>& rows) : m_read(rows.size()), m_seen(rows.size(), 0) {
    for (size_t c = 0; c < rows.size(); ++c) {
        m_read[c] = rows[c].rw != 1;
        m_readable += m_read[c] != 0;
    }
}

void Statistics::Stored(size_t channel) {
    if (channel >= m_seen.size() || m_seen[channel] || !m_read[channel]) return;
    m_seen[channel] = 1;
    if (++m_seenCount < m_readable) return;
    auto now = Clock::now();
    m_lastScanMs = Ms(now - m_scanStart);
    if (m_scanCount++ == 0) m_firstScanMs = m_lastScanMs;
    RestartScan();
    m_scanStart = now;
}

void Statistics::RestartScan() {
    m_scanStart = Clock::now();
    std::fill(m_seen.begin(), m_seen.end(), 0);
    m_seenCount = 0;
}

void Statistics::Called(int rc) {
    ++m_calls;
    if (rc != 0) ++m_failures[rc];
}

long Statistics::Failed() const {
    long failed = 0;
    for (const auto& f : m_failures) failed += f.second;
    return failed;
}

void Statistics::Summary(std::ostream& out, double elapsedMs, const toolkit::TracingPort& port) const {
    char line[256];
    std::snprintf(line, sizeof line, "summary: %ld calls in %.1f s, %lu requests, %ld calls failed\n", m_calls,
                  elapsedMs / 1000.0, port.Requests(), Failed());
    out << line;
    for (const auto& f : m_failures) out << "  failed " << f.second << " x code " << CodeText(f.first) << "\n";
    if (m_scanCount == 0) {
        out << "full scan: not completed (some channels got no value)\n";
    } else {
        std::snprintf(line, sizeof line, "full scan: %.1f ms (first), %.1f ms (last), %zu complete\n", m_firstScanMs,
                      m_lastScanMs, m_scanCount);
        out << line;
    }
    const auto& lat = port.LatenciesMs();
    if (!lat.empty()) {
        std::snprintf(line, sizeof line,
                      "request latency: min %.3f ms, median %.3f ms, max %.3f ms (%lu answered, %lu unanswered)\n",
                      port.MinLatencyMs(), Median(lat), port.MaxLatencyMs(), port.Answered(), port.Unanswered());
        out << line;
    } else {
        out << "request latency: no answers (" << port.Unanswered() << " unanswered)\n";
    }
    out.flush();
}

}  // namespace toolkit
