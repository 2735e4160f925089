// A device's configuration from a file, as a host hands it to a controller:
// a TOML description (built into the blob) or a configuration blob (.bin,
// read back into its channel rows). Native builds only: descriptions are
// read with toml++.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceDescription.h"
#include "toolkit/PortFactory.h"

namespace toolkit {

struct DeviceFile {
    devdesc::Description description;
    std::vector<uint8_t> blob;

    // The database type of each channel, channel index = row index.
    std::vector<DATATYPE> ChannelTypes() const;
    // A simulated PLC as the device expects it: its station and CRC order,
    // and the description's [simulator] values.
    SimulatorOptions Simulator() const;
};

// Reads a .toml description or any other file as a blob; throws devdesc::Error.
DeviceFile LoadDeviceFile(const std::string& path);

}  // namespace toolkit
