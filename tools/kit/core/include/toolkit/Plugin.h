// The plug-in as a host loads it: the shared library opened once with dlopen,
// and any number of controllers created through its exports. Each controller
// keeps the library loaded until it is destroyed, so a host that drives many
// devices loads the plug-in once and creates one controller per device.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "IDevRtdbCtrl.h"
#include "IDeviceCtrl.h"

namespace toolkit {

// The library cannot be opened or lacks an export.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The plug-in a tool loads unless told otherwise: the installed one when the
// running program is the installed one (it lives in installedBinDir), else
// the one of the build tree the program was built in.
std::string DefaultPluginPath(const std::string& built, const std::string& installedBinDir,
                              const std::string& installed);

class Controller;

class PluginLibrary : public std::enable_shared_from_this<PluginLibrary> {
public:
    using CreateFn = IDeviceCtrl* (*)(const char*, IDevRtdbCtrl*);
    using DestroyFn = int (*)(IDeviceCtrl*);
    using VersionFn = int (*)(int, IDeviceCtrl*);

    // Opens the library and finds CreateDeviceCtrl, DestroyDeviceCtrl and
    // GetInterfaceVersion; throws PluginError with dlopen's reason.
    static std::shared_ptr<PluginLibrary> Load(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new controller on the database (which must outlive it), told the
    // host's interface version. Throws PluginError when none is created.
    Controller Create(const std::string& name, IDevRtdbCtrl* rtdb, int interfaceVersion = 2);
    // Creating a controller sets up tables in the plug-in that every
    // controller reads: a host that drives controllers on several threads
    // holds Use() around each call on a controller, and Create waits until
    // no such call is under way (calls under Use() still run side by side).
    std::shared_lock<std::shared_mutex> Use() { return std::shared_lock<std::shared_mutex>(m_shared); }
    const std::string& Path() const { return m_path; }

private:
    PluginLibrary() = default;

    std::string m_path;
    void* m_handle = nullptr;
    CreateFn m_create = nullptr;
    DestroyFn m_destroy = nullptr;
    VersionFn m_version = nullptr;
    std::shared_mutex m_shared;

    friend class Controller;
};

// One controller: CleanupDevice and DestroyDeviceCtrl when it goes.
class Controller {
public:
    Controller() = default;
    ~Controller() { Reset(); }
    Controller(Controller&& other) noexcept;
    Controller& operator=(Controller&& other) noexcept;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    explicit operator bool() const { return m_ctrl != nullptr; }
    IDeviceCtrl* Get() const { return m_ctrl; }
    IDeviceCtrl* operator->() const { return m_ctrl; }
    IDeviceCtrl& operator*() const { return *m_ctrl; }
    // Cleans up and destroys the controller now.
    void Reset();

private:
    Controller(std::shared_ptr<PluginLibrary> library, IDeviceCtrl* ctrl)
        : m_library(std::move(library)), m_ctrl(ctrl) {}

    std::shared_ptr<PluginLibrary> m_library;
    IDeviceCtrl* m_ctrl = nullptr;

    friend class PluginLibrary;
};

}  // namespace toolkit
