// Soak: N collection calls (and a channel write now and then) against the
// in-process simulated PLC with seeded random faults of every kind, on a
// clock that makes waits free. Checks that every value stored equals the
// simulator's element memory, that a failed call stores nothing, that every
// channel keeps being collected, and that the resident size stays flat.
//
//   soak [calls=1000000] [seed=1]
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "DeviceTable.h"
#include "HostTime.h"
#include "MemoryRtdb.h"
#include "plcsim/LoopbackPort.h"
#include "plcsim/Plc.h"
#include "qdevctrl.h"

namespace {

// A clock whose sleeps only move the time on (no record of them is kept, so
// that a million calls use no memory for it).
uint64_t g_now = 1000;
uint64_t Tick(void*) { return g_now; }
void Sleep(void*, uint64_t ms) { g_now += ms; }

long ResidentKb() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident * 4;
}

// BCD words: four decimal digits in the four nibbles.
uint16_t Bcd(unsigned value) {
    uint16_t out = 0;
    for (int shift = 0; shift < 16; shift += 4, value /= 10) out = static_cast<uint16_t>(out | (value % 10) << shift);
    return out;
}

struct Expected {
    bool text = false;
    double number = 0;
    std::string str;
};

class Soak {
public:
    explicit Soak(uint64_t seed) : m_random(seed), m_port(m_plc) {
        m_plc.SetSeed(seed);
        AddFaults();
        m_ctrl = CreateDeviceCtrl("soak", &m_rtdb);
        GetInterfaceVersion(2, m_ctrl);
        m_ctrl->UpdataCommunication(&m_port);
        std::vector<int32_t> props = DefaultProperties();
        props[6] = 1;  // string bytes in the PLC's order
        m_rows = FuzzRows();
        std::vector<uint8_t> blob = MakeBlob(props, m_rows);
        if (m_ctrl->InitDevice(blob.data(), static_cast<int>(blob.size())) != 0) Fail("InitDevice");
        for (size_t c = 0; c < m_rows.size(); ++c)
            m_rtdb.DeclareChannel(static_cast<int>(c), m_rows[c].dataType == 131 ? DATATYPE_STRING : DATATYPE_DOUBLE);
        m_refs.assign(m_rows.size(), 1);
        if (m_ctrl->ChannelRefChange(m_refs.data(), Count()) != 0) Fail("ChannelRefChange");
        m_stored.assign(m_rows.size(), 0);
        NewValues();
    }
    ~Soak() {
        m_ctrl->CleanupDevice();
        DestroyDeviceCtrl(m_ctrl);
    }

    void Step(uint64_t call) {
        // New values only while no answer is on its way: a late answer to the
        // same request carries the values of its time, which no master could
        // tell from a fresh one.
        if (call % 1000 == 0) m_valuesDue = true;
        if (m_valuesDue && m_port.Pending() == 0) {
            NewValues();
            m_valuesDue = false;
        }
        if (call % 97 == 0) {
            WriteWord();
            return;
        }
        m_rtdb.ClearStores();
        int result = m_ctrl->CollectDevData(m_refs.data(), Count());
        ++m_results[result == 0 ? 0 : result == 2 ? 1 : result == 7 ? 2 : 3];
        if (result != 0 && result != 2 && result != 7) Fail("collection result %d", result);
        if (result != 0 && !m_rtdb.Stores().empty()) Fail("a failed call stored %zu values", m_rtdb.Stores().size());
        if (result == 0 && m_rtdb.Stores().empty()) Fail("a successful call stored nothing");
        for (int c : m_rtdb.Stores()) Check(c);
    }

    void Report(uint64_t calls) const {
        std::printf("calls %llu: ok %llu, no answer %llu, wrong answer %llu, writes %llu (failed %llu)\n",
                    static_cast<unsigned long long>(calls), static_cast<unsigned long long>(m_results[0]),
                    static_cast<unsigned long long>(m_results[1]), static_cast<unsigned long long>(m_results[2]),
                    static_cast<unsigned long long>(m_writes), static_cast<unsigned long long>(m_failedWrites));
        for (size_t c = 0; c < m_stored.size(); ++c)
            if (m_stored[c] == 0) Fail("channel %zu was never stored", c);
    }

private:
    int Count() const { return static_cast<int>(m_rows.size()); }

    [[noreturn]] static void Fail(const char* format, ...) __attribute__((format(printf, 1, 2))) {
        va_list args;
        va_start(args, format);
        std::fprintf(stderr, "soak: ");
        std::vfprintf(stderr, format, args);
        std::fprintf(stderr, "\n");
        va_end(args);
        std::exit(1);
    }
    void Fail(const char* what, size_t channel) const { Fail("%s (channel %zu)", what, channel); }

    void AddFaults() {
        using plcsim::FaultKind;
        const FaultKind kinds[] = {FaultKind::NoAnswer,    FaultKind::BadCrc, FaultKind::WrongFunction,
                                   FaultKind::ShortAnswer, FaultKind::Split,  FaultKind::Delay,
                                   FaultKind::Byte5B};
        for (FaultKind kind : kinds) {
            plcsim::FaultRule rule;
            rule.kind = kind;
            rule.rate = 0.01;
            rule.delayMs = 40;  // within the wait time of 100 ms
            rule.gapMs = 5;
            if (std::getenv("SOAK_LATE_ONLY") == nullptr) m_plc.AddFault(rule);
        }
        // An answer that comes after the wait time, while the driver has
        // given up on it: it must not be taken for the answer to a later
        // request.
        plcsim::FaultRule late;
        late.kind = FaultKind::Delay;
        late.rate = 0.002;
        late.delayMs = 250;
        m_plc.AddFault(late);
    }

    // Fresh element values for every channel, as the PLC's program would
    // change them, each representable in its channel's type.
    void NewValues() {
        auto word = [this] { return static_cast<uint16_t>(m_random()); };
        for (uint32_t a = 0; a < 2; ++a) m_plc.Set("D", a, word());
        m_plc.Set("D", 2, Bcd(m_random() % 10000));
        for (uint32_t a = 3; a < 7; ++a) m_plc.Set("D", a, word());
        m_plc.Set("D", 7, Bcd(m_random() % 10000));
        m_plc.Set("D", 8, Bcd(m_random() % 10000));
        auto setFloat = [this](const char* area, uint32_t a) {
            float f = static_cast<float>(static_cast<int32_t>(m_random()) / 1024.0);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            m_plc.Set(area, a, static_cast<uint16_t>(bits >> 16));
            m_plc.Set(area, a + 1, static_cast<uint16_t>(bits));
        };
        setFloat("D", 9);
        setFloat("FD", 4);
        for (uint32_t a = 11; a < 19; ++a) m_plc.Set("D", a, word());
        double d = static_cast<double>(static_cast<int64_t>(m_random())) / 3.0;
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        for (uint32_t i = 0; i < 4; ++i) m_plc.Set("D", 19 + i, static_cast<uint16_t>(bits >> (48 - 16 * i)));
        for (uint32_t i = 0; i < 2; ++i)  // printable text, two characters a word
            m_plc.Set("D", 23 + i, static_cast<uint16_t>((0x41 + m_random() % 26) << 8 | (0x61 + m_random() % 26)));
        m_plc.Set("D", 30, word());
        for (uint32_t a : {0u, 1u, 9u}) m_plc.Set("M", a, static_cast<uint16_t>(m_random() & 1));
        m_plc.Set("D", 1000, word());
    }

    uint32_t D32(const char* area, uint32_t a) const {
        return static_cast<uint32_t>(m_plc.Get(area, a)) << 16 | m_plc.Get(area, a + 1);
    }
    uint64_t D64(uint32_t a) const { return static_cast<uint64_t>(D32("D", a)) << 32 | D32("D", a + 2); }
    static double FromBcd(uint64_t bcd) {
        double value = 0;
        for (int shift = 60; shift >= 0; shift -= 4) value = value * 10 + static_cast<double>(bcd >> shift & 0xF);
        return value;
    }

    // What the channel must hold: decoded here from the simulator's memory,
    // independently of the driver.
    Expected Want(size_t c) const {
        const TestRow& row = m_rows[c];
        Expected e;
        uint32_t a = row.address;
        const char* area = row.chlType == 14 ? "D" : row.chlType == 26 ? "FD" : "M";
        switch (row.dataType) {
            case 83:
                e.number = m_plc.Get(area, a);
                break;
            case 84:
                e.number = static_cast<int16_t>(m_plc.Get(area, a));
                break;
            case 85:
                e.number = FromBcd(m_plc.Get(area, a));
                break;
            case 86:
                e.number = D32(area, a);
                break;
            case 87:
                e.number = static_cast<int32_t>(D32(area, a));
                break;
            case 88:
                e.number = FromBcd(D32(area, a));
                break;
            case 89: {
                uint32_t bits = D32(area, a);
                float f;
                std::memcpy(&f, &bits, sizeof f);
                e.number = f;
                break;
            }
            case 90:
                e.number = static_cast<double>(D64(a));
                break;
            case 91:
                e.number = static_cast<double>(static_cast<int64_t>(D64(a)));
                break;
            case 93: {
                uint64_t bits = D64(a);
                std::memcpy(&e.number, &bits, sizeof e.number);
                break;
            }
            case 131:
                e.text = true;
                for (uint32_t i = 0; i < row.bit / 2; ++i) {
                    uint16_t w = m_plc.Get(area, a + i);
                    e.str += static_cast<char>(w >> 8);
                    e.str += static_cast<char>(w & 0xFF);
                }
                break;
            case 20:
                e.number = m_plc.Get(area, a);
                break;
            default:
                e.number = m_plc.Get(area, a) >> row.dataType & 1;
                break;  // bit n of a word
        }
        return e;
    }

    void Check(int channel) {
        size_t c = static_cast<size_t>(channel);
        if (c >= m_rows.size()) Fail("stored channel out of the table", c);
        ++m_stored[c];
        Expected e = Want(c);
        const MemoryRtdb::Value& v = m_rtdb.Channel(channel);
        if (e.text ? v.s != e.str : v.d != e.number) {
            Fail("channel %zu holds %.17g \"%s\", the PLC %.17g \"%s\"", c, v.d, v.s.c_str(), e.number, e.str.c_str());
        }
    }

    // Channel 0 (D0, 16-bit unsigned) written with a new value: the PLC must
    // hold it after a success, and the old or the new one after a failure
    // (the answer may be lost after the write was carried out).
    void WriteWord() {
        uint16_t before = m_plc.Get("D", 0);
        int value = static_cast<int>(m_random() & 0xFFFF);
        int result = m_ctrl->WriteChannel(0, DATATYPE_INT, &value);
        uint16_t after = m_plc.Get("D", 0);
        ++m_writes;
        if (result != 0) ++m_failedWrites;
        if (result == 0 ? after != value : after != value && after != before)
            Fail("write result %d, D0 %u (before %u, written %d)", result, after, before, value);
    }

    std::mt19937_64 m_random;
    plcsim::Plc m_plc;
    plcsim::LoopbackPort m_port;
    MemoryRtdb m_rtdb;
    IDeviceCtrl* m_ctrl = nullptr;
    std::vector<TestRow> m_rows;
    std::vector<int> m_refs;
    std::vector<uint64_t> m_stored;
    uint64_t m_results[4] = {0, 0, 0, 0};
    uint64_t m_writes = 0;
    bool m_valuesDue = false;
    uint64_t m_failedWrites = 0;
};

}  // namespace

int main(int argc, char** argv) {
    uint64_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    ZevoClockHooks hooks{&Tick, &Sleep, nullptr};
    ZevoHost_SetClock(&hooks);
    long startKb = ResidentKb();
    long warmKb = startKb;
    {
        Soak soak(seed);
        for (uint64_t call = 1; call <= calls; ++call) {
            soak.Step(call);
            if (call == 1000) warmKb = ResidentKb();
        }
        long endKb = ResidentKb();
        std::printf("resident: %ld KiB at start, %ld KiB after 1000 calls, %ld KiB at the end\n", startKb, warmKb,
                    endKb);
        soak.Report(calls);
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer holds freed memory back (its quarantine), so
        // the resident size grows without a leak; run with
        // ASAN_OPTIONS=quarantine_size_mb=0 to check it there.
        const bool quarantine = std::getenv("ASAN_OPTIONS") == nullptr ||
                                std::strstr(std::getenv("ASAN_OPTIONS"), "quarantine_size_mb=0") == nullptr;
#else
        const bool quarantine = false;
#endif
        if (calls > 1000 && endKb - warmKb > 1024 && !quarantine) {
            std::fprintf(stderr, "soak: resident size grew by %ld KiB\n", endKb - warmKb);
            return 1;
        }
    }
    ZevoHost_SetClock(nullptr);
    std::printf("soak passed\n");
    return 0;
}
