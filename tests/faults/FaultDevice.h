// A configured controller of the driver (linked statically, so that its
// table, plan and cursor can be inspected), with an in-memory database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceRecord.h"
#include "MemoryRtdb.h"
#include "plcsim/Plc.h"

// Four channels in three requests: D0 (16-bit unsigned) and D1 (16-bit
// signed) in one, the bit M0 in another, D1000 in a third. Every channel is a
// double in the database.
class FaultDevice {
public:
    explicit FaultDevice(ICommunication* port, int waitMs = 150);
    ~FaultDevice();
    FaultDevice(const FaultDevice&) = delete;
    FaultDevice& operator=(const FaultDevice&) = delete;

    static constexpr int kChannels = 4;
    // The channels' elements in the simulator.
    static void SetValues(plcsim::Plc& plc, uint16_t d0, int16_t d1, uint16_t m0, uint16_t d1000);

    IDeviceCtrl* Ctrl() { return m_device.Ctrl(); }
    MemoryRtdb& Rtdb() { return m_rtdb; }
    int Collect() { return m_device.Collect(m_refs); }
    int RankCount();
    int Cursor();
    // Every row property and every planned block, as text, to compare.
    std::string TableAndPlan();
    // The database value of every channel (kNeverStored for one never stored).
    static constexpr double kNeverStored = -1e9;
    std::vector<double> Stored();
    // What the simulator holds for every channel.
    static std::vector<double> Held(plcsim::Plc& plc);

private:
    MemoryRtdb m_rtdb;
    LinkedDevice m_device;
    std::vector<int> m_refs;
};
