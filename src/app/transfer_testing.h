// For tests and benchmarks only: the wait the transfer takes after each line
// change. The product never calls this, so it always waits with DelayMs.
#pragma once

#include <cstdint>

using TransferDelayFn = void (*)(int32_t milliseconds);

// Makes every later transfer wait through `delay` (a recorder, say, so that a
// sweep over many transfers needs no real time); null restores DelayMs.
void TransferUseDelay(TransferDelayFn delay);
