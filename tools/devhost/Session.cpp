#include "Session.h"

namespace devhost {

Session::Session(toolkit::DeviceFile device, const toolkit::PortOptions& port, const std::string& pluginPath,
                 bool trace)
    : m_device(std::move(device)), m_rtdb(m_device.ChannelTypes()) {
    try {
        m_port = toolkit::OpenPort(port);
    } catch (const toolkit::PortError& e) {
        throw SetupError(e.what());
    }
    m_tracing = std::make_unique<toolkit::TracingPort>(m_port->Communication(), trace ? stderr : nullptr);
    try {
        m_ctrl = toolkit::PluginLibrary::Load(pluginPath)->Create("devhost", &m_rtdb);
    } catch (const toolkit::PluginError& e) {
        throw SetupError(std::string("plug-in cannot be loaded: ") + e.what());
    }
    int rc = m_ctrl->UpdataCommunication(m_tracing.get());
    if (rc != 0) throw SetupError("the controller refused the port: " + CodeText(rc));
    rc = m_ctrl->InitDevice(m_device.blob.data(), static_cast<int>(m_device.blob.size()));
    if (rc != 0) throw SetupError("InitDevice failed: " + CodeText(rc));
    m_refs.assign(m_device.description.rows.size(), 1);
    rc = m_ctrl->ChannelRefChange(m_refs.data(), static_cast<int>(m_refs.size()));
    if (rc != 0) throw SetupError("ChannelRefChange failed: " + CodeText(rc));
}

}  // namespace devhost
