// An in-process port to a simulated PLC, for driving the driver without a
// pseudo-terminal: every WriteBytes call is one request frame, handed straight
// to the PLC; reads deliver the answer bytes as the reply's timing (delay,
// chunks with gaps, pacing at a baud rate) lets them arrive. Time is the host
// layer's clock (Zevo_GetTickCount, Zevo_Sleep), so under a fake clock the
// waits cost nothing and a silent PLC still costs the read timeout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ICommunication.h"
#include "plcsim/Plc.h"

namespace plcsim {

class LoopbackPort : public ICommunication {
public:
    explicit LoopbackPort(Plc& plc, unsigned baud = 0);

    int Open() override { return 0; }
    int Close() override { return 0; }
    int IsOpen() override { return 1; }
    int SetTimeouts(unsigned int, unsigned int) override { return 0; }
    int GetLastError() override { return 0; }
    const char* GetPortName() override { return "loopback"; }
    int Flush() override { return ClearInBuffer(); }
    int Configure(const char*) override { return 0; }

    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override;
    int SetDeviceName(const char* name) override;
    int GetPortType() override { return 1; }

    const std::string& DeviceName() const { return m_deviceName; }
    uint64_t WriteCount() const { return m_writes; }
    // Answer bytes not read yet (arrived or still on their way).
    size_t Pending() const { return m_bytes.size() - m_pos; }

private:
    // Moves arrived bytes into buffer, up to max, stopping after a stop
    // character; waits at most timeoutMs for as many as wanted.
    int Deliver(unsigned char* buffer, int max, const char* stopChars, unsigned int timeoutMs, bool untilFull);

    Plc& m_plc;
    unsigned m_baud;
    Reply m_reply;
    std::vector<uint8_t> m_bytes;   // answers queued
    std::vector<uint64_t> m_dueUs;  // arrival time of each, in microseconds of the host clock
    size_t m_pos = 0;
    uint64_t m_writes = 0;
    std::string m_deviceName;
};

}  // namespace plcsim
