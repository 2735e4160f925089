#include "gateway/SimulatedLine.h"

namespace gateway {

// Until plcsim serves a bus of stations on one terminal, the line's terminal
// answers the first station only; the others stay silent, as absent stations.
SimulatedLine::SimulatedLine(const std::vector<toolkit::SimulatorOptions>& stations, unsigned baud, bool echo) {
    for (const toolkit::SimulatorOptions& s : stations) {
        m_plcs.push_back(std::make_unique<plcsim::Plc>(s.plc));
        for (const std::string& a : s.assignments) {
            try {
                m_plcs.back()->Assign(a);
            } catch (const std::exception& e) {
                throw toolkit::PortError("simulated PLC: " + a + ": " + e.what());
            }
        }
    }
    (void)echo;
    plcsim::ServerOptions options;
    options.baud = baud;
    if (m_plcs.empty()) throw toolkit::PortError("a simulated line without stations");
    try {
        m_server = std::make_unique<plcsim::PtyServer>(*m_plcs.front(), options);
    } catch (const std::exception& e) {
        throw toolkit::PortError(std::string("no pseudo-terminal for the simulator: ") + e.what());
    }
    m_server->Start();
}

SimulatedLine::~SimulatedLine() { m_server->Stop(); }

plcsim::Plc* SimulatedLine::Station(uint8_t station) {
    for (auto& p : m_plcs)
        if (p->Station() == station) return p.get();
    return nullptr;
}

}  // namespace gateway
