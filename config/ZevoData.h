// The device record handed by reference to every engine and service routine,
// and the driver-private device data it points to.
#pragma once

#include "CArray.h"
#include "DataType.h"
#include "HostString.h"

class COwnerArchive;
class CDevTable;
class ICommunication;
class IDevRtdbCtrl;
struct ZEVO_DATA;

// Block states of the planner.
enum BLOCK_STATE {
    BLOCK_LINKED = 1,  // may be joined with the next block
    BLOCK_GAP = 4,     // the run ended at an address hole
    BLOCK_CLOSED = 6,  // ends a request
};

// One planned read (or write) block: rows nStartRow..nEndRow of the table.
struct DynBlock {
    int nStartRow;
    int nEndRow;
    int nChlType;
    int nLength;  // PLC elements (bits or 16-bit words) the block spans
    int nRank;    // request number; blocks of equal rank share one request
    int nState;   // BLOCK_STATE
};

// The driver-private data of one device.
struct DEV_DATA {
    CArray<int, int> arProperty;  // device properties, indexes 0-9 (DEV_PROPERTY)
    CDevTable* pTable = nullptr;  // the channel table; owned
    int nReadRank = -1;           // rank of the block to read next
    int nReadIndex = 0;           // index in arBlock where the search for nReadRank starts
    int nPlanTotal = 0;           // working total of block planning
    int nRankCount = 0;           // ranks planned; 0: nothing to collect
    CArray<DynBlock, DynBlock&> arBlock;
};

typedef int (*PFN_PARAMVALUE)(ZEVO_DATA& data, CString name, DATATYPE type, void* value);
typedef int (*PFN_PARAMTYPE)(ZEVO_DATA& data, CString name, DATATYPE& type);

// The device record: what one configured device needs.
struct ZEVO_DATA {
    CString strDevName;
    COwnerArchive* pArchive;  // non-null only while InitDevice runs
    DEV_DATA* pDevData;       // null before InitDevice and after CleanupDevice
    ICommunication* pComm;    // null: no port
    IDevRtdbCtrl* pRtdb;      // the controller's database wrapper
    PFN_PARAMVALUE pfnSetParamValue;
    PFN_PARAMVALUE pfnGetParamValue;
    PFN_PARAMTYPE pfnGetParamType;

    ZEVO_DATA()
        : pArchive(nullptr),
          pDevData(nullptr),
          pComm(nullptr),
          pRtdb(nullptr),
          pfnSetParamValue(nullptr),
          pfnGetParamValue(nullptr),
          pfnGetParamType(nullptr) {}
    ZEVO_DATA(const ZEVO_DATA&) = delete;
    ZEVO_DATA& operator=(const ZEVO_DATA&) = delete;
};
