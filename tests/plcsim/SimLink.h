// Raw byte links to a running simulator for the tests: a pseudo-terminal
// slave or a TCP connection, with reads bounded by poll timeouts.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simlink {

using Clock = std::chrono::steady_clock;

inline int MsSince(Clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Opens a pseudo-terminal slave as a raw serial line; -1 on failure.
inline int OpenTty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio;
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

inline bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// Reads until count bytes came or timeoutMs passed. With sizes, records the
// size of every read call.
inline std::vector<uint8_t> ReadFor(int fd, size_t count, int timeoutMs, std::vector<size_t>* sizes = nullptr) {
    std::vector<uint8_t> out;
    Clock::time_point start = Clock::now();
    while (out.size() < count) {
        int left = timeoutMs - MsSince(start);
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) break;
        uint8_t buf[512];
        ssize_t n = ::read(fd, buf, count - out.size() < sizeof buf ? count - out.size() : sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            if (sizes != nullptr) sizes->push_back(static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return out;
}

inline std::vector<uint8_t> Transact(int fd, const std::vector<uint8_t>& request, size_t answerSize,
                                     int timeoutMs = 2000) {
    if (!WriteAll(fd, request)) return {};
    return ReadFor(fd, answerSize, timeoutMs);
}

}  // namespace simlink
