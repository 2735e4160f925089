#include "toolkit/PortFactory.h"

#include <cstring>

namespace toolkit {

namespace {

std::string Reason(int error, const char* otherwise) { return error != 0 ? std::strerror(error) : otherwise; }

}  // namespace

Port::~Port() {
    if (m_server) m_server->Stop();
    m_comm.reset();
}

std::unique_ptr<Port> OpenPort(const PortOptions& options) {
    std::unique_ptr<Port> port(new Port());
    switch (options.kind) {
        case PortOptions::Kind::Simulated: {
            port->m_plc = std::make_unique<plcsim::Plc>(options.simulator.plc);
            for (const std::string& a : options.simulator.assignments) {
                try {
                    port->m_plc->Assign(a);
                } catch (const std::exception& e) {
                    throw PortError("simulated PLC: " + a + ": " + e.what());
                }
            }
            plcsim::ServerOptions serverOptions;
            serverOptions.baud = options.simulator.baud;
            try {
                port->m_server = std::make_unique<plcsim::PtyServer>(*port->m_plc, serverOptions);
            } catch (const std::exception& e) {
                throw PortError(std::string("no pseudo-terminal for the simulator: ") + e.what());
            }
            port->m_server->Start();
            port->m_name = port->m_server->SlavePath();
            auto serial = std::make_unique<SerialPort>(port->m_name);
            if (serial->Open() != 0)
                throw PortError("port cannot be opened: " + port->m_name + ": " +
                                Reason(serial->GetLastError(), "unusable pseudo-terminal"));
            port->m_comm = std::move(serial);
            break;
        }
        case PortOptions::Kind::Serial: {
            port->m_name = options.device;
            auto serial = std::make_unique<SerialPort>(options.device, options.line);
            if (serial->Open() != 0)  // ErrorText names the device and what failed (e.g. RS-485 mode)
                throw PortError("port cannot be opened: " + (serial->GetLastError() != 0
                                                                 ? serial->ErrorText()
                                                                 : options.device + ": unsupported line settings"));
            port->m_comm = std::move(serial);
            break;
        }
        case PortOptions::Kind::Tcp: {
            port->m_name = options.address;
            auto tcp = std::make_unique<TcpPort>(options.address);
            if (tcp->Open() != 0)
                throw PortError("port cannot be opened: " + options.address + ": " +
                                Reason(tcp->GetLastError(), "not HOST:PORT"));
            port->m_comm = std::move(tcp);
            break;
        }
    }
    return port;
}

}  // namespace toolkit
