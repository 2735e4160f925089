// Collection steps through the loaded plug-in: a controller configured from a
// blob, its channels declared in the in-memory database, and a port that is
// either the in-process simulated PLC or a scripted port for exact bytes (the
// scripted one can pass the requests on to the same PLC). A fake clock makes
// every wait of the transactions free.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Blob.h"
#include "DevChannelTypes.h"
#include "DriverSession.h"
#include "FakeClock.h"
#include "ScriptedPort.h"
#include "plcsim/LoopbackPort.h"
#include "plcsim/Plc.h"

namespace collect {

// Channel types (the index of the area) and data-type codes of rows.
enum : uint32_t {
    kM = CHL_TYPE_M,
    kX = CHL_TYPE_X,
    kHsc = CHL_TYPE_HSC,
    kD = CHL_TYPE_D,
    kHd = CHL_TYPE_HD,
    kFs = CHL_TYPE_FS
};
enum : uint32_t {
    kBitArea = 20,
    kWub = 83,
    kWb = 84,
    kWd = 85,
    kDub = 86,
    kDb = 87,
    kDd = 88,
    kDf = 89,
    kLub = 90,
    kLb = 91,
    kLd = 92,
    kLf = 93,
    kStr = 131
};

// A read-write row; for strings, length is the string length in bytes.
inline TestRow Row(uint32_t chlType, uint32_t address, uint32_t code, uint32_t length = 0, uint32_t rwFlag = 2) {
    return MakeRow(chlType, address, code, length, rwFlag);
}

inline std::vector<int> Refs(std::initializer_list<int> values) { return std::vector<int>(values); }

class CollectTest : public ::testing::Test {
protected:
    // Configures a controller with the rows, declares every channel with the
    // type, plans with every channel in use and connects the port (the
    // simulated PLC unless the scripted port is asked for).
    void Start(const std::vector<TestRow>& rows, std::vector<int32_t> properties = DefaultProperties(),
               DATATYPE type = DATATYPE_DOUBLE, int rtdbVersion = 2) {
        session = std::make_unique<DriverSession>("dev1", rtdbVersion);
        for (size_t i = 0; i < rows.size(); ++i) session->Rtdb().DeclareChannel(static_cast<int>(i), type);
        ASSERT_EQ(session->UsePort(useScript ? static_cast<ICommunication*>(&script) : &loop), 0);
        ASSERT_EQ(session->Init(MakeBlob(properties, rows)), 0);
        count = static_cast<int>(rows.size());
        ASSERT_EQ(session->RefChange(DriverSession::AllInUse(count)), 0);
    }
    // Requests written to the scripted port go to the simulated PLC, and its
    // answer (none when it stays silent) comes back in one piece.
    void ScriptThroughPlc() {
        useScript = true;
        script.SetResponder([this](const Bytes& request) { return std::vector<Bytes>{plc.Handle(request)}; });
    }

    int Collect() { return session->Collect(DriverSession::AllInUse(count)); }
    int Collect(const std::vector<int>& refs) { return session->Collect(refs); }
    MemoryRtdb& Db() { return session->Rtdb(); }
    double Value(int channel) { return Db().Channel(channel).d; }
    // Channels stored by the last collection call (and clears the log).
    std::vector<int> Stored() {
        std::vector<int> stores = Db().Stores();
        Db().ClearStores();
        return stores;
    }
    // Start address of the request written last to the scripted port.
    int LastRequestAddress() {
        if (script.Writes().empty()) return -1;
        const Bytes& w = script.Writes().back();
        return w.size() < 6 ? -1 : (w[3] << 16) | (w[4] << 8) | w[5];
    }

    FakeClock clock;
    plcsim::Plc plc;
    plcsim::LoopbackPort loop{plc};
    ScriptedPort script;
    bool useScript = false;
    std::unique_ptr<DriverSession> session;
    int count = 0;
};

}  // namespace collect
