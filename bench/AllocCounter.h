// Counts every allocation of the program (operator new in all its forms,
// including those of the host layer's strings and arrays), so a benchmark
// can report allocations per call. Link AllocCounter.cpp into the program.
#pragma once

#include <cstdint>

namespace alloccount {
uint64_t Allocations();
uint64_t Frees();
}  // namespace alloccount
