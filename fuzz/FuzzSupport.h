// Helpers shared by the fuzzers: a reader over the fuzz input, and a
// controller of the driver (linked statically) with an in-memory database,
// a scripted port and a fake clock, so that every wait costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Blob.h"
#include "Dev.h"
#include "DeviceRecord.h"
#include "FakeClock.h"
#include "MemoryRtdb.h"
#include "ScriptedPort.h"

// Takes values from the front of the fuzz input; past its end every value is 0
// and every run empty.
class FuzzReader {
public:
    FuzzReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    size_t Left() const { return m_size - m_pos; }
    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() << 8 | U8()); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
    Bytes Run(size_t n) {
        if (n > Left()) n = Left();
        Bytes out(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return out;
    }
    Bytes Rest() { return Run(Left()); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// One controller through the exports, as the host drives it.
class FuzzDevice {
public:
    FuzzDevice() : m_device("fuzz", &m_rtdb, &m_port) {}

    IDeviceCtrl* Ctrl() { return m_device.Ctrl(); }
    MemoryRtdb& Rtdb() { return m_rtdb; }
    ScriptedPort& Port() { return m_port; }
    int Init(const std::vector<uint8_t>& blob) { return m_device.Init(blob); }
    // Rows of the channel table read from the configuration (0 without one).
    int RowCount() {
        ZEVO_DATA& data = m_device.Record();
        return data.pDevData != nullptr && data.pDevData->pTable != nullptr ? data.pDevData->pTable->GetRowCount() : 0;
    }

private:
    FakeClock m_clock;
    MemoryRtdb m_rtdb;
    ScriptedPort m_port;
    LinkedDevice m_device;
};
