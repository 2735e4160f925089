// CRC-16 of Modbus RTU: initial value 0xFFFF, reflected polynomial 0xA001,
// no final XOR. On the wire the two bytes go low byte first (the standard) or,
// for PLCs set up that way, high byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plcsim {

enum class CrcOrder { LowFirst, HighFirst };

uint16_t Crc16(const uint8_t* data, size_t size);
// Appends the CRC of all bytes of the frame.
void AppendCrc(std::vector<uint8_t>& frame, CrcOrder order);
// Whether the last two bytes are the CRC of the bytes before them.
bool HasValidCrc(const uint8_t* frame, size_t size, CrcOrder order);

}  // namespace plcsim
