// An in-memory port over a timed byte queue: bytes are queued with the time
// each one arrives, and the reads take them by the contract of the host's
// ports (HostPorts.h):
// - ReadLength returns once *length bytes have arrived, or at the timeout
//   with what has come;
// - ReadAvailable waits at most the timeout for a first byte, returns what
//   has arrived (up to *length) and leaves in *length how many more have;
// - ReadUntilChar stops after a stop character (kept; 0 is never one),
//   *length bytes or the timeout; the bytes after it stay queued;
// - ClearInBuffer drops what has arrived.
// Time is the host layer's clock (Zevo_GetTickCount, Zevo_Sleep), so under a
// fake clock every wait costs nothing. The doubles of the tests, the bench
// and the in-process simulator are thin layers on it: they decide what a
// written request brings and when. Reading and writing allocate nothing once
// the queue has grown to its working size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ICommunication.h"

namespace plcsim {

class QueuePort : public ICommunication {
public:
    explicit QueuePort(const char* name = "queue", int portType = 1);

    int Open() override { return 0; }
    int Close() override { return 0; }
    int IsOpen() override { return 1; }
    int SetTimeouts(unsigned int, unsigned int) override { return 0; }
    int GetLastError() override { return 0; }
    const char* GetPortName() override { return m_name.c_str(); }
    int Flush() override { return ClearInBuffer(); }
    int Configure(const char*) override { return 0; }

    // Passes the request to Written() and reports every byte written.
    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override;
    int SetDeviceName(const char* name) override;
    int GetPortType() override { return m_portType; }

    void SetPortType(int type) { m_portType = type; }
    const std::string& DeviceName() const { return m_deviceName; }

    // Queues bytes that arrive from atUs on (microseconds of the host clock):
    // byte k at atUs + (k + 1) * byteUs, all at atUs when byteUs is 0.
    void Arrive(const uint8_t* data, size_t size, uint64_t atUs, uint64_t byteUs = 0);
    // Drops every queued byte, arrived or not.
    void DropAll();
    // Queued bytes not read yet (arrived or still on their way).
    size_t Queued() const { return m_bytes.size() - m_pos; }
    // Queued bytes that have arrived by the time.
    size_t ArrivedBy(uint64_t nowUs) const;

    static uint64_t NowUs();

protected:
    // One written request (the count it reports is the length asked).
    virtual void Written(const uint8_t* data, size_t size) = 0;
    // Called at the start of each read that asks for max (> 0) bytes; a layer
    // may queue what this read is to see.
    virtual void BeforeRead(int max) { (void)max; }
    // Reads wait for bytes still on their way (the default); a port whose
    // answers are all there at once, or never, returns at once instead.
    void SetWaits(bool waits) { m_waits = waits; }

private:
    struct Run {
        size_t begin, end;  // of m_bytes
        uint64_t atUs, byteUs;
        uint64_t DueUs(size_t index) const { return atUs + (index - begin + 1) * byteUs; }
    };

    // Moves arrived bytes into the buffer, up to max, stopping after a stop
    // character; with untilFull waits at most the timeout for max bytes,
    // without it returns as soon as something came.
    int Deliver(unsigned char* buffer, int max, const char* stopChars, unsigned int timeoutMs, bool untilFull);
    // Arrival time of the byte at m_pos; m_pos < m_bytes.size().
    uint64_t NextDueUs() const;
    void Compact();

    std::vector<uint8_t> m_bytes;
    std::vector<Run> m_runs;
    size_t m_pos = 0;
    size_t m_run = 0;  // run of m_pos
    bool m_waits = true;
    int m_portType;
    std::string m_name;
    std::string m_deviceName;
};

}  // namespace plcsim
