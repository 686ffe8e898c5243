// Millisecond delays: the only timing facility of the system.
#pragma once

#include <cstdint>

// Suspends the calling thread for `milliseconds` (0 yields the time slice).
// The first call of the process asks once for a 1 ms timer period and never
// gives it back, so every later delay has 1 ms granularity.
void DelayMs(int32_t milliseconds);

// 1 once the first DelayMs has asked for the 1 ms period.
int DelayTimerPeriodSet();
