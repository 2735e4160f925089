// Entry routines between the device controller and the engine.
#include "quorlan_COM.h"

#include <cstdint>

#include "Dev.h"
#include "DevBas.h"
#include "DevResultCodes.h"
#include "HostTime.h"

// The host sees the engine's errors negated.
static_assert(DEVCTRL_NOANSWER == -DEV_ERR_NOANSWER && DEVCTRL_WRITEFAILED == -DEV_ERR_WRITE &&
                  DEVCTRL_BADCOMMAND == -DEV_ERR_COMMAND && DEVCTRL_NOTRANSFER == -DEV_ERR_NOTRANSFER &&
                  DEVCTRL_BADANSWER == -DEV_ERR_ANSWER && DEVCTRL_COLLECTFAILED == -DEV_ERR_COLLECT,
              "result codes of DevResultCodes.h and DEV_RESULT disagree");

namespace zevo_device {

int DllInit() {
    CDevBas::mfInitBlockAndRow();
    return 0;
}

int SvrInitDevRun(ZEVO_DATA& data) {
    CDevBas::mfCheckDevDataInit(data);
    return 1;
}

int SvrExitDevRun(ZEVO_DATA& data) {
    CDevBas::mfDeleteMydata(data);
    return 1;
}

int SvrCollectDevData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values, CStringArray& strings) {
    if (values.GetSize() < 2 || data.pDevData == nullptr || data.pDevData->pTable == nullptr ||
        data.pDevData->pTable->GetRowCount() < 1)
        return 0;
    return CDevBas::mfCollectDevData(data, flags, values, strings);
}

void PaceCall(uint64_t startTick) {
    // The pacing looks at the low 32 bits of the tick, as an unsigned difference.
    uint32_t elapsed = static_cast<uint32_t>(Zevo_GetTickCount()) - static_cast<uint32_t>(startTick);
    if (elapsed <= 4) Zevo_Sleep(5 - elapsed);
}

int SvrDevIOCtrl(ZEVO_DATA& data, CString& command, CArray<double, double>& values, CStringArray& strings) {
    if (values.GetSize() == 0) return 0;
    uint64_t start = Zevo_GetTickCount();
    int result = CDevBas::mfDevIOCtrl(data, command, values, strings);
    if (result > 0)
        values[0] = 0.0;
    else if (result < 0)
        values[0] = -static_cast<double>(result);
    PaceCall(start);
    return 0;
}

int SvrDevWriteChannel(ZEVO_DATA& data, int channel, DATATYPE type, void* value) {
    if (channel < 0) return 0;
    uint64_t start = Zevo_GetTickCount();
    int result = CDevBas::mfDevIOWriteChannel(data, channel, type, value);
    PaceCall(start);
    return result < 0 ? -result : 0;
}

}  // namespace zevo_device
