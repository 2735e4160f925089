// Version-gated forwarding to the host's real-time database.
#include "qdevrtdb.h"

CDevRtdb::CDevRtdb(IDevRtdbCtrl* host) : m_nRtdbVersion(1), m_pRtdbCtrl(host) {}

CDevRtdb::~CDevRtdb() {}

int CDevRtdb::SetIDevRtdbCtrlVersion(int version) {
    m_nRtdbVersion = version;
    return 1;
}

int CDevRtdb::Refused(int neededVersion) const {
    if (m_nRtdbVersion < neededVersion) return RTDB_ERR_VERSION;
    // A host that gave no database: every call answers "no database".
    if (m_pRtdbCtrl == nullptr) return RTDB_ERR_NODATABASE;
    return 0;
}

int CDevRtdb::GetValueTypeByName(const char* name, DATATYPE& type) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueTypeByName(name, type);
}

int CDevRtdb::GetValueByName(const char* name, int& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByName(name, value);
}

int CDevRtdb::GetValueByName(const char* name, double& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByName(name, value);
}

int CDevRtdb::GetValueByName(const char* name, std::string& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByName(name, value);
}

int CDevRtdb::SetValueByName(const char* name, int value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByName(name, value);
}

int CDevRtdb::SetValueByName(const char* name, double value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByName(name, value);
}

int CDevRtdb::SetValueByName(const char* name, std::string& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByName(name, value);
}

int CDevRtdb::GetValueTypeByChannel(int channel, DATATYPE& type) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueTypeByChannel(channel, type);
}

int CDevRtdb::GetValueByChannel(int channel, int& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByChannel(channel, value);
}

int CDevRtdb::GetValueByChannel(int channel, double& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByChannel(channel, value);
}

int CDevRtdb::GetValueByChannel(int channel, std::string& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueByChannel(channel, value);
}

int CDevRtdb::SetValueByChannel(int channel, int value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByChannel(channel, value);
}

int CDevRtdb::SetValueByChannel(int channel, double value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByChannel(channel, value);
}

int CDevRtdb::SetValueByChannel(int channel, std::string& value) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->SetValueByChannel(channel, value);
}

int CDevRtdb::GetValueIDByChannel(int channel, int& id) {
    int refused = Refused(1);
    return refused != 0 ? refused : m_pRtdbCtrl->GetValueIDByChannel(channel, id);
}

int CDevRtdb::SetCollectFlagSuc(int channel) {
    int refused = Refused(2);
    if (refused != 0) return refused;
    // Only a host of interface version 2 or above hands over the derived interface.
    return static_cast<IDevRtdbCtrl2*>(m_pRtdbCtrl)->SetCollectFlagSuc(channel);
}
