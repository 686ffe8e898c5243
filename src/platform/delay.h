// Millisecond delays: the only timing facility of the system.
#pragma once

#include <cstdint>

// Suspends the calling thread for `milliseconds` (0 yields the time slice).
// The first call of the process asks once for a 1 ms timer period and never
// gives it back, so every later delay has 1 ms granularity.
void DelayMs(int32_t milliseconds);

// Asks for the 1 ms period now unless a delay already has: a caller about
// to start a timed sequence pays for the request (loading the multimedia
// library, several milliseconds) before the sequence's first step, not
// inside its first wait. The program does not pay it at start-up.
void DelayPrepare();

// 1 once DelayPrepare or the first DelayMs has asked for the 1 ms period.
int DelayTimerPeriodSet();
