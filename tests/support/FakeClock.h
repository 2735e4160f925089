// A replaceable clock for tests: while a FakeClock lives, the host layer's
// Zevo_GetTickCount answers its time and Zevo_Sleep advances it instead of
// blocking, so timing rules are tested without the wall clock.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "HostTime.h"

class FakeClock {
public:
    explicit FakeClock(uint64_t start = 1000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    uint64_t Now() const { return m_now; }
    void Advance(uint64_t milliseconds) { m_now += milliseconds; }
    // Every tick request advances the time by this much (0 by default), so
    // that loops which only watch the clock still make progress.
    void SetTickStep(uint64_t step) { m_tickStep = step; }
    // Called on every sleep, after the time has advanced.
    void OnSleep(std::function<void(uint64_t)> hook) { m_onSleep = std::move(hook); }

    const std::vector<uint64_t>& Sleeps() const { return m_sleeps; }
    uint64_t TotalSlept() const;

private:
    static uint64_t Tick(void* context);
    static void Sleep(void* context, uint64_t milliseconds);

    uint64_t m_now;
    uint64_t m_tickStep = 0;
    std::vector<uint64_t> m_sleeps;
    std::function<void(uint64_t)> m_onSleep;
};
