// devgate's Modbus TCP face: a server whose units are the site's devices and
// whose coils, discrete inputs, input and holding registers are their
// channels, as the site's register map places them (gateway/ModbusMap.h).
//
// Reads (functions 1 to 4) answer the latest values the gateway holds;
// writes (5, 6, 15, 16) become channel writes queued to the device's line,
// answered when the line has carried them out, and only when writes were
// allowed. Exceptions: 1 a function other than these, or a write when writes
// are not allowed; 2 an address in the range that no channel takes, a range
// past 65535, a write to part of a multi-register channel or to a read-only
// channel; 3 a count of 0 or over the function's limit (2000 bits, 125
// registers to read; 1968 bits, 123 registers to write) or a coil value other
// than 0x0000 and 0xFF00; 4 a channel in the range that failed or was never
// read, or a write the PLC refused; 11 a unit that is no device. Write-only
// channels read as 0. A write over several channels writes them one by one
// in address order and stops at the first that fails.
//
// One thread per client (at most maxClients; more are closed at once), each
// with its own libmodbus context, at nice 10 so that under load the lines'
// threads come first; a client's write waits in its own thread only. A frame
// that is not Modbus TCP closes its connection; so does a client that sends
// nothing for idleSeconds.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Face.h"
#include "gateway/Gateway.h"
#include "gateway/ModbusMap.h"

// libmodbus's handles, declared as its header declares them, so that the
// face's users do not need that header.
typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace gateway {

// An address block "ADDR/BITS" (IPv4 or IPv6; "ADDR" alone is the one
// address), and whether an address lies in one of several.
struct Cidr {
    bool v6 = false;
    uint8_t bytes[16] = {};
    int bits = 0;
};
bool ParseCidr(const std::string& text, Cidr& out);
Cidr Loopback4();  // 127.0.0.0/8
Cidr Loopback6();  // ::1/128
// A comma-separated list of blocks, or false naming the first bad one in why.
bool ParseCidrList(const std::string& text, std::vector<Cidr>& out, std::string& why);
// An IPv4-mapped IPv6 address counts as its IPv4 address.
bool AddressIn(const sockaddr_storage& address, const std::vector<Cidr>& blocks);

struct ModbusOptions {
    std::string host = "127.0.0.1";
    std::string port = "502";  // "0": a free port
    bool writes = false;       // functions 5, 6, 15 and 16 allowed
    // Clients whose writes are carried out; others get exception 1 (logged
    // once a connection). Default: the loopback.
    std::vector<Cidr> writeFrom = {Loopback4(), Loopback6()};
    size_t maxClients = 32;
    unsigned idleSeconds = 60;
    ModbusMap map;
};

// A channel's value in its registers (the first the most significant word;
// strings two characters a register, the first in the high byte), and back:
// the value the registers of a write ask for, as toolkit::Admit takes it.
std::vector<uint16_t> ModbusEncode(const ModbusEntry& entry, const toolkit::Value& value);
toolkit::Asked ModbusDecode(const ModbusEntry& entry, const uint16_t* words);

class ModbusServer : public Face {
public:
    ModbusServer(Gateway& gateway, ModbusOptions options);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Listens; throws std::runtime_error when it cannot.
    void Start() override;
    // Closes every connection and joins the threads.
    void Stop() override;
    std::string Name() const override { return "modbus"; }
    // The clients connected.
    std::vector<HealthItem> Health() const override;
    // "modbus on ADDR:PORT"
    std::string Announcement() const override;
    // The port it listens on (after Start).
    int Port() const { return m_port; }

    struct Client;
    struct Unit;

private:
    void Accept();
    void Serve(Client& client);
    bool Answer(Client& client, const uint8_t* req, int length);
    int Read(const Unit& unit, int function, unsigned address, unsigned count, modbus_mapping_t* mapping);
    int Write(const Unit& unit, int function, const uint8_t* pdu, int size, const Caller& caller);
    void RefuseWrite(const Unit& unit, const uint8_t* req, int n, const std::string& peer, const std::string& why);
    void Reap(bool all);

    Gateway& m_gateway;
    ModbusOptions m_options;
    std::vector<Unit> m_units;  // by unit
    modbus_t* m_listen = nullptr;
    int m_listenFd = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Client>> m_clients;
};

}  // namespace gateway
