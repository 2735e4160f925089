#include "gateway/ModbusServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace gateway {

namespace {

constexpr int kHeader = 7;  // MBAP: transaction, protocol, length, unit
constexpr int kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
constexpr int kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
constexpr int kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
constexpr int kDeviceFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
constexpr int kNoTarget = MODBUS_EXCEPTION_GATEWAY_TARGET;

unsigned Word(const uint8_t* p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }

ModbusTable TableOf(int function) {
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            return ModbusTable::Coil;
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return ModbusTable::Discrete;
        case MODBUS_FC_READ_INPUT_REGISTERS:
            return ModbusTable::Input;
        default:
            return ModbusTable::Holding;
    }
}

bool IsWrite(int function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

int64_t ToInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return INT64_MAX;
    if (d <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(d);
}

uint64_t ToUint64(double d) {
    if (std::isnan(d) || d <= 0) return 0;
    if (d >= 1.8446744073709552e19) return UINT64_MAX;
    return static_cast<uint64_t>(d);
}

bool Served(int function) {
    return (function >= MODBUS_FC_READ_COILS && function <= MODBUS_FC_WRITE_SINGLE_REGISTER) ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

// Reads exactly size bytes, waiting at most timeoutMs for each part.
bool ReadExactly(int fd, uint8_t* out, int size, int timeoutMs) {
    int got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        ssize_t n = recv(fd, out + got, static_cast<size_t>(size - got), 0);
        if (n <= 0) return false;
        got += static_cast<int>(n);
    }
    return true;
}

// One request by its MBAP header's length, whatever its function (libmodbus
// reads a request by its function's own length rule, which a function it
// does not know, 0 among them, does not follow). Its size, or -1 when the
// client closed, was silent too long or sent no Modbus TCP.
int ReadRequest(int fd, uint8_t* req, int idleSeconds) {
    if (!ReadExactly(fd, req, kHeader, idleSeconds * 1000)) return -1;
    int length = static_cast<int>(Word(req + 4));
    if (Word(req + 2) != 0 || length < 2 || 6 + length > MODBUS_TCP_MAX_ADU_LENGTH) return -1;
    if (!ReadExactly(fd, req + kHeader, length - 1, 1000)) return -1;
    return 6 + length;
}

}  // namespace

struct ModbusServer::Unit {
    std::string device;  // empty: no unit
    std::vector<const ModbusEntry*> tables[4];

    // The entries that take [address, address + count), in order; false when
    // an address in it is taken by none.
    bool Cover(ModbusTable table, unsigned address, unsigned count, std::vector<const ModbusEntry*>& out) const {
        const std::vector<const ModbusEntry*>& t = tables[static_cast<int>(table)];
        auto it = std::upper_bound(t.begin(), t.end(), address,
                                   [](unsigned a, const ModbusEntry* e) { return a < e->address; });
        if (it != t.begin()) --it;
        unsigned at = address, end = address + count;
        for (; it != t.end() && at < end; ++it) {
            const ModbusEntry& e = **it;
            if (e.address + e.count <= at) continue;
            if (e.address > at) return false;
            out.push_back(&e);
            at = e.address + e.count;
        }
        return at >= end;
    }
};

struct ModbusServer::Client {
    modbus_t* ctx = nullptr;
    int fd = -1;  // -1 once closed
    bool mayWrite = false;
    bool refusalLogged = false;
    std::string peer;
    std::atomic<bool> done{false};
    std::thread thread;
};

bool ParseCidr(const std::string& text, Cidr& out) {
    size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    Cidr c;
    if (inet_pton(AF_INET, address.c_str(), c.bytes) == 1) {
        c.bits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), c.bytes) == 1) {
        c.v6 = true;
        c.bits = 128;
    } else {
        return false;
    }
    if (slash != std::string::npos) {
        std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(bits) > c.bits)
            return false;
        c.bits = std::stoi(bits);
    }
    out = c;
    return true;
}

bool ParseCidrList(const std::string& text, std::vector<Cidr>& out, std::string& why) {
    out.clear();
    size_t at = 0;
    for (;;) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        Cidr c;
        if (!ParseCidr(item, c)) {
            why = "not ADDR/BITS: \"" + item + "\"";
            return false;
        }
        out.push_back(c);
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

Cidr Loopback4() {
    Cidr c;
    ParseCidr("127.0.0.0/8", c);
    return c;
}

Cidr Loopback6() {
    Cidr c;
    ParseCidr("::1", c);
    return c;
}

bool AddressIn(const sockaddr_storage& address, const std::vector<Cidr>& blocks) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    bool v6 = address.ss_family == AF_INET6;
    uint8_t bytes[16] = {};
    if (v6) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16);
        if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
            std::memmove(bytes, bytes + 12, 4);
            v6 = false;
        }
    } else if (address.ss_family == AF_INET) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
    } else {
        return false;
    }
    for (const Cidr& c : blocks) {
        if (c.v6 != v6) continue;
        bool in = true;
        for (int bit = 0; bit < c.bits && in; ++bit)
            in = ((bytes[bit / 8] ^ c.bytes[bit / 8]) & (0x80 >> (bit % 8))) == 0;
        if (in) return true;
    }
    return false;
}

std::vector<uint16_t> ModbusEncode(const ModbusEntry& e, const toolkit::Value& v) {
    std::vector<uint16_t> w(e.count, 0);
    if (e.kind == "STR") {
        for (size_t i = 0; i < v.s.size() && i < 2 * w.size(); ++i)
            w[i / 2] = static_cast<uint16_t>(w[i / 2] | static_cast<uint8_t>(v.s[i]) << (i % 2 == 0 ? 8 : 0));
        return w;
    }
    uint64_t bits = 0;
    if (e.kind == "DF") {
        float f = static_cast<float>(v.d);
        uint32_t u = 0;
        std::memcpy(&u, &f, sizeof u);
        bits = u;
    } else if (e.kind == "LF") {
        std::memcpy(&bits, &v.d, sizeof bits);
    } else if (v.type == DATATYPE_DOUBLE) {
        bits = e.kind == "LB" ? static_cast<uint64_t>(ToInt64(v.d)) : ToUint64(v.d);
    } else {
        bits = static_cast<uint64_t>(static_cast<int64_t>(v.i));
    }
    for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<uint16_t>(bits >> (16 * (w.size() - 1 - i)));
    return w;
}

toolkit::Asked ModbusDecode(const ModbusEntry& e, const uint16_t* words) {
    if (e.kind == "STR") {
        std::string text;
        for (unsigned i = 0; i < 2 * e.count; ++i) {
            char c = static_cast<char>(i % 2 == 0 ? words[i / 2] >> 8 : words[i / 2] & 0xFF);
            if (c == '\0') break;
            text += c;
        }
        return toolkit::Asked::Text(text);
    }
    uint64_t bits = 0;
    for (unsigned i = 0; i < e.count; ++i) bits = bits << 16 | words[i];
    if (e.kind == "DF") {
        uint32_t u = static_cast<uint32_t>(bits);
        float f = 0;
        std::memcpy(&f, &u, sizeof f);
        return toolkit::Asked::Number(f);
    }
    if (e.kind == "LF") {
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        return toolkit::Asked::Number(d);
    }
    // Signed types: the sign bit of the top word is extended.
    unsigned width = 16 * e.count;
    if ((e.kind == "WB" || e.kind == "DB" || e.kind == "LB") && (bits >> (width - 1) & 1) != 0) {
        uint64_t magnitude = (width == 64 ? 0 - bits : (uint64_t{1} << width) - bits);
        return toolkit::Asked::Whole(true, magnitude);
    }
    return toolkit::Asked::Whole(false, bits);
}

ModbusServer::ModbusServer(Gateway& gateway, ModbusOptions options)
    : m_gateway(gateway), m_options(std::move(options)), m_units(256) {
    for (const auto& [unit, device] : m_options.map.units) m_units[static_cast<size_t>(unit)].device = device;
    for (const ModbusEntry& e : m_options.map.entries)
        m_units[static_cast<size_t>(e.unit)].tables[static_cast<int>(e.table)].push_back(&e);
}

ModbusServer::~ModbusServer() { Stop(); }

void ModbusServer::Start() {
    std::string where = m_options.host + ":" + m_options.port;
    m_listen = modbus_new_tcp_pi(m_options.host.c_str(), m_options.port.c_str());
    if (m_listen == nullptr) throw std::runtime_error("modbus: cannot listen on " + where);
    m_listenFd = modbus_tcp_pi_listen(m_listen, 16);
    if (m_listenFd < 0) {
        std::string why = modbus_strerror(errno);
        modbus_free(m_listen);
        m_listen = nullptr;
        throw std::runtime_error("modbus: cannot listen on " + where + ": " + why);
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&bound), &size);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (pipe2(m_wake, O_CLOEXEC) != 0) throw std::runtime_error("modbus: no pipe");
    m_stop = false;
    m_acceptor = std::thread([this] { Accept(); });
}

void ModbusServer::Stop() {
    if (!m_acceptor.joinable()) return;
    m_stop = true;
    char one = 1;
    if (write(m_wake[1], &one, 1) != 1) {
        // the acceptor ends at its next connection
    }
    m_acceptor.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& c : m_clients)
            if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    }
    Reap(true);
    close(m_listenFd);  // not modbus_close: the context's socket is the last client's
    modbus_free(m_listen);
    m_listen = nullptr;
    close(m_wake[0]);
    close(m_wake[1]);
}

std::vector<HealthItem> ModbusServer::Health() const {
    size_t open = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& c : m_clients) open += c->done ? 0 : 1;
    }
    return {{"clients", HealthItem::Kind::Gauge, static_cast<double>(open), "Connections of the face's clients."}};
}

std::string ModbusServer::Announcement() const { return "modbus on " + m_options.host + ":" + std::to_string(m_port); }

void ModbusServer::Reap(bool all) {
    std::vector<std::unique_ptr<Client>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto keep = std::stable_partition(m_clients.begin(), m_clients.end(),
                                          [all](const std::unique_ptr<Client>& c) { return !all && !c->done; });
        std::move(keep, m_clients.end(), std::back_inserter(ended));
        m_clients.erase(keep, m_clients.end());
    }
    for (auto& c : ended) c->thread.join();
}

void ModbusServer::Accept() {
    while (!m_stop) {
        pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents != 0) break;
        if ((p[0].revents & POLLIN) == 0) continue;
        int listening = m_listenFd;
        int fd = modbus_tcp_pi_accept(m_listen, &listening);
        if (fd < 0) continue;
        Reap(false);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_clients.size() >= m_options.maxClients) {
            close(fd);
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        sockaddr_storage peer{};
        socklen_t peerSize = sizeof peer;
        char text[INET6_ADDRSTRLEN] = "?";
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) {
            c->mayWrite = AddressIn(peer, m_options.writeFrom);
            const void* a = peer.ss_family == AF_INET6
                                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr)
                                : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&peer)->sin_addr);
            inet_ntop(peer.ss_family, a, text, sizeof text);
        }
        c->peer = text;
        c->ctx = modbus_new_tcp_pi(m_options.host.c_str(), m_options.port.c_str());
        if (c->ctx == nullptr) {
            close(fd);
            continue;
        }
        modbus_set_socket(c->ctx, fd);
        Client& client = *c;
        m_clients.push_back(std::move(c));
        client.thread = std::thread([this, &client] { Serve(client); });
    }
}

void ModbusServer::Serve(Client& c) {
    YieldToLines();  // under a load clients wait, not PLCs
    uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!m_stop) {
        int n = ReadRequest(c.fd, req, static_cast<int>(m_options.idleSeconds));
        if (n < 0 || !Answer(c, req, n)) break;  // closed, silent too long, or no Modbus TCP
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        modbus_close(c.ctx);
        c.fd = -1;
    }
    modbus_free(c.ctx);
    c.done = true;
}

bool ModbusServer::Answer(Client& c, const uint8_t* req, int n) {
    if (n < kHeader + 1) return false;
    int function = req[kHeader];
    bool known = Served(function);
    auto reply = [&](int exception) {
        return modbus_reply_exception(c.ctx, req, static_cast<unsigned>(exception)) > 0;
    };
    const Unit& unit = m_units[req[kHeader - 1]];
    if (!known) return reply(kIllegalFunction);
    if (IsWrite(function) && !m_options.writes) {
        RefuseWrite(unit, req, n, c.peer, "writes are off (no --modbus-writes)");
        return reply(kIllegalFunction);
    }
    if (IsWrite(function) && !c.mayWrite) {
        if (!c.refusalLogged)
            std::cerr << "devgate: modbus: writes refused from " << c.peer << ": not in --modbus-allow\n";
        c.refusalLogged = true;
        RefuseWrite(unit, req, n, c.peer, "the client is not in --modbus-allow");
        return reply(kIllegalFunction);
    }
    if (unit.device.empty()) return reply(kNoTarget);
    const uint8_t* pdu = req + kHeader;
    int size = n - kHeader;
    if (size < 5) return false;
    unsigned address = Word(pdu + 1), count = Word(pdu + 3);
    modbus_mapping_t* mapping = nullptr;
    int exception = 0;
    if (IsWrite(function)) {
        exception = Write(unit, function, pdu, size, Caller{"modbus", c.peer});
        if (function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER) count = 1;
        if (exception == 0) {
            bool bits = TableOf(function) == ModbusTable::Coil;
            mapping =
                modbus_mapping_new_start_address(address, bits ? count : 0, 0, 0, address, bits ? 0 : count, 0, 0);
        }
    } else {
        bool bits = function <= MODBUS_FC_READ_DISCRETE_INPUTS;
        unsigned limit = bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS;
        if (count == 0 || count > limit) {
            exception = kIllegalValue;
        } else {
            mapping = modbus_mapping_new_start_address(address, count, address, count, address, count, address, count);
            exception = Read(unit, function, address, count, mapping);
        }
    }
    bool sent = exception != 0 ? reply(exception) : mapping != nullptr && modbus_reply(c.ctx, req, n, mapping) > 0;
    if (mapping != nullptr) modbus_mapping_free(mapping);
    return sent;
}

int ModbusServer::Read(const Unit& unit, int function, unsigned address, unsigned count, modbus_mapping_t* m) {
    if (address + count > 65536) return kIllegalAddress;
    std::vector<const ModbusEntry*> entries;
    ModbusTable table = TableOf(function);
    if (!unit.Cover(table, address, count, entries)) return kIllegalAddress;
    int first = entries.front()->channel, last = first;
    for (const ModbusEntry* e : entries) {
        first = std::min(first, e->channel);
        last = std::max(last, e->channel);
    }
    std::vector<Reading> readings = m_gateway.Readings(unit.device, first, last - first + 1);
    for (const ModbusEntry* e : entries) {
        const Reading& r = readings.at(static_cast<size_t>(e->channel - first));
        if (r.status == Status::Failed || r.status == Status::NeverRead) return kDeviceFailure;
        if (r.status == Status::WriteOnly) continue;  // reads as 0
        unsigned from = std::max(address, e->address), to = std::min(address + count, e->address + e->count);
        if (table == ModbusTable::Coil || table == ModbusTable::Discrete) {
            uint8_t* bits = table == ModbusTable::Coil ? m->tab_bits : m->tab_input_bits;
            bits[from - address] = r.value.i != 0 ? 1 : 0;
            continue;
        }
        std::vector<uint16_t> words = ModbusEncode(*e, r.value);
        uint16_t* regs = table == ModbusTable::Holding ? m->tab_registers : m->tab_input_registers;
        for (unsigned a = from; a < to; ++a) regs[a - address] = words[a - e->address];
    }
    return 0;
}

// A write refused before any channel is known: recorded with the request's
// function, unit, address and count as what was asked.
void ModbusServer::RefuseWrite(const Unit& unit, const uint8_t* req, int n, const std::string& peer,
                               const std::string& why) {
    const uint8_t* pdu = req + kHeader;
    std::string asked = "{\"function\":" + std::to_string(pdu[0]) + ",\"unit\":" + std::to_string(req[kHeader - 1]);
    if (n >= kHeader + 5)
        asked += ",\"address\":" + std::to_string(Word(pdu + 1)) + ",\"count\":" +
                 std::to_string(pdu[0] == MODBUS_FC_WRITE_SINGLE_COIL || pdu[0] == MODBUS_FC_WRITE_SINGLE_REGISTER
                                    ? 1u
                                    : Word(pdu + 3));
    m_gateway.Refuse(Caller{"modbus", peer}, unit.device, -1, "", asked + "}", why);
}

int ModbusServer::Write(const Unit& unit, int function, const uint8_t* pdu, int size, const Caller& caller) {
    const uint8_t* req = pdu - kHeader;
    auto refuse = [&](int exception, const char* why) {
        RefuseWrite(unit, req, size + kHeader, caller.who, why);
        return exception;
    };
    unsigned address = Word(pdu + 1), count = 1;
    std::vector<uint16_t> values;
    if (function == MODBUS_FC_WRITE_SINGLE_COIL) {
        if (Word(pdu + 3) != 0xFF00 && Word(pdu + 3) != 0) return refuse(kIllegalValue, "a coil is 0xFF00 or 0");
        values.push_back(Word(pdu + 3) != 0 ? 1 : 0);
    } else if (function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        values.push_back(static_cast<uint16_t>(Word(pdu + 3)));
    } else {
        count = Word(pdu + 3);
        bool bits = function == MODBUS_FC_WRITE_MULTIPLE_COILS;
        unsigned bytes = size > 5 ? pdu[5] : 0, limit = bits ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
        if (count == 0 || count > limit || bytes != (bits ? (count + 7) / 8 : 2 * count) ||
            static_cast<unsigned>(size) != 6 + bytes)
            return refuse(kIllegalValue, "the count and the bytes that follow do not agree");
        for (unsigned i = 0; i < count; ++i)
            values.push_back(bits ? static_cast<uint16_t>(pdu[6 + i / 8] >> (i % 8) & 1)
                                  : static_cast<uint16_t>(Word(pdu + 6 + 2 * i)));
    }
    const char* uncovered = "no channel covers these addresses whole";
    if (address + count > 65536) return refuse(kIllegalAddress, uncovered);
    std::vector<const ModbusEntry*> entries;
    if (!unit.Cover(TableOf(function), address, count, entries)) return refuse(kIllegalAddress, uncovered);
    for (const ModbusEntry* e : entries) {
        if (e->address < address || e->address + e->count > address + count) return refuse(kIllegalAddress, uncovered);
        if (e->rw == 0) {
            m_gateway.Refuse(caller, unit.device, e->channel, "",
                             AskedJson(ModbusDecode(*e, &values[e->address - address])), "the channel is read only");
            return kIllegalAddress;
        }
    }
    // Every value is checked before any is written: a refused one leaves
    // every channel as it was.
    std::vector<toolkit::Asked> asked;
    for (const ModbusEntry* e : entries) {
        asked.push_back(ModbusDecode(*e, &values[e->address - address]));
        if (std::string why = m_gateway.Refusal(unit.device, e->channel, asked.back()); !why.empty()) {
            m_gateway.Refuse(caller, unit.device, e->channel, "", AskedJson(asked.back()), why);
            return kIllegalValue;
        }
    }
    for (size_t i = 0; i < entries.size(); ++i)
        if (m_gateway.Write(unit.device, entries[i]->channel, asked[i], caller).code != 0) return kDeviceFailure;
    return 0;
}

}  // namespace gateway
