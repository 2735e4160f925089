#include "toolkit/DeviceFile.h"

#include <fstream>
#include <iterator>

namespace toolkit {

namespace {

bool IsToml(const std::string& path) { return path.size() >= 5 && path.compare(path.size() - 5, 5, ".toml") == 0; }

}  // namespace

std::vector<DATATYPE> DeviceFile::ChannelTypes() const {
    std::vector<DATATYPE> types;
    types.reserve(description.rows.size());
    for (const devdesc::Row& r : description.rows) types.push_back(devdesc::ValueType(r));
    return types;
}

SimulatorOptions DeviceFile::Simulator() const {
    const std::vector<int32_t>& p = description.properties;
    SimulatorOptions s;
    s.plc.station = static_cast<uint8_t>(!p.empty() ? p[0] : 0);
    s.plc.crcOrder = p.size() > 7 && p[7] != 0 ? plcsim::CrcOrder::HighFirst : plcsim::CrcOrder::LowFirst;
    s.assignments = description.simulatorSet;
    return s;
}

DeviceFile LoadDeviceFile(const std::string& path) {
    DeviceFile file;
    if (IsToml(path)) {
        file.description = devdesc::LoadToml(path);
        file.blob = devdesc::BuildBlob(file.description);
        return file;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw devdesc::Error(path + ": cannot be read");
    try {
        file.blob.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {  // a read error, e.g. a folder
        throw devdesc::Error(path + ": cannot be read");
    }
    if (in.bad()) throw devdesc::Error(path + ": cannot be read");
    file.description = devdesc::ReadBlob(file.blob, path);
    return file;
}

}  // namespace toolkit
