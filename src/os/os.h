// The operating-system seam beneath every portable layer: private heaps, a
// lock, sleeping, the timer period and a monotonic clock. One implementation
// per platform (os_win32.cpp, os_posix.cpp); nothing above this header
// includes a platform header.
//
// Failure contract: OsHeapCreate and the allocation calls return null on
// failure and change nothing; the other calls cannot fail in a way the caller
// could act on.
#pragma once

#include <cstddef>
#include <cstdint>

struct OsHeap;

// A private, growable heap. Destroying it releases every block still on it.
OsHeap* OsHeapCreate(size_t initialSize);
void OsHeapDestroy(OsHeap* heap);
// A zero-filled block, or null.
void* OsHeapAlloc(OsHeap* heap, size_t size);
// Resizes a block; bytes past the old size are zero. On failure returns null
// and the old block stays valid and unchanged.
void* OsHeapReAlloc(OsHeap* heap, void* block, size_t size);
void OsHeapFree(OsHeap* heap, void* block);
// How many blocks are allocated on the heap now; tests use it to find leaks
// that destroying the heap would otherwise hide.
long OsHeapBlockCount(OsHeap* heap);

// Allocation-failure injection, linked into everything but the product
// executables (src/os/CMakeLists.txt). Every OsHeapAlloc and OsHeapReAlloc
// counts as one allocation; after OsAllocFailAt(n, count) the n-th following
// allocation (1-based) and the count - 1 after it fail. OsAllocFailAt(0)
// disables injection.
// OsAllocCount tells how many allocations were made since the process began.
void OsAllocFailAt(long n, long count = 1);
long OsAllocCount();

// A non-recursive lock. The storage is opaque and large enough for every
// platform's native lock; OsLockInit must run before first use.
struct OsLock {
    alignas(8) unsigned char opaque[64];
};
void OsLockInit(OsLock* lock);
void OsLockEnter(OsLock* lock);
void OsLockLeave(OsLock* lock);
void OsLockDelete(OsLock* lock);

// Once-only initialisation. One word per guarded initialisation, 0 before
// first use; pointer-sized, because on Win32 it serves as the INIT_ONCE
// itself when the system offers InitOnceExecuteOnce. Otherwise it holds one
// of the ONCE_ states of the fallback protocol.
using OnceWord = intptr_t;
constexpr intptr_t ONCE_IDLE = 0;
constexpr intptr_t ONCE_RUNNING = 1;
constexpr intptr_t ONCE_DONE = 2;
// Runs `procedure` exactly once per word, whatever the number of callers and
// threads; every caller returns only after it has completed.
void RunOnce(OnceWord* word, void (*procedure)());

// Suspends the calling thread for at least `milliseconds` (0 yields).
void OsSleepMs(int32_t milliseconds);
// Asks for a 1 ms scheduler/timer period for the rest of the process.
void OsTimerPeriod1ms();
// Nanoseconds from an arbitrary fixed origin; never goes backwards.
int64_t OsMonotonicNs();
