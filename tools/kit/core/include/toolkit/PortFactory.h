// Ports from options, as a host opens them for its lines: a serial device, a
// serial device server on TCP, or a simulated PLC on a pseudo-terminal served
// on a thread of its own. A host with several lines opens one Port per line.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostPorts.h"
#include "ICommunication.h"
#include "plcsim/Plc.h"
#include "plcsim/Server.h"

namespace toolkit {

// The port cannot be opened; the message says which and why.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SimulatorOptions {
    plcsim::Plc::Settings plc;             // station and CRC order the device expects
    std::vector<std::string> assignments;  // "D100=5", ...
    unsigned baud = 0;                     // pace the answers as on a line of this rate; 0: at once
};

struct PortOptions {
    enum class Kind { Serial, Tcp, Simulated };
    Kind kind = Kind::Serial;
    std::string device;       // Serial: e.g. /dev/ttyUSB0
    SerialLineSettings line;  // Serial
    std::string address;      // Tcp: HOST:PORT
    SimulatorOptions simulator;
};

// An open port and what it needs: for a simulated PLC the PLC and its server,
// stopped before the port closes.
class Port {
public:
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    ICommunication& Communication() { return *m_comm; }
    // The port's name as opened: the device, HOST:PORT or the pseudo-terminal.
    const std::string& Name() const { return m_name; }
    // The simulated PLC; nullptr for a real line.
    plcsim::Plc* Simulator() { return m_plc.get(); }

private:
    Port() = default;

    std::string m_name;
    std::unique_ptr<plcsim::Plc> m_plc;
    std::unique_ptr<plcsim::PtyServer> m_server;
    std::unique_ptr<ICommunication> m_comm;

    friend std::unique_ptr<Port> OpenPort(const PortOptions& options);
};

// Opens the port; throws PortError.
std::unique_ptr<Port> OpenPort(const PortOptions& options);

}  // namespace toolkit
