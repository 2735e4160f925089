// Loads the built plug-in as a host would (dlopen), and checks its exports and
// the entry checks of every controller operation.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "Blob.h"
#include "DevResultCodes.h"
#include "IDeviceCtrl.h"
#include "MemoryRtdb.h"
#include "ScriptedPort.h"

namespace {

const int kBadArgument = DEVCTRL_ERR_ARGUMENT;

using CreateFn = IDeviceCtrl* (*)(const char*, IDevRtdbCtrl*);
using DestroyFn = int (*)(IDeviceCtrl*);
using VersionFn = int (*)(int, IDeviceCtrl*);

class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        handle = dlopen(QUORLAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        create = reinterpret_cast<CreateFn>(dlsym(handle, "CreateDeviceCtrl"));
        destroy = reinterpret_cast<DestroyFn>(dlsym(handle, "DestroyDeviceCtrl"));
        version = reinterpret_cast<VersionFn>(dlsym(handle, "GetInterfaceVersion"));
        ASSERT_NE(create, nullptr);
        ASSERT_NE(destroy, nullptr);
        ASSERT_NE(version, nullptr);
    }
    void TearDown() override {
        if (handle != nullptr) dlclose(handle);
    }

    void* handle = nullptr;
    CreateFn create = nullptr;
    DestroyFn destroy = nullptr;
    VersionFn version = nullptr;
};

}  // namespace

TEST_F(LoadedPlugin, ExportsAnswerNullControllersAndTheInterfaceVersion) {
    MemoryRtdb rtdb;
    EXPECT_EQ(destroy(nullptr), 1);
    EXPECT_EQ(version(2, nullptr), 1);
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    ASSERT_NE(ctrl, nullptr);
    EXPECT_EQ(version(2, ctrl), 2);
    EXPECT_EQ(version(0, ctrl), 2);
    EXPECT_EQ(destroy(ctrl), 0);
}

TEST_F(LoadedPlugin, PortOfUnexpectedTypeIsReportedButStaysInUse) {
    MemoryRtdb rtdb;
    ScriptedPort port;
    port.SetPortType(3);
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    EXPECT_EQ(ctrl->UpdataCommunication(&port), kBadArgument);
    int refs[1] = {1};
    EXPECT_EQ(ctrl->CollectDevData(refs, 1), 0);
    ASSERT_EQ(port.DeviceNames().size(), 1u);  // the port was used all the same
    EXPECT_EQ(port.DeviceNames()[0], "dev1");
    port.SetPortType(2);
    EXPECT_EQ(ctrl->UpdataCommunication(&port), 0);
    EXPECT_EQ(ctrl->UpdataCommunication(nullptr), 0);
    EXPECT_EQ(ctrl->CollectDevData(refs, 1), -2);  // no port any more
    destroy(ctrl);
}

TEST_F(LoadedPlugin, InitDeviceRejectsAMissingOrEmptyConfiguration) {
    MemoryRtdb rtdb;
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    const unsigned char one = 0;
    EXPECT_EQ(ctrl->InitDevice(nullptr, 10), kBadArgument);
    EXPECT_EQ(ctrl->InitDevice(&one, 0), kBadArgument);
    EXPECT_EQ(ctrl->InitDevice(&one, -1), kBadArgument);
    destroy(ctrl);
}

TEST_F(LoadedPlugin, OperationsCheckArgumentsPortAndDeviceDataFirst) {
    MemoryRtdb rtdb;
    ScriptedPort port;
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    int value = 1;
    EXPECT_EQ(ctrl->WriteChannel(0, DATATYPE_INT, nullptr), kBadArgument);
    EXPECT_EQ(ctrl->WriteChannel(-1, DATATYPE_INT, &value), kBadArgument);
    EXPECT_EQ(ctrl->WriteChannel(0, DATATYPE_INT, &value), -2);
    EXPECT_EQ(ctrl->DevIOCtrl(nullptr), kBadArgument);
    EXPECT_EQ(ctrl->DevIOCtrl("READ(D,0,WUB=A)"), -2);
    ctrl->UpdataCommunication(&port);
    // Before InitDevice there are no device data to work on.
    EXPECT_EQ(ctrl->WriteChannel(0, DATATYPE_INT, &value), -3);
    EXPECT_EQ(ctrl->DevIOCtrl("READ(D,0,WUB=A)"), -3);
    EXPECT_TRUE(port.Writes().empty());
    int refs[2] = {1, 1};
    EXPECT_EQ(ctrl->CollectDevData(nullptr, 2), 0);
    EXPECT_EQ(ctrl->CollectDevData(refs, 0), 0);
    EXPECT_EQ(ctrl->ChannelRefChange(nullptr, 2), kBadArgument);
    EXPECT_EQ(ctrl->ChannelRefChange(refs, -1), kBadArgument);
    EXPECT_EQ(ctrl->SetChannelAddress(0, 1), kBadArgument);  // no device data
    destroy(ctrl);
}

TEST_F(LoadedPlugin, CleanupTwiceSucceedsAndLeavesNoDeviceToCollect) {
    MemoryRtdb rtdb;
    ScriptedPort port;
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    ctrl->UpdataCommunication(&port);
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), {TestRow{}});
    EXPECT_EQ(ctrl->InitDevice(blob.data(), static_cast<int>(blob.size())), 0);
    EXPECT_EQ(ctrl->CleanupDevice(), 0);
    EXPECT_EQ(ctrl->CleanupDevice(), 0);
    int refs[1] = {1};
    int value = 1;
    EXPECT_EQ(ctrl->CollectDevData(refs, 1), -3);
    EXPECT_EQ(ctrl->ChannelRefChange(refs, 1), -3);
    EXPECT_EQ(ctrl->SetChannelAddress(0, 1), kBadArgument);
    EXPECT_EQ(ctrl->WriteChannel(0, DATATYPE_INT, &value), -3);
    EXPECT_EQ(ctrl->DevIOCtrl("READ(D,0,WUB=A)"), -3);
    EXPECT_TRUE(port.Writes().empty());
    destroy(ctrl);
}

TEST_F(LoadedPlugin, ControllerDestroyedWithoutCleanupReleasesItsDeviceData) {
    // Under the sanitizer build a leak here fails the test program.
    MemoryRtdb rtdb;
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), {TestRow{}, TestRow{}});
    EXPECT_EQ(ctrl->InitDevice(blob.data(), static_cast<int>(blob.size())), 0);
    EXPECT_EQ(destroy(ctrl), 0);
}

TEST_F(LoadedPlugin, CollectionWithoutAPlanReadsNothingAndStoresNothing) {
    MemoryRtdb rtdb;
    rtdb.DeclareChannel(0, DATATYPE_INT);
    ScriptedPort port;
    IDeviceCtrl* ctrl = create("dev1", &rtdb);
    ctrl->UpdataCommunication(&port);
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), {TestRow{}});
    ctrl->InitDevice(blob.data(), static_cast<int>(blob.size()));
    int refs[1] = {1};
    EXPECT_EQ(ctrl->CollectDevData(refs, 1), 0);
    EXPECT_TRUE(port.Writes().empty());
    EXPECT_TRUE(rtdb.Stores().empty());
    destroy(ctrl);
}

TEST_F(LoadedPlugin, NullHostDatabaseNeverCrashesTheController) {
    ScriptedPort port;
    IDeviceCtrl* ctrl = create("dev1", nullptr);
    ctrl->UpdataCommunication(&port);
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), {TestRow{}});
    EXPECT_EQ(ctrl->InitDevice(blob.data(), static_cast<int>(blob.size())), 0);
    int refs[1] = {1};
    EXPECT_EQ(ctrl->ChannelRefChange(refs, 1), 0);
    ctrl->CollectDevData(refs, 1);
    ctrl->DevIOCtrl("READ(D,0,WUB=A)");
    EXPECT_EQ(destroy(ctrl), 0);
}
