// Entry routines between the device controller and the engine.
#pragma once

#include <cstdint>

#include "CArray.h"
#include "DataType.h"
#include "HostArrays.h"
#include "HostString.h"
#include "ZevoData.h"

namespace zevo_device {

int DllInit();
int SvrInitDevRun(ZEVO_DATA& data);
int SvrExitDevRun(ZEVO_DATA& data);
int SvrCollectDevData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values, CStringArray& strings);
int SvrDevIOCtrl(ZEVO_DATA& data, CString& command, CArray<double, double>& values, CStringArray& strings);
int SvrDevWriteChannel(ZEVO_DATA& data, int channel, DATATYPE type, void* value);

// Makes a call that started at startTick last at least 5 ms.
void PaceCall(uint64_t startTick);

}  // namespace zevo_device
