// Shared by the two implementations of os.h: the allocation-failure switch.
#pragma once

#include "os/os.h"

// Counts one allocation; true when the test switch says this one must fail.
// Only test builds (SHIFTLAMP_ALLOC_FAILURE) have the switch; in the product
// no allocation is counted or failed on purpose.
#ifdef SHIFTLAMP_ALLOC_FAILURE
bool OsAllocShouldFail();
#else
inline bool OsAllocShouldFail() { return false; }
#endif

// RunOnce's own protocol on the word, for systems without InitOnceExecuteOnce.
void RunOnceFallback(OnceWord* word, void (*procedure)());
