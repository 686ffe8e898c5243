#include "runtime/object_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/main_heap.h"
#include "support/runtime_models.h"

namespace {

struct Object {
    intptr_t handle;  // live mark
    int32_t payload;
};

// The callback of the table under test: records its calls and, like every
// layer's close operation, zeroes the live object it is given.
ObjectTable* g_table = nullptr;
std::vector<intptr_t> g_freed;

void FreeAndRecord(intptr_t number) {
    if (number == AnyNumber) {
        ObjectTableFreeAll(g_table);
        return;
    }
    g_freed.push_back(number);
    if (ObjectTableLookup(g_table, number)) ObjectTableFreeObject(g_table, number);
}

class ObjectTableTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        g_freed.clear();
        g_table = table = ObjectTableCreate(sizeof(Object), 16, FreeAndRecord);
        ASSERT_NE(table, nullptr);
    }
    Object* Create(intptr_t number, intptr_t handle = 0x1234) {
        auto* object = static_cast<Object*>(ObjectTableGetOrCreate(table, number));
        if (object) object->handle = handle;
        return object;
    }
    ObjectTable* table = nullptr;
};

TEST_F(ObjectTableTest, GrowsToTheNumberPlusTheStepNotByDoubling) {
    EXPECT_EQ(table->capacity, 16);
    for (int n = 0; n < 16; ++n) EXPECT_EQ(ObjectTableLookup(table, n), nullptr);
    ASSERT_NE(Create(16), nullptr);
    EXPECT_EQ(table->capacity, 32);
    ASSERT_NE(Create(100), nullptr);
    EXPECT_EQ(table->capacity, 116);
    // Numbers below the capacity do not grow it.
    ASSERT_NE(Create(115), nullptr);
    EXPECT_EQ(table->capacity, 116);
    EXPECT_NE(ObjectTableLookup(table, 16), nullptr);
}

TEST_F(ObjectTableTest, ReusingANumberFreesTheOldObjectAndKeepsTheBlock) {
    Object* first = Create(3);
    ASSERT_NE(first, nullptr);
    first->payload = 7;
    void* second = ObjectTableGetOrCreate(table, 3);
    EXPECT_EQ(second, first);
    EXPECT_EQ(g_freed, std::vector<intptr_t>{3});
    EXPECT_EQ(first->handle, 0);
    EXPECT_EQ(first->payload, 0);

    // The callback also runs for a block that is present but absent.
    ObjectTableFreeObject(table, 3);
    EXPECT_EQ(ObjectTableLookup(table, 3), nullptr);
    EXPECT_EQ(table->slots[3], first);
    EXPECT_EQ(ObjectTableGetOrCreate(table, 3), first);
    EXPECT_EQ(g_freed, (std::vector<intptr_t>{3, 3}));
}

TEST_F(ObjectTableTest, ObjectsAreLiveOnlyOnceTheirFirstFieldIsSet) {
    auto* numbered = static_cast<Object*>(ObjectTableGetOrCreate(table, 4));
    auto* unnumbered = static_cast<Object*>(ObjectTableGetOrCreate(table, AnyNumber));
    ASSERT_TRUE(numbered && unnumbered);
    EXPECT_EQ(ObjectTableLookup(table, 4), nullptr);
    intptr_t id = 0;
    ObjectTableIterBegin(table);
    // Unnumbered objects are always visited; numbered ones only when live.
    EXPECT_EQ(ObjectTableIterNext(table, &id), unnumbered);
    EXPECT_EQ(ObjectTableIterNext(table, &id), nullptr);
    numbered->handle = 1;
    EXPECT_EQ(ObjectTableLookup(table, 4), numbered);
}

TEST_F(ObjectTableTest, UnnumberedObjectsAreFoundByTheirHandles) {
    Object* a = Create(AnyNumber, 10);
    Object* b = Create(AnyNumber, 11);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    for (int n = 0; n < table->capacity; ++n) {
        EXPECT_NE(table->slots[n], a);
        EXPECT_NE(table->slots[n], b);
    }
    EXPECT_EQ(ObjectTableLookup(table, reinterpret_cast<intptr_t>(a)), a);
    EXPECT_EQ(ObjectTableLookup(table, reinterpret_cast<intptr_t>(b)), b);
    ObjectTableFreeObject(table, reinterpret_cast<intptr_t>(a));
    EXPECT_EQ(ObjectTableLookup(table, reinterpret_cast<intptr_t>(b)), b);
    EXPECT_EQ(table->anyList, ListNodeOf(b));
}

TEST_F(ObjectTableTest, ValuesThatAreNoObjectAreNeverDereferenced) {
    Object* a = Create(AnyNumber);
    ASSERT_NE(a, nullptr);
    intptr_t stale = reinterpret_cast<intptr_t>(a);
    ObjectTableFreeObject(table, stale);
    long blocks = HeapBlocks();

    Object local{0x55, 0};
    const intptr_t values[] = {stale, 16, 1000, -2, INTPTR_MIN, INTPTR_MAX,
                               reinterpret_cast<intptr_t>(&local), 0x10};
    for (intptr_t value : values) {
        EXPECT_EQ(ObjectTableLookup(table, value), nullptr) << value;
        ObjectTableFreeObject(table, value);  // must do nothing
    }
    EXPECT_EQ(local.handle, 0x55);
    EXPECT_EQ(HeapBlocks(), blocks);
    EXPECT_EQ(table->capacity, 16);

    // Numbers that cannot be slots are refused rather than grown to.
    EXPECT_EQ(ObjectTableGetOrCreate(table, -2), nullptr);
    EXPECT_EQ(ObjectTableGetOrCreate(table, INT32_MAX), nullptr);
    EXPECT_EQ(table->capacity, 16);
}

// The slot array's size is bounded in bytes, so that it cannot wrap a
// 32-bit size_t: 0x3FFFFFF0 slots of 4 bytes made a 0-byte array there, 2^30
// a 64-byte one. Such numbers are refused on every target before anything
// is allocated.
static_assert((ObjectTableLargestNumber(16, 4) + 16) * 4 <= INT32_MAX, "4-byte slots: the array fits");
static_assert((ObjectTableLargestNumber(16, 8) + 16) * 8 <= INT32_MAX, "8-byte slots: the array fits");

TEST_F(ObjectTableTest, NumbersWhoseSlotArrayWouldPassTheLimitAreRefused) {
    long blocks = HeapBlocks();
    for (intptr_t number : {intptr_t{0x3FFFFFF0}, intptr_t{1} << 30, intptr_t{1} << 29,
                            static_cast<intptr_t>(INT32_MAX) - 16}) {
        EXPECT_EQ(ObjectTableCanHold(table, number), 0) << number;
        EXPECT_EQ(ObjectTableGetOrCreate(table, number), nullptr) << number;
    }
    EXPECT_EQ(table->capacity, 16);
    EXPECT_EQ(HeapBlocks(), blocks);
    const intptr_t largest = static_cast<intptr_t>(ObjectTableLargestNumber(16, sizeof(void*)));
    EXPECT_NE(ObjectTableCanHold(table, largest), 0);
    EXPECT_EQ(ObjectTableCanHold(table, largest + 1), 0);
}

TEST_F(ObjectTableTest, FreeAllVisitsNumbersAscendingThenUnnumberedOldestFirst) {
    Create(5);
    Create(2);
    Object* a = Create(AnyNumber);
    Object* b = Create(AnyNumber);
    Create(9, 0);  // created, never filled: not live
    ObjectTableFreeAll(table);
    EXPECT_EQ(g_freed, (std::vector<intptr_t>{2, 5, reinterpret_cast<intptr_t>(a),
                                              reinterpret_cast<intptr_t>(b)}));
    EXPECT_EQ(ObjectTableLookup(table, 2), nullptr);
    EXPECT_EQ(ObjectTableLookup(table, 5), nullptr);
    EXPECT_EQ(table->anyList, nullptr);
}

TEST_F(ObjectTableTest, FreeAllSurvivesACallbackThatFreesAnotherObject) {
    Object* a = Create(AnyNumber);
    Object* b = Create(AnyNumber);
    Object* c = Create(AnyNumber);
    ASSERT_TRUE(a && b && c);
    static Object* s_next;
    s_next = b;
    // The first callback frees the object the cursor would visit next.
    g_table->freeCallback = [](intptr_t number) {
        g_freed.push_back(number);
        if (s_next) {
            ObjectTableFreeObject(g_table, reinterpret_cast<intptr_t>(s_next));
            s_next = nullptr;
        }
        ObjectTableFreeObject(g_table, number);
    };
    ObjectTableFreeAll(table);
    EXPECT_EQ(g_freed, (std::vector<intptr_t>{reinterpret_cast<intptr_t>(a), reinterpret_cast<intptr_t>(c)}));
    EXPECT_EQ(table->anyList, nullptr);
}

TEST_F(ObjectTableTest, FreeAllWithoutCallbackDoesNothing) {
    ObjectTable* plain = ObjectTableCreate(sizeof(Object), 4, nullptr);
    ASSERT_NE(plain, nullptr);
    static_cast<Object*>(ObjectTableGetOrCreate(plain, 1))->handle = 1;
    ObjectTableFreeAll(plain);
    EXPECT_NE(ObjectTableLookup(plain, 1), nullptr);
}

TEST_F(ObjectTableTest, AllocationFailureLeavesTheTableAsItWas) {
    void** slots = table->slots;
    // Growing needs a block and a larger array; fail each in turn.
    for (long failing = 1; failing <= 2; ++failing) {
        long blocks = HeapBlocks();
        OsAllocFailAt(failing);
        EXPECT_EQ(ObjectTableGetOrCreate(table, 40), nullptr);
        EXPECT_EQ(table->capacity, 16);
        EXPECT_EQ(table->slots, slots);
        EXPECT_EQ(HeapBlocks(), blocks);
    }
    OsAllocFailAt(1);
    EXPECT_EQ(ObjectTableGetOrCreate(table, AnyNumber), nullptr);
    EXPECT_EQ(table->anyList, nullptr);
    OsAllocFailAt(1);
    EXPECT_EQ(ObjectTableGetOrCreate(table, 3), nullptr);
    EXPECT_EQ(table->slots[3], nullptr);
    OsAllocFailAt(0);
    EXPECT_NE(Create(40), nullptr);
}

class ListTest : public MainHeapTest {
protected:
    ListNode* head = nullptr;
    void* Add(int value) {
        void* payload = ListNodeAdd(&head, sizeof(ListNode) + sizeof(int));
        std::memcpy(payload, &value, sizeof value);
        return payload;
    }
    // Values front to back, checking the back links on the way.
    std::vector<int> Values() {
        std::vector<int> values;
        ListNode* previous = nullptr;
        for (ListNode* node = head; node; node = node->next) {
            EXPECT_EQ(node->previous, previous);
            int value;
            std::memcpy(&value, ListNodePayload(node), sizeof value);
            values.push_back(value);
            previous = node;
        }
        return values;
    }
};

TEST_F(ListTest, NewNodesGoToTheFrontZeroFilled) {
    void* payload = ListNodeAdd(&head, sizeof(ListNode) + 32);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload, ListNodePayload(head));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(static_cast<unsigned char*>(payload)[i], 0);
    ListNodeRemove(&head, payload);
    Add(1);
    Add(2);
    Add(3);
    EXPECT_EQ(Values(), (std::vector<int>{3, 2, 1}));
}

TEST_F(ListTest, RemovalAtFrontMiddleAndEndKeepsTheLinks) {
    void* one = Add(1);
    void* two = Add(2);
    void* three = Add(3);
    void* four = Add(4);
    ListNodeRemove(&head, three);  // middle
    EXPECT_EQ(Values(), (std::vector<int>{4, 2, 1}));
    ListNodeRemove(&head, four);  // front
    EXPECT_EQ(Values(), (std::vector<int>{2, 1}));
    ListNodeRemove(&head, one);  // end
    EXPECT_EQ(Values(), (std::vector<int>{2}));
    ListNodeRemove(&head, two);  // only
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(HeapBlocks(), 0);
}

TEST_F(ListTest, FailedAddLeavesTheListUnchanged) {
    Add(1);
    OsAllocFailAt(1);
    EXPECT_EQ(ListNodeAdd(&head, sizeof(ListNode) + 4), nullptr);
    EXPECT_EQ(Values(), std::vector<int>{1});
}

TEST_F(MainHeapTest, StateRecordIsZeroFilledAndInitialisedOnce) {
    static int calls;
    calls = 0;
    void* handle = StateRecordCreate(76, [](void* record) {
        ++calls;
        for (int i = 0; i < 76; ++i) EXPECT_EQ(static_cast<unsigned char*>(record)[i], 0);
        static_cast<int*>(record)[0] = 42;
    });
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(static_cast<int*>(StateRecordGet(handle))[0], 42);
    EXPECT_NE(StateRecordCreate(8, nullptr), nullptr);
}

TEST_F(MainHeapTest, ObjectTableAgreesWithAModelOverRandomScripts) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::vector<uint8_t> script = RandomScript(seed, 2500);
        HarnessOptions options;
        options.scriptedFailures = true;
        ASSERT_EQ(RunObjectTableScript(script.data(), script.size(), &options), "") << "seed " << seed;
    }
}

TEST_F(MainHeapTest, ObjectTableSurvivesEveryAllocationFailingInTurn) {
    std::vector<uint8_t> script = RandomScript(5, 600);
    HarnessOptions clean;
    ASSERT_EQ(RunObjectTableScript(script.data(), script.size(), &clean), "");
    ASSERT_GT(clean.allocations, 20);
    for (long n = 1; n <= clean.allocations; ++n) {
        HarnessOptions options;
        options.failAt = n;
        ASSERT_EQ(RunObjectTableScript(script.data(), script.size(), &options), "") << "allocation " << n;
        // Nothing falls back here: the failing allocation is always reported.
        EXPECT_EQ(options.failuresReported, 1) << "allocation " << n;
    }
}

}  // namespace
