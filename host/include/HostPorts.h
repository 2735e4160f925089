// Real ports of the host layer, as a host gives them to the plug-in: a serial
// line (a tty device or a pseudo-terminal) and a TCP link to a serial device
// server.
//
// Contracts of the reading and writing slots, common to both:
// - WriteBytes writes all bytes within the timeout, going on after partial
//   writes and interrupted calls. It returns the count written (fewer than
//   asked when the timeout ran out) or -1, and leaves that count in *length.
// - ReadLength returns as soon as *length bytes have arrived, or when the
//   timeout runs out with what has come (0 for nothing); -1 on an error.
// - ReadAvailable waits at most the timeout for a first byte, then returns
//   what is there (up to *length) and leaves in *length how many more bytes
//   are waiting (0 when none).
// - ReadUntilChar reads until a stop character (which is kept), *length bytes
//   or the timeout; bytes after the stop character stay for the next read.
//   The stop characters are a NUL-terminated string, so 0 is never one.
// - ClearInBuffer discards the input that has arrived; 0, or -1 when closed.
// A device or peer that vanishes makes the call return what it has (or -1)
// and closes the descriptor; later reads return -1 at once, and the next
// write opens the port again (the serial device, or a new TCP connection).
// GetLastError answers the errno value of the last failure; ErrorText (not
// part of ICommunication) the same as a sentence naming the port.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ICommunication.h"
#include "ZevoHostApi.h"

// What the two ports share: a non-blocking descriptor, waits with poll.
class ZEVO_HOST_API StreamPort : public ICommunication {
public:
    StreamPort(const StreamPort&) = delete;
    StreamPort& operator=(const StreamPort&) = delete;
    ~StreamPort() override;

    int Close() override;
    int IsOpen() override { return m_fd >= 0 ? 1 : 0; }
    // Kept for the host; a TcpPort waits at most the write timeout for a
    // connection in Open() (3000 ms until set).
    int SetTimeouts(unsigned int readMs, unsigned int writeMs) override;
    int GetLastError() override { return m_lastError; }
    // The last failure as text: "PORT: what failed: reason".
    std::string ErrorText() const;
    const char* GetPortName() override { return m_portName.c_str(); }

    int WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) override;
    int ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) override;
    int ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) override;
    int ClearInBuffer() override;
    int SetDeviceName(const char* name) override;

    // The name of the device the plug-in last reported.
    const std::string& DeviceName() const { return m_deviceName; }

protected:
    using Clock = std::chrono::steady_clock;

    StreamPort() = default;

    // Makes sure there is a descriptor to write to, opening the port again
    // after a failure when it is meant to be open; false when there is none.
    virtual bool ReadyToWrite(Clock::time_point deadline) = 0;
    // One write call; the result and errno of write(2).
    virtual long RawWrite(const unsigned char* data, size_t size) = 0;
    // Drops the input that has arrived at the descriptor.
    virtual void DiscardArrived() = 0;

    // The device or peer failed: remember the error and close the descriptor.
    void Broken(int error);
    void CloseDescriptor();
    int Fail(int error);
    void DropReadAhead();

    int m_fd = -1;
    bool m_wantOpen = false;  // Open() was called and Close() not since
    int m_lastError = 0;
    std::string m_errorWhat;  // what failed, when more is known than m_lastError tells
    // The line echoes what is written (a two-wire RS-485 adapter): each write
    // reads back and drops as many bytes as it wrote, within its timeout.
    bool m_echo = false;
    unsigned m_readTimeoutMs = 3000;
    unsigned m_writeTimeoutMs = 3000;
    std::string m_portName;

private:
    // 1 ready (or failed, which the next call finds), 0 timeout, -1 error.
    int WaitFor(short events, Clock::time_point deadline);
    // One read without waiting: the count, 0 when nothing is there, -1 when
    // the device or peer is gone.
    long ReadNow(unsigned char* buffer, size_t size);
    int TakeAhead(unsigned char* buffer, int max);
    // Reads and drops count bytes (the echo of a write) until the deadline.
    void DropEcho(size_t count, Clock::time_point deadline);
    int Waiting();

    std::vector<unsigned char> m_ahead;  // read past a stop character
    size_t m_aheadPos = 0;
    std::string m_deviceName;
};

struct SerialLineSettings {
    unsigned baud = 9600;
    int dataBits = 8;   // 5..8
    char parity = 'N';  // N none, E even, O odd, M mark, S space
    int stopBits = 1;   // 1 or 2
    // Kernel RS-485 direction control (TIOCSRS485: enabled, RTS on send);
    // opening fails on a device that refuses it.
    bool rs485 = false;
    // The line echoes every byte written: writes drop that echo.
    bool echo = false;
};

// A serial line: raw mode, no flow control, the given baud rate, data bits,
// parity and stop bits. GetPortType answers 1.
class ZEVO_HOST_API SerialPort final : public StreamPort {
public:
    using LineSettings = SerialLineSettings;
    // "9600,8,N,1"; the parts after the baud rate may be left out. The words
    // rs485 and echo may follow them, in any order: "9600,8,N,1,rs485,echo",
    // "19200,echo". False on bad text or an unsupported baud rate.
    static bool ParseLineSettings(const char* text, LineSettings& line);

    explicit SerialPort(const std::string& device, const LineSettings& line = LineSettings());

    // Opens and sets up the device; 0, or -1 (see GetLastError).
    int Open() override;
    // Discards unsent output and unread input.
    int Flush() override;
    // New line settings ("9600,8,E,1"), applied at once when open; 0 or -1.
    int Configure(const char* settings) override;
    int GetPortType() override { return 1; }

    const LineSettings& Line() const { return m_line; }

private:
    bool OpenDevice();
    bool ApplyLine(int fd);
    bool ApplyRs485(int fd, bool enable);
    bool ReadyToWrite(Clock::time_point deadline) override;
    long RawWrite(const unsigned char* data, size_t size) override;
    void DiscardArrived() override;

    std::string m_device;
    LineSettings m_line;
};

// A TCP connection to a serial device server ("host:port"), connected again
// after a broken link. GetPortType answers 2.
class ZEVO_HOST_API TcpPort final : public StreamPort {
public:
    explicit TcpPort(const std::string& hostPort);
    TcpPort(const std::string& host, uint16_t port);

    // Connects within the write timeout; 0, or -1 (see GetLastError).
    int Open() override;
    // Discards unread input.
    int Flush() override;
    // A new server ("host:port"); closes the connection, the next write
    // connects to the new one. 0, or -1 on bad text.
    int Configure(const char* hostPort) override;
    int GetPortType() override { return 2; }

    // After a failed connection attempt, writes try again only after this
    // long (1000 ms until set), so that a dead server costs little. The rest
    // after a failure already made is measured with the new value.
    void SetReconnectInterval(unsigned milliseconds) { m_reconnectIntervalMs = milliseconds; }

private:
    static bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port);
    bool Connect(Clock::time_point deadline);
    bool ReadyToWrite(Clock::time_point deadline) override;
    long RawWrite(const unsigned char* data, size_t size) override;
    void DiscardArrived() override;

    std::string m_host;
    uint16_t m_port = 0;
    unsigned m_reconnectIntervalMs = 1000;
    bool m_failed = false;           // the last connection attempt failed ...
    Clock::time_point m_failedAt{};  // ... at this time
};
