#include "plcsim/Crc.h"

#include <array>

namespace plcsim {

namespace {

// Table of the eight shift steps for every byte value.
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b);
        for (int i = 0; i < 8; ++i) crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : crc >> 1;
        table[b] = crc;
    }
    return table;
}
constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

void AppendCrc(std::vector<uint8_t>& frame, CrcOrder order) {
    uint16_t crc = Crc16(frame.data(), frame.size());
    uint8_t low = static_cast<uint8_t>(crc & 0xFFu);
    uint8_t high = static_cast<uint8_t>(crc >> 8);
    frame.push_back(order == CrcOrder::LowFirst ? low : high);
    frame.push_back(order == CrcOrder::LowFirst ? high : low);
}

bool HasValidCrc(const uint8_t* frame, size_t size, CrcOrder order) {
    if (size < 3) return false;
    uint16_t crc = Crc16(frame, size - 2);
    uint8_t first = frame[size - 2];
    uint8_t second = frame[size - 1];
    uint16_t carried = order == CrcOrder::LowFirst ? static_cast<uint16_t>(first | (second << 8))
                                                   : static_cast<uint16_t>((first << 8) | second);
    return crc == carried;
}

}  // namespace plcsim
