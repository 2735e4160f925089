#include "LiveTable.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "Statistics.h"

namespace devhost {

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

void LiveTable::Draw(std::ostream& out, bool inPlace, double scanMs, long calls) {
    int height = 1000000;
    if (inPlace) {
        winsize ws{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 6) height = ws.ws_row - 4;
        out << "\x1b[H";
    }
    const char* eol = inPlace ? "\x1b[K\n" : "\n";
    const auto& rows = m_s.Desc().rows;
    char line[512];
    std::snprintf(line, sizeof line, "%s: %zu channels, call %ld", m_title.c_str(), rows.size(), calls);
    out << line << eol;
    std::snprintf(line, sizeof line, "%5s  %-24s %-8s %16s  %-7s %8s", "chan", "name", "element", "value", "status",
                  "age");
    out << line << eol;
    auto now = Clock::now();
    double staleMs = std::max(1000.0, 3.0 * scanMs);
    int shown = 0;
    for (size_t c = 0; c < rows.size(); ++c) {
        if (shown >= height) {
            out << "... " << rows.size() - c << " more" << eol;
            break;
        }
        const toolkit::Database::ChannelState* ch = m_s.Rtdb().State(static_cast<int>(c));
        const devdesc::Row& row = rows[c];
        bool stored = ch != nullptr && ch->stored;
        std::string value = stored ? ch->value.Text() : "-";
        if (value.size() > 16) value = value.substr(0, 15) + "~";
        std::string age = "-", status = row.rw == 1 ? "w-only" : "none";
        if (stored) {
            double ms = Ms(now - ch->at);
            char buf[32];
            std::snprintf(buf, sizeof buf, ms < 10000 ? "%.0fms" : "%.0fs", ms < 10000 ? ms : ms / 1000);
            age = buf;
            status = ms <= staleMs ? "ok" : "stale";
        }
        std::snprintf(line, sizeof line, "%5zu  %s %-8s %16s  %-7s %8s", c, PadName(row.name, 24).c_str(),
                      devdesc::AddressText(row).c_str(), value.c_str(), status.c_str(), age.c_str());
        out << line << eol;
        ++shown;
    }
    if (inPlace) out << "\x1b[J";
    out.flush();
}

}  // namespace devhost
