// The serial port, and the descriptor reading and writing that it shares with
// the TCP port (StreamPort).
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "HostPorts.h"

namespace {

// Milliseconds until the deadline, rounded up, for poll.
int MsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    long long ms = (left.count() + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool IsStop(unsigned char b, const char* stopChars) {
    return stopChars != nullptr && b != 0 && std::strchr(stopChars, b) != nullptr;
}

}  // namespace

// ---- StreamPort

StreamPort::~StreamPort() { CloseDescriptor(); }

void StreamPort::CloseDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void StreamPort::DropReadAhead() {
    m_ahead.clear();
    m_aheadPos = 0;
}

int StreamPort::Close() {
    m_wantOpen = false;
    CloseDescriptor();
    DropReadAhead();
    return 0;
}

int StreamPort::SetTimeouts(unsigned int readMs, unsigned int writeMs) {
    m_readTimeoutMs = readMs;
    m_writeTimeoutMs = writeMs;
    return 0;
}

int StreamPort::SetDeviceName(const char* name) {
    m_deviceName = name != nullptr ? name : "";
    return 0;
}

std::string StreamPort::ErrorText() const {
    std::string text = m_portName + ": ";
    if (!m_errorWhat.empty()) text += m_errorWhat + ": ";
    return text + (m_lastError != 0 ? std::strerror(m_lastError) : "no error");
}

void StreamPort::Broken(int error) {
    m_errorWhat.clear();
    m_lastError = error;
    CloseDescriptor();
}

int StreamPort::Fail(int error) {
    m_errorWhat.clear();
    m_lastError = error;
    return -1;
}

int StreamPort::WaitFor(short events, Clock::time_point deadline) {
    while (true) {
        pollfd p{m_fd, events, 0};
        int r = ::poll(&p, 1, MsLeft(deadline));
        if (r > 0) {
            if ((p.revents & POLLNVAL) != 0) {
                Broken(EBADF);
                return -1;
            }
            return 1;
        }
        if (r == 0) return 0;
        if (errno != EINTR) return Fail(errno);
    }
}

long StreamPort::ReadNow(unsigned char* buffer, size_t size) {
    while (true) {
        ssize_t n = ::read(m_fd, buffer, size);
        if (n > 0) return n;
        if (n == 0) {
            // End of file: the line was hung up or the peer closed.
            Broken(ECONNRESET);
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        Broken(errno);
        return -1;
    }
}

int StreamPort::TakeAhead(unsigned char* buffer, int max) {
    int n = 0;
    while (n < max && m_aheadPos < m_ahead.size()) buffer[n++] = m_ahead[m_aheadPos++];
    if (m_aheadPos == m_ahead.size()) DropReadAhead();
    return n;
}

int StreamPort::Waiting() {
    int waiting = static_cast<int>(m_ahead.size() - m_aheadPos);
    int queued = 0;
    if (m_fd >= 0 && ::ioctl(m_fd, FIONREAD, &queued) == 0 && queued > 0) waiting += queued;
    return waiting;
}

int StreamPort::WriteBytes(unsigned char* data, int* length, unsigned int timeoutMs) {
    if (data == nullptr || length == nullptr || *length < 0) return Fail(EINVAL);
    const size_t size = static_cast<size_t>(*length);
    *length = 0;
    if (size == 0) return 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!ReadyToWrite(deadline)) return -1;
    size_t done = 0;
    bool reopened = false;
    bool failed = false;
    while (done < size) {
        long n = RawWrite(data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int error = n < 0 ? errno : EIO;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            int ready = WaitFor(POLLOUT, deadline);
            if (ready == 0) break;  // timeout: report what went out
            if (ready > 0) continue;
            failed = true;
            break;
        }
        Broken(error);
        // A link that broke before anything went out is opened again once.
        if (done == 0 && !reopened && ReadyToWrite(deadline)) {
            reopened = true;
            continue;
        }
        failed = true;
        break;
    }
    *length = static_cast<int>(done);
    if (done == 0 && failed) return -1;
    if (m_echo) DropEcho(done, deadline);
    return static_cast<int>(done);
}

void StreamPort::DropEcho(size_t count, Clock::time_point deadline) {
    unsigned char scrap[256];
    while (count > 0 && m_fd >= 0) {
        long n = ReadNow(scrap, count < sizeof scrap ? count : sizeof scrap);
        if (n < 0) return;
        if (n > 0) {
            count -= static_cast<size_t>(n);
            continue;
        }
        if (WaitFor(POLLIN, deadline) <= 0) return;
    }
}

int StreamPort::ReadLength(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (buffer == nullptr || length == nullptr) return Fail(EINVAL);
    const int wanted = *length;
    if (wanted <= 0) return 0;
    int got = TakeAhead(buffer, wanted);
    if (got == wanted) return got;
    if (m_fd < 0) return got > 0 ? got : Fail(m_lastError != 0 ? m_lastError : ENOTCONN);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < wanted) {
        long n = ReadNow(buffer + got, static_cast<size_t>(wanted - got));
        if (n < 0) return got > 0 ? got : -1;
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        int ready = WaitFor(POLLIN, deadline);
        if (ready == 0) break;
        if (ready < 0) return got > 0 ? got : -1;
    }
    return got;
}

int StreamPort::ReadAvailable(unsigned char* buffer, int* length, unsigned int timeoutMs) {
    if (buffer == nullptr || length == nullptr) return Fail(EINVAL);
    const int max = *length;
    *length = 0;
    if (max <= 0) {
        *length = Waiting();
        return 0;
    }
    int got = TakeAhead(buffer, max);
    if (m_fd < 0) {
        if (got > 0) return got;
        return Fail(m_lastError != 0 ? m_lastError : ENOTCONN);
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < max) {
        long n = ReadNow(buffer + got, static_cast<size_t>(max - got));
        if (n < 0) return got > 0 ? got : -1;
        if (n > 0) {
            got += static_cast<int>(n);
            break;  // what is there now, no more waiting
        }
        if (got > 0) break;
        int ready = WaitFor(POLLIN, deadline);
        if (ready == 0) break;
        if (ready < 0) return -1;
    }
    *length = Waiting();
    return got;
}

int StreamPort::ReadUntilChar(unsigned char* buffer, int* length, const char* stopChars, unsigned int timeoutMs) {
    if (buffer == nullptr || length == nullptr) return Fail(EINVAL);
    const int max = *length;
    if (max <= 0) return 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int got = 0;
    while (got < max) {
        while (got < max && m_aheadPos < m_ahead.size()) {
            unsigned char b = m_ahead[m_aheadPos++];
            buffer[got++] = b;
            if (IsStop(b, stopChars)) {
                if (m_aheadPos == m_ahead.size()) DropReadAhead();
                return got;
            }
        }
        if (m_aheadPos == m_ahead.size()) DropReadAhead();
        if (got == max) break;
        if (m_fd < 0) return got > 0 ? got : Fail(m_lastError != 0 ? m_lastError : ENOTCONN);
        unsigned char chunk[512];
        long n = ReadNow(chunk, sizeof chunk);
        if (n < 0) return got > 0 ? got : -1;
        if (n > 0) {
            m_ahead.insert(m_ahead.end(), chunk, chunk + n);
            continue;
        }
        int ready = WaitFor(POLLIN, deadline);
        if (ready == 0) break;
        if (ready < 0) return got > 0 ? got : -1;
    }
    return got;
}

int StreamPort::ClearInBuffer() {
    DropReadAhead();
    if (m_fd < 0) return Fail(ENOTCONN);
    DiscardArrived();
    return 0;
}

// ---- SerialPort

namespace {

bool BaudConstant(unsigned baud, speed_t& speed) {
    static const struct {
        unsigned baud;
        speed_t speed;
    } kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& r : kRates) {
        if (r.baud == baud) {
            speed = r.speed;
            return true;
        }
    }
    return false;
}

}  // namespace

bool SerialPort::ParseLineSettings(const char* text, LineSettings& line) {
    if (text == nullptr) return false;
    LineSettings parsed;
    std::string parts[4];
    int count = 0;
    std::string part;
    for (const char* p = text;; ++p) {
        if (*p != '\0' && *p != ',') {
            if (!std::isspace(static_cast<unsigned char>(*p)))
                part += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
            continue;
        }
        if (count > 0 && (part == "rs485" || part == "echo")) {
            (part == "echo" ? parsed.echo : parsed.rs485) = true;
        } else {
            if (count == 4 || parsed.echo || parsed.rs485) return false;  // a fifth part, or one after a word
            parts[count++] = part;
        }
        part.clear();
        if (*p == '\0') break;
    }
    char* end = nullptr;
    unsigned long baud = std::strtoul(parts[0].c_str(), &end, 10);
    speed_t speed;
    if (parts[0].empty() || *end != '\0' || baud > UINT_MAX || !BaudConstant(static_cast<unsigned>(baud), speed))
        return false;
    parsed.baud = static_cast<unsigned>(baud);
    if (count > 1) {
        if (parts[1].size() != 1 || parts[1][0] < '5' || parts[1][0] > '8') return false;
        parsed.dataBits = parts[1][0] - '0';
    }
    if (count > 2) {
        if (parts[2].size() != 1 ||
            std::strchr("NEOMS", std::toupper(static_cast<unsigned char>(parts[2][0]))) == nullptr)
            return false;
        parsed.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[2][0])));
    }
    if (count > 3) {
        if (parts[3] != "1" && parts[3] != "2") return false;
        parsed.stopBits = parts[3][0] - '0';
    }
    line = parsed;
    return true;
}

SerialPort::SerialPort(const std::string& device, const LineSettings& line) : m_device(device), m_line(line) {
    m_portName = device;
    m_echo = line.echo;
}

int SerialPort::Open() {
    CloseDescriptor();
    DropReadAhead();
    m_wantOpen = true;
    return OpenDevice() ? 0 : -1;
}

bool SerialPort::OpenDevice() {
    m_errorWhat.clear();
    int fd = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        m_lastError = ENOTTY;
        return false;
    }
    if (!ApplyLine(fd) || (m_line.rs485 && !ApplyRs485(fd, true))) {
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    DropReadAhead();
    return true;
}

bool SerialPort::ApplyLine(int fd) {
    speed_t speed;
    if (!BaudConstant(m_line.baud, speed)) {
        m_lastError = EINVAL;
        return false;
    }
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        m_lastError = errno;
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[4] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[(m_line.dataBits >= 5 && m_line.dataBits <= 8 ? m_line.dataBits : 8) - 5];
    switch (m_line.parity) {
        case 'E':
            tio.c_cflag |= PARENB;
            break;
        case 'O':
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 'M':
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 'S':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (m_line.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // One byte satisfies a read, so that a read of 0 means a hung-up line.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

bool SerialPort::ApplyRs485(int fd, bool enable) {
    serial_rs485 rs485{};
    if (enable) rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (::ioctl(fd, TIOCSRS485, &rs485) == 0) return true;
    m_lastError = errno;
    m_errorWhat = enable ? "the device refuses RS-485 mode (TIOCSRS485)" : "the device keeps RS-485 mode (TIOCSRS485)";
    return false;
}

int SerialPort::Flush() {
    DropReadAhead();
    if (m_fd < 0) return Fail(ENOTCONN);
    return ::tcflush(m_fd, TCIOFLUSH) == 0 ? 0 : Fail(errno);
}

int SerialPort::Configure(const char* settings) {
    LineSettings line;
    if (!ParseLineSettings(settings, line)) return Fail(EINVAL);
    m_errorWhat.clear();
    const bool rs485Was = m_line.rs485;
    m_line = line;
    m_echo = line.echo;
    if (m_fd >= 0 && !ApplyLine(m_fd)) return -1;
    if (m_fd >= 0 && line.rs485 != rs485Was && !ApplyRs485(m_fd, line.rs485)) return -1;
    return 0;
}

bool SerialPort::ReadyToWrite(Clock::time_point) {
    if (m_fd < 0 && m_wantOpen) OpenDevice();
    if (m_fd < 0 && !m_wantOpen) m_lastError = ENOTCONN;
    return m_fd >= 0;
}

long SerialPort::RawWrite(const unsigned char* data, size_t size) { return ::write(m_fd, data, size); }

void SerialPort::DiscardArrived() { ::tcflush(m_fd, TCIFLUSH); }
