// A device record wired to a scripted port and a fake clock, for frame,
// transaction and transport tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DevBas.h"
#include "DevServer.h"
#include "DevVocabulary.h"
#include "FakeClock.h"
#include "ScriptedPort.h"

class FrameTest : public ::testing::Test {
protected:
    FrameTest() {
        CDevBas::mfInitBlockAndRow();
        data.pDevData = new DEV_DATA;
        data.pDevData->pTable = new CDevTable;
        data.pDevData->arProperty.SetSize(DEV_PROPERTY_COUNT);
        Prop(DEVPROP_STATION) = 1;
        Prop(DEVPROP_WAITTIME) = 100;
        data.pComm = &port;
    }
    ~FrameTest() override { CDevBas::mfDeleteMydata(data); }

    int& Prop(int index) { return data.pDevData->arProperty[index]; }
    CDevTable& Table() { return *data.pDevData->pTable; }

    // Appends a row of the given channel type and element address.
    int AddRow(unsigned int chlType, unsigned int address) {
        CArray<CDevRow, CDevRow&> rows;
        rows.SetSize(1);
        rows[0].SetdwValue(DEVROW_STR_CHLTYPE, chlType);
        rows[0].SetdwValue(DEVROW_STR_CHLADDRESS, address);
        rows[0].SetdwValue(DEVROW_STR_CHLDATATYPE, chlType <= 13 ? DATACODE_BITAREA : DATACODE_WUB);
        Table().AddRows(rows, 0);
        return Table().GetRowCount() - 1;
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
    ZEVO_DATA data;
    CString order;
};
