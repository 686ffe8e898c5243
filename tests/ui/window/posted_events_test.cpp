#include "ui/window/posted_events.h"

#include <gtest/gtest.h>

#include "runtime/keyed_map.h"
#include "support/main_heap.h"
#include "ui/window/event_queue.h"

namespace {

class PostedEventsTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        MapHooksInit();
        ASSERT_NE(PostedEventLayerInit(), 0);
    }
    void TearDown() override {
        PostedEventLayerEnd();
        UnregisterClassW(L"PostEventClass", GetModuleHandleW(nullptr));
        KeyedMapFree(EventBindingMap);
        MainHeapTest::TearDown();
    }
    static void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    PostedEventRecord* NewRecord(int32_t code, int32_t gadget, int32_t window, int32_t type) {
        auto* record = static_cast<PostedEventRecord*>(OsHeapAlloc(Process.mainHeap, sizeof(PostedEventRecord)));
        record->code = code;
        record->gadget = gadget;
        record->window = window;
        record->type = type;
        return record;
    }
};

TEST_F(PostedEventsTest, StartUpMakesAHiddenWindowTheMessageAndAnEmptyBindingMap) {
    HWND hidden = PostedEventWindow();
    ASSERT_NE(hidden, nullptr);
    wchar_t className[64];
    GetClassNameW(hidden, className, 64);
    EXPECT_STREQ(className, L"PostEventClass");
    EXPECT_FALSE(IsWindowVisible(hidden));
    EXPECT_EQ(PostedEventMessage(), RegisterWindowMessageW(L"ZK_PostEventMessage"));
    ASSERT_NE(EventBindingMap, nullptr);
    EXPECT_EQ(EventBindingMap->bucketCount, 1024);
    EXPECT_EQ(EventBindingMap->count, 0);
    EXPECT_EQ(EventNext(), 0);
}

TEST_F(PostedEventsTest, ARecordIsQueuedEvenWhileEventsAreSuppressedAndThenFreed) {
    long blocks = HeapBlocks();
    EventSuppressBegin();
    ASSERT_TRUE(PostedEventSend(EVENT_GADGET, 12, 0, 0));
    Pump();
    EventSuppressEnd();
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    EXPECT_EQ(EventGadgetId(), 12);
    EXPECT_EQ(EventStateGet()->currentWindow, 0);
    EXPECT_EQ(HeapBlocks(), blocks);
}

TEST_F(PostedEventsTest, OnlyRecordsPostedHereAndNotYetReceivedAreTaken) {
    HWND hidden = PostedEventWindow();
    UINT number = PostedEventMessage();
    // Records this layer did not post, as any process could send them.
    PostedEventRecord* foreign = NewRecord(EVENT_GADGET, 5, 0, 0);
    PostedEventRecord onStack{0, EVENT_GADGET, 0, 6, 0, 0, 0};
    long blocks = HeapBlocks();
    PostMessageW(hidden, number, 0, reinterpret_cast<LPARAM>(foreign));
    PostMessageW(hidden, number, 0, reinterpret_cast<LPARAM>(&onStack));
    // A record of ours, posted again once received.
    ASSERT_TRUE(PostedEventSend(EVENT_GADGET, 12, 0, 0));
    MSG message;
    LPARAM ours = 0;
    while (PeekMessageW(&message, hidden, number, number, PM_REMOVE)) {
        if (message.lParam != reinterpret_cast<LPARAM>(foreign) && message.lParam != reinterpret_cast<LPARAM>(&onStack))
            ours = message.lParam;
        DispatchMessageW(&message);
    }
    ASSERT_NE(ours, 0);
    PostMessageW(hidden, number, 0, ours);
    Pump();
    EXPECT_EQ(EventNext(), EVENT_GADGET);
    EXPECT_EQ(EventGadgetId(), 12);
    EXPECT_EQ(EventNext(), 0);
    EXPECT_EQ(HeapBlocks(), blocks);  // the foreign record is still the sender's
    EXPECT_EQ(foreign->gadget, 5);
}

TEST_F(PostedEventsTest, OtherMessagesQueueNothing) {
    PostMessageW(PostedEventWindow(), WM_USER + 7, 0, 0);
    PostMessageW(PostedEventWindow(), PostedEventMessage(), 0, 0);  // no record: ignored
    Pump();
    EXPECT_EQ(EventNext(), 0);
}

}  // namespace
