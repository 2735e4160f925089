// The live table of a polling host: one line per channel with its value,
// status and age, redrawn in place on a terminal. The values come from a
// function, so a host may keep them where it likes (a database, a snapshot).
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "DeviceDescription.h"
#include "toolkit/Database.h"

namespace toolkit {

class LiveTable {
public:
    // A channel's cell: its value when one was stored, and a status word that
    // replaces the one judged by age ("failed 2", ...) when not empty.
    struct Cell {
        bool stored = false;
        Value value;
        std::chrono::steady_clock::time_point at{};
        std::string status;
    };
    using CellOf = std::function<Cell(size_t channel)>;

    LiveTable(std::string title, const std::vector<devdesc::Row>& rows, CellOf cellOf)
        : m_title(std::move(title)), m_rows(rows), m_cellOf(std::move(cellOf)) {}

    // inPlace: redraw over the last table, cut to the terminal's height.
    // A value older than three scans (at least a second) is stale.
    void Draw(std::ostream& out, bool inPlace, double scanMs, long calls) const;
    // The table's lines alone, at most maxLines channel lines, each ended by
    // eol; returns the lines written. Hosts with several tables stack these.
    int Lines(std::ostream& out, const char* eol, int maxLines, double scanMs, long calls) const;
    // Rows of the terminal on standard output that a table may fill.
    static int TerminalHeight();

private:
    std::string m_title;
    const std::vector<devdesc::Row>& m_rows;
    CellOf m_cellOf;
};

}  // namespace toolkit
