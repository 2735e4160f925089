// A device record wired to a scripted port and a fake clock, for frame,
// transaction and transport tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "DeviceRecord.h"
#include "FakeClock.h"
#include "ScriptedPort.h"

class FrameTest : public ::testing::Test, protected DeviceRecord {
protected:
    FrameTest() {
        Prop(DEVPROP_STATION) = 1;
        Prop(DEVPROP_WAITTIME) = 100;
        UsePort(&port);
    }
    // Appends a row of the given channel type and element address.
    int AddRow(unsigned int chlType, unsigned int address) {
        return AppendRow(chlType, address, chlType <= 13 ? DATACODE_BITAREA : DATACODE_WUB, 0, 0);
    }

    // Runs one transaction of the hex request text.
    int Transact(const char* request, unsigned int expected, int attempts = 1) {
        order = request;
        return CDevBas::mfWriteAndRead(data, order, expected, DEV_RWTYPE_READ, attempts);
    }

    // Milliseconds the fake clock moved since the test began.
    uint64_t Elapsed() const { return clock.Now() - kStart; }

    static Bytes FromArray(CByteArray& bytes) { return Bytes(bytes.GetData(), bytes.GetData() + bytes.GetSize()); }

    static constexpr uint64_t kStart = 1000;
    FakeClock clock{kStart};
    ScriptedPort port;
    CString order;
};
