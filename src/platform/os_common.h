// Shared by the two implementations of os.h: the allocation-failure switch.
#pragma once

// Counts one allocation; true when the test switch says this one must fail.
bool OsAllocShouldFail();
