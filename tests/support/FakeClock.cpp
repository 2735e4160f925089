#include "FakeClock.h"

FakeClock::FakeClock(uint64_t start) : m_now(start) {
    ZevoClockHooks hooks{&FakeClock::Tick, &FakeClock::Sleep, this};
    ZevoHost_SetClock(&hooks);
}

FakeClock::~FakeClock() { ZevoHost_SetClock(nullptr); }

uint64_t FakeClock::TotalSlept() const {
    uint64_t total = 0;
    for (uint64_t s : m_sleeps) total += s;
    return total;
}

uint64_t FakeClock::Tick(void* context) {
    FakeClock* self = static_cast<FakeClock*>(context);
    uint64_t now = self->m_now;
    self->m_now += self->m_tickStep;
    return now;
}

void FakeClock::Sleep(void* context, uint64_t milliseconds) {
    FakeClock* self = static_cast<FakeClock*>(context);
    self->m_now += milliseconds;
    self->m_sleeps.push_back(milliseconds);
    if (self->m_onSleep) self->m_onSleep(milliseconds);
}
