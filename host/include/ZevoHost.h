// Everything the host runtime offers a device-driver plug-in.
#pragma once

#include "DataType.h"
#include "HostArrays.h"
#include "HostString.h"
#include "HostTime.h"
#include "ICommunication.h"
#include "IDevRtdbCtrl.h"
#include "IDeviceCtrl.h"
