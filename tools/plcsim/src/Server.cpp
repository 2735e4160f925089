#include "plcsim/Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

namespace plcsim {

namespace {

std::system_error SystemError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string FaultNote(const Reply& reply) {
    std::string note;
    for (int i = 0; i < kFaultKindCount; ++i) {
        if ((reply.faults & (1u << i)) == 0) continue;
        note += note.empty() ? "fault: " : ", ";
        note += FaultName(static_cast<FaultKind>(i));
    }
    return note;
}

}  // namespace

Server::Server(Plc& plc, const ServerOptions& options) : Server(options) { m_plc = &plc; }

Server::Server(Bus& bus, const ServerOptions& options) : Server(options) { m_bus = &bus; }

Server::Server(const ServerOptions& options) : m_options(options) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw SystemError("pipe2");
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
    m_reply.bytes.reserve(512);
    m_in.reserve(512);
}

Server::~Server() {
    Stop();
    CloseFd(m_wakeRead);
    CloseFd(m_wakeWrite);
}

void Server::Start() {
    if (m_thread.joinable()) return;
    m_stop.store(false);
    m_thread = std::thread([this] { Serve(); });
}

void Server::Stop() {
    RequestStop();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void Server::Run() { Serve(); }

void Server::RequestStop() noexcept {
    m_stop.store(true);
    Wake();
}

void Server::Wake() noexcept {
    if (m_wakeWrite < 0) return;
    const char c = 1;
    ssize_t ignored = ::write(m_wakeWrite, &c, 1);  // a full pipe wakes the loop just as well
    (void)ignored;
}

void Server::DrainWake() {
    char buf[64];
    while (::read(m_wakeRead, buf, sizeof buf) > 0) {
    }
}

bool Server::WaitUntil(Clock::time_point when) {
    while (!m_stop.load()) {
        auto now = Clock::now();
        if (now >= when) return true;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - now);
        timespec ts;
        ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
        pollfd p{m_wakeRead, POLLIN, 0};
        if (::ppoll(&p, 1, &ts, nullptr) > 0) DrainWake();
    }
    return false;
}

void Server::Serve() {
    while (!m_stop.load()) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {m_wakeRead, POLLIN, 0};
        int listenAt = -1, ioAt = -1;
        if (m_listenFd >= 0) {
            listenAt = static_cast<int>(n);
            fds[n++] = {m_listenFd, POLLIN, 0};
        }
        if (m_ioFd >= 0) {
            ioAt = static_cast<int>(n);
            fds[n++] = {m_ioFd, POLLIN, 0};
        }
        int timeoutMs = -1;
        if (!m_in.empty()) {
            auto end = m_lastByte + std::chrono::milliseconds(m_options.silenceMs);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count() + 1;
            timeoutMs = left > 0 ? static_cast<int>(left) : 0;
        }
        const bool streaming = m_ioFd >= 0 && m_streamer != nullptr && m_streamer->Streaming();
        if (streaming && (timeoutMs < 0 || timeoutMs > 1)) timeoutMs = 1;
        if (!streaming) m_streamAt = Clock::time_point();
        int ready = ::poll(fds, n, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) DrainWake();
        if (m_stop.load()) break;
        if (m_dropConnection.exchange(false)) CloseClient();
        if (listenAt >= 0 && (fds[listenAt].revents & POLLIN) != 0) AcceptClient();
        if (ioAt >= 0 && m_ioFd >= 0 && fds[ioAt].revents != 0 && !ReadInput()) continue;
        bool silent = !m_in.empty() && Clock::now() - m_lastByte >= std::chrono::milliseconds(m_options.silenceMs);
        ProcessInput(silent);
        if (streaming) Stream();
    }
}

void Server::Stream() {
    if (m_ioFd < 0) return;
    uint8_t bytes[64];
    size_t n = sizeof bytes;
    const Clock::time_point now = Clock::now();
    if (m_options.baud > 0) {
        // As many bytes as the line has carried since the last ones.
        const std::chrono::nanoseconds byteTime(10000000000LL / m_options.baud);
        if (m_streamAt == Clock::time_point()) m_streamAt = now;
        auto due = (now - m_streamAt) / byteTime;
        n = due < static_cast<long long>(sizeof bytes) ? static_cast<size_t>(due) : sizeof bytes;
        m_streamAt += byteTime * static_cast<long long>(n);
        if (n == 0) return;
    }
    for (size_t i = 0; i < n; ++i) bytes[i] = kStreamByte;
    bool broken = false;
    m_streamer->WhileStreaming([&] {
        // What the line does not take now is dropped; a stream has no end to wait for.
        ssize_t sent = m_listenFd >= 0 ? ::send(m_ioFd, bytes, n, MSG_NOSIGNAL) : ::write(m_ioFd, bytes, n);
        broken = sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    });
    if (broken) CloseClient();
}

void Server::ResetClient() {
    if (m_listenFd < 0 || m_ioFd < 0) return;
    // Closing with a zero linger time sends a reset, not an orderly end.
    linger hard{1, 0};
    ::setsockopt(m_ioFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseClient();
}

void Server::AcceptClient() {
    int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    CloseClient();
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_ioFd = fd;
}

void Server::CloseClient() {
    if (m_listenFd < 0) return;  // a pseudo-terminal stays
    CloseFd(m_ioFd);
    m_in.clear();
}

bool Server::ReadInput() {
    uint8_t buf[1024];
    while (true) {
        ssize_t n = ::read(m_ioFd, buf, sizeof buf);
        if (n > 0) {
            auto now = Clock::now();
            if (m_in.empty()) m_firstByte = now;
            m_lastByte = now;
            m_in.insert(m_in.end(), buf, buf + n);
            if (m_options.echo && !WriteAll(buf, static_cast<size_t>(n))) return false;
            if (static_cast<size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // End of the connection, or an error on it.
        if (m_listenFd >= 0) {
            CloseClient();
            return false;
        }
        return true;
    }
}

void Server::ProcessInput(bool silent) {
    size_t pos = 0;
    while (pos < m_in.size() && !m_stop.load()) {
        const uint8_t* p = m_in.data() + pos;
        size_t avail = m_in.size() - pos;
        size_t len = RequestLength(p, avail);
        if (len == 0 || len == kUnknownLength || len > avail) {
            if (!silent) break;
            len = avail;  // the frame ended at the silence
        }
        HandleFrame(p, len);
        if (m_ioFd < 0) return;  // the connection broke while answering
        if (m_reply.drop == Drop::BadCrc) {
            // Out of step: drop everything up to the next silence.
            pos = m_in.size();
            break;
        }
        pos += len;
        m_firstByte = m_lastByte;
    }
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(pos));
}

void Server::HandleFrame(const uint8_t* frame, size_t size) {
    m_frames.fetch_add(1, std::memory_order_relaxed);
    if (m_bus != nullptr)
        m_bus->Handle(frame, size, m_reply);
    else
        m_plc->Handle(frame, size, m_reply);
    if (m_options.trace != nullptr) {
        std::string note;
        switch (m_reply.drop) {
            case Drop::TooShort:
                note = "no answer: too short";
                break;
            case Drop::OtherStation:
                note = "no answer: another station";
                break;
            case Drop::BadCrc:
                note = "no answer: bad CRC";
                break;
            case Drop::None:
                if (m_reply.bytes.empty()) note = FaultNote(m_reply);
                break;
        }
        Trace("rx", frame, size, note);
    }
    if (m_reply.Has(FaultKind::Stream)) m_streamer = m_bus != nullptr ? m_bus->Find(frame[0]) : m_plc;
    if (m_reply.Has(FaultKind::Reset)) ResetClient();
    if (!m_reply.bytes.empty() && SendReply(size) && m_options.trace != nullptr)
        Trace("tx", m_reply.bytes.data(), m_reply.bytes.size(), FaultNote(m_reply));
}

bool Server::SendReply(size_t requestSize) {
    const std::vector<uint8_t>& bytes = m_reply.bytes;
    const size_t n = bytes.size();
    using std::chrono::nanoseconds;
    const nanoseconds byteTime(m_options.baud > 0 ? 10000000000LL / m_options.baud : 0);
    Clock::time_point start = m_lastByte;
    if (m_options.baud > 0) {
        Clock::time_point wireEnd = m_firstByte + byteTime * static_cast<long long>(requestSize);
        if (wireEnd > start) start = wireEnd;
        start += byteTime * 7 / 2;
    }
    start += std::chrono::milliseconds(m_reply.delayMs);
    // When each byte has gone out completely.
    m_due.resize(n);
    for (size_t i = 0; i < n; ++i) {
        size_t chunk = m_reply.chunkSize > 0 ? i / m_reply.chunkSize : 0;
        m_due[i] = start + byteTime * static_cast<long long>(m_options.baud > 0 ? i + 1 : 0) +
                   std::chrono::milliseconds(m_reply.gapMs) * static_cast<long long>(chunk);
    }
    size_t pos = 0;
    while (pos < n) {
        auto now = Clock::now();
        size_t end = pos;
        while (end < n && m_due[end] <= now) ++end;
        if (end == pos) {
            if (!WaitUntil(m_due[pos])) return false;
            continue;
        }
        if (!WriteAll(bytes.data() + pos, end - pos)) return false;
        pos = end;
    }
    return true;
}

bool Server::WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        if (m_ioFd < 0 || m_stop.load()) return false;
        ssize_t n = m_listenFd >= 0 ? ::send(m_ioFd, data, size, MSG_NOSIGNAL) : ::write(m_ioFd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fds[2] = {{m_ioFd, POLLOUT, 0}, {m_wakeRead, POLLIN, 0}};
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return false;
            if ((fds[1].revents & POLLIN) != 0) DrainWake();
            continue;
        }
        CloseClient();
        return false;
    }
    return true;
}

void Server::Trace(const char* direction, const uint8_t* data, size_t size, const std::string& note) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    ::localtime_r(&now.tv_sec, &local);
    std::string line;
    char head[48];
    std::snprintf(head, sizeof head, "%02d:%02d:%02d.%06ld %s", local.tm_hour, local.tm_min, local.tm_sec,
                  now.tv_nsec / 1000, direction);
    line = head;
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < size; ++i) {
        line += ' ';
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
    }
    if (!note.empty()) line += "  (" + note + ")";
    line += '\n';
    std::fputs(line.c_str(), m_options.trace);
    std::fflush(m_options.trace);
}

// ---- pseudo-terminal

PtyServer::PtyServer(Plc& plc, const ServerOptions& options) : Server(plc, options) { OpenPty(); }

PtyServer::PtyServer(Bus& bus, const ServerOptions& options) : Server(bus, options) { OpenPty(); }

void PtyServer::OpenPty() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) throw SystemError("posix_openpt");
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        std::system_error e = SystemError("pseudo-terminal");
        ::close(master);
        throw e;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::system_error e = SystemError("open pseudo-terminal slave");
        ::close(master);
        throw e;
    }
    // A serial line carries bytes as they are: no echo, no line editing, no
    // translation of line ends.
    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_ioFd = master;
    m_holdFd = slave;
    m_slavePath = name;
}

PtyServer::~PtyServer() {
    Stop();
    CloseFd(m_ioFd);
    CloseFd(m_holdFd);
}

// ---- TCP

TcpServer::TcpServer(Plc& plc, uint16_t port, const ServerOptions& options) : Server(plc, options) { Listen(port); }

TcpServer::TcpServer(Bus& bus, uint16_t port, const ServerOptions& options) : Server(bus, options) { Listen(port); }

void TcpServer::Listen(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SystemError("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::system_error e = SystemError("listen on 127.0.0.1");
        ::close(fd);
        throw e;
    }
    m_listenFd = fd;
    m_port = ntohs(addr.sin_port);
}

TcpServer::~TcpServer() {
    Stop();
    CloseFd(m_ioFd);
    CloseFd(m_listenFd);
}

void TcpServer::DropConnection() {
    m_dropConnection.store(true);
    Wake();
}

}  // namespace plcsim
