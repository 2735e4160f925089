// IOCtrl command texts with host variables: the input is the command; the
// simulated PLC answers every request it understands, so that reads and
// writes run to their ends and hand values to the variables.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DeviceTable.h"
#include "FuzzSupport.h"
#include "plcsim/Plc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    plcsim::Plc plc;
    plc.SetRange("D", 0, {1, 2, 0x1234, 0xFFFF, 0x4142, 0x4300, 7, 8});
    plc.SetRange("M", 0, {1, 0, 1});
    FuzzDevice device;
    device.Port().SetResponder([&plc](const Bytes& request) { return std::vector<Bytes>{plc.Handle(request)}; });
    if (device.Init(MakeBlob(DefaultProperties(), FuzzRows())) != 0) __builtin_trap();
    MemoryRtdb& rtdb = device.Rtdb();
    rtdb.SetVariable("vi", 3);
    rtdb.SetVariable("vd", 2.5);
    rtdb.SetVariable("vs", std::string("12"));
    rtdb.SetVariable("res", 0.0);
    rtdb.SetVariable("blk", std::string("1,2,3"));
    rtdb.SetVariable("area", std::string("D"));
    rtdb.SetVariable("addr", 4);
    rtdb.SetVariable("type", std::string("DUB"));
    rtdb.SetVariable("n", 3);
    for (const char* name : {"a", "b", "c", "Tank05", "Tank06", "Tank07"}) rtdb.SetVariable(name, 0);
    std::string command(reinterpret_cast<const char*>(data), size);  // cut at a NUL, as the host's text is
    device.Ctrl()->DevIOCtrl(command.c_str());
    return 0;
}
