// Runs a simulated PLC, or a bus of several (see Bus), on a byte stream: the
// master side of a pseudo-terminal (a serial line) or a TCP connection on
// 127.0.0.1 (a serial device server).
//
// Incoming bytes are cut into request frames by their function code's frame
// layout; a frame whose length cannot be told, or that stays incomplete, ends
// at a silence. Answers go out at once, or paced as on a serial line at a baud
// rate: 10 bits a byte, with 3.5 characters of silence before the answer, and
// with the request's own wire time taken into account. With echo, every byte
// that comes in goes straight back out, as on a two-wire RS-485 adapter that
// hears its own transmission, so the client sees its request before the answer.
// A streaming PLC (the "stream" fault) sends its bytes as fast as the line
// takes them, or at the baud rate; the "reset" fault resets a TCP connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "plcsim/Bus.h"
#include "plcsim/Plc.h"

namespace plcsim {

struct ServerOptions {
    unsigned baud = 0;        // pace answers at this rate; 0: as fast as possible
    unsigned silenceMs = 20;  // an incomplete frame ends after this much silence
    FILE* trace = nullptr;    // every request and answer as hex with a time stamp
    bool echo = false;        // send every incoming byte back before any answer
};

class Server {
public:
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    virtual ~Server();

    // Serves on a thread of its own until Stop(); may follow an earlier Stop().
    void Start();
    // Stops serving and joins the thread; also ends Run() on another thread.
    void Stop();
    // Serves on the calling thread until RequestStop() or Stop() (at once
    // when one came before).
    void Run();
    // Asks Run() to return; safe to call from a signal handler.
    void RequestStop() noexcept;

    // Request frames taken from the stream (answered or not).
    uint64_t FramesReceived() const { return m_frames.load(std::memory_order_relaxed); }

protected:
    using Clock = std::chrono::steady_clock;

    Server(Plc& plc, const ServerOptions& options);
    Server(Bus& bus, const ServerOptions& options);

    // Descriptor the bytes come from and go to; -1 while there is none.
    int m_ioFd = -1;
    // Listening socket (TCP); -1 for a pseudo-terminal.
    int m_listenFd = -1;
    std::atomic<bool> m_dropConnection{false};
    void Wake() noexcept;

private:
    explicit Server(const ServerOptions& options);
    void Serve();
    void AcceptClient();
    void CloseClient();
    bool ReadInput();
    void ProcessInput(bool silent);
    void HandleFrame(const uint8_t* frame, size_t size);
    bool SendReply(size_t requestSize);
    bool WriteAll(const uint8_t* data, size_t size);
    // Sends the stream of a streaming PLC: what is due at the baud rate, or a
    // few bytes each turn of the loop.
    void Stream();
    // Resets the TCP connection (a pseudo-terminal stays as it is).
    void ResetClient();
    // Waits until the time or a wake-up; false when a stop was asked for.
    bool WaitUntil(Clock::time_point when);
    void DrainWake();
    void Trace(const char* direction, const uint8_t* data, size_t size, const std::string& note);

    Plc* m_plc = nullptr;       // one PLC ...
    Bus* m_bus = nullptr;       // ... or a bus of them
    Plc* m_streamer = nullptr;  // the PLC whose stream goes out, while it streams
    ServerOptions m_options;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_frames{0};  // 32 bits: ARMv5 has no 64-bit atomics
    std::thread m_thread;

    std::vector<uint8_t> m_in;
    Clock::time_point m_firstByte;
    Clock::time_point m_lastByte;
    Reply m_reply;
    std::vector<Clock::time_point> m_due;
    Clock::time_point m_streamAt{};  // when the next stream byte is due (paced)
};

// A pseudo-terminal: clients open SlavePath() as a serial device. The server
// keeps the slave side open itself, so clients may come and go.
class PtyServer final : public Server {
public:
    // Throws std::system_error when no pseudo-terminal can be had.
    explicit PtyServer(Plc& plc, const ServerOptions& options = ServerOptions());
    explicit PtyServer(Bus& bus, const ServerOptions& options = ServerOptions());
    ~PtyServer() override;
    const std::string& SlavePath() const { return m_slavePath; }

private:
    void OpenPty();

    int m_holdFd = -1;
    std::string m_slavePath;
};

// A TCP listener on 127.0.0.1. One client is served at a time; a new
// connection replaces the one before, as on a serial device server.
class TcpServer final : public Server {
public:
    // port 0 takes a free port. Throws std::system_error when it cannot listen.
    explicit TcpServer(Plc& plc, uint16_t port = 0, const ServerOptions& options = ServerOptions());
    explicit TcpServer(Bus& bus, uint16_t port = 0, const ServerOptions& options = ServerOptions());
    ~TcpServer() override;
    uint16_t Port() const { return m_port; }
    // Closes the current client connection (as a broken link would).
    void DropConnection();

private:
    void Listen(uint16_t port);

    uint16_t m_port = 0;
};

}  // namespace plcsim
