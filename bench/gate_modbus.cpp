// A Modbus TCP load on devgate's face (bench/gate_modbus.sh): CLIENTS
// connections, one thread each, each reading COUNT holding registers from
// ADDRESS of UNIT for SECONDS, RATE reads a second each (0: as fast as the
// answers come). Waits (at most 30 s) until a read is answered without
// exception before it starts.
//
//   gate_modbus HOST PORT UNIT ADDRESS COUNT CLIENTS SECONDS [RATE]
//
// Prints: reads a second (all clients), failed reads and the first one's
// error, and the answer time's median and 99th percentile.
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

modbus_t* Connect(const char* host, int port, int unit) {
    modbus_t* ctx = modbus_new_tcp(host, port);
    if (ctx == nullptr) return nullptr;
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 5, 0);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

struct Tally {
    long reads = 0;
    long exceptions = 0;
    int error = 0;  // the first failed read's errno
    std::vector<double> ms;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8 && argc != 9) {
        std::fprintf(stderr, "usage: gate_modbus HOST PORT UNIT ADDRESS COUNT CLIENTS SECONDS [RATE]\n");
        return 2;
    }
    const char* host = argv[1];
    int port = std::atoi(argv[2]), unit = std::atoi(argv[3]), address = std::atoi(argv[4]), count = std::atoi(argv[5]),
        clients = std::atoi(argv[6]);
    double seconds = std::atof(argv[7]), rate = argc == 9 ? std::atof(argv[8]) : 0.0;
    std::vector<uint16_t> words(static_cast<size_t>(std::max(count, 1)));

    modbus_t* probe = Connect(host, port, unit);
    if (probe == nullptr) {
        std::fprintf(stderr, "gate_modbus: cannot connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    auto ready = Clock::now() + std::chrono::seconds(30);
    while (modbus_read_registers(probe, address, count, words.data()) != count && Clock::now() < ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first poll is still under way
    modbus_close(probe);
    modbus_free(probe);

    std::vector<Tally> tallies(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            Tally& t = tallies[static_cast<size_t>(c)];
            modbus_t* ctx = Connect(host, port, unit);
            if (ctx == nullptr) return;
            std::vector<uint16_t> mine(words.size());
            auto next = Clock::now();
            auto period =
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rate > 0 ? 1 / rate : 0));
            while (Clock::now() < end) {
                if (rate > 0) {
                    std::this_thread::sleep_until(next);
                    next += period;
                }
                auto before = Clock::now();
                int n = modbus_read_registers(ctx, address, count, mine.data());
                t.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
                if (n == count)
                    ++t.reads;
                else if (++t.exceptions == 1)
                    t.error = errno;
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    for (std::thread& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Tally all;
    for (const Tally& t : tallies) {
        all.reads += t.reads;
        all.exceptions += t.exceptions;
        if (all.error == 0) all.error = t.error;
        all.ms.insert(all.ms.end(), t.ms.begin(), t.ms.end());
    }
    std::sort(all.ms.begin(), all.ms.end());
    auto at = [&all](double q) { return all.ms.empty() ? 0.0 : all.ms[static_cast<size_t>(q * (all.ms.size() - 1))]; };
    std::printf("%d clients, %d registers: %.0f reads/s, %ld failed%s%s, answer p50 %.3f p99 %.3f ms\n", clients, count,
                all.reads / elapsed, all.exceptions, all.error != 0 ? ": " : "",
                all.error != 0 ? modbus_strerror(all.error) : "", at(0.5), at(0.99));
    return all.reads > 0 ? 0 : 1;
}
