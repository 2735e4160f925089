// A configured controller of the driver (linked statically, so that its
// table, plan and cursor can be inspected), with an in-memory database, and a
// peer for the faults the simulator's servers cannot play: a PLC that streams
// bytes without end and a device server that resets the connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Blob.h"
#include "MemoryRtdb.h"
#include "ZevoData.h"
#include "plcsim/Plc.h"
#include "qdevctrl.h"

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

    IDeviceCtrl* Ctrl() { return m_ctrl; }
    MemoryRtdb& Rtdb() { return m_rtdb; }
    int Collect() { return m_ctrl->CollectDevData(m_refs.data(), kChannels); }
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
    IDeviceCtrl* m_ctrl;
    std::vector<int> m_refs;
};

// A peer on a pseudo-terminal master or a TCP listener: answers as the
// simulated PLC, streams 0xAA bytes without end (ignoring what it receives),
// or resets every TCP connection that sends it a byte.
class RawPeer {
public:
    enum class Mode { Answer, Stream, Reset };
    enum class Link { Pty, Tcp };
    RawPeer(plcsim::Plc& plc, Link link);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // The pseudo-terminal's device, or "127.0.0.1:port".
    const std::string& Address() const { return m_address; }
    // Returns once the peer works in the new mode.
    void SetMode(Mode mode);

private:
    void Serve();
    void Answer(int fd);

    plcsim::Plc& m_plc;
    Link m_link;
    int m_fd = -1;      // pty master or listening socket
    int m_client = -1;  // TCP connection
    int m_hold = -1;    // pty slave kept open
    std::string m_address;
    std::vector<uint8_t> m_in;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Mode m_mode = Mode::Answer;
    uint64_t m_asked = 0, m_taken = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
