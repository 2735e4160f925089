// The PLC's element areas: 14 bit areas and 15 word areas, each addressed in
// requests by a one-byte area code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace plcsim {

struct Area {
    const char* name;   // "M", "D", "HSCD", ...
    uint8_t code;       // area code in requests
    bool isBit;         // bit area (else 16-bit words)
    uint16_t maxCount;  // most elements that one request may read or write
    uint8_t index;      // position in AreaTable()
};

constexpr size_t kAreaCount = 29;
// Highest element address: requests carry 24-bit addresses.
constexpr uint32_t kMaxAddress = 0xFFFFFF;

const std::array<Area, kAreaCount>& AreaTable();
// By name, ignoring letter case; null when there is no such area.
const Area* FindArea(std::string_view name);
// By area code; null when no area has this code.
const Area* FindArea(uint8_t code);

struct Element {
    const Area* area;
    uint32_t address;
};

// An element name such as "D100" or "hscd12": an area name followed by a
// decimal address. Empty when the text names no element.
std::optional<Element> ParseElement(std::string_view text);

}  // namespace plcsim
