#include "gateway/SimulatedLine.h"

namespace gateway {

SimulatedLine::SimulatedLine(const std::vector<toolkit::SimulatorOptions>& stations, unsigned baud, bool echo) {
    for (const toolkit::SimulatorOptions& s : stations) {
        plcsim::Plc* plc = nullptr;
        try {
            plc = &m_bus.Add(s.plc);
        } catch (const std::invalid_argument& e) {
            throw toolkit::PortError("simulated line: " + std::string(e.what()));
        }
        for (const std::string& a : s.assignments) {
            try {
                plc->Assign(a);
            } catch (const std::exception& e) {
                throw toolkit::PortError("simulated PLC: " + a + ": " + e.what());
            }
        }
    }
    plcsim::ServerOptions options;
    options.baud = baud;
    options.echo = echo;
    try {
        m_server = std::make_unique<plcsim::PtyServer>(m_bus, options);
    } catch (const std::exception& e) {
        throw toolkit::PortError(std::string("no pseudo-terminal for the simulator: ") + e.what());
    }
    m_server->Start();
}

SimulatedLine::~SimulatedLine() { m_server->Stop(); }

}  // namespace gateway
