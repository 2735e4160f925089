// The history on disk: changes recorded per CPU second (the writer's path:
// the record filter, then batched transactions of 4096 rows), bytes on disk
// per sample, and the time to reduce a 7-day trend of one channel sampled
// every second to 1,000 points.
//
//   history_bench [FOLDER]   (default: a fresh folder under /tmp)
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

#include "gateway/HistoryDb.h"
#include "gateway/HistoryRecorder.h"

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long FileBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void Remove(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// Rows of `channels` channels, each changing every `stepMs`, a random walk
// (16-bit words for int, float32 values for double), through the filter and
// into the database in batches. Returns the rows written.
struct Load {
    size_t rows = 0;
    double cpu = 0, wall = 0;
};

Load Fill(gateway::HistoryDb& db, DATATYPE type, int channels, int64_t startMs, int64_t stepMs, size_t perChannel,
          size_t batch = 4096) {
    std::vector<int> ids;
    for (int c = 0; c < channels; ++c)
        ids.push_back(db.Register("bench", "ch" + std::to_string(c), "D" + std::to_string(100 + c), type));
    gateway::RecordFilter filter({std::vector<gateway::RecordRule>(static_cast<size_t>(channels))});
    std::mt19937 random(42);
    std::uniform_int_distribution<int> step(-40, 40);
    std::vector<double> walk(static_cast<size_t>(channels), 1000.0);
    std::vector<gateway::HistoryDb::Row> rows;
    gateway::Reading r;
    r.status = gateway::Status::Ok;
    r.hasValue = true;
    r.value.type = type;
    Load load;
    double cpu0 = CpuSeconds(), wall0 = WallSeconds();
    for (size_t i = 0; i < perChannel; ++i)
        for (int c = 0; c < channels; ++c) {
            double& w = walk[static_cast<size_t>(c)];
            int move = step(random);
            w += move != 0 ? move : 1;  // a change every time
            if (type == DATATYPE_INT)
                r.value.i = static_cast<int>(std::lround(w)) & 0xFFFF;
            else
                r.value.d = static_cast<float>(w / 7.0);
            int64_t ms = startMs + static_cast<int64_t>(i) * stepMs + c;
            if (!filter.Take(0, static_cast<size_t>(c), r, ms)) continue;
            gateway::HistoryDb::Row row;
            row.channel = ids[static_cast<size_t>(c)];
            row.ms = ms;
            row.hasValue = true;
            row.value = r.value;
            rows.push_back(row);
            if (rows.size() >= batch) {
                db.Append(rows, {});
                load.rows += rows.size();
                rows.clear();
            }
        }
    db.Append(rows, {});
    load.rows += rows.size();
    load.cpu = CpuSeconds() - cpu0;
    load.wall = WallSeconds() - wall0;
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : "";
    if (folder.empty()) {
        char dir[] = "/tmp/history-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr) return 1;
        folder = dir;
    }
    const int64_t start = 1796688000000;  // 2026-12-08
    std::printf("history_bench: SQLite WAL, synchronous NORMAL, batches of 4096 rows\n");
    // Each type without and with the index the MQTT backlog reads by (--mqtt-backlog).
    for (auto [type, ordered] : {std::pair{DATATYPE_INT, false}, std::pair{DATATYPE_DOUBLE, false},
                                 std::pair{DATATYPE_INT, true}, std::pair{DATATYPE_DOUBLE, true}}) {
        std::string path = folder + "/rate.db";
        Remove(path);
        Load load;
        {
            gateway::HistoryDb db(path, gateway::HistoryDb::Mode::Write, ordered);
            load = Fill(db, type, 100, start, 1000, 20000);  // 2,000,000 changes
        }
        long long bytes = FileBytes(path) + FileBytes(path + "-wal");
        std::printf(
            "%-6s%s 100 channels x 20000 changes: %zu rows, %.2f s CPU (%.2f s wall): %.0f changes per CPU "
            "second; %.1f bytes on disk per sample\n",
            type == DATATYPE_INT ? "int" : "double", ordered ? " with the id index" : "", load.rows, load.cpu,
            load.wall, static_cast<double>(load.rows) / load.cpu, static_cast<double>(bytes) / load.rows);
        Remove(path);
    }
    // 7 days of one channel every second, beside three others as busy.
    std::string path = folder + "/trend.db";
    Remove(path);
    gateway::HistoryDb db(path, gateway::HistoryDb::Mode::Write);
    Load load = Fill(db, DATATYPE_DOUBLE, 4, start, 1000, 7 * 86400);
    std::printf("trend database: 4 channels x 7 days every second: %zu rows in %.1f s CPU\n", load.rows, load.cpu);
    gateway::HistoryChannel ch;
    if (!db.Find("bench", "ch2", ch)) return 1;
    gateway::HistoryDb reader(path, gateway::HistoryDb::Mode::Read);
    double best = 1e9, bestCpu = 1e9;
    size_t buckets = 0;
    uint64_t samples = 0;
    for (int run = 0; run < 5; ++run) {
        double cpu0 = CpuSeconds(), wall0 = WallSeconds();
        gateway::HistoryRange r = reader.Query(ch, start, start + 7 * 86400000LL - 1, 1000);
        best = std::min(best, WallSeconds() - wall0);
        bestCpu = std::min(bestCpu, CpuSeconds() - cpu0);
        buckets = r.buckets.size();
        samples = 0;
        for (const gateway::HistoryBucket& b : r.buckets) samples += b.count;
    }
    std::printf(
        "7-day trend of one channel (604800 samples) reduced to %zu points: best of 5 %.1f ms wall, %.1f ms "
        "CPU\n",
        buckets, best * 1000, bestCpu * 1000);
    Remove(path);
    rmdir(folder.c_str());
    return 0;
}
