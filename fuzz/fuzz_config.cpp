// The configuration blob as the host hands it to InitDevice, then planning
// and collection of whatever channel table it describes, against a simulated
// PLC that answers every request it understands.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "plcsim/Plc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plcsim::Plc plc;
    plc.SetRange("D", 0, {0x1234, 0x5678, 0x9ABC, 0xDEF0, 0x4142, 0x4344});
    plc.SetRange("M", 0, {1, 0, 1, 1});
    FuzzDevice device;
    device.Port().SetResponder([&plc](const Bytes& request) { return std::vector<Bytes>{plc.Handle(request)}; });
    IDeviceCtrl* ctrl = device.Ctrl();
    ctrl->InitDevice(data, static_cast<int>(size));
    int rows = device.RowCount();
    // A configured wait time is spent in 10 ms steps even on the fake clock;
    // hold it to 1 s so that one input cannot take minutes.
    ZEVO_DATA& record = dynamic_cast<CDevCtrl*>(ctrl)->GetDevData();
    if (record.pDevData != nullptr && record.pDevData->arProperty.GetSize() > 1) {
        int& wait = record.pDevData->arProperty[1];
        if (wait < 0 || wait > 1000) wait = 1000;
    }
    // A short blob may still announce up to 65536 rows (they read as zeros);
    // planning and storing so many is correct but slow, so such inputs stop
    // after reading.
    if (rows > 2048) return 0;
    for (int c = 0; c < rows; ++c) device.Rtdb().DeclareChannel(c, static_cast<DATATYPE>(1 + c % 3));
    std::vector<int> refs(static_cast<size_t>(rows), 1);
    ctrl->ChannelRefChange(refs.data(), rows);
    for (int i = 0; i < 4; ++i) ctrl->CollectDevData(refs.data(), rows);
    if (rows > 0) {
        ctrl->SetChannelAddress(rows - 1, 7);
        for (size_t i = 0; i < refs.size(); i += 2) refs[i] = 0;
        ctrl->ChannelRefChange(refs.data(), rows);
        ctrl->CollectDevData(refs.data(), rows);
        int iv = 1;
        double dv = 2.5;
        char text[] = "ab";
        ctrl->WriteChannel(0, DATATYPE_INT, &iv);
        ctrl->WriteChannel(rows - 1, DATATYPE_DOUBLE, &dv);
        ctrl->WriteChannel(rows / 2, DATATYPE_STRING, text);
    }
    return 0;
}
