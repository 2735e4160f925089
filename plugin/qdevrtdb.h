// The controller's wrapper around the host's real-time database: forwards
// every call unchanged, and refuses the calls that the host's database
// interface version does not offer (below 1: all; below 2: SetCollectFlagSuc).
#pragma once

#include <string>

#include "DevResultCodes.h"
#include "IDevRtdbCtrl.h"

class CDevRtdb : public IDevRtdbCtrl2 {
public:
    explicit CDevRtdb(IDevRtdbCtrl* host);

    int GetValueTypeByName(const char* name, DATATYPE& type) override;
    int GetValueByName(const char* name, int& value) override;
    int GetValueByName(const char* name, double& value) override;
    int GetValueByName(const char* name, std::string& value) override;
    int SetValueByName(const char* name, int value) override;
    int SetValueByName(const char* name, double value) override;
    int SetValueByName(const char* name, std::string& value) override;
    int GetValueTypeByChannel(int channel, DATATYPE& type) override;
    int GetValueByChannel(int channel, int& value) override;
    int GetValueByChannel(int channel, double& value) override;
    int GetValueByChannel(int channel, std::string& value) override;
    int SetValueByChannel(int channel, int value) override;
    int SetValueByChannel(int channel, double value) override;
    int SetValueByChannel(int channel, std::string& value) override;
    int GetValueIDByChannel(int channel, int& id) override;
    int SetCollectFlagSuc(int channel) override;
    virtual ~CDevRtdb();

    int SetIDevRtdbCtrlVersion(int version);
    int GetIDevRtdbCtrlVersion() const { return m_nRtdbVersion; }

private:
    // 0 when the call may go through; otherwise the code to answer.
    int Refused(int neededVersion) const;

    int m_nRtdbVersion;
    IDevRtdbCtrl* m_pRtdbCtrl;
};
