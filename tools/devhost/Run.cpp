// devhost run: polls with CollectDevData, shows the values (live table, CSV
// or JSON lines) and sums up calls, failures, full scans and latencies.
#include <unistd.h>

#include <iostream>
#include <thread>

#include "Commands.h"
#include "toolkit/LiveTable.h"
#include "toolkit/Output.h"
#include "toolkit/Statistics.h"

namespace devhost {

using toolkit::Clock;
using toolkit::Ms;

int Run(Session& s, const Options& o, const std::atomic<bool>& stop) {
    bool table = o.format == Format::Table;
    bool terminal = isatty(STDOUT_FILENO) == 1;
    bool live = table && terminal && !o.trace;
    std::ostream& summaryOut = table ? std::cout : std::cerr;
    const auto& rows = s.Desc().rows;

    toolkit::Statistics stats(rows);
    s.Rtdb().OnStore([&](int channel, const toolkit::Database::ChannelState& ch) {
        size_t c = static_cast<size_t>(channel);
        if (c >= rows.size()) return;
        toolkit::WriteStored(std::cout, o.format, channel, rows[c], ch.value);
        stats.Stored(c);
    });
    toolkit::WriteHeader(std::cout, o.format);

    toolkit::LiveTable view(o.config, rows, [&s](size_t c) {
        toolkit::LiveTable::Cell cell;
        if (const toolkit::Database::ChannelState* ch = s.Rtdb().State(static_cast<int>(c))) {
            cell.stored = ch->stored;
            cell.value = ch->value;
            cell.at = ch->at;
        }
        return cell;
    });
    if (live) std::cout << "\x1b[2J";
    auto started = Clock::now();
    auto lastDraw = Clock::time_point{};
    while (!stop.load() && (o.cycles <= 0 || stats.Calls() < o.cycles)) {
        int rc = s.Ctrl().CollectDevData(s.Refs().data(), static_cast<int>(s.Refs().size()));
        s.Port().EndRequest();
        stats.Called(rc);
        if (!table && !std::cout.flush()) break;  // nobody reads the values any more
        if (live && Ms(Clock::now() - lastDraw) >= 100) {
            view.Draw(std::cout, true, stats.LastScanMs(), stats.Calls());
            lastDraw = Clock::now();
        }
        if (o.cycles > 0 && stats.Calls() >= o.cycles) break;
        auto wake = Clock::now() + std::chrono::milliseconds(o.intervalMs);
        while (!stop.load() && Clock::now() < wake)
            std::this_thread::sleep_for(std::min<Clock::duration>(wake - Clock::now(), std::chrono::milliseconds(20)));
    }
    double elapsed = Ms(Clock::now() - started);
    s.Rtdb().OnStore(nullptr);
    if (table) view.Draw(std::cout, live, stats.LastScanMs(), stats.Calls());
    stats.Summary(summaryOut, elapsed, s.Port());
    return stats.Failed() == stats.Calls() && stats.Calls() > 0 ? 3 : 0;
}

}  // namespace devhost
