// Shared by the two implementations of os.h: the allocation-failure switch.
#pragma once

#include "os/os.h"

// Counts one allocation; true when the test switch says this one must fail.
bool OsAllocShouldFail();

// RunOnce's own protocol on the word, for systems without InitOnceExecuteOnce.
void RunOnceFallback(OnceWord* word, void (*procedure)());
