// The one rig of the engine-level tests: a device record of the engine with a
// table of its own and the ten device properties (all 0), for tests that call
// the engine's routines directly. Rows come from the one row builder
// (MakeRow in Blob.h); a port and a host database may be wired in.
#pragma once

#include <vector>

#include "Blob.h"
#include "DevBas.h"
#include "DevVocabulary.h"
#include "qdevctrl.h"
#include "qdevrtdb.h"

class DeviceRecord {
public:
    DeviceRecord() {
        CDevBas::mfInitBlockAndRow();
        data.pDevData = new DEV_DATA;
        data.pDevData->pTable = new CDevTable;
        data.pDevData->arProperty.SetSize(DEV_PROPERTY_COUNT);
    }
    ~DeviceRecord() { CDevBas::mfDeleteMydata(data); }
    DeviceRecord(const DeviceRecord&) = delete;
    DeviceRecord& operator=(const DeviceRecord&) = delete;

    DEV_DATA& Dev() { return *data.pDevData; }
    int& Prop(int index) { return data.pDevData->arProperty[index]; }
    CDevTable& Table() { return *data.pDevData->pTable; }

    // The port the transactions use.
    void UsePort(ICommunication* port) { data.pComm = port; }
    // Host variables through the database wrapper, as the controller wires them.
    void UseRtdb(CDevRtdb* rtdb) {
        data.pRtdb = rtdb;
        data.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
        data.pfnGetParamValue = &CDevCtrl::GetParamValue_Fun;
        data.pfnSetParamValue = &CDevCtrl::SetParamValue_Fun;
    }

    // The engine's form of a row.
    static void Fill(CDevRow& out, const TestRow& row) {
        out.SetdwValue(DEVROW_STR_CHLRWFLAG, row.rwFlag);
        out.SetdwValue(DEVROW_STR_CHLTYPE, row.chlType);
        out.SetdwValue(DEVROW_STR_CHLADDRESS, row.address);
        out.SetdwValue(DEVROW_STR_CHLDATATYPE, row.dataType);
        out.SetdwValue(DEVROW_STR_CHLBIT, row.bit);
    }
    // Appends rows; returns the index of the last one in the table.
    int AppendRows(const std::vector<TestRow>& rows) {
        CArray<CDevRow, CDevRow&> added;
        added.SetSize(static_cast<int>(rows.size()));
        for (size_t i = 0; i < rows.size(); ++i) Fill(added[static_cast<int>(i)], rows[i]);
        Table().AddRows(added, 0);
        return Table().GetRowCount() - 1;
    }
    int AppendRow(const TestRow& row) { return AppendRows({row}); }
    int AppendRow(unsigned int chlType, unsigned int address, unsigned int code, unsigned int bit = 0,
                  unsigned int rwFlag = 2) {
        return AppendRow(MakeRow(chlType, address, code, bit, rwFlag));
    }

    ZEVO_DATA data;
};

// The same record behind a controller of the driver, linked statically so that
// the record stays open to inspection: made and announced through the
// plug-in's exports as a host does, with the caller's database and port.
class LinkedDevice {
public:
    LinkedDevice(const char* name, IDevRtdbCtrl* rtdb, ICommunication* port) : m_ctrl(CreateDeviceCtrl(name, rtdb)) {
        GetInterfaceVersion(2, m_ctrl);
        m_ctrl->UpdataCommunication(port);
    }
    ~LinkedDevice() {
        m_ctrl->CleanupDevice();
        DestroyDeviceCtrl(m_ctrl);
    }
    LinkedDevice(const LinkedDevice&) = delete;
    LinkedDevice& operator=(const LinkedDevice&) = delete;

    IDeviceCtrl* Ctrl() { return m_ctrl; }
    CDevCtrl& Controller() { return *dynamic_cast<CDevCtrl*>(m_ctrl); }
    ZEVO_DATA& Record() { return Controller().GetDevData(); }
    DEV_DATA& Dev() { return *Record().pDevData; }

    int Init(const std::vector<uint8_t>& blob) {
        return m_ctrl->InitDevice(blob.data(), static_cast<int>(blob.size()));
    }
    int Configure(const std::vector<int32_t>& properties, const std::vector<TestRow>& rows) {
        return Init(MakeBlob(properties, rows));
    }
    int RefChange(const std::vector<int>& refs) {
        return m_ctrl->ChannelRefChange(refs.data(), static_cast<int>(refs.size()));
    }
    int Collect(const std::vector<int>& refs) {
        return m_ctrl->CollectDevData(refs.data(), static_cast<int>(refs.size()));
    }

private:
    IDeviceCtrl* m_ctrl;
};
