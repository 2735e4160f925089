// The device controller: argument and state checks of every host operation,
// the exchange arrays of the collection cycle, and the database bridge.
#include "qdevctrl.h"

#include <new>
#include <string>

#include "Dev.h"
#include "DevBas.h"
#include "DevVocabulary.h"
#include "ICommunication.h"
#include "OwnerArchive.h"
#include "qdevrtdb.h"
#include "quorlan_COM.h"

namespace {

// A value stored into an integer channel: truncated toward zero, held to the
// int range (a 32-bit unsigned or 64-bit value may lie beyond it; converting
// such a double to int is undefined), NaN as 0.
int TruncateToInt(double value) {
    if (!(value == value)) return 0;
    if (value >= 2147483647.0) return 2147483647;
    if (value <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(value);
}

}  // namespace

CDevCtrl::CDevCtrl(const char* name, IDevRtdbCtrl* rtdb) : m_pDevRtdb(nullptr), m_nChlCount(-1) {
    zevo_device::DllInit();
    m_pDevRtdb = new CDevRtdb(rtdb);
    m_devData.pRtdb = m_pDevRtdb;
    m_devData.strDevName = name != nullptr ? name : "";
    m_devData.pfnSetParamValue = &CDevCtrl::SetParamValue_Fun;
    m_devData.pfnGetParamValue = &CDevCtrl::GetParamValue_Fun;
    m_devData.pfnGetParamType = &CDevCtrl::GetParamType_Fun;
}

CDevCtrl::~CDevCtrl() {
    // A host that destroys the controller without CleanupDevice must not leak
    // the device data and the database wrapper.
    CleanupDevice();
    m_arChlFlag.RemoveAll();
    m_arChlRef.RemoveAll();
    m_arChlValue.RemoveAll();
    m_strArChlValue.RemoveAll();
    m_arChlAddress.RemoveAll();
}

int CDevCtrl::CheckIDevRtdbCtrlversion(int version) {
    if (m_pDevRtdb != nullptr) m_pDevRtdb->SetIDevRtdbCtrlVersion(version);
    return 0;
}

int CDevCtrl::UpdataCommunication(ICommunication* comm) {
    m_devData.pComm = comm;
    if (comm == nullptr) return DEVCTRL_OK;
    int type = comm->GetPortType();
    return (type == 1 || type == 2) ? DEVCTRL_OK : DEVCTRL_ERR_ARGUMENT;
}

int CDevCtrl::InitDevice(const unsigned char* config, int length) {
    if (config == nullptr || length <= 0) return DEVCTRL_ERR_ARGUMENT;
    COwnerArchive* archive = new (std::nothrow) COwnerArchive(ARCHIVE_STORING);
    if (archive == nullptr) {
        m_devData.pArchive = nullptr;
        return DEVCTRL_ERR_ALLOC;
    }
    m_devData.pArchive = archive;
    archive->SvrWrite(config, length);
    archive->SvrSeekToBegin();
    archive->SvrChangeMode(ARCHIVE_LOADING);
    zevo_device::SvrInitDevRun(m_devData);
    _InitAddressTable();
    delete m_devData.pArchive;
    m_devData.pArchive = nullptr;
    return DEVCTRL_OK;
}

int CDevCtrl::CleanupDevice() {
    zevo_device::SvrExitDevRun(m_devData);
    delete m_devData.pArchive;
    m_devData.pArchive = nullptr;
    delete m_pDevRtdb;
    m_pDevRtdb = nullptr;
    m_devData.pRtdb = nullptr;
    return DEVCTRL_OK;
}

void CDevCtrl::_InitValueArray(int count) {
    if (m_nChlCount != 0 && m_nChlCount == count) return;
    if (count > 0)
        m_nChlCount = count;
    else if (m_nChlCount <= 0)
        m_nChlCount = 0;
    int size = m_nChlCount + 1;
    // The engine indexes the arrays by row: they always cover the whole table.
    if (m_devData.pDevData != nullptr && m_devData.pDevData->pTable != nullptr) {
        int rows = m_devData.pDevData->pTable->GetRowCount();
        if (size < rows + 1) size = rows + 1;
    }
    if (m_arChlRef.GetSize() == size && m_arChlFlag.GetSize() == size) return;
    m_arChlRef.SetSize(size);
    m_arChlValue.SetSize(size);
    m_strArChlValue.SetSize(size);
    m_arChlFlag.SetSize(size);
}

int CDevCtrl::_InitPChanglRef(const int* refs, int count) {
    if (m_pDevRtdb == nullptr) return DEVCTRL_ERR_NORTDB;
    int size = m_arChlRef.GetSize();
    if (size > 0) m_arChlRef[0] = 0;
    for (int i = 1; i < size; ++i) m_arChlRef[i] = (i - 1 < count && refs[i - 1] >= 1) ? 1 : 0;
    return DEVCTRL_OK;
}

bool CDevCtrl::_NeedCollect(int rank) {
    DEV_DATA* dev = m_devData.pDevData;
    int flagCount = m_arChlFlag.GetSize();
    for (int b = 0; b < dev->arBlock.GetSize(); ++b) {
        const DynBlock& block = dev->arBlock[b];
        if (block.nRank != rank) continue;
        for (int row = block.nStartRow; row <= block.nEndRow; ++row)
            if (row + 1 >= 1 && row + 1 < flagCount && m_arChlFlag[row + 1] == 1) return true;
    }
    return false;
}

bool CDevCtrl::_InitSetReadIndex() {
    DEV_DATA* dev = m_devData.pDevData;
    if (dev == nullptr) return false;
    if (dev->arBlock.GetSize() == 0) {
        dev->nReadRank = dev->nReadIndex = 0;
        return false;
    }
    int current = dev->nReadRank;
    for (int b = 0; b < dev->arBlock.GetSize(); ++b) {
        int rank = dev->arBlock[b].nRank;
        if (rank >= current && _NeedCollect(rank)) {
            dev->nReadRank = rank;
            dev->nReadIndex = b;
            return true;
        }
    }
    dev->nReadRank = dev->nReadIndex = 0;
    for (int b = 0; b < dev->arBlock.GetSize() && dev->arBlock[b].nRank < current; ++b) {
        int rank = dev->arBlock[b].nRank;
        if (_NeedCollect(rank)) {
            dev->nReadRank = rank;
            dev->nReadIndex = b;
            return true;
        }
    }
    return false;
}

void CDevCtrl::_SetValueToRtdb() {
    if (m_pDevRtdb == nullptr) return;
    for (int i = 1; i < m_arChlFlag.GetSize(); ++i) {
        if (m_arChlFlag[i] != 3) continue;
        int channel = i - 1;
        DATATYPE type = DATATYPE_NONE;
        if (m_pDevRtdb->GetValueTypeByChannel(channel, type) != 0) continue;
        switch (type) {
            case DATATYPE_INT:
                m_pDevRtdb->SetValueByChannel(channel, TruncateToInt(m_arChlValue[i]));
                break;
            case DATATYPE_DOUBLE:
                m_pDevRtdb->SetValueByChannel(channel, m_arChlValue[i]);
                break;
            case DATATYPE_STRING: {
                std::string text(m_strArChlValue[i].c_str());
                m_pDevRtdb->SetValueByChannel(channel, text);
                break;
            }
            default:
                break;
        }
    }
}

int CDevCtrl::CollectDevData(const int* refs, int count) {
    if (count == 0 || refs == nullptr) return DEVCTRL_OK;
    if (m_devData.pComm == nullptr) return DEVCTRL_ERR_NOPORT;
    m_devData.pComm->SetDeviceName(m_devData.strDevName);
    _InitValueArray(count);
    if (m_pDevRtdb == nullptr || count < 0) return DEVCTRL_ERR_NORTDB;
    m_arChlFlag[0] = 1;
    for (int i = 1; i < m_arChlFlag.GetSize(); ++i) m_arChlFlag[i] = i - 1 < count ? refs[i - 1] : 0;
    if (!_InitSetReadIndex()) return DEVCTRL_OK;
    if (zevo_device::SvrCollectDevData(m_devData, m_arChlFlag, m_arChlValue, m_strArChlValue) == 0) _SetValueToRtdb();
    return static_cast<int>(m_arChlValue[0]);
}

int CDevCtrl::ChannelRefChange(const int* refs, int count) {
    if (refs == nullptr || count < 0) return DEVCTRL_ERR_ARGUMENT;
    if (m_devData.pComm != nullptr) m_devData.pComm->SetDeviceName(m_devData.strDevName);
    _InitValueArray(count);
    int result = _InitPChanglRef(refs, count);
    if (result != DEVCTRL_OK) return result;
    DEV_DATA* dev = m_devData.pDevData;
    if (dev == nullptr || dev->pTable == nullptr || dev->pTable->GetRowCount() == 0) return DEVCTRL_OK;
    if (dev->arBlock.GetSize() > 0) {
        dev->arBlock.RemoveAll();
        dev->nRankCount = 0;
    }
    CDevBas::mfMakeBlock(m_devData, m_arChlRef, 1);
    return DEVCTRL_OK;
}

int CDevCtrl::SetChannelAddress(int channel, int offset) {
    DEV_DATA* dev = m_devData.pDevData;
    if (channel < 0 || dev == nullptr) return DEVCTRL_ERR_ARGUMENT;
    if (m_arChlAddress.GetSize() == 0 || dev->pTable == nullptr || dev->pTable->GetRowCount() == 0) return DEVCTRL_OK;
    if (channel >= dev->pTable->GetRowCount() || channel >= m_arChlAddress.GetSize()) return DEVCTRL_ERR_ARGUMENT;
    // A signed 32-bit sum, computed without overflow.
    int64_t address = static_cast<int64_t>(static_cast<int32_t>(m_arChlAddress[channel])) + offset;
    if (address < 0 || address > INT32_MAX) return DEVCTRL_OK;
    dev->pTable->Row(channel).SetdwValue(DEVROW_STR_CHLADDRESS, static_cast<unsigned int>(address));
    return DEVCTRL_OK;
}

void CDevCtrl::_InitAddressTable() {
    DEV_DATA* dev = m_devData.pDevData;
    if (dev == nullptr || dev->pTable == nullptr) return;
    int rows = dev->pTable->GetRowCount();
    if (rows == 0) return;
    m_arChlAddress.SetSize(rows);
    for (int i = 0; i < rows; ++i) m_arChlAddress[i] = dev->pTable->Row(i).GetdwValue(DEVROW_STR_CHLADDRESS);
}

int CDevCtrl::WriteChannel(int channel, DATATYPE type, void* value) {
    if (value == nullptr || channel < 0) return DEVCTRL_ERR_ARGUMENT;
    if (m_devData.pComm == nullptr) return DEVCTRL_ERR_NOPORT;
    // Without device data (before InitDevice, after CleanupDevice) there is
    // nothing to write to.
    if (!_HasDeviceData()) return DEVCTRL_ERR_NORTDB;
    m_devData.pComm->SetDeviceName(m_devData.strDevName);
    _InitValueArray(0);
    return zevo_device::SvrDevWriteChannel(m_devData, channel, type, value);
}

int CDevCtrl::DevIOCtrl(const char* command) {
    if (command == nullptr) return DEVCTRL_ERR_ARGUMENT;
    if (m_devData.pComm == nullptr) return DEVCTRL_ERR_NOPORT;
    if (!_HasDeviceData()) return DEVCTRL_ERR_NORTDB;
    m_devData.pComm->SetDeviceName(m_devData.strDevName);
    _InitValueArray(0);
    CString text(command);
    zevo_device::SvrDevIOCtrl(m_devData, text, m_arChlValue, m_strArChlValue);
    return static_cast<int>(m_arChlValue[0]);
}

int CDevCtrl::GetParamType_Fun(ZEVO_DATA& data, CString name, DATATYPE& type) {
    if (name.IsEmpty()) return DEVCTRL_ERR_ARGUMENT;
    if (data.pRtdb == nullptr) return DEVCTRL_ERR_ALLOC;
    return data.pRtdb->GetValueTypeByName(name, type);
}

int CDevCtrl::GetParamValue_Fun(ZEVO_DATA& data, CString name, DATATYPE type, void* value) {
    if (value == nullptr || name.IsEmpty()) return DEVCTRL_ERR_ARGUMENT;
    if (data.pRtdb == nullptr) return DEVCTRL_ERR_ALLOC;
    switch (type) {
        case DATATYPE_INT:
            return data.pRtdb->GetValueByName(name, *static_cast<int*>(value));
        case DATATYPE_DOUBLE:
            return data.pRtdb->GetValueByName(name, *static_cast<double*>(value));
        case DATATYPE_STRING: {
            std::string text;
            int result = data.pRtdb->GetValueByName(name, text);
            *static_cast<CString*>(value) = text.c_str();
            return result;
        }
        default:
            return DEVCTRL_ERR_ARGUMENT;
    }
}

int CDevCtrl::SetParamValue_Fun(ZEVO_DATA& data, CString name, DATATYPE type, void* value) {
    if (value == nullptr || name.IsEmpty()) return DEVCTRL_ERR_ARGUMENT;
    if (data.pRtdb == nullptr) return DEVCTRL_ERR_ALLOC;
    switch (type) {
        case DATATYPE_INT:
            return data.pRtdb->SetValueByName(name, *static_cast<int*>(value));
        case DATATYPE_DOUBLE:
            return data.pRtdb->SetValueByName(name, *static_cast<double*>(value));
        case DATATYPE_STRING: {
            std::string text(static_cast<CString*>(value)->c_str());
            return data.pRtdb->SetValueByName(name, text);
        }
        default:
            return DEVCTRL_ERR_ARGUMENT;
    }
}

QUORLAN_EXPORT IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb) {
    CDevCtrl* ctrl = new CDevCtrl(name, rtdb);
    return static_cast<IDeviceCtrl*>(ctrl);
}

QUORLAN_EXPORT int DestroyDeviceCtrl(IDeviceCtrl* ctrl) {
    if (ctrl == nullptr) return 1;
    CDevCtrl* own = dynamic_cast<CDevCtrl*>(ctrl);
    delete own;
    return 0;
}

QUORLAN_EXPORT int GetInterfaceVersion(int version, IDeviceCtrl* ctrl) {
    if (ctrl == nullptr) return 1;
    CDevCtrl* own = dynamic_cast<CDevCtrl*>(ctrl);
    if (own != nullptr) own->CheckIDevRtdbCtrlversion(version);
    return DEVCTRL_INTERFACE_VERSION;
}
