// The simulated PLCs of a simulated line: a plcsim bus with one station per
// device, each with its own memory, started from the device's [simulator]
// values, on one pseudo-terminal; with echo the line returns every request
// before its answer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plcsim/Bus.h"
#include "plcsim/Server.h"
#include "toolkit/PortFactory.h"

namespace gateway {

class SimulatedLine {
public:
    // Throws toolkit::PortError when a value cannot be set or there is no
    // pseudo-terminal.
    SimulatedLine(const std::vector<toolkit::SimulatorOptions>& stations, unsigned baud, bool echo);
    ~SimulatedLine();

    // The pseudo-terminal the line's port opens.
    const std::string& Path() const { return m_server->SlavePath(); }
    // The PLC at a station; nullptr when none is on the line.
    plcsim::Plc* Station(uint8_t station) { return m_bus.Find(station); }
    // Stops answering (a simulator that died) and starts again.
    void Stop() { m_server->Stop(); }
    void Start() { m_server->Start(); }

private:
    plcsim::Bus m_bus;
    std::unique_ptr<plcsim::PtyServer> m_server;
};

}  // namespace gateway
