// The site's register map for devgate's Modbus TCP face: every device is a
// unit, every mapped channel a run of coils, discrete inputs, input registers
// or holding registers.
//
// By default the devices take units 1, 2, ... in site order, and on each unit
// the numeric and string channels take holding registers and the bit channels
// coils, in channel order from address 0. A channel takes as many registers
// as its PLC data type needs: 16-bit words 1, 32-bit values 2, 64-bit values
// 4, strings one register for every two characters of their length. In the
// site, per device:
//
//   modbus_unit = 5          # 1..247
//   modbus_others = false    # channels not listed stay unmapped (default: true)
//   [[line.device.modbus]]
//   channel = "temp"         # the channel's name, or its element ("D100")
//   table = "input"          # holding, input, coil or discrete (default: by kind)
//   address = 100            # 0..65535
//
// Channels not listed follow the listed ones: each table's defaults start
// after the highest address listed in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DataType.h"
#include "gateway/Site.h"

namespace gateway {

enum class ModbusTable { Holding, Input, Coil, Discrete };
// "holding", "input", "coil", "discrete"
const char* ModbusTableWord(ModbusTable table);

// A mapped channel.
struct ModbusEntry {
    int unit = 0;
    std::string device;
    int channel = 0;      // the channel's index in the device
    std::string name;     // the channel's name
    std::string element;  // "D100", ...
    std::string kind;     // the PLC data type: "WUB", "DF", "STR", "BIT", ...
    unsigned length = 0;  // strings: characters
    DATATYPE type = DATATYPE_NONE;
    int rw = 2;  // 0 read only, 1 write only, 2 read and write
    ModbusTable table = ModbusTable::Holding;
    unsigned address = 0;
    unsigned count = 1;  // registers or bits
};

struct ModbusMap {
    // By unit, table and address.
    std::vector<ModbusEntry> entries;
    // Every device's unit, in site order: (unit, device).
    std::vector<std::pair<int, std::string>> units;
};

// The register map of the site's devices; adds "file:line: what is wrong"
// to errors for every fault.
ModbusMap BuildModbusMap(const Site& site, std::vector<std::string>& errors);
// The same, or SiteError listing every fault.
ModbusMap ModbusMapOf(const Site& site);

// The number of registers (or bits) a channel of that PLC data type takes.
unsigned ModbusWidth(const std::string& kind, unsigned length);
bool ModbusIsBit(const std::string& kind);

}  // namespace gateway
