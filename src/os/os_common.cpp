#include "os/os.h"
#include "os/os_common.h"

#ifdef SHIFTLAMP_ALLOC_FAILURE
#include <atomic>

namespace {
std::atomic<long> g_allocCount{0};
std::atomic<long> g_failAt{0};     // first absolute allocation number to fail, 0: none
std::atomic<long> g_failUntil{0};  // last one to fail
}  // namespace

void OsAllocFailAt(long n, long count) {
    long first = g_allocCount.load() + n;
    g_failUntil.store(n > 0 && count > 0 ? first + count - 1 : 0);
    g_failAt.store(n > 0 && count > 0 ? first : 0);
}

long OsAllocCount() { return g_allocCount.load(); }

bool OsAllocShouldFail() {
    long number = g_allocCount.fetch_add(1) + 1;
    long failAt = g_failAt.load();
    return failAt != 0 && number >= failAt && number <= g_failUntil.load();
}
#endif

// The protocol used where the system offers no once-only primitive: one caller
// moves the word from idle to running and runs the procedure; the others
// yield until it reads done.
void RunOnceFallback(OnceWord* word, void (*procedure)()) {
    intptr_t previous = ONCE_IDLE;
    __atomic_compare_exchange_n(word, &previous, ONCE_RUNNING, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    if (previous == ONCE_IDLE) {
        procedure();
        __atomic_exchange_n(word, ONCE_DONE, __ATOMIC_ACQ_REL);
        return;
    }
    if (previous == ONCE_RUNNING) {
        while (__atomic_load_n(word, __ATOMIC_ACQUIRE) != ONCE_DONE) OsSleepMs(0);
    }
}
