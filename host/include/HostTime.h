// Tick counter and sleep of the host runtime.
//
// The driver measures its wait times and pacing only through these two calls,
// so tests can replace the clock (ZevoHost_SetClock) and run timing rules
// without the wall clock.
#pragma once

#include <cstdint>

#include "ZevoHostApi.h"

extern "C" {
// Monotonic milliseconds since an arbitrary start.
ZEVO_HOST_API uint64_t Zevo_GetTickCount();
// Blocks the calling thread for the given milliseconds.
ZEVO_HOST_API void Zevo_Sleep(uint64_t milliseconds);
}

// A replacement clock: both hooks receive the context pointer. Passing null
// restores the system clock.
struct ZevoClockHooks {
    uint64_t (*tick)(void* context);
    void (*sleep)(void* context, uint64_t milliseconds);
    void* context;
};

extern "C" ZEVO_HOST_API void ZevoHost_SetClock(const ZevoClockHooks* hooks);
