// The device controller that the host drives through IDeviceCtrl, and the
// plug-in's three exports.
#pragma once

#include "CArray.h"
#include "DevResultCodes.h"
#include "HostArrays.h"
#include "IDevRtdbCtrl.h"
#include "IDeviceCtrl.h"
#include "ZevoData.h"

class CDevRtdb;

// The driver's interface version, answered by GetInterfaceVersion.
const int DEVCTRL_INTERFACE_VERSION = 2;

class CDevCtrl : public virtual IDeviceCtrl {
public:
    CDevCtrl(const char* name, IDevRtdbCtrl* rtdb);

    int InitDevice(const unsigned char* config, int length) override;
    int CleanupDevice() override;
    int CollectDevData(const int* refs, int count) override;
    int DevIOCtrl(const char* command) override;
    int WriteChannel(int channel, DATATYPE type, void* value) override;
    int UpdataCommunication(ICommunication* comm) override;
    int ChannelRefChange(const int* refs, int count) override;
    int SetChannelAddress(int channel, int offset) override;
    virtual ~CDevCtrl();

    int CheckIDevRtdbCtrlversion(int version);

    static int GetParamType_Fun(ZEVO_DATA& data, CString name, DATATYPE& type);
    static int GetParamValue_Fun(ZEVO_DATA& data, CString name, DATATYPE type, void* value);
    static int SetParamValue_Fun(ZEVO_DATA& data, CString name, DATATYPE type, void* value);

    // Read access for tests and tools.
    ZEVO_DATA& GetDevData() { return m_devData; }
    int GetChlCount() const { return m_nChlCount; }

private:
    void _InitValueArray(int count);
    int _InitPChanglRef(const int* refs, int count);
    bool _InitSetReadIndex();
    bool _NeedCollect(int rank);
    void _SetValueToRtdb();
    void _InitAddressTable();
    // True when the device data exist (an operation that needs them may run).
    bool _HasDeviceData() const { return m_devData.pDevData != nullptr; }

    ZEVO_DATA m_devData;
    CDevRtdb* m_pDevRtdb;
    int m_nChlCount;
    CArray<int, int> m_arChlFlag;
    CArray<int, int> m_arChlRef;
    CArray<double, double> m_arChlValue;
    CStringArray m_strArChlValue;
    CArray<unsigned int, unsigned int> m_arChlAddress;
};

#define QUORLAN_EXPORT extern "C" __attribute__((visibility("default")))

QUORLAN_EXPORT IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb);
QUORLAN_EXPORT int DestroyDeviceCtrl(IDeviceCtrl* ctrl);
QUORLAN_EXPORT int GetInterfaceVersion(int version, IDeviceCtrl* ctrl);
