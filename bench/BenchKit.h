// Shared pieces of the benchmark programs: a port that answers every request
// at once from a prepared answer, a database that stores channels in flat
// arrays, and the channel tables the benchmarks run on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Blob.h"
#include "DeviceRecord.h"
#include "MemoryRtdb.h"
#include "plcsim/QueuePort.h"

using ByteVector = std::vector<uint8_t>;

// Every write is one request; the following reads deliver the fixed answer,
// all of it arrived at once, by the queue port's read modes (stop characters
// included). Nothing more ever comes, so reads never wait. No allocation per
// call once the answer has been queued the first time.
class InstantPort : public plcsim::QueuePort {
public:
    InstantPort() : QueuePort("instant") { SetWaits(false); }
    // A fixed answer for every request.
    void SetAnswer(const ByteVector& answer) { m_answer = answer; }
    uint64_t Requests() const { return m_requests; }
    const ByteVector& LastRequest() const { return m_lastRequest; }

    int Flush() override { return 0; }

protected:
    void Written(const uint8_t* data, size_t size) override;

private:
    ByteVector m_answer;
    ByteVector m_lastRequest;
    uint64_t m_requests = 0;
};

// Channels in flat arrays (types declared up front); named variables as in
// MemoryRtdb. Storing a channel allocates nothing.
class FlatRtdb : public MemoryRtdb {
public:
    explicit FlatRtdb(int channels)
        : m_types(static_cast<size_t>(channels), DATATYPE_DOUBLE), m_values(static_cast<size_t>(channels), 0.0) {}
    void SetType(int channel, DATATYPE type) { m_types[static_cast<size_t>(channel)] = type; }
    double Value(int channel) const { return m_values[static_cast<size_t>(channel)]; }
    uint64_t StoreCount() const { return m_storeCount; }
    const std::string& LastText() const { return m_lastText; }

    int GetValueTypeByChannel(int channel, DATATYPE& type) override;
    int SetValueByChannel(int channel, int value) override;
    int SetValueByChannel(int channel, double value) override;
    int SetValueByChannel(int channel, std::string& value) override;

private:
    bool Known(int channel) const { return channel >= 0 && static_cast<size_t>(channel) < m_types.size(); }
    std::vector<DATATYPE> m_types;
    std::vector<double> m_values;
    std::string m_lastText;
    uint64_t m_storeCount = 0;
};

// One block of exactly 115 words of D (channel type 14) from D0 with rows of
// every word data type: a 10-byte string, then 16-, 32- and 64-bit integers,
// BCD, floats, doubles and bits of words, then 16-bit rows to fill it up.
std::vector<TestRow> MixedRows115();
// A plausible answer to the read of MixedRows115 (station 1, CRC low byte
// first): 230 data bytes.
ByteVector MixedAnswer115();

// count rows over several areas (D words of mixed widths, M bits, holes of a
// few elements), as a large device's table.
std::vector<TestRow> LargeRows(int count);

// A controller of the statically linked driver with its port and database,
// configured with the given rows (every channel in use) and planned.
class Rig {
public:
    Rig(const std::vector<TestRow>& rows, const ByteVector& answer,
        const std::vector<int32_t>& properties = DefaultProperties());

    // One collection step, as the host makes it; the controller's result.
    int Step() { return m_device.Collect(m_refs); }
    CDevCtrl& Ctrl() { return m_device.Controller(); }
    InstantPort& Port() { return m_port; }
    FlatRtdb& Rtdb() { return m_rtdb; }
    const std::vector<int>& Refs() const { return m_refs; }

private:
    FlatRtdb m_rtdb;
    InstantPort m_port;
    LinkedDevice m_device;
    std::vector<int> m_refs;
};
