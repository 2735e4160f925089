#include "toolkit/LiveTable.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "toolkit/Statistics.h"

namespace toolkit {

namespace {

// Names are UTF-8: pad by terminal columns, not bytes (CJK characters take
// two columns).
std::string PadName(std::string name, size_t width) {
    size_t cols = 0;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        cols += (u & 0xC0) != 0x80;
        cols += u >= 0xE0;
    }
    if (cols < width) name += std::string(width - cols, ' ');
    return name;
}

}  // namespace

int LiveTable::TerminalHeight() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 6) return ws.ws_row - 4;
    return 1000000;
}

void LiveTable::Draw(std::ostream& out, bool inPlace, double scanMs, long calls) const {
    if (inPlace) out << "\x1b[H";
    Lines(out, inPlace ? "\x1b[K\n" : "\n", inPlace ? TerminalHeight() : 1000000, scanMs, calls);
    if (inPlace) out << "\x1b[J";
    out.flush();
}

int LiveTable::Lines(std::ostream& out, const char* eol, int maxLines, double scanMs, long calls) const {
    char line[512];
    std::snprintf(line, sizeof line, "%s: %zu channels, call %ld", m_title.c_str(), m_rows.size(), calls);
    out << line << eol;
    std::snprintf(line, sizeof line, "%5s  %-24s %-8s %16s  %-7s %8s", "chan", "name", "element", "value", "status",
                  "age");
    out << line << eol;
    int written = 2;
    auto now = Clock::now();
    double staleMs = std::max(1000.0, 3.0 * scanMs);
    for (size_t c = 0; c < m_rows.size(); ++c) {
        if (written - 2 >= maxLines) {
            out << "... " << m_rows.size() - c << " more" << eol;
            return written + 1;
        }
        Cell cell = m_cellOf(c);
        const devdesc::Row& row = m_rows[c];
        std::string value = cell.stored ? cell.value.Text() : "-";
        if (value.size() > 16) value = value.substr(0, 15) + "~";
        std::string age = "-", status = row.rw == 1 ? "w-only" : "none";
        if (cell.stored) {
            double ms = Ms(now - cell.at);
            char buf[32];
            std::snprintf(buf, sizeof buf, ms < 10000 ? "%.0fms" : "%.0fs", ms < 10000 ? ms : ms / 1000);
            age = buf;
            status = ms <= staleMs ? "ok" : "stale";
        }
        if (!cell.status.empty()) status = cell.status;
        std::snprintf(line, sizeof line, "%5zu  %s %-8s %16s  %-7s %8s", c, PadName(row.name, 24).c_str(),
                      devdesc::AddressText(row).c_str(), value.c_str(), status.c_str(), age.c_str());
        out << line << eol;
        ++written;
    }
    return written;
}

}  // namespace toolkit
