// CPU cost of the driver's hot operations, one call each, on a port that
// answers at once: a collection step of a 115-word block, planning a
// 5000-channel table, building requests, a 50-item command, loading a
// 5000-row configuration. Allocations per call are counted as well.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "AllocCounter.h"
#include "BenchKit.h"
#include "DevBas.h"
#include "ScriptedPort.h"
#include "qdevctrl.h"

namespace {

// Reports the allocations made per iteration between construction and the
// end of the scope.
class AllocScope {
public:
    explicit AllocScope(benchmark::State& state) : m_state(state), m_start(alloccount::Allocations()) {}
    ~AllocScope() {
        double per = static_cast<double>(alloccount::Allocations() - m_start) /
                     static_cast<double>(m_state.iterations() > 0 ? m_state.iterations() : 1);
        m_state.counters["allocs"] = per;
    }

private:
    benchmark::State& m_state;
    uint64_t m_start;
};

void CollectStep115(benchmark::State& state) {
    Rig rig(MixedRows115(), MixedAnswer115());
    if (rig.Step() != 0) throw std::runtime_error("the 115-word step failed");
    AllocScope allocs(state);
    for (auto _ : state) benchmark::DoNotOptimize(rig.Step());
    state.counters["stores"] =
        static_cast<double>(rig.Rtdb().StoreCount()) / static_cast<double>(state.iterations() + 1);
}
BENCHMARK(CollectStep115);

void Plan5000(benchmark::State& state) {
    Rig rig(LargeRows(5000), ByteVector());
    const std::vector<int>& refs = rig.Refs();
    AllocScope allocs(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.Ctrl().ChannelRefChange(refs.data(), static_cast<int>(refs.size())));
    state.counters["ranks"] = rig.Ctrl().GetDevData().pDevData->nRankCount;
}
BENCHMARK(Plan5000)->Unit(benchmark::kMicrosecond);

void ReadRequest(benchmark::State& state) {
    Rig rig(MixedRows115(), MixedAnswer115());
    ZEVO_DATA& data = rig.Ctrl().GetDevData();
    CDevTable& table = *data.pDevData->pTable;
    AllocScope allocs(state);
    for (auto _ : state) {
        CString order;
        CDevBas::mfFormReadOrder(data, order, table, 1, 115, 0);
        CDevBas::mfAddSum(data, 0, order);
        benchmark::DoNotOptimize(order.c_str());
    }
}
BENCHMARK(ReadRequest);

void WriteRequest(benchmark::State& state) {
    Rig rig(MixedRows115(), MixedAnswer115());
    ZEVO_DATA& data = rig.Ctrl().GetDevData();
    int rows = data.pDevData->pTable->GetRowCount();
    CArray<double, double> values;
    values.SetSize(rows + 1);
    CStringArray strings;
    strings.SetSize(rows + 1);
    const int floatRow = 7;  // "DF", two words
    values[floatRow + 1] = 12.5;
    AllocScope allocs(state);
    for (auto _ : state) {
        CString request;
        int flag = 0;
        CDevBas::mfFormWriteOrder(data, values, strings, request, floatRow, 0, flag);
        CDevBas::mfAddSum(data, 0, request);
        benchmark::DoNotOptimize(request.c_str());
    }
}
BENCHMARK(WriteRequest);

// READ(D,0,WUB=V0;D,1,WUB=V1;...;D,49,WUB=V49=Done): one block of 50 words,
// 50 values into host variables.
void IoCtrl50(benchmark::State& state) {
    ByteVector answer = {0x01, 0x20, 100};
    for (int i = 0; i < 100; ++i) answer.push_back(static_cast<uint8_t>(i));
    Rig rig(MixedRows115(), WithCrc(answer));
    std::string command = "READ(";
    for (int i = 0; i < 50; ++i) {
        std::string name = "V" + std::to_string(i);
        rig.Rtdb().SetVariable(name, 0.0);
        command += "D," + std::to_string(i) + ",WUB=" + name + (i < 49 ? ";" : "=Done)");
    }
    rig.Rtdb().SetVariable("Done", 0.0);
    ZEVO_DATA& data = rig.Ctrl().GetDevData();
    CArray<double, double> values;
    values.SetSize(2);
    CStringArray strings;
    strings.SetSize(2);
    CString text(command.c_str());
    if (CDevBas::mfDevIOCtrl(data, text, values, strings) != 1 || rig.Port().Requests() != 1)
        throw std::runtime_error("the 50-item command failed");
    AllocScope allocs(state);
    for (auto _ : state) {
        CString copy(command.c_str());
        benchmark::DoNotOptimize(CDevBas::mfDevIOCtrl(data, copy, values, strings));
    }
}
BENCHMARK(IoCtrl50)->Unit(benchmark::kMicrosecond);

void LoadBlob5000(benchmark::State& state) {
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), LargeRows(5000));
    FlatRtdb rtdb(0);
    CDevCtrl ctrl("bench", &rtdb);
    ZEVO_DATA& data = ctrl.GetDevData();
    AllocScope allocs(state);
    for (auto _ : state) {
        ctrl.InitDevice(blob.data(), static_cast<int>(blob.size()));
        benchmark::DoNotOptimize(data.pDevData->pTable->GetRowCount());
        CDevBas::mfDeleteMydata(data);
    }
}
BENCHMARK(LoadBlob5000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
