// The TCP port: a connection to a serial device server, made again after a
// broken link.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "HostPorts.h"

namespace {

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    long long ms = (left.count() + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits for a non-blocking connect to finish; 0 or the errno value.
int FinishConnect(int fd, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, MsLeft(deadline));
        if (r == 0) return ETIMEDOUT;
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
        return error;
    }
}

}  // namespace

bool TcpPort::SplitHostPort(const std::string& text, std::string& host, uint16_t& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    const std::string p = text.substr(colon + 1);
    char* end = nullptr;
    unsigned long v = std::strtoul(p.c_str(), &end, 10);
    if (h.empty() || *end != '\0' || p[0] == '-' || p[0] == '+' || v == 0 || v > 65535) return false;
    host = h;
    port = static_cast<uint16_t>(v);
    return true;
}

TcpPort::TcpPort(const std::string& hostPort) {
    if (!SplitHostPort(hostPort, m_host, m_port)) m_lastError = EINVAL;
    m_portName = hostPort;
}

TcpPort::TcpPort(const std::string& host, uint16_t port) : m_host(host), m_port(port) {
    m_portName = host + ":" + std::to_string(port);
}

int TcpPort::Open() {
    CloseDescriptor();
    DropReadAhead();
    m_wantOpen = true;
    m_failed = false;
    return Connect(Clock::now() + std::chrono::milliseconds(m_writeTimeoutMs)) ? 0 : -1;
}

bool TcpPort::Connect(Clock::time_point deadline) {
    if (m_host.empty() || m_port == 0) {
        m_lastError = EINVAL;
        return false;
    }
    if (m_failed && Clock::now() < m_failedAt + std::chrono::milliseconds(m_reconnectIntervalMs)) {
        m_lastError = ECONNREFUSED;  // still resting after the last failure
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(m_port);
    int error = EHOSTUNREACH;
    if (::getaddrinfo(m_host.c_str(), service.c_str(), &hints, &found) == 0) {
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) {
                error = errno;
                continue;
            }
            int result = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
            if (result == EINPROGRESS || result == EINTR) result = FinishConnect(fd, deadline);
            if (result != 0) {
                error = result;
                ::close(fd);
                continue;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            ::freeaddrinfo(found);
            m_fd = fd;
            DropReadAhead();
            m_failed = false;
            return true;
        }
        ::freeaddrinfo(found);
    }
    m_lastError = error;
    m_failed = true;
    m_failedAt = Clock::now();
    return false;
}

bool TcpPort::ReadyToWrite(Clock::time_point deadline) {
    if (m_fd >= 0) {
        // A peer that has closed is noticed here, before the request goes
        // into a dead connection.
        pollfd p{m_fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) Broken(ECONNRESET);
    }
    if (m_fd < 0) {
        if (!m_wantOpen) {
            m_lastError = ENOTCONN;
            return false;
        }
        return Connect(deadline);
    }
    return true;
}

long TcpPort::RawWrite(const unsigned char* data, size_t size) { return ::send(m_fd, data, size, MSG_NOSIGNAL); }

void TcpPort::DiscardArrived() {
    unsigned char scratch[512];
    // Bounded, so that a peer that never stops sending cannot keep us here.
    for (int i = 0; i < 2048; ++i) {
        ssize_t n = ::recv(m_fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) Broken(n == 0 ? ECONNRESET : errno);
        break;
    }
}

int TcpPort::Flush() {
    DropReadAhead();
    if (m_fd < 0) return Fail(ENOTCONN);
    DiscardArrived();
    return 0;
}

int TcpPort::Configure(const char* hostPort) {
    std::string host;
    uint16_t port = 0;
    if (hostPort == nullptr || !SplitHostPort(hostPort, host, port)) return Fail(EINVAL);
    CloseDescriptor();
    DropReadAhead();
    m_host = host;
    m_port = port;
    m_portName = hostPort;
    m_failed = false;
    return 0;
}
