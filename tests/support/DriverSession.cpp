#include "DriverSession.h"

#include <dlfcn.h>

#include <stdexcept>

namespace {

using CreateFn = IDeviceCtrl* (*)(const char*, IDevRtdbCtrl*);
using DestroyFn = int (*)(IDeviceCtrl*);
using VersionFn = int (*)(int, IDeviceCtrl*);

struct Exports {
    void* handle = nullptr;
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    VersionFn version = nullptr;
    std::string error;
};

// Loaded once and kept: unloading between tests would only test the loader.
Exports& Plugin() {
    static Exports exports = [] {
        Exports e;
        e.handle = dlopen(QUORLAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (e.handle == nullptr) {
            const char* message = dlerror();
            e.error = message != nullptr ? message : "dlopen failed";
            return e;
        }
        e.create = reinterpret_cast<CreateFn>(dlsym(e.handle, "CreateDeviceCtrl"));
        e.destroy = reinterpret_cast<DestroyFn>(dlsym(e.handle, "DestroyDeviceCtrl"));
        e.version = reinterpret_cast<VersionFn>(dlsym(e.handle, "GetInterfaceVersion"));
        if (e.create == nullptr || e.destroy == nullptr || e.version == nullptr) e.error = "missing export";
        return e;
    }();
    return exports;
}

}  // namespace

std::string DriverSession::LoadError() { return Plugin().error; }

DriverSession::DriverSession(const char* deviceName, int rtdbVersion) {
    Exports& e = Plugin();
    if (!e.error.empty()) throw std::runtime_error("cannot load the plug-in: " + e.error);
    m_ctrl = e.create(deviceName, &m_rtdb);
    if (m_ctrl == nullptr) throw std::runtime_error("CreateDeviceCtrl returned no controller");
    e.version(rtdbVersion, m_ctrl);
}

DriverSession::~DriverSession() {
    if (m_ctrl != nullptr) Plugin().destroy(m_ctrl);
}
