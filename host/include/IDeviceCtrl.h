// The interface the host expects from a device controller. The slot order is
// part of the binary contract with the host; there is no destructor slot.
#pragma once

#include "DataType.h"
#include "ICommunication.h"
#include "ZevoHostApi.h"

class ZEVO_HOST_API IDeviceCtrl {
public:
    virtual int InitDevice(const unsigned char* config, int length) = 0;
    virtual int CleanupDevice() = 0;
    virtual int CollectDevData(const int* refs, int count) = 0;
    virtual int DevIOCtrl(const char* command) = 0;
    virtual int WriteChannel(int channel, DATATYPE type, void* value) = 0;
    virtual int UpdataCommunication(ICommunication* comm) = 0;
    virtual int ChannelRefChange(const int* refs, int count) = 0;
    virtual int SetChannelAddress(int channel, int offset) = 0;
};
