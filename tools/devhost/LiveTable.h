// The live table of devhost run: one line per channel with its value, status
// and age, redrawn in place on a terminal.
#pragma once

#include <ostream>
#include <string>

#include "Session.h"

namespace devhost {

class LiveTable {
public:
    LiveTable(Session& s, std::string title) : m_s(s), m_title(std::move(title)) {}

    // inPlace: redraw over the last table, cut to the terminal's height.
    // A value older than three scans (at least a second) is stale.
    void Draw(std::ostream& out, bool inPlace, double scanMs, long calls);

private:
    Session& m_s;
    std::string m_title;
};

}  // namespace devhost
