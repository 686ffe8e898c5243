#include "ui/window/event_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "runtime/element_pool.h"
#include "runtime/keyed_map.h"
#include "support/main_heap.h"

namespace {

using Event = std::tuple<int32_t, intptr_t, intptr_t, int32_t>;  // code, gadget, window, type

class EventQueueTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        MapHooksInit();
        ASSERT_TRUE(EventStateInit());
        ASSERT_NE(KeyedMapCreate(sizeof(EventBindingEntry), 7, nullptr, &EventBindingMap, 1024), nullptr);
    }
    void TearDown() override {
        KeyedMapFree(EventBindingMap);
        MainHeapTest::TearDown();
    }
    // Takes every queued event.
    std::vector<Event> Drain() {
        std::vector<Event> events;
        while (EventNext()) {
            EventState* state = EventStateGet();
            events.emplace_back(state->currentCode, state->currentGadget, state->currentWindow, state->currentType);
        }
        return events;
    }
};

TEST_F(EventQueueTest, IdenticalEventsBackToBackMergeAndNothingElseDoes) {
    EventPost(EVENT_BACKGROUND_ERASED, 0, 0, 0);
    EventPost(EVENT_BACKGROUND_ERASED, 0, 0, 0);
    EventPost(EVENT_WINDOW_SIZED, 0, 0, 0);
    EventPost(EVENT_BACKGROUND_ERASED, 0, 0, 0);
    EventPost(EVENT_GADGET, 12, 0, 0);
    EventPost(EVENT_GADGET, 12, 0, 1);  // differs in type only
    EventPost(EVENT_GADGET, 12, 1, 1);  // differs in window only
    EventPost(EVENT_GADGET, 11, 1, 1);  // differs in gadget only
    EventPost(70000, 1, 1, 1);          // codes from 65536 up never merge
    EventPost(70000, 1, 1, 1);
    EXPECT_EQ(Drain(), (std::vector<Event>{{EVENT_BACKGROUND_ERASED, 0, 0, 0},
                                           {EVENT_WINDOW_SIZED, 0, 0, 0},
                                           {EVENT_BACKGROUND_ERASED, 0, 0, 0},
                                           {EVENT_GADGET, 12, 0, 0},
                                           {EVENT_GADGET, 12, 0, 1},
                                           {EVENT_GADGET, 12, 1, 1},
                                           {EVENT_GADGET, 11, 1, 1},
                                           {70000, 1, 1, 1},
                                           {70000, 1, 1, 1}}));
    // Merging needs a tail: an event taken out is not merged with.
    EventPost(EVENT_GADGET, 3, 0, 0);
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    EventPost(EVENT_GADGET, 3, 0, 0);
    EXPECT_EQ(Drain().size(), 1u);
}

TEST_F(EventQueueTest, SuppressedEventsAreDroppedUnlessForced) {
    EventSuppressBegin();
    EventSuppressBegin();
    EventPost(EVENT_GADGET, 1, 0, 768);
    EventPost(EVENT_GADGET, 2, 0, 0, EVENT_FORCE);
    EventSuppressEnd();
    EventPost(EVENT_GADGET, 3, 0, 0);  // still suppressed: the counter nests
    EventSuppressEnd();
    EventPost(EVENT_GADGET, 4, 0, 0);
    EXPECT_EQ(Drain(), (std::vector<Event>{{EVENT_GADGET, 2, 0, 0}, {EVENT_GADGET, 4, 0, 0}}));
}

TEST_F(EventQueueTest, AnEmptyFetchKeepsTheLastGadgetAndClearsCodeAndType) {
    EventPost(EVENT_GADGET, 12, 0, 5);
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    EXPECT_EQ(EventGadgetId(), 12);
    EXPECT_EQ(EventNext(), 0);
    EXPECT_EQ(EventGadgetId(), 12);
    EXPECT_EQ(EventStateGet()->currentWindow, 0);
    EXPECT_EQ(EventStateGet()->currentType, -1);
    EXPECT_EQ(EventStateGet()->currentCode, 0);
}

TEST_F(EventQueueTest, PurgesRemoveExactlyTheMatchingEvents) {
    EventPost(EVENT_GADGET, 5, 0, 0);
    EventPost(EVENT_GADGET, 6, 0, 0);
    EventPost(EVENT_GADGET, 5, 1, 768);
    EventPost(EVENT_CLOSE_WINDOW, 1, 1, 0);
    EventPost(EVENT_GADGET, 5, -1, 0);
    EventPurge(EVENT_GADGET, 5, -1, -1);
    EXPECT_EQ(Drain(), (std::vector<Event>{{EVENT_GADGET, 6, 0, 0}, {EVENT_CLOSE_WINDOW, 1, 1, 0}}));

    EventPost(EVENT_GADGET, 1, 1, 0);
    EventPost(EVENT_GADGET, 2, 0, 0);
    EventPost(EVENT_WINDOW_MOVED, 1, 1, 0);  // the tail goes too
    EventPost(EVENT_GADGET, 3, -1, 0);
    EventPurgeWindow(1);
    EventPurgeWindow(-1);
    // The tail was purged: a new event must link behind the right node.
    EventPost(EVENT_GADGET, 4, 0, 0);
    EXPECT_EQ(Drain(), (std::vector<Event>{{EVENT_GADGET, 2, 0, 0}, {EVENT_GADGET, 4, 0, 0}}));
}

std::vector<std::string> g_calls;

TEST_F(EventQueueTest, BindingsRunUnderFiveKeysInOrderWithTheEventCurrent) {
    g_calls.clear();
    struct Key {
        int32_t code;
        intptr_t window, gadget;
        int32_t type;
        EventCallback callback;
    };
#define RECORDER(name)                                                                           \
    [] {                                                                                         \
        g_calls.push_back(std::string(name) + "@" + std::to_string(EventGadgetId()) + "/" +     \
                          std::to_string(EventStateGet()->currentType));                         \
    }
    const Key keys[] = {
        {EVENT_GADGET, -1, 12, 0, RECORDER("5")},  {EVENT_GADGET, -1, -1, -1, RECORDER("4")},
        {EVENT_GADGET, 0, -1, -1, RECORDER("3")},  {EVENT_GADGET, 0, 12, -1, RECORDER("2")},
        {EVENT_GADGET, 0, 12, 0, RECORDER("1")},   {EVENT_GADGET, 0, 12, 0, RECORDER("1b")},
        {EVENT_GADGET, 1, 12, 0, RECORDER("other")},
    };
#undef RECORDER
    for (const Key& key : keys) ASSERT_TRUE(EventBindingAdd(key.code, key.window, key.gadget, key.type, key.callback));

    EventPost(EVENT_GADGET, 7, 0, 3);
    EventNext();  // the current event before the post below
    EventPost(EVENT_GADGET, 12, 0, 0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"3@7/3", "4@7/3", "1@12/0", "1b@12/0", "2@12/0", "3@12/0", "4@12/0",
                                                 "5@12/0"}));
    // Restored afterwards.
    EXPECT_EQ(EventGadgetId(), 7);
    EXPECT_EQ(EventStateGet()->currentType, 3);
    // Suppressed events run no binding.
    g_calls.clear();
    EventSuppressBegin();
    EventPost(EVENT_GADGET, 12, 0, 0);
    EventSuppressEnd();
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(EventQueueTest, MergedEventsStillRunTheirBindings) {
    static int calls;
    calls = 0;
    ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 0, 1, 0, [] { ++calls; }));
    EventPost(EVENT_GADGET, 1, 0, 0);
    EventPost(EVENT_GADGET, 1, 0, 0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Drain().size(), 1u);
}

TEST_F(EventQueueTest, DroppingAWindowsBindingsLeavesTheOthers) {
    static int calls[3];
    calls[0] = calls[1] = calls[2] = 0;
    // Enough entries of window 0 that some head their bucket and some follow.
    for (int gadget = 0; gadget < 40; ++gadget) {
        ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 0, gadget, 0, [] { ++calls[0]; }));
        ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 1, gadget, 0, [] { ++calls[1]; }));
    }
    ASSERT_TRUE(EventBindingAdd(EVENT_CLOSE_WINDOW, 2, 2, 0, [] { ++calls[2]; }));
    EventBindingsDropWindow(0);
    EXPECT_EQ(EventBindingMap->count, 41);
    for (int gadget = 0; gadget < 40; ++gadget) {
        EventPost(EVENT_GADGET, gadget, 0, 0);
        EventPost(EVENT_GADGET, gadget, 1, 0);
    }
    EventPost(EVENT_CLOSE_WINDOW, 2, 2, 0);
    EXPECT_EQ(calls[0], 0);
    EXPECT_EQ(calls[1], 40);
    EXPECT_EQ(calls[2], 1);
}

TEST_F(EventQueueTest, ACallbackThatClosesItsWindowEndsThatWindowsBindingsSafely) {
    static int calls[3];
    calls[0] = calls[1] = calls[2] = 0;
    long blocks = HeapBlocks();
    // The first callback closes window 0 while the run stands on its list:
    // the second binding of the list and the whole list of the next key are
    // dropped before they are reached; a callback of another window runs on.
    ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 0, 1, 0, [] {
        ++calls[0];
        EventPost(EVENT_TIMER, 0, 0, 0);  // a nested run on the way
        EventBindingsDropWindow(0);
    }));
    ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 0, 1, 0, [] { ++calls[1]; }));
    ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, 0, 1, -1, [] { ++calls[1]; }));
    ASSERT_TRUE(EventBindingAdd(EVENT_GADGET, -1, -1, -1, [] { ++calls[2]; }));
    EventPost(EVENT_GADGET, 1, 0, 0);
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(calls[1], 0);
    EXPECT_EQ(calls[2], 1);
    EXPECT_EQ(EventBindingMap->count, 1);
    Drain();
    EventBindingsDropWindow(-1);
    EXPECT_EQ(HeapBlocks(), blocks) << "dropped bindings were kept";
}

TEST_F(EventQueueTest, NodesGoBackToThePool) {
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 1000; ++i) EventPost(EVENT_GADGET, i, 0, 0);
        EventPurge(EVENT_GADGET, -1, 0, -1);
        EXPECT_EQ(EventStateGet()->pool->totalSlots, 0);
        for (int i = 0; i < 300; ++i) EventPost(EVENT_TIMER, i, 0, 0);
        EXPECT_EQ(Drain().size(), 300u);
        EXPECT_EQ(EventStateGet()->pool->totalSlots, 0);
        EXPECT_EQ(EventStateGet()->pool->openBlocks, nullptr);
        EXPECT_EQ(EventStateGet()->pool->fullBlocks, nullptr);
    }
}

TEST_F(EventQueueTest, ANodeThatCannotBeHadDropsThatEventAlone) {
    EventPost(EVENT_GADGET, 1, 0, 0);  // the pool now holds a block with spare slots
    EventPost(EVENT_GADGET, 2, 0, 0);
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    // An empty pool has to fetch a block: with every allocation failing, the
    // event is lost, and only that one.
    OsAllocFailAt(1, 1000);
    EventPost(EVENT_GADGET, 3, 0, 0);
    OsAllocFailAt(0);
    EventPost(EVENT_GADGET, 4, 0, 0);
    EventPost(EVENT_GADGET, 5, 0, 0);
    EXPECT_EQ(Drain(), (std::vector<Event>{{EVENT_GADGET, 4, 0, 0}, {EVENT_GADGET, 5, 0, 0}}));
}

}  // namespace
