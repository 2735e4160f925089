// The simulated PLCs of a simulated line: one station per device, each with
// its own memory, started from the device's [simulator] values, answering on
// one pseudo-terminal as a multi-drop bus does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plcsim/Plc.h"
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
    plcsim::Plc* Station(uint8_t station);
    // Stops answering (a simulator that died) and starts again.
    void Stop() { m_server->Stop(); }
    void Start() { m_server->Start(); }

private:
    std::vector<std::unique_ptr<plcsim::Plc>> m_plcs;
    std::unique_ptr<plcsim::PtyServer> m_server;
};

}  // namespace gateway
