#ifndef QUORLAN_NO_PLCSIM
#include "FaultDevice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Dev.h"
#include "DevVocabulary.h"

namespace {

TestRow Row(uint32_t chlType, uint32_t address, uint32_t dataType) {
    TestRow r;
    r.chlType = chlType;
    r.address = address;
    r.dataType = dataType;
    return r;
}

CDevCtrl& Controller(IDeviceCtrl* ctrl) { return *dynamic_cast<CDevCtrl*>(ctrl); }

}  // namespace

FaultDevice::FaultDevice(ICommunication* port, int waitMs)
    : m_ctrl(CreateDeviceCtrl("dev1", &m_rtdb)), m_refs(kChannels, 1) {
    GetInterfaceVersion(2, m_ctrl);
    m_ctrl->UpdataCommunication(port);
    std::vector<int32_t> props = DefaultProperties();
    props[1] = waitMs;
    std::vector<uint8_t> blob = MakeBlob(props, {Row(14, 0, 83), Row(14, 1, 84), Row(0, 0, 20), Row(14, 1000, 83)});
    m_ctrl->InitDevice(blob.data(), static_cast<int>(blob.size()));
    for (int c = 0; c < kChannels; ++c) m_rtdb.DeclareChannel(c, DATATYPE_DOUBLE);
    m_ctrl->ChannelRefChange(m_refs.data(), kChannels);
}

FaultDevice::~FaultDevice() {
    m_ctrl->CleanupDevice();
    DestroyDeviceCtrl(m_ctrl);
}

void FaultDevice::SetValues(plcsim::Plc& plc, uint16_t d0, int16_t d1, uint16_t m0, uint16_t d1000) {
    plc.Set("D", 0, d0);
    plc.Set("D", 1, static_cast<uint16_t>(d1));
    plc.Set("M", 0, m0);
    plc.Set("D", 1000, d1000);
}

int FaultDevice::RankCount() { return Controller(m_ctrl).GetDevData().pDevData->nRankCount; }
int FaultDevice::Cursor() { return Controller(m_ctrl).GetDevData().pDevData->nReadRank; }

std::string FaultDevice::TableAndPlan() {
    DEV_DATA& dev = *Controller(m_ctrl).GetDevData().pDevData;
    std::string text;
    char line[128];
    for (int r = 0; r < dev.pTable->GetRowCount(); ++r) {
        for (int p = 0; p + 1 < DEVROW_PROPERTY_COUNT; ++p)
            text += std::to_string(dev.pTable->Row(r).GetdwValue(DEVROW_STR_PROPERTYNAME[p])) + " ";
        text += "\n";
    }
    for (int b = 0; b < dev.arBlock.GetSize(); ++b) {
        const DynBlock& k = dev.arBlock[b];
        std::snprintf(line, sizeof line, "block %d-%d type %d len %d rank %d state %d\n", k.nStartRow, k.nEndRow,
                      k.nChlType, k.nLength, k.nRank, k.nState);
        text += line;
    }
    return text + "ranks " + std::to_string(dev.nRankCount);
}

std::vector<double> FaultDevice::Stored() {
    std::vector<double> values;
    for (int c = 0; c < kChannels; ++c) {
        bool stored = false;
        for (int s : m_rtdb.Stores()) stored = stored || s == c;
        values.push_back(stored ? m_rtdb.Channel(c).d : kNeverStored);
    }
    return values;
}

std::vector<double> FaultDevice::Held(plcsim::Plc& plc) {
    return {static_cast<double>(plc.Get("D", 0)), static_cast<double>(static_cast<int16_t>(plc.Get("D", 1))),
            static_cast<double>(plc.Get("M", 0)), static_cast<double>(plc.Get("D", 1000))};
}

// ---------------------------------------------------------------- RawPeer

RawPeer::RawPeer(plcsim::Plc& plc, Link link) : m_plc(plc), m_link(link) {
    if (link == Link::Pty) {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 || ::ptsname_r(m_fd, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        m_hold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio;
        if (m_hold >= 0 && ::tcgetattr(m_hold, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_hold, TCSANOW, &tio);
        }
        m_address = name;
    } else {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 4) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen");
        m_address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_thread = std::thread([this] { Serve(); });
}

RawPeer::~RawPeer() {
    m_stop = true;
    m_thread.join();
    for (int fd : {m_client, m_hold, m_fd})
        if (fd >= 0) ::close(fd);
}

void RawPeer::SetMode(Mode mode) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_mode = mode;
    uint64_t asked = ++m_asked;
    m_changed.wait(lock, [&] { return m_taken >= asked; });
}

void RawPeer::Serve() {
    uint8_t stream[64];
    std::memset(stream, 0xAA, sizeof stream);
    while (!m_stop) {
        Mode mode;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            mode = m_mode;
            if (m_taken != m_asked) {
                m_taken = m_asked;
                m_in.clear();
                m_changed.notify_all();
            }
        }
        if (m_link == Link::Tcp && m_client < 0) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) m_client = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            continue;
        }
        int fd = m_link == Link::Tcp ? m_client : m_fd;
        if (mode == Mode::Stream) {
            // As fast as the line takes them; the input is read and dropped.
            ssize_t sent = ::write(fd, stream, sizeof stream);
            (void)sent;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, mode == Mode::Stream ? 1 : 5) <= 0) continue;
        uint8_t buffer[512];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            if (m_link == Link::Tcp && got == 0) {
                ::close(m_client);
                m_client = -1;
            }
            continue;
        }
        if (mode == Mode::Reset && m_link == Link::Tcp) {
            // Closing with a zero linger time sends a reset, not an orderly end.
            linger hard{1, 0};
            ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(m_client);
            m_client = -1;
            continue;
        }
        if (mode != Mode::Answer) continue;
        m_in.insert(m_in.end(), buffer, buffer + got);
        Answer(fd);
    }
}

void RawPeer::Answer(int fd) {
    for (;;) {
        size_t length = plcsim::RequestLength(m_in.data(), m_in.size());
        if (length == 0 || length == plcsim::kUnknownLength || length > m_in.size()) {
            if (length == plcsim::kUnknownLength) m_in.clear();
            return;
        }
        std::vector<uint8_t> request(m_in.begin(), m_in.begin() + static_cast<long>(length));
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<long>(length));
        std::vector<uint8_t> answer = m_plc.Handle(request);
        size_t at = 0;
        while (at < answer.size()) {
            ssize_t sent = ::write(fd, answer.data() + at, answer.size() - at);
            if (sent > 0) at += static_cast<size_t>(sent);
            if (sent < 0 && errno != EAGAIN) return;
        }
    }
}
#endif
