// One controller of the built plug-in, loaded with dlopen as a host loads it,
// with an in-memory real-time database of the test's own. The library stays
// loaded for the whole test program; every session creates and destroys its
// own controller through the exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DevResultCodes.h"
#include "IDeviceCtrl.h"
#include "MemoryRtdb.h"

class DriverSession {
public:
    // Creates the controller and announces the database interface version.
    explicit DriverSession(const char* deviceName = "dev1", int rtdbVersion = 2);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // The loader's message when the plug-in could not be loaded; empty if it was.
    static std::string LoadError();

    IDeviceCtrl* Ctrl() { return m_ctrl; }
    MemoryRtdb& Rtdb() { return m_rtdb; }

    int Init(const std::vector<uint8_t>& blob) {
        return m_ctrl->InitDevice(blob.data(), static_cast<int>(blob.size()));
    }
    int UsePort(ICommunication* port) { return m_ctrl->UpdataCommunication(port); }
    // Every channel of 0..count-1 is in use (reference count 1).
    static std::vector<int> AllInUse(int count) { return std::vector<int>(static_cast<size_t>(count), 1); }
    int Collect(const std::vector<int>& refs) {
        return m_ctrl->CollectDevData(refs.data(), static_cast<int>(refs.size()));
    }
    int RefChange(const std::vector<int>& refs) {
        return m_ctrl->ChannelRefChange(refs.data(), static_cast<int>(refs.size()));
    }
    int Write(int channel, int value) {
        int v = value;
        return m_ctrl->WriteChannel(channel, DATATYPE_INT, &v);
    }
    int Write(int channel, double value) {
        double v = value;
        return m_ctrl->WriteChannel(channel, DATATYPE_DOUBLE, &v);
    }
    // A string value goes to the driver as a NUL-terminated text.
    int Write(int channel, const std::string& value) {
        std::vector<char> v(value.begin(), value.end());
        v.push_back('\0');
        return m_ctrl->WriteChannel(channel, DATATYPE_STRING, v.data());
    }
    int IoCtrl(const std::string& command) { return m_ctrl->DevIOCtrl(command.c_str()); }

private:
    MemoryRtdb m_rtdb;
    IDeviceCtrl* m_ctrl = nullptr;
};
