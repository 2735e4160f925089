// The simulated PLC: element memory and the PLC's side of the protocol.
//
// Private functions (area code, 24-bit address, 16-bit count):
//   0x1E read bits   -> station, 0x1E, byte count, bits packed least significant first, CRC
//   0x20 read words  -> station, 0x20, byte count, big-endian words, CRC
//   0x1F write bits, 0x21 write words -> station, function, area, address, count, CRC (10 bytes)
// Standard Modbus RTU functions on the same memory, M as coils and D as holding
// registers, both from address 0: 0x01, 0x03, 0x05, 0x06, 0x0F, 0x10.
//
// The PLC answers only its own station and stays silent on a bad CRC. A request
// it cannot serve gets an exception answer: station, function | 0x80, code, CRC,
// with code 1 for an unknown function, 2 for an unknown area or an address
// range beyond the area, 3 for a bad count, byte count or frame length.
//
// All members may be called from several threads (servers answer on their own
// thread while tests set and inspect elements).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "plcsim/Areas.h"
#include "plcsim/Crc.h"
#include "plcsim/Faults.h"
#include "plcsim/Memory.h"

namespace plcsim {

enum class Drop : uint8_t {
    None,          // answered (or deliberately not, see Reply::faults)
    TooShort,      // fewer than 4 bytes: no frame
    OtherStation,  // addressed to another station
    BadCrc,        // CRC does not match
};

// What the PLC sends back for one request, and how.
struct Reply {
    std::vector<uint8_t> bytes;  // the answer; empty: none
    unsigned delayMs = 0;        // pause before the first byte
    size_t chunkSize = 0;        // 0: in one piece; else bytes per chunk
    unsigned gapMs = 0;          // pause between chunks
    unsigned faults = 0;         // bit (1 << FaultKind) for every fault applied
    Drop drop = Drop::None;
    uint64_t request = 0;  // number of the request (0 when dropped)

    bool Has(FaultKind kind) const { return (faults & (1u << static_cast<unsigned>(kind))) != 0; }
    // No answer yet, nothing applied (the bytes keep their capacity).
    void Clear() {
        bytes.clear();
        delayMs = 0;
        chunkSize = 0;
        gapMs = 0;
        faults = 0;
        drop = Drop::None;
        request = 0;
    }
};

// Faults of the line (stream, reset): the servers and the in-process port play
// them; the request is not carried out and gets no answer bytes.
constexpr bool IsLineFault(FaultKind kind) { return kind == FaultKind::Stream || kind == FaultKind::Reset; }

// Exception codes.
constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalAddress = 0x02;
constexpr uint8_t kIllegalValue = 0x03;

// Length of the request frame that starts the bytes, judged by its function
// code: 0 while more bytes are needed to tell, kUnknownLength for a function
// whose frames the PLC cannot measure (such a frame ends at a silence).
constexpr size_t kUnknownLength = static_cast<size_t>(-1);
size_t RequestLength(const uint8_t* data, size_t size);

class Plc {
public:
    struct Settings {
        uint8_t station = 1;
        CrcOrder crcOrder = CrcOrder::LowFirst;
        uint64_t seed = 1;  // of the fault rates
    };

    Plc();
    explicit Plc(const Settings& settings);
    Plc(const Plc&) = delete;
    Plc& operator=(const Plc&) = delete;

    void SetStation(uint8_t station);
    uint8_t Station() const;
    void SetCrcOrder(CrcOrder order);
    CrcOrder GetCrcOrder() const;
    // Restarts the random sequence of the fault rates.
    void SetSeed(uint64_t seed);

    // Elements by area name ("D", case ignored) or area code (0x80) and
    // address. Bit areas hold 0 or 1 (any other value sets 1). An unknown area
    // throws std::invalid_argument, an address beyond 24 bits std::out_of_range.
    void Set(std::string_view area, uint32_t address, uint16_t value);
    void Set(uint8_t areaCode, uint32_t address, uint16_t value);
    uint16_t Get(std::string_view area, uint32_t address) const;
    uint16_t Get(uint8_t areaCode, uint32_t address) const;
    // Consecutive elements from address on.
    void SetRange(std::string_view area, uint32_t address, const std::vector<uint16_t>& values);
    std::vector<uint16_t> GetRange(std::string_view area, uint32_t address, uint32_t count) const;
    // "D100=1234", "M5=1", "D10=1,2,0x30,-1" (consecutive elements; values
    // -32768..65535, decimal or 0x hexadecimal). Throws std::invalid_argument
    // with a message on bad text.
    void Assign(std::string_view assignment);
    void ClearMemory();

    void AddFault(const FaultRule& rule);
    // Also ends a stream.
    void ClearFaults();

    // True from a request hit by a "stream" fault until a request that none
    // hits, or until ClearFaults().
    bool Streaming() const;
    // Calls send() under the PLC's lock while it streams, so that no stream
    // byte goes out once ClearFaults() has returned; false when it does not
    // stream. send() must not call the PLC.
    template <class Send>
    bool WhileStreaming(Send&& send) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_streaming) return false;
        send();
        return true;
    }

    // Requests addressed to this PLC with a valid CRC so far.
    uint64_t RequestCount() const;
    void ResetRequestCount();

    // Answers one complete request frame (CRC included). The reply's bytes
    // reuse their storage, so a Reply kept across calls does not allocate.
    void Handle(const uint8_t* request, size_t size, Reply& reply);
    // The answer bytes alone (timing faults, delay and chunks, are left out).
    std::vector<uint8_t> Handle(const std::vector<uint8_t>& request);

private:
    const Area& AreaByName(std::string_view name) const;
    const Area& AreaByCode(uint8_t code) const;
    void Answer(const uint8_t* request, size_t size, std::vector<uint8_t>& out);
    void Exception(const uint8_t* request, uint8_t code, std::vector<uint8_t>& out) const;
    void ReadInto(const Area& area, uint32_t address, uint32_t count, std::vector<uint8_t>& out) const;
    void WriteFrom(const Area& area, uint32_t address, uint32_t count, const uint8_t* data);
    // Applies the line faults; true when one hit (the request then stays undone).
    bool LineFault(uint8_t function, Reply& reply);
    void ApplyFaults(uint8_t function, Reply& reply);
    bool Roll(double rate);
    void Seal(std::vector<uint8_t>& out) const { AppendCrc(out, m_crcOrder); }

    mutable std::mutex m_mutex;
    uint8_t m_station;
    CrcOrder m_crcOrder;
    std::mt19937_64 m_random;
    Memory m_memory;
    std::vector<FaultRule> m_faults;
    uint64_t m_requests = 0;
    bool m_streaming = false;
};

}  // namespace plcsim
