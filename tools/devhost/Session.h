// One controller of the plug-in on its port, as the host runtime sets it up:
// the device's configuration, the port (traced and measured), the database,
// and the controller told the port, the blob and that every channel is used.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/CodeTexts.h"
#include "toolkit/Database.h"
#include "toolkit/DeviceFile.h"
#include "toolkit/Plugin.h"
#include "toolkit/PortFactory.h"
#include "toolkit/TracingPort.h"

namespace devhost {

using toolkit::CodeText;

// Set-up failed (exit status 1); the message says what and why.
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Session {
public:
    // Throws SetupError.
    Session(toolkit::DeviceFile device, const toolkit::PortOptions& port, const std::string& pluginPath, bool trace);

    IDeviceCtrl& Ctrl() { return *m_ctrl; }
    toolkit::Database& Rtdb() { return m_rtdb; }
    toolkit::TracingPort& Port() { return *m_tracing; }
    const devdesc::Description& Desc() const { return m_device.description; }
    std::vector<int>& Refs() { return m_refs; }

private:
    // Members go in reverse order: the controller is cleaned up while its
    // database and port are still there.
    toolkit::DeviceFile m_device;
    std::unique_ptr<toolkit::Port> m_port;
    std::unique_ptr<toolkit::TracingPort> m_tracing;
    toolkit::Database m_rtdb;
    toolkit::Controller m_ctrl;
    std::vector<int> m_refs;
};

}  // namespace devhost
