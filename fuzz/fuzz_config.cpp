// The configuration blob as the host hands it to InitDevice, then planning
// and collection of whatever channel table it describes, against a simulated
// PLC that answers every request it understands.
#include <cstddef>
#include <cstdint>

#include "DevVocabulary.h"
#include "FuzzSupport.h"
#include "OwnerArchive.h"
#include "plcsim/Plc.h"

namespace {

// Rows planned and collected; a table with more is only read.
const int kRowsPlanned = 2048;
// Rows beyond those the blob's bytes can hold read as zeros, all alike; a few
// of them are kept, more make an input slow without making it differ.
const int64_t kZeroRowsKept = 32;
// One in this many inputs with a table larger than planned, or with more zero
// rows than kept, is still run; the others are refused before the driver sees
// them.
const uint32_t kPaddedTableShare = 512;
// Every row property takes at least 4 bytes: a number, or a string's count.
const int64_t kMinRowBytes = 4 * DEVROW_PROPERTY_COUNT;

// The table a blob announces: its row count and how many rows its bytes could
// hold at most.
struct Announced {
    int64_t rows = 0;
    int64_t held = 0;
};

// Reads the blob the way the driver does: a little-endian archive with an
// optional version header, a property count, the properties, then the row
// count. Bytes past the end read as zeros: the driver pads a short blob with
// zeros, and a count it cannot read at all stays 0. No rows for a blob the
// driver rejects.
Announced PeekTable(const uint8_t* data, size_t size) {
    auto at = [&](uint64_t pos) -> uint32_t { return pos < size ? data[pos] : 0; };
    auto u32 = [&](uint64_t pos) { return at(pos) | at(pos + 1) << 8 | at(pos + 2) << 16 | at(pos + 3) << 24; };
    Announced table;
    uint32_t version = at(0) | at(1) << 8;
    if (version > ARCHIVE_VERSION) return table;
    uint64_t pos = version == ARCHIVE_VERSION ? 2 : 0;
    int32_t properties = static_cast<int32_t>(u32(pos));
    pos += 4;
    if (properties > 0) pos += 4 * static_cast<uint64_t>(properties);
    int32_t rows = static_cast<int32_t>(u32(pos));
    pos += 4;
    table.rows = rows > 0 ? rows : 0;
    table.held = pos < size ? static_cast<int64_t>(size - pos) / kMinRowBytes : 0;
    return table;
}

// A hash of the whole input, so that which padded tables run depends on all of
// their bytes.
uint32_t Fingerprint(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Most mutated blobs announce thousands of rows more than they hold, which
    // the driver builds as zero rows: correct, but so slow under the sanitizers
    // that the fuzzer would spend its time on them. Only a share of them runs;
    // the others are refused (-1 keeps them out of the corpus).
    Announced table = PeekTable(data, size);
    bool padded = table.rows > kRowsPlanned || table.rows - table.held > kZeroRowsKept;
    if (padded && Fingerprint(data, size) % kPaddedTableShare != 0) return -1;
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
    if (rows > kRowsPlanned) return 0;
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
