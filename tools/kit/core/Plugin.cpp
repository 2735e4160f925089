#include "toolkit/Plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace toolkit {

std::string DefaultPluginPath(const std::string& built, const std::string& installedBinDir,
                              const std::string& installed) {
    char self[PATH_MAX];
    char dir[PATH_MAX];
    if (realpath("/proc/self/exe", self) == nullptr || realpath(installedBinDir.c_str(), dir) == nullptr) return built;
    std::string program(self);
    return program.substr(0, program.find_last_of('/')) == dir ? installed : built;
}

std::shared_ptr<PluginLibrary> PluginLibrary::Load(const std::string& path) {
    std::shared_ptr<PluginLibrary> library(new PluginLibrary());
    library->m_path = path;
    library->m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library->m_handle == nullptr) {
        const char* e = dlerror();
        throw PluginError(e != nullptr ? e : path + ": dlopen failed");
    }
    library->m_create = reinterpret_cast<CreateFn>(dlsym(library->m_handle, "CreateDeviceCtrl"));
    library->m_destroy = reinterpret_cast<DestroyFn>(dlsym(library->m_handle, "DestroyDeviceCtrl"));
    library->m_version = reinterpret_cast<VersionFn>(dlsym(library->m_handle, "GetInterfaceVersion"));
    if (library->m_create == nullptr || library->m_destroy == nullptr || library->m_version == nullptr)
        throw PluginError(path + " lacks CreateDeviceCtrl, DestroyDeviceCtrl or GetInterfaceVersion");
    return library;
}

PluginLibrary::~PluginLibrary() {
    if (m_handle != nullptr) dlclose(m_handle);
}

Controller PluginLibrary::Create(const std::string& name, IDevRtdbCtrl* rtdb, int interfaceVersion) {
    std::unique_lock<std::shared_mutex> alone(m_shared);
    IDeviceCtrl* ctrl = m_create(name.c_str(), rtdb);
    if (ctrl == nullptr) throw PluginError("CreateDeviceCtrl returned no controller");
    Controller controller(shared_from_this(), ctrl);
    m_version(interfaceVersion, ctrl);
    return controller;
}

Controller::Controller(Controller&& other) noexcept : m_library(std::move(other.m_library)), m_ctrl(other.m_ctrl) {
    other.m_ctrl = nullptr;
}

Controller& Controller::operator=(Controller&& other) noexcept {
    if (this != &other) {
        Reset();
        m_library = std::move(other.m_library);
        m_ctrl = other.m_ctrl;
        other.m_ctrl = nullptr;
    }
    return *this;
}

void Controller::Reset() {
    if (m_ctrl != nullptr) {
        m_ctrl->CleanupDevice();
        m_library->m_destroy(m_ctrl);
        m_ctrl = nullptr;
    }
    m_library.reset();
}

}  // namespace toolkit
