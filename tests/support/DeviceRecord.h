// A device record of the engine with a table of its own and the ten device
// properties (all 0), for tests that call the engine's routines directly.
#pragma once

#include "DevBas.h"
#include "DevVocabulary.h"

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

    // Appends one row; returns its index in the table.
    int AppendRow(unsigned int chlType, unsigned int address, unsigned int code, unsigned int bit = 0,
                  unsigned int rwFlag = 2) {
        CArray<CDevRow, CDevRow&> rows;
        rows.SetSize(1);
        rows[0].SetdwValue(DEVROW_STR_CHLRWFLAG, rwFlag);
        rows[0].SetdwValue(DEVROW_STR_CHLTYPE, chlType);
        rows[0].SetdwValue(DEVROW_STR_CHLADDRESS, address);
        rows[0].SetdwValue(DEVROW_STR_CHLDATATYPE, code);
        rows[0].SetdwValue(DEVROW_STR_CHLBIT, bit);
        Table().AddRows(rows, 0);
        return Table().GetRowCount() - 1;
    }

    ZEVO_DATA data;
};
