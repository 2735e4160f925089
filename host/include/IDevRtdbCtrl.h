// The host's real-time database as handed to a device controller. Slot order
// is part of the binary contract: 0-14 in IDevRtdbCtrl, 15 in IDevRtdbCtrl2.
#pragma once

#include <string>

#include "DataType.h"
#include "ZevoHostApi.h"

class ZEVO_HOST_API IDevRtdbCtrl {
public:
    virtual int GetValueTypeByName(const char* name, DATATYPE& type) = 0;
    virtual int GetValueByName(const char* name, int& value) = 0;
    virtual int GetValueByName(const char* name, double& value) = 0;
    virtual int GetValueByName(const char* name, std::string& value) = 0;
    virtual int SetValueByName(const char* name, int value) = 0;
    virtual int SetValueByName(const char* name, double value) = 0;
    virtual int SetValueByName(const char* name, std::string& value) = 0;
    virtual int GetValueTypeByChannel(int channel, DATATYPE& type) = 0;
    virtual int GetValueByChannel(int channel, int& value) = 0;
    virtual int GetValueByChannel(int channel, double& value) = 0;
    virtual int GetValueByChannel(int channel, std::string& value) = 0;
    virtual int SetValueByChannel(int channel, int value) = 0;
    virtual int SetValueByChannel(int channel, double value) = 0;
    virtual int SetValueByChannel(int channel, std::string& value) = 0;
    virtual int GetValueIDByChannel(int channel, int& id) = 0;
};

class ZEVO_HOST_API IDevRtdbCtrl2 : public IDevRtdbCtrl {
public:
    virtual int SetCollectFlagSuc(int channel) = 0;
};
