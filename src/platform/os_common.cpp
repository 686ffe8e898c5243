#include "platform/os.h"
#include "platform/os_common.h"

#include <atomic>

namespace {
std::atomic<long> g_allocCount{0};
std::atomic<long> g_failAt{0};  // absolute allocation number to fail, 0: none
}  // namespace

void OsAllocFailAt(long n) {
    g_failAt.store(n > 0 ? g_allocCount.load() + n : 0);
}

long OsAllocCount() { return g_allocCount.load(); }

bool OsAllocShouldFail() {
    long number = g_allocCount.fetch_add(1) + 1;
    long failAt = g_failAt.load();
    if (failAt != 0 && number == failAt) {
        g_failAt.store(0);
        return true;
    }
    return false;
}
