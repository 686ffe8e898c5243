#include "runtime/keyed_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/element_pool.h"
#include "support/main_heap.h"
#include "support/runtime_models.h"

namespace {

struct Binding {
    int32_t window;
    int32_t value;
};

class KeyedMapTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        ASSERT_NE(KeyedMapCreate(sizeof(Binding), 7, nullptr, &map, 1024), nullptr);
    }
    void TearDown() override {
        KeyedMapFree(map);
        EXPECT_EQ(map, nullptr);
        EXPECT_EQ(PoolRegistryCount(), 0) << "a map was not freed";
        EXPECT_EQ(HeapBlocks(), 0);
        MainHeapTest::TearDown();
    }
    Binding* Add(const char16_t* key, int32_t value, int32_t reuse = 0, KeyedMap* into = nullptr) {
        auto* binding = static_cast<Binding*>(KeyedMapAdd(into ? into : map, key, reuse));
        if (binding) binding->value = value;
        return binding;
    }
    // Values in cursor order, from a reset cursor.
    std::vector<int32_t> Values(KeyedMap* of = nullptr) {
        KeyedMap* m = of ? of : map;
        std::vector<int32_t> values;
        KeyedMapIterReset(m);
        while (auto* binding = static_cast<Binding*>(KeyedMapIterNext(m))) values.push_back(binding->value);
        return values;
    }
    KeyedMap* map = nullptr;
};

TEST(KeyedMapHashTest, TheKeyAbcLandsInBucket98InBothWidths) {
    EXPECT_EQ(KeyedMapHash(u"abc"), 807794786u);
    EXPECT_EQ(KeyedMapHashAnsi("abc"), 807794786u);
    EXPECT_EQ(KeyedMapHash(u"abc") % 1024, 98u);
    EXPECT_EQ(KeyedMapHash(u""), 0u);
    EXPECT_EQ(KeyedMapHash(nullptr), 0u);
    // 8-bit text sign-extends its bytes, UTF-16 zero-extends its units.
    EXPECT_EQ(KeyedMapHashAnsi("\xE9"), 0xFFFFFFE9u);
    EXPECT_EQ(KeyedMapHash(u"\u00E9"), 0xE9u);
}

TEST_F(KeyedMapTest, AnAsciiKeyIsFoundInEitherWidthInItsBucket) {
    Binding* abc = Add(u"abc", 1);
    ASSERT_NE(abc, nullptr);
    EXPECT_EQ(map->buckets[98]->key, std::u16string(u"abc"));
    EXPECT_EQ(KeyedMapFind(map, u"abc"), abc);
    EXPECT_EQ(KeyedMapFindAnsi(map, "abc"), abc);
    EXPECT_EQ(KeyedMapFindAnsi(map, "ABC"), nullptr);
    EXPECT_EQ(KeyedMapFindAnsi(map, "ab"), nullptr);
    EXPECT_EQ(KeyedMapFindAnsi(map, "abcd"), nullptr);

    // The event layer's keys.
    Binding* binding = Add(u"13100:0:12:-1", 2);
    EXPECT_EQ(KeyedMapFindAnsi(map, "13100:0:12:-1"), binding);
    EXPECT_EQ(KeyedMapFindAnsi(map, "13100:0:12:1"), nullptr);
}

TEST_F(KeyedMapTest, AnAnsiByteAboveAsciiMatchesNothing) {
    Binding* wide = Add(u"caf\u00E9", 1);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(KeyedMapFind(map, u"caf\u00E9"), wide);
    EXPECT_EQ(KeyedMapFindAnsi(map, "caf\xE9"), nullptr);
}

TEST_F(KeyedMapTest, ANullKeyIsTheEmptyText) {
    Binding* empty = Add(nullptr, 5);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(map->buckets[0]->key[0], u'\0');
    EXPECT_EQ(KeyedMapFind(map, u""), empty);
    EXPECT_EQ(KeyedMapFind(map, nullptr), empty);
    EXPECT_EQ(KeyedMapFindAnsi(map, nullptr), empty);
    EXPECT_EQ(KeyedMapAdd(map, u"", 1), empty);
}

TEST_F(KeyedMapTest, KeysAreCopiedAndComparedExactly) {
    std::u16string key = u"Key";
    Binding* stored = Add(key.c_str(), 1);
    key[0] = u'X';
    EXPECT_EQ(KeyedMapFind(map, u"Key"), stored);
    EXPECT_EQ(KeyedMapFind(map, u"key"), nullptr);
    EXPECT_EQ(KeyedMapFind(map, u"Xey"), nullptr);
}

TEST_F(KeyedMapTest, WithoutReuseASecondElementHidesTheFirst) {
    Binding* older = Add(u"k", 1);
    Binding* newer = Add(u"k", 2);
    EXPECT_NE(older, newer);
    EXPECT_EQ(map->count, 2);
    EXPECT_EQ(KeyedMapFind(map, u"k"), newer);
    EXPECT_EQ(Values(), (std::vector<int32_t>{2, 1}));
}

TEST_F(KeyedMapTest, WithReuseTheStoredElementComesBackZeroFilled) {
    Binding* first = Add(u"k", 1);
    first->window = 9;
    auto* again = static_cast<Binding*>(KeyedMapAdd(map, u"k", 1));
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->window, 0);
    EXPECT_EQ(again->value, 0);
    EXPECT_EQ(map->count, 1);
}

TEST_F(KeyedMapTest, BucketCountsBelowOneMakeOneSharedChain) {
    for (int32_t buckets : {0, -5}) {
        KeyedMap* small = nullptr;
        ASSERT_NE(KeyedMapCreate(sizeof(Binding), 0, nullptr, &small, buckets), nullptr);
        EXPECT_EQ(small->bucketCount, 1);
        Add(u"a", 1, 0, small);
        Add(u"b", 2, 0, small);
        Add(u"c", 3, 0, small);
        EXPECT_EQ(Values(small), (std::vector<int32_t>{3, 2, 1}));
        EXPECT_EQ(static_cast<Binding*>(KeyedMapFind(small, u"b"))->value, 2);
        KeyedMapFree(small);
        EXPECT_EQ(small, nullptr);
    }
}

TEST_F(KeyedMapTest, BucketsAscendingNewestFirstWithinOne) {
    // "b" (98) and "\u0462" (1122 = 98 + 1024) share bucket 98; "a" is 97.
    Add(u"b", 1);
    Add(u"a", 2);
    Add(u"\u0462", 3);
    EXPECT_EQ(Values(), (std::vector<int32_t>{2, 3, 1}));
    // Past the last element the cursor stays there.
    EXPECT_EQ(KeyedMapIterNext(map), nullptr);
    EXPECT_EQ(KeyedMapIterNext(map), nullptr);
}

TEST_F(KeyedMapTest, DeletingEveryElementDuringOnePassVisitsEachOnce) {
    // Shared buckets, bucket heads, the first and the last element.
    const char16_t* keys[] = {u"b", u"\u0462", u"\u0862", u"a", u"zz", u"\u0461", u"q"};
    for (int i = 0; i < 7; ++i) Add(keys[i], i);
    std::vector<int32_t> order = Values();
    std::vector<int32_t> visited;
    KeyedMapIterReset(map);
    while (auto* binding = static_cast<Binding*>(KeyedMapIterNext(map))) {
        visited.push_back(binding->value);
        KeyedMapDeleteCurrent(map);
    }
    EXPECT_EQ(visited, order);
    EXPECT_EQ(map->count, 0);
    for (int32_t b = 0; b < map->bucketCount; ++b) EXPECT_EQ(map->buckets[b], nullptr);
}

TEST_F(KeyedMapTest, DeletingSomeElementsKeepsTheRestAndVisitsEachOnce) {
    for (int i = 0; i < 60; ++i) {
        std::u16string key(1, static_cast<char16_t>(u'a' + i % 3 + 1024 * (i / 3)));
        Add(key.c_str(), i);
    }
    std::vector<int32_t> order = Values();
    std::vector<int32_t> visited, kept;
    KeyedMapIterReset(map);
    while (auto* binding = static_cast<Binding*>(KeyedMapIterNext(map))) {
        visited.push_back(binding->value);
        if (binding->value % 2)
            KeyedMapDeleteCurrent(map);
        else
            kept.push_back(binding->value);
    }
    EXPECT_EQ(visited, order);
    EXPECT_EQ(Values(), kept);
    EXPECT_EQ(map->count, 30);
}

TEST_F(KeyedMapTest, DeleteReturnsTheElementBeforeAndTheCursorGoesOnAfter) {
    Binding* a = Add(u"a", 1);  // bucket 97
    Add(u"b", 2);               // bucket 98, head
    Binding* c = Add(u"c", 3);  // bucket 99
    KeyedMapIterReset(map);
    KeyedMapIterNext(map);
    KeyedMapIterNext(map);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), a);
    EXPECT_EQ(KeyedMapIterNext(map), c);
    // The first element has none before it.
    KeyedMapIterReset(map);
    KeyedMapIterNext(map);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), nullptr);
    EXPECT_EQ(KeyedMapIterNext(map), c);
    // Nothing under the cursor: nothing to delete.
    KeyedMapIterReset(map);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), nullptr);
    EXPECT_EQ(map->count, 1);
}

TEST_F(KeyedMapTest, TwoDeletionsInARowTakeTheElementAndTheOneBefore) {
    Binding* a = Add(u"a", 1);
    Add(u"b", 2);
    Add(u"\u0462", 3);  // heads bucket 98, before "b"
    Binding* c = Add(u"c", 4);
    KeyedMapIterReset(map);
    for (int i = 0; i < 3; ++i) KeyedMapIterNext(map);  // a, \u0462, b
    // "b" goes, \u0462 was before it; then \u0462 goes, "a" was before it.
    EXPECT_EQ(static_cast<Binding*>(KeyedMapDeleteCurrent(map))->value, 3);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), a);
    EXPECT_EQ(KeyedMapIterNext(map), c);
    EXPECT_EQ(Values(), (std::vector<int32_t>{1, 4}));
}

TEST_F(KeyedMapTest, DeletingAFoundElementThatHeadsItsBucketKeepsTheMapWhole) {
    Binding* a = Add(u"a", 1);
    Add(u"b", 2);
    Binding* c = Add(u"c", 3);
    KeyedMapIterReset(map);
    KeyedMapIterNext(map);
    // A missed lookup in between leaves the cursor's memory alone.
    EXPECT_EQ(KeyedMapFind(map, u"\u0462"), nullptr);
    ASSERT_NE(KeyedMapFind(map, u"b"), nullptr);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), a);
    EXPECT_EQ(KeyedMapIterNext(map), c);
    EXPECT_EQ(Values(), (std::vector<int32_t>{1, 3}));
}

TEST_F(KeyedMapTest, AMissedLookupLeavesTheCursorWhereItWas) {
    Add(u"b", 1);
    Binding* second = Add(u"\u0462", 2);  // same bucket, head
    KeyedMapIterReset(map);
    KeyedMapIterNext(map);
    KeyedMapIterNext(map);  // on "b", after \u0462
    EXPECT_EQ(KeyedMapFind(map, u"\u0862"), nullptr);  // walks the same chain, misses
    EXPECT_EQ(KeyedMapFindAnsi(map, "zz"), nullptr);
    EXPECT_EQ(KeyedMapDeleteCurrent(map), second);
    EXPECT_EQ(Values(), (std::vector<int32_t>{2}));
}

TEST_F(KeyedMapTest, ClearEmptiesAndTheMapCarriesOn) {
    for (int i = 0; i < 100; ++i) Add(std::u16string(1, static_cast<char16_t>(u'a' + i)).c_str(), i);
    long withMap = 3;  // record, buckets, spare; the pool is on the registry's heap
    KeyedMapClear(map);
    EXPECT_EQ(map->count, 0);
    EXPECT_EQ(Values(), std::vector<int32_t>{});
    EXPECT_EQ(HeapBlocks(), withMap);
    Add(u"x", 7);
    EXPECT_EQ(Values(), std::vector<int32_t>{7});
}

TEST_F(KeyedMapTest, CreatingIntoAnOwnerFreesTheOldMap) {
    Add(u"a", 1);
    KeyedMap* fresh = KeyedMapCreate(sizeof(Binding), 7, nullptr, &map, 16);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(map, fresh);
    EXPECT_EQ(map->count, 0);
    EXPECT_EQ(map->bucketCount, 16);
    EXPECT_EQ(KeyedMapFind(map, u"a"), nullptr);
    EXPECT_EQ(HeapBlocks(), 3);
    // A failed create leaves the owner empty: the old map is already gone.
    OsAllocFailAt(2);
    EXPECT_EQ(KeyedMapCreate(sizeof(Binding), 7, nullptr, &map, 16), nullptr);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(HeapBlocks(), 0);
    KeyedMapFree(nullptr);
}

TEST_F(KeyedMapTest, FreeingClearsOnlyAnOwnerThatStillHoldsTheMap) {
    KeyedMap* first = nullptr;
    ASSERT_NE(KeyedMapCreate(4, 0, nullptr, &first, 4), nullptr);
    KeyedMap* taken = first;
    KeyedMap* second = KeyedMapCreate(4, 0, nullptr, nullptr, 4);
    first = second;  // the variable now holds another map
    KeyedMapFree(taken);
    EXPECT_EQ(first, second);
    KeyedMapFree(second);
}

TEST_F(KeyedMapTest, MapsOfOneElementSizeShareAPool) {
    KeyedMap* other = nullptr;
    KeyedMap* wider = nullptr;
    ASSERT_NE(KeyedMapCreate(sizeof(Binding), 0, nullptr, &other, 8), nullptr);
    ASSERT_NE(KeyedMapCreate(sizeof(Binding) + 8, 0, nullptr, &wider, 8), nullptr);
    EXPECT_EQ(other->pool, map->pool);
    EXPECT_EQ(map->pool->registryEntry->referenceCount, 2);
    EXPECT_NE(wider->pool, map->pool);
    Binding* kept = Add(u"k", 4);
    KeyedMapFree(other);
    EXPECT_EQ(map->pool->registryEntry->referenceCount, 1);
    EXPECT_EQ(KeyedMapFind(map, u"k"), kept);
    EXPECT_EQ(kept->value, 4);
    KeyedMapFree(wider);
}

TEST_F(KeyedMapTest, CopyAddsEveryElementAndLeavesTheSourceCursorAlone) {
    Add(u"a", 1);
    Add(u"b", 2);
    Binding* c = Add(u"c", 3);
    KeyedMap* target = nullptr;
    ASSERT_NE(KeyedMapCreate(sizeof(Binding), 0, nullptr, &target, 1), nullptr);
    Add(u"old", 9, 0, target);
    KeyedMapIterReset(map);
    KeyedMapIterNext(map);
    KeyedMapIterNext(map);  // on "b"

    EXPECT_EQ(KeyedMapCopy(map, target, 0), 1);
    // One bucket: the copies, newer than what was there, in the source's order.
    EXPECT_EQ(Values(target), (std::vector<int32_t>{1, 2, 3, 9}));
    EXPECT_EQ(KeyedMapIterNext(map), c);
    EXPECT_EQ(static_cast<Binding*>(KeyedMapFind(target, u"a"))->value, 1);

    EXPECT_EQ(KeyedMapCopy(map, target, 1), 1);
    EXPECT_EQ(Values(target), (std::vector<int32_t>{1, 2, 3}));
    // Two elements under one key: the copy finds the newer, as the source does.
    Add(u"b", 4);
    for (int32_t buckets : {1, 1024}) {
        KeyedMap* copy = nullptr;
        ASSERT_NE(KeyedMapCreate(sizeof(Binding), 0, nullptr, &copy, buckets), nullptr);
        EXPECT_EQ(KeyedMapCopy(map, copy, 0), 1);
        EXPECT_EQ(static_cast<Binding*>(KeyedMapFind(copy, u"b"))->value, 4) << buckets;
        KeyedMapFree(copy);
    }
    EXPECT_EQ(KeyedMapCopy(nullptr, target, 1), 0);
    EXPECT_EQ(KeyedMapCopy(map, nullptr, 1), 0);
    EXPECT_EQ(target->count, 3);
    KeyedMapFree(target);
}

TEST_F(KeyedMapTest, CopyRefusesMapsOfDifferentElementSizes) {
    Add(u"a", 1);
    KeyedMap* narrow = nullptr;
    ASSERT_NE(KeyedMapCreate(4, 0, nullptr, &narrow, 8), nullptr);
    EXPECT_EQ(KeyedMapCopy(map, narrow, 1), 0);
    EXPECT_EQ(narrow->count, 0);
    KeyedMapFree(narrow);
}

TEST_F(KeyedMapTest, CopyOntoItselfKeepsOrDoublesTheElements) {
    Add(u"a", 1);
    Add(u"b", 2);
    EXPECT_EQ(KeyedMapCopy(map, map, 1), 1);
    EXPECT_EQ(Values(), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(KeyedMapCopy(map, map, 0), 1);
    EXPECT_EQ(Values(), (std::vector<int32_t>{1, 1, 2, 2}));
}

TEST_F(KeyedMapTest, ACopyThatRunsOutOfMemoryLeavesTheTargetAsItWas) {
    for (int i = 0; i < 5; ++i) Add(std::u16string(1, static_cast<char16_t>(u'a' + i)).c_str(), i);
    KeyedMap* target = nullptr;
    ASSERT_NE(KeyedMapCreate(sizeof(Binding), 0, nullptr, &target, 4), nullptr);
    Add(u"kept", 42, 0, target);
    long blocks = HeapBlocks();
    OsAllocFailAt(4);  // the fourth key copy (the pool has room)
    EXPECT_EQ(KeyedMapCopy(map, target, 1), 0);
    EXPECT_EQ(Values(target), std::vector<int32_t>{42});
    EXPECT_EQ(HeapBlocks(), blocks);
    KeyedMapFree(target);
}

TEST_F(KeyedMapTest, AFailedAddLeavesTheMapAsItWas) {
    Add(u"a", 1);
    long blocks = HeapBlocks();
    OsAllocFailAt(1);  // the key copy
    EXPECT_EQ(KeyedMapAdd(map, u"b", 0), nullptr);
    EXPECT_EQ(map->count, 1);
    EXPECT_EQ(KeyedMapFind(map, u"b"), nullptr);
    EXPECT_EQ(HeapBlocks(), blocks);
}

TEST_F(KeyedMapTest, HooksReachTheMapOperations) {
    MapHooksInit();
    KeyedMap* hooked = nullptr;
    ASSERT_NE(RuntimeHooks.mapCreate(sizeof(Binding), 0, nullptr, &hooked, 4), nullptr);
    Add(u"a", 1);
    EXPECT_EQ(RuntimeHooks.mapCopy(map, hooked, 1), 1);
    EXPECT_EQ(Values(hooked), std::vector<int32_t>{1});
    RuntimeHooks.mapFree(hooked);
    EXPECT_EQ(hooked, nullptr);
}

TEST_F(MainHeapTest, KeyedMapAgreesWithAModelOverRandomScripts) {
    for (uint32_t seed = 1; seed <= 10; ++seed) {
        std::vector<uint8_t> script = RandomScript(seed, 2500);
        HarnessOptions options;
        options.scriptedFailures = true;
        ASSERT_EQ(RunKeyedMapScript(script.data(), script.size(), &options), "") << "seed " << seed;
    }
}

TEST_F(MainHeapTest, KeyedMapSurvivesEveryAllocationFailingInTurn) {
    std::vector<uint8_t> script = RandomScript(91, 500);
    HarnessOptions clean;
    ASSERT_EQ(RunKeyedMapScript(script.data(), script.size(), &clean), "");
    ASSERT_GT(clean.allocations, 20);
    long reported = 0;
    for (long n = 1; n <= clean.allocations; ++n) {
        HarnessOptions options;
        options.failAt = n;
        ASSERT_EQ(RunKeyedMapScript(script.data(), script.size(), &options), "") << "allocation " << n;
        EXPECT_LE(options.failuresReported, 1);
        reported += options.failuresReported;
    }
    EXPECT_GT(reported, 0);
}

}  // namespace
