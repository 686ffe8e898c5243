#include "runtime/element_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "support/main_heap.h"
#include "support/runtime_models.h"

namespace {

PoolBlock* BlockOf(void* element) {
    PoolBlock* block;
    std::memcpy(&block, static_cast<char*>(element) - sizeof(void*), sizeof block);
    return block;
}

int ListLength(PoolBlock* block) {
    int length = 0;
    for (; block; block = block->next) ++length;
    return length;
}

// The registry outlives each test's heap, so a shared pool left behind would
// dangle into the next test.
class ElementPoolTest : public MainHeapTest {
protected:
    void TearDown() override {
        EXPECT_EQ(PoolRegistryCount(), 0) << "a shared pool was not released";
        EXPECT_EQ(PoolRegistryHeapBlocks(), 0);
        MainHeapTest::TearDown();
    }
};

TEST_F(ElementPoolTest, BlocksOfSixteenAreTakenAndGivenBackWhole) {
    long baseline = HeapBlocks();
    ElementPool* pool = ElementPoolCreate(32, 16, 256, 2);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->totalSlots, 0);
    std::vector<void*> first;
    for (int i = 0; i < 16; ++i) first.push_back(ElementPoolAlloc(pool));
    for (void* element : first) EXPECT_EQ(BlockOf(element), BlockOf(first[0]));
    EXPECT_EQ(pool->totalSlots, 16);
    EXPECT_EQ(ListLength(pool->fullBlocks), 1);
    EXPECT_EQ(pool->openBlocks, nullptr);

    void* seventeenth = ElementPoolAlloc(pool);
    EXPECT_NE(BlockOf(seventeenth), BlockOf(first[0]));
    EXPECT_EQ(pool->totalSlots, 32);
    EXPECT_EQ(HeapBlocks(), baseline + 3);

    for (void* element : first) ElementPoolFree(pool, element);
    EXPECT_EQ(pool->totalSlots, 16);
    EXPECT_EQ(pool->fullBlocks, nullptr);
    EXPECT_EQ(HeapBlocks(), baseline + 2);
    ElementPoolFree(pool, seventeenth);
    EXPECT_EQ(pool->totalSlots, 0);
    ElementPoolRelease(pool);
    EXPECT_EQ(HeapBlocks(), baseline);
}

TEST_F(ElementPoolTest, BlocksGrowByASixteenthInStepsOfSixteenUpToTheLimit) {
    ElementPool* pool = ElementPoolCreate(4, 16, 256, 0);
    std::vector<int32_t> capacities;
    PoolBlock* last = nullptr;
    for (int i = 0; i < 80000; ++i) {
        void* element = ElementPoolAlloc(pool);
        ASSERT_NE(element, nullptr);
        if (BlockOf(element) != last) {
            last = BlockOf(element);
            capacities.push_back(last->capacity);
        }
    }
    // 32 blocks of 16 make 512 slots; blocks of 32 follow, and so on.
    ASSERT_GT(capacities.size(), 40u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(capacities[i], 16) << i;
    EXPECT_EQ(capacities[32], 32);
    EXPECT_EQ(capacities.back(), 256);
    int32_t held = 0;
    for (int32_t capacity : capacities) {
        int32_t expected = held / 16 / 16 * 16;
        expected = expected < 16 ? 16 : expected > 256 ? 256 : expected;
        ASSERT_EQ(capacity, expected) << "after " << held << " slots";
        held += capacity;
    }
    EXPECT_EQ(pool->totalSlots, held);
    ElementPoolRelease(pool);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, LimitsThatLeaveNoRoomStillGiveOneSlot) {
    for (int32_t minBlock : {0, -3}) {
        ElementPool* pool = ElementPoolCreate(8, minBlock, minBlock, 0);
        void* a = ElementPoolAlloc(pool);
        void* b = ElementPoolAlloc(pool);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(BlockOf(a)->capacity, 1);
        EXPECT_NE(BlockOf(a), BlockOf(b));
        std::memset(a, 0xAA, 8);
        std::memset(b, 0xBB, 8);
        EXPECT_EQ(static_cast<unsigned char*>(a)[7], 0xAA);
        ElementPoolRelease(pool);
    }
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, SizesThatCannotMakeASlotAreRefused) {
    EXPECT_EQ(ElementPoolCreate(-1, 16, 256, 0), nullptr);
    EXPECT_EQ(ElementPoolCreate(INT32_MAX, 16, 256, 0), nullptr);
    EXPECT_EQ(ElementPoolCreate(INT32_MAX, 16, 256, POOL_SHARED), nullptr);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, ZeroSizedElementsAreStillDistinct) {
    ElementPool* pool = ElementPoolCreate(0, 16, 256, 0);
    EXPECT_EQ(pool->slotSize, static_cast<int32_t>(sizeof(void*)));
    std::set<void*> seen;
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(seen.insert(ElementPoolAlloc(pool)).second);
    ElementPoolRelease(pool);
}

TEST_F(ElementPoolTest, AFullBlockReopensAtTheFrontAndServesTheFreedSlotFirst) {
    ElementPool* pool = ElementPoolCreate(16, 16, 256, 0);
    std::vector<void*> elements;
    for (int i = 0; i < 20; ++i) elements.push_back(ElementPoolAlloc(pool));
    PoolBlock* first = BlockOf(elements[0]);
    EXPECT_EQ(pool->fullBlocks, first);
    ElementPoolFree(pool, elements[5]);
    EXPECT_EQ(pool->fullBlocks, nullptr);
    EXPECT_EQ(pool->openBlocks, first);
    EXPECT_EQ(ElementPoolAlloc(pool), elements[5]);
    EXPECT_EQ(pool->fullBlocks, first);
    ElementPoolFree(pool, nullptr);  // ignored
    ElementPoolRelease(pool);
    ElementPoolRelease(nullptr);
}

TEST_F(ElementPoolTest, WhenNoFullBlockCanBeHadOneSlotBlocksStepIn) {
    ElementPool* pool = ElementPoolCreate(16, 16, 256, 0);
    long blocks = HeapBlocks();
    OsAllocFailAt(1);
    void* single = ElementPoolAlloc(pool);
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(BlockOf(single)->capacity, 1);
    EXPECT_EQ(pool->fullBlocks, BlockOf(single));
    EXPECT_EQ(pool->totalSlots, 1);
    // The next block is sized as usual again.
    void* next = ElementPoolAlloc(pool);
    EXPECT_EQ(BlockOf(next)->capacity, 16);

    ElementPoolFree(pool, single);
    ElementPoolFree(pool, next);
    EXPECT_EQ(HeapBlocks(), blocks);
    ElementPoolRelease(pool);

    // A pool of one-slot blocks has nothing to fall back to: null, unchanged.
    pool = ElementPoolCreate(16, 1, 1, 0);
    void* kept = ElementPoolAlloc(pool);
    blocks = HeapBlocks();
    OsAllocFailAt(1);
    EXPECT_EQ(ElementPoolAlloc(pool), nullptr);
    EXPECT_EQ(pool->totalSlots, 1);
    EXPECT_EQ(pool->fullBlocks, BlockOf(kept));
    EXPECT_EQ(pool->fullBlocks->next, nullptr);
    EXPECT_EQ(HeapBlocks(), blocks);
    ElementPoolRelease(pool);
}

TEST_F(ElementPoolTest, ResetDropsEveryBlockAndThePoolCarriesOn) {
    ElementPool* pool = ElementPoolCreate(24, 16, 256, POOL_LOCKED);
    long withPool = HeapBlocks();
    for (int i = 0; i < 100; ++i) ElementPoolAlloc(pool);
    ElementPoolReset(pool);
    EXPECT_EQ(pool->totalSlots, 0);
    EXPECT_EQ(pool->openBlocks, nullptr);
    EXPECT_EQ(pool->fullBlocks, nullptr);
    EXPECT_EQ(HeapBlocks(), withPool);
    EXPECT_NE(ElementPoolAlloc(pool), nullptr);
    ElementPoolRelease(pool);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, SharedPoolsAreFoundBySlotSizeAndModeAndCounted) {
    ElementPool* a = ElementPoolCreate(12, 16, 256, POOL_SHARED);
    // 11 bytes round up to the same slot: same pool, whatever its limits.
    ElementPool* b = ElementPoolCreate(11, 1, 2, POOL_SHARED);
    ElementPool* locked = ElementPoolCreate(12, 16, 256, POOL_SHARED | POOL_LOCKED);
    ElementPool* bigger = ElementPoolCreate(12 + 2 * sizeof(void*), 16, 256, POOL_SHARED);
    ElementPool* unshared = ElementPoolCreate(12, 16, 256, 0);
    ASSERT_TRUE(a && locked && bigger && unshared);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->registryEntry->referenceCount, 2);
    EXPECT_EQ(a->minBlock, 16);
    EXPECT_NE(locked, a);
    EXPECT_EQ(locked->locked, 1);
    EXPECT_NE(bigger, a);
    EXPECT_NE(unshared, a);
    EXPECT_EQ(unshared->registryEntry, nullptr);
    EXPECT_EQ(PoolRegistryCount(), 3);

    void* kept = ElementPoolAlloc(b);
    ElementPoolRelease(a);
    EXPECT_EQ(PoolRegistryCount(), 3);
    EXPECT_EQ(b->registryEntry->referenceCount, 1);
    std::memset(kept, 0x5A, 12);  // still the other user's
    ElementPoolFree(b, kept);
    ElementPoolRelease(b);
    ElementPoolRelease(locked);
    ElementPoolRelease(bigger);
    ElementPoolRelease(unshared);
    EXPECT_EQ(PoolRegistryCount(), 0);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, TheRegistryOutlivesAMainHeapDestroyedWithASharedPoolInUse) {
    ElementPool* first = ElementPoolCreate(28, 16, 256, POOL_SHARED);
    ASSERT_NE(first, nullptr);
    void* kept = ElementPoolAlloc(first);
    // A program that ends without releasing its shared pools, then starts
    // again in the same process on a new main heap.
    OsHeapDestroy(Process.mainHeap);
    Process.mainHeap = OsHeapCreate(4096);
    ElementPool* again = ElementPoolCreate(28, 16, 256, POOL_SHARED);
    ElementPool* other = ElementPoolCreate(60, 16, 256, POOL_SHARED);
    ASSERT_EQ(again, first);
    ASSERT_NE(other, nullptr);
    std::memset(ElementPoolAlloc(other), 0x5A, 60);
    std::memset(kept, 0x5A, 28);
    ElementPoolFree(again, kept);
    ElementPoolRelease(first);
    ElementPoolRelease(again);
    ElementPoolRelease(other);
}

TEST_F(ElementPoolTest, AFailedSharedCreateRegistersNothingAndKeepsNothing) {
    for (long failing = 1; failing <= 2; ++failing) {
        OsAllocFailAt(failing);
        EXPECT_EQ(ElementPoolCreate(40, 16, 256, POOL_SHARED), nullptr) << failing;
        EXPECT_EQ(PoolRegistryCount(), 0);
        EXPECT_EQ(HeapBlocks(), 0) << failing;
    }
    OsAllocFailAt(1);
    EXPECT_EQ(ElementPoolCreate(40, 16, 256, 0), nullptr);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, ALockedPoolServesSeveralThreads) {
    ElementPool* pool = ElementPoolCreate(sizeof(int) * 4, 16, 64, POOL_LOCKED);
    std::atomic<int> damaged{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<int*> mine;
            for (int round = 0; round < 2000; ++round) {
                auto* element = static_cast<int*>(ElementPoolAlloc(pool));
                for (int i = 0; i < 4; ++i) element[i] = t;
                mine.push_back(element);
                if (round % 3 == 2) {
                    for (int i = 0; i < 2; ++i) {
                        int* back = mine[mine.size() - 1 - i];
                        for (int k = 0; k < 4; ++k) damaged += back[k] != t;
                        ElementPoolFree(pool, back);
                    }
                    mine.resize(mine.size() - 2);
                }
            }
            for (int* element : mine) {
                for (int k = 0; k < 4; ++k) damaged += element[k] != t;
                ElementPoolFree(pool, element);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(damaged, 0);
    EXPECT_EQ(pool->totalSlots, 0);
    ElementPoolRelease(pool);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, TheRegistryCountsReferencesTakenFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatched{0};
    ElementPool* anchor = ElementPoolCreate(20, 16, 256, POOL_SHARED);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ElementPool* pool = ElementPoolCreate(20, 16, 256, POOL_SHARED);
                mismatched += pool != anchor;
                ElementPool* other = ElementPoolCreate(100, 16, 256, POOL_SHARED);
                ElementPoolRelease(other);
                ElementPoolRelease(pool);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(anchor->registryEntry->referenceCount, 1);
    ElementPoolRelease(anchor);
    EXPECT_EQ(PoolRegistryCount(), 0);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ElementPoolTest, AgreesWithAModelOverRandomScripts) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::vector<uint8_t> script = RandomScript(seed, 3000);
        HarnessOptions options;
        options.scriptedFailures = true;
        ASSERT_EQ(RunElementPoolScript(script.data(), script.size(), &options), "") << "seed " << seed;
    }
}

TEST_F(ElementPoolTest, EveryAllocationFailingInTurnIsSurvived) {
    std::vector<uint8_t> script = RandomScript(77, 600);
    HarnessOptions clean;
    ASSERT_EQ(RunElementPoolScript(script.data(), script.size(), &clean), "");
    ASSERT_GT(clean.allocations, 20);
    long reported = 0;
    for (long n = 1; n <= clean.allocations; ++n) {
        HarnessOptions options;
        options.failAt = n;
        ASSERT_EQ(RunElementPoolScript(script.data(), script.size(), &options), "") << "allocation " << n;
        EXPECT_LE(options.failuresReported, 1);
        reported += options.failuresReported;
    }
    EXPECT_GT(reported, 0);
}

}  // namespace
