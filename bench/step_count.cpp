// Runs N collection steps of the 115-word block on a port that answers at
// once, after one warm-up step, and prints the allocations per step.
// "step_count --dump" prints the stored channel values of one step instead.
// callgrind.sh runs it under callgrind at two N and takes the difference, so
// the set-up cost drops out and what remains is the cost of one step.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AllocCounter.h"
#include "BenchKit.h"

int main(int argc, char** argv) {
    bool dump = argc > 1 && std::strcmp(argv[1], "--dump") == 0;
    long steps = argc > 1 && !dump ? std::strtol(argv[1], nullptr, 10) : 1000;
    Rig rig(MixedRows115(), MixedAnswer115());
    if (rig.Step() != 0) {
        std::fprintf(stderr, "the 115-word step failed\n");
        return 1;
    }
    if (dump) {
        for (size_t c = 0; c < rig.Refs().size(); ++c)
            std::printf("%zu %.17g\n", c, rig.Rtdb().Value(static_cast<int>(c)));
        std::printf("text %s\n", rig.Rtdb().LastText().c_str());
        return 0;
    }
    uint64_t before = alloccount::Allocations();
    int failed = 0;
    for (long i = 0; i < steps; ++i) failed += rig.Step() != 0;
    uint64_t allocations = alloccount::Allocations() - before;
    std::printf("steps %ld failed %d allocations/step %.2f\n", steps, failed,
                steps > 0 ? static_cast<double>(allocations) / static_cast<double>(steps) : 0.0);
    return failed == 0 ? 0 : 1;
}
