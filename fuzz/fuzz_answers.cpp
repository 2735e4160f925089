// The PLC's answers: every request the driver sends (collection, channel
// writes, commands) is answered from the fuzz input, raw, or with the
// request's station and function and a CRC that matches, whole or in chunks.
//
// Input: 8 bytes of device properties (decode orders, string encoding, CRC
// order), then operations, each followed by the answers its requests get.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DeviceTable.h"
#include "FuzzSupport.h"

namespace {

const char* const kCommands[] = {
    "READ(D,0,WUB=vi;D,1,WB=vd=res)",       "WRITE(D,0,WUB=12;D,3,DUB=vi=res)",
    "READ32(D,3,DUB=vs;D,9,DF=vs)",         "WRITE64(D,19,LF=vs=res)",
    "READP(D,0,WUB,3,a,b,c=res)",           "READBLOCK(D,0,[WUB][WB],2,vs=res)",
    "WRITEBLOCK(D,0,[WUB][WUB],1,blk=res)", "ReadMutiReg(D,0,3,WUB,vs=res)",
};

// One answer: how it is made is the first byte.
std::vector<Bytes> Answer(FuzzReader& in, const Bytes& request, bool crcHighFirst) {
    uint8_t mode = in.U8();
    Bytes body = in.Run(in.U8() % 80);
    Bytes answer;
    switch (mode & 3) {
        case 0:
            return {body};
        case 1:
            answer = {request.empty() ? uint8_t{1} : request[0], request.size() > 1 ? request[1] : uint8_t{0x20}};
            break;
        case 2:
            answer = {request.empty() ? uint8_t{1} : request[0], request.size() > 1 ? request[1] : uint8_t{0x20},
                      static_cast<uint8_t>(body.size())};
            break;
        default:
            break;
    }
    answer.insert(answer.end(), body.begin(), body.end());
    answer = WithCrc(answer, crcHighFirst);
    if (mode & 0x40) {
        Bytes tail = in.Run(in.U8() % 16);  // bytes after the frame
        answer.insert(answer.end(), tail.begin(), tail.end());
    }
    if ((mode & 0x80) == 0) return {answer};
    std::vector<Bytes> chunks;  // the same bytes in chunks, an empty read between them
    size_t step = (mode >> 2 & 7) + 1;
    for (size_t at = 0; at < answer.size(); at += step) {
        chunks.emplace_back(answer.begin() + static_cast<long>(at),
                            answer.begin() + static_cast<long>(std::min(answer.size(), at + step)));
        if (mode & 0x20) chunks.emplace_back();
    }
    return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReader in(data, size);
    std::vector<int32_t> props = DefaultProperties();
    for (int i = 2; i < 10; ++i) props[static_cast<size_t>(i)] = in.U8() % 12;
    bool crcHighFirst = props[7] % 2 == 1;
    FuzzDevice device;
    device.Port().SetResponder([&in, crcHighFirst](const Bytes& request) { return Answer(in, request, crcHighFirst); });
    std::vector<TestRow> rows = FuzzRows();
    const int count = static_cast<int>(rows.size());
    if (device.Init(MakeBlob(props, rows)) != 0 || device.RowCount() != count) __builtin_trap();
    MemoryRtdb& rtdb = device.Rtdb();
    for (int c = 0; c < count; ++c) rtdb.DeclareChannel(c, static_cast<DATATYPE>(1 + c % 3));
    rtdb.SetVariable("vi", 0);
    rtdb.SetVariable("vd", 0.0);
    rtdb.SetVariable("vs", std::string());
    rtdb.SetVariable("res", 0.0);
    rtdb.SetVariable("blk", std::string("1,2"));
    IDeviceCtrl* ctrl = device.Ctrl();
    std::vector<int> refs(static_cast<size_t>(count), 1);
    ctrl->ChannelRefChange(refs.data(), count);
    for (int ops = 0; ops < 64 && !in.Empty(); ++ops) {
        uint8_t op = in.U8();
        switch (op & 3) {
            case 0:
                ctrl->CollectDevData(refs.data(), count);
                break;
            case 1: {
                int channel = (op >> 2) % count;
                uint32_t raw = in.U32();
                int iv = static_cast<int>(raw);
                double dv = static_cast<double>(iv) / 16.0;
                std::string sv = std::to_string(raw);
                DATATYPE type = static_cast<DATATYPE>(1 + (op >> 6) % 3);
                void* value = type == DATATYPE_INT      ? static_cast<void*>(&iv)
                              : type == DATATYPE_DOUBLE ? static_cast<void*>(&dv)
                                                        : static_cast<void*>(&sv[0]);
                ctrl->WriteChannel(channel, type, value);
                break;
            }
            case 2:
                ctrl->DevIOCtrl(kCommands[(op >> 2) % (sizeof kCommands / sizeof kCommands[0])]);
                break;
            default: {
                uint32_t mask = in.U32();
                for (int c = 0; c < count; ++c) refs[static_cast<size_t>(c)] = mask >> (c % 32) & 1;
                ctrl->ChannelRefChange(refs.data(), count);
                break;
            }
        }
    }
    return 0;
}
