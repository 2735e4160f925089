// Wire efficiency of full scans against the simulated PLC on a pseudo-
// terminal paced as a serial line: the driver (the built plug-in, loaded with
// dlopen, on the host layer's SerialPort) and a libmodbus poller that reads
// the same D and M elements with the standard functions 0x03 and 0x01, in one
// run, side by side. For each side: the median full-scan time, the lower
// bound of its requests on the wire (request and answer bytes at 10 bits a
// byte, 3.5 characters of silence before each answer), and the CPU time of
// the polling thread per scan (the simulator runs on a thread of its own).
//
//   wire_bench [--rows N] [--scans S] [--baud B ...]
#include <dlfcn.h>
#include <modbus.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchKit.h"
#include "DevBas.h"
#include "DevVocabulary.h"
#include "HostPorts.h"
#include "IDeviceCtrl.h"
#include "plcsim/Plc.h"
#include "plcsim/Server.h"
#include "qdevctrl.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// One request and its answer, in bytes.
struct Exchange {
    int request;
    int answer;
};

double LowerBoundMs(const std::vector<Exchange>& exchanges, unsigned baud) {
    double chars = 0;
    for (const Exchange& e : exchanges) chars += e.request + e.answer + 3.5;
    return chars * 10.0 * 1000.0 / baud;
}

// The requests the driver plans for the rows: the same planner, statically
// linked, on the same blob.
std::vector<Exchange> PlannedExchanges(const std::vector<uint8_t>& blob, int rows) {
    FlatRtdb rtdb(rows);
    CDevCtrl ctrl("plan", &rtdb);
    std::vector<int> refs(static_cast<size_t>(rows), 1);
    ctrl.InitDevice(blob.data(), static_cast<int>(blob.size()));
    ctrl.ChannelRefChange(refs.data(), rows);
    DEV_DATA& dev = *ctrl.GetDevData().pDevData;
    std::vector<Exchange> out;
    for (int rank = 0; rank < dev.nRankCount; ++rank) {
        for (int b = 0; b < dev.arBlock.GetSize(); ++b) {
            const DynBlock& block = dev.arBlock[b];
            if (block.nRank != rank) continue;
            int count = CDevBas::mfFetchBlockLen(*dev.pTable, block.nStartRow, block.nEndRow);
            bool bits = block.nChlType <= CHL_BITAREA_LAST;
            out.push_back({10, bits ? (count + 7) / 8 + 5 : count * 2 + 5});
            break;
        }
    }
    return out;
}

// The plug-in's exports.
struct Plugin {
    using CreateFn = IDeviceCtrl* (*)(const char*, IDevRtdbCtrl*);
    using DestroyFn = int (*)(IDeviceCtrl*);
    using VersionFn = int (*)(int, IDeviceCtrl*);
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    VersionFn version = nullptr;

    explicit Plugin(const char* path) {
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        create = reinterpret_cast<CreateFn>(dlsym(handle, "CreateDeviceCtrl"));
        destroy = reinterpret_cast<DestroyFn>(dlsym(handle, "DestroyDeviceCtrl"));
        version = reinterpret_cast<VersionFn>(dlsym(handle, "GetInterfaceVersion"));
        if (create == nullptr || destroy == nullptr || version == nullptr) throw std::runtime_error("missing export");
    }
};

struct SideResult {
    std::vector<double> scanMs;
    std::vector<double> cpuMs;
    long failures = 0;
    size_t requests = 0;
};

// Times one full scan of a poller into the result.
template <typename F>
void TimeScan(SideResult& result, F scan) {
    double cpu = ThreadCpuMs();
    auto start = Clock::now();
    result.failures += scan();
    result.scanMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    result.cpuMs.push_back(ThreadCpuMs() - cpu);
}

// The plug-in's controller on the host layer's serial port: one full scan is
// one collection call per planned rank.
class DriverPoller {
public:
    DriverPoller(Plugin& plugin, const std::string& pty, unsigned baud, const std::vector<uint8_t>& blob, int rows,
                 size_t ranks)
        : m_plugin(plugin),
          m_rtdb(rows),
          m_port(pty, Line(baud)),
          m_refs(static_cast<size_t>(rows), 1),
          m_ranks(ranks) {
        if (m_port.Open() != 0) throw std::runtime_error("cannot open " + pty);
        m_ctrl = plugin.create("wire", &m_rtdb);
        plugin.version(2, m_ctrl);
        if (m_ctrl->UpdataCommunication(&m_port) != 0 ||
            m_ctrl->InitDevice(blob.data(), static_cast<int>(blob.size())) != 0 ||
            m_ctrl->ChannelRefChange(m_refs.data(), rows) != 0)
            throw std::runtime_error("the driver could not be set up");
    }
    ~DriverPoller() {
        m_ctrl->CleanupDevice();
        m_plugin.destroy(m_ctrl);
    }
    long Scan() {
        long failures = 0;
        for (size_t call = 0; call < m_ranks; ++call)
            failures += m_ctrl->CollectDevData(m_refs.data(), static_cast<int>(m_refs.size())) != 0;
        return failures;
    }

private:
    static SerialLineSettings Line(unsigned baud) {
        SerialLineSettings line;
        line.baud = baud;
        return line;
    }
    Plugin& m_plugin;
    FlatRtdb m_rtdb;
    SerialPort m_port;
    std::vector<int> m_refs;
    size_t m_ranks;
    IDeviceCtrl* m_ctrl = nullptr;
};

// The elements [0, end) of D and of M, in as few requests as the standard
// functions allow.
struct PeerPlan {
    int words;  // D0 .. D(words-1)
    int bits;   // M0 .. M(bits-1)
    std::vector<Exchange> Exchanges() const {
        std::vector<Exchange> out;
        for (int at = 0; at < words; at += 125) out.push_back({8, 2 * std::min(125, words - at) + 5});
        for (int at = 0; at < bits; at += 2000) out.push_back({8, (std::min(2000, bits - at) + 7) / 8 + 5});
        return out;
    }
};

class ModbusPoller {
public:
    ModbusPoller(const std::string& pty, unsigned baud, const PeerPlan& plan)
        : m_plan(plan), m_registers(125), m_bits(2000) {
        m_ctx = modbus_new_rtu(pty.c_str(), static_cast<int>(baud), 'N', 8, 1);
        if (m_ctx == nullptr) throw std::runtime_error("modbus_new_rtu failed");
        modbus_set_slave(m_ctx, 1);
        modbus_set_response_timeout(m_ctx, 2, 0);
        if (modbus_connect(m_ctx) != 0)
            throw std::runtime_error(std::string("modbus_connect: ") + modbus_strerror(errno));
    }
    ~ModbusPoller() {
        modbus_close(m_ctx);
        modbus_free(m_ctx);
    }
    long Scan() {
        long failures = 0;
        for (int at = 0; at < m_plan.words; at += 125) {
            int n = std::min(125, m_plan.words - at);
            failures += modbus_read_registers(m_ctx, at, n, m_registers.data()) != n;
        }
        for (int at = 0; at < m_plan.bits; at += 2000) {
            int n = std::min(2000, m_plan.bits - at);
            failures += modbus_read_bits(m_ctx, at, n, m_bits.data()) != n;
        }
        return failures;
    }

private:
    PeerPlan m_plan;
    modbus_t* m_ctx = nullptr;
    std::vector<uint16_t> m_registers;
    std::vector<uint8_t> m_bits;
};

void Report(const char* who, const SideResult& r, double boundMs) {
    double scan = Median(r.scanMs);
    std::printf(
        "  %-9s %3zu requests  scan %9.2f ms  bound %9.2f ms  scan/bound %.3f  cpu %8.3f ms/scan  failures %ld\n", who,
        r.requests, scan, boundMs, scan / boundMs, Median(r.cpuMs), r.failures);
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 600;
    int scans = 5;
    std::vector<unsigned> bauds;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--rows")
            rows = std::atoi(argv[i + 1]);
        else if (opt == "--scans")
            scans = std::atoi(argv[i + 1]);
        else if (opt == "--baud")
            bauds.push_back(static_cast<unsigned>(std::atoi(argv[i + 1])));
        else {
            std::fprintf(stderr, "usage: wire_bench [--rows N] [--scans S] [--baud B ...]\n");
            return 2;
        }
    }
    if (bauds.empty()) bauds = {9600, 115200};

    std::vector<TestRow> table = LargeRows(rows);
    std::vector<int32_t> properties = DefaultProperties();
    properties[1] = 1000;  // wait time: room for a 245-byte answer at 9600 baud
    std::vector<uint8_t> blob = MakeBlob(properties, table);
    std::vector<Exchange> driverPlan = PlannedExchanges(blob, rows);
    PeerPlan peer{0, 0};
    for (const TestRow& r : table) {
        int end = static_cast<int>(r.address) + (r.chlType == 14 ? (r.dataType == 89 ? 2 : 1) : 1);
        if (r.chlType == 14) peer.words = std::max(peer.words, end);
        if (r.chlType == 0) peer.bits = std::max(peer.bits, end);
    }

    plcsim::Plc plc;
    for (int i = 0; i < peer.words; ++i) plc.Set("D", static_cast<uint32_t>(i), static_cast<uint16_t>(i * 7));
    for (int i = 0; i < peer.bits; i += 3) plc.Set("M", static_cast<uint32_t>(i), 1);
    Plugin plugin(QUORLAN_PLUGIN_PATH);

    std::printf("%d rows: D0..D%d and M0..M%d; medians of %d full scans\n", rows, peer.words - 1, peer.bits - 1, scans);
    int failed = 0;
    for (unsigned baud : bauds) {
        plcsim::ServerOptions options;
        options.baud = baud;
        plcsim::PtyServer server(plc, options);
        server.Start();
        // Both pollers stay open on the pseudo-terminal and take turns, scan by
        // scan, so that both see the same load of the machine.
        DriverPoller driverPoller(plugin, server.SlavePath(), baud, blob, rows, driverPlan.size());
        ModbusPoller modbusPoller(server.SlavePath(), baud, peer);
        SideResult driver, modbus;
        driver.requests = driverPlan.size();
        modbus.requests = peer.Exchanges().size();
        driverPoller.Scan();  // warm-up
        modbusPoller.Scan();
        for (int scan = 0; scan < scans; ++scan) {
            TimeScan(driver, [&] { return driverPoller.Scan(); });
            TimeScan(modbus, [&] { return modbusPoller.Scan(); });
        }
        server.Stop();
        double driverBound = LowerBoundMs(driverPlan, baud);
        double modbusBound = LowerBoundMs(peer.Exchanges(), baud);
        std::printf("%u baud\n", baud);
        Report("driver", driver, driverBound);
        Report("libmodbus", modbus, modbusBound);
        std::printf("  driver/libmodbus: scan time %.3f, cpu time %.3f\n",
                    Median(driver.scanMs) / Median(modbus.scanMs), Median(driver.cpuMs) / Median(modbus.cpuMs));
        failed += driver.failures != 0 || modbus.failures != 0;
    }
    return failed == 0 ? 0 : 1;
}
