// A simulated multi-drop bus: several PLCs on one line, each with its own
// station address, memory, CRC order and faults. A request goes to the PLC
// whose station its first byte names; a request for a station that is not on
// the bus stays unanswered, as on a real line.
//
// Stations are added before the bus is served; the PLCs themselves may be set
// and inspected from any thread while it is (see Plc). A member's station is
// the one it was added with: do not change it with Plc::SetStation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "plcsim/Plc.h"

namespace plcsim {

class Bus {
public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Adds a PLC at settings.station; throws std::invalid_argument when that
    // station is already on the bus. The reference stays valid while the bus
    // lives.
    Plc& Add(const Plc::Settings& settings);
    Plc& Add(uint8_t station);
    // The PLC of a station, or null when the station is not on the bus.
    Plc* Find(uint8_t station);
    // The same; throws std::out_of_range when the station is not on the bus.
    Plc& At(uint8_t station);
    // Station addresses in the order they were added.
    std::vector<uint8_t> Stations() const;
    size_t Size() const;

    // Hands the request to the PLC of its station. A request for an absent
    // station leaves the reply empty with Drop::OtherStation; one shorter than
    // 4 bytes with Drop::TooShort.
    void Handle(const uint8_t* request, size_t size, Reply& reply);
    // The answer bytes alone (timing faults, delay and chunks, are left out).
    std::vector<uint8_t> Handle(const std::vector<uint8_t>& request);

private:
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Plc>> m_plcs;  // in the order added
    std::array<Plc*, 256> m_byStation{};       // null: no PLC at that station
};

}  // namespace plcsim
