#include "os/os.h"
#include "os/os_common.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(OsHeap, BlocksAreZeroFilledAndGrowZeroFilled) {
    OsHeap* heap = OsHeapCreate(4096);
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<unsigned char*>(OsHeapAlloc(heap, 100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(block[i], 0);
    std::memset(block, 0xAB, 100);
    block = static_cast<unsigned char*>(OsHeapReAlloc(heap, block, 5000));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0xAB);
    for (int i = 100; i < 5000; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(OsHeapBlockCount(heap), 1);
    OsHeapFree(heap, block);
    EXPECT_EQ(OsHeapBlockCount(heap), 0);
    OsHeapDestroy(heap);
}

TEST(OsHeap, DestroyReleasesEveryBlock) {
    // Under LeakSanitizer a block that outlived its heap would be reported.
    OsHeap* heap = OsHeapCreate(4096);
    for (int i = 0; i < 100; ++i) ASSERT_NE(OsHeapAlloc(heap, 64 + i), nullptr);
    EXPECT_EQ(OsHeapBlockCount(heap), 100);
    OsHeapDestroy(heap);
}

TEST(OsHeap, SizesThatCannotBeHadAreRefused) {
    // Sizes near the top of size_t: with the block's header added they
    // would wrap to a few bytes.
    OsHeap* heap = OsHeapCreate(4096);
    void* kept = OsHeapAlloc(heap, 8);
    std::memset(kept, 0x11, 8);
    for (size_t size : {SIZE_MAX, SIZE_MAX - 8}) {
        EXPECT_EQ(OsHeapAlloc(heap, size), nullptr) << size;
        EXPECT_EQ(OsHeapReAlloc(heap, kept, size), nullptr) << size;
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(static_cast<unsigned char*>(kept)[i], 0x11);
    EXPECT_EQ(OsHeapBlockCount(heap), 1);
    OsHeapDestroy(heap);
}

TEST(OsHeap, InjectedFailureHitsExactlyTheNthAllocation) {
    OsHeap* heap = OsHeapCreate(4096);
    void* kept = OsHeapAlloc(heap, 8);
    std::memset(kept, 0x11, 8);
    OsAllocFailAt(3);
    EXPECT_NE(OsHeapAlloc(heap, 8), nullptr);
    EXPECT_NE(OsHeapAlloc(heap, 8), nullptr);
    // A failed reallocation leaves the old block valid and unchanged.
    EXPECT_EQ(OsHeapReAlloc(heap, kept, 64), nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(static_cast<unsigned char*>(kept)[i], 0x11);
    EXPECT_NE(OsHeapAlloc(heap, 8), nullptr);  // once only
    long before = OsAllocCount();
    OsHeapAlloc(heap, 8);
    EXPECT_EQ(OsAllocCount(), before + 1);
    OsHeapDestroy(heap);
}

TEST(OsLock, ExcludesOtherThreads) {
    OsLock lock;
    OsLockInit(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                OsLockEnter(&lock);
                long value = counter;
                counter = value + 1;
                OsLockLeave(&lock);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
    OsLockDelete(&lock);
}

TEST(OsClock, MonotonicClockNeverGoesBack) {
    int64_t last = OsMonotonicNs();
    for (int i = 0; i < 10000; ++i) {
        int64_t now = OsMonotonicNs();
        ASSERT_GE(now, last);
        last = now;
    }
}

}  // namespace

namespace {

std::atomic<int> g_onceRuns{0};
std::atomic<bool> g_onceFinished{false};

void SlowOnceProcedure() {
    g_onceRuns.fetch_add(1);
    OsSleepMs(50);
    g_onceFinished.store(true);
}

TEST(RunOnce, RacingThreadsRunTheProcedureOnceAndWaitForIt) {
    static OnceWord word = 0;
    std::atomic<int> returnedEarly{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            RunOnce(&word, SlowOnceProcedure);
            if (!g_onceFinished.load()) returnedEarly.fetch_add(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(g_onceRuns.load(), 1);
    EXPECT_EQ(returnedEarly.load(), 0);
    RunOnce(&word, SlowOnceProcedure);
    EXPECT_EQ(g_onceRuns.load(), 1);
}

}  // namespace

namespace {

std::atomic<int> g_fallbackRuns{0};
std::atomic<bool> g_fallbackFinished{false};

void SlowFallbackProcedure() {
    g_fallbackRuns.fetch_add(1);
    OsSleepMs(50);
    g_fallbackFinished.store(true);
}

void NeverRun() { ADD_FAILURE() << "a completed word ran its procedure again"; }

// The protocol used where the system has no once-only primitive, raced
// directly so that both builds exercise it.
TEST(RunOnceFallback, RacingThreadsRunTheProcedureOnceAndWaitForIt) {
    static OnceWord word = ONCE_IDLE;
    std::atomic<int> started{0};
    std::atomic<int> returnedEarly{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            started.fetch_add(1);
            while (started.load() < 8) std::this_thread::yield();
            RunOnceFallback(&word, SlowFallbackProcedure);
            if (!g_fallbackFinished.load()) returnedEarly.fetch_add(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(g_fallbackRuns.load(), 1);
    EXPECT_EQ(returnedEarly.load(), 0);
    EXPECT_EQ(word, ONCE_DONE);
    RunOnceFallback(&word, NeverRun);
    EXPECT_EQ(g_fallbackRuns.load(), 1);
}

TEST(RunOnceFallback, WordsAreIndependent) {
    static int runs;
    OnceWord first = ONCE_IDLE;
    OnceWord second = ONCE_IDLE;
    RunOnceFallback(&first, [] { ++runs; });
    RunOnceFallback(&second, [] { ++runs; });
    RunOnceFallback(&first, NeverRun);
    EXPECT_EQ(runs, 2);
    OnceWord done = ONCE_DONE;
    RunOnceFallback(&done, NeverRun);
    EXPECT_EQ(done, ONCE_DONE);
}

}  // namespace
