// Gadget lists: each window keeps its own context of open containers, the
// stack grows past ten, and the context dies with its root window.
#include <string>
#include <vector>

#include "support/ui_layers.h"

namespace {

using GadgetListTest = UiLayersTest;

struct Context {
    HWND current;
    std::vector<HWND> stack;
    int32_t capacity;
    bool operator==(const Context& other) const {
        return current == other.current && stack == other.stack && capacity == other.capacity;
    }
};

Context Now() {
    const GadgetListState* state = GadgetListStateGet();
    return Context{state->current, std::vector<HWND>(state->stack, state->stack + state->count), state->capacity};
}

HWND Container(intptr_t number) { return reinterpret_cast<HWND>(TestContainer(number, 0, 0, 150, 100)); }

TEST_F(GadgetListTest, EachWindowGetsItsOwnContextBackExactly) {
    HWND first = Open(1);
    EXPECT_EQ(Now(), (Context{first, {}, 10}));
    const std::wstring property = L"ZK_GadgetStack_" + std::to_wstring(reinterpret_cast<intptr_t>(WindowModule()));
    EXPECT_EQ(GetPropW(first, property.c_str()), GadgetListSavedOf(first));
    EXPECT_NE(GadgetListSavedOf(first), nullptr);
    HWND outer = Container(2);
    HWND inner = Container(3);
    const Context before = Now();
    EXPECT_EQ(before, (Context{inner, {first, outer}, 10}));

    HWND second = Open(4);
    EXPECT_EQ(Now(), (Context{second, {}, 10}));
    EXPECT_NE(GadgetListSavedOf(first)->savedStack, nullptr);
    EXPECT_EQ(GetParent(reinterpret_cast<HWND>(TestButton(5, 0, 0))), second);

    EXPECT_EQ(GadgetListUse(reinterpret_cast<intptr_t>(first)), reinterpret_cast<intptr_t>(second));
    EXPECT_EQ(Now(), before);
    EXPECT_EQ(GadgetListSavedOf(first)->savedStack, nullptr) << "the stack has one owner";
    EXPECT_EQ(GetParent(reinterpret_cast<HWND>(TestButton(6, 0, 0))), inner);
    EXPECT_EQ(GadgetListUse(0), reinterpret_cast<intptr_t>(first));

    GadgetListClose();
    GadgetListClose();
    GadgetListClose();
    EXPECT_EQ(Now(), (Context{first, {}, 10}));
}

TEST_F(GadgetListTest, TheEleventhNestedListGrowsTheStackToTwenty) {
    HWND window = Open(1);
    std::vector<HWND> expected{window};
    for (int number = 10; number < 20; ++number) expected.push_back(Container(number));
    const Context full = Now();
    EXPECT_EQ(full.capacity, 10);
    // Without memory to grow, the container is made but the lists stay.
    OsAllocFailAt(2);
    EXPECT_NE(Container(30), nullptr);
    OsAllocFailAt(0);
    EXPECT_EQ(Now(), full);
    HWND eleventh = Container(20);
    EXPECT_EQ(Now(), (Context{eleventh, expected, 20}));

    // The grown stack travels with its window.
    Open(2);
    GadgetListUse(reinterpret_cast<intptr_t>(window));
    EXPECT_EQ(Now(), (Context{eleventh, expected, 20}));
    for (int pops = 0; pops < 11; ++pops) GadgetListClose();
    EXPECT_EQ(Now().current, window);
}

TEST_F(GadgetListTest, TheContextDiesWithItsRootWindow) {
    HWND first = Open(1);
    Container(2);
    Open(3);
    Container(4);
    WindowClose(3);
    EXPECT_EQ(GadgetListStateGet()->current, nullptr);
    EXPECT_EQ(GadgetListStateGet()->count, 0);
    EXPECT_EQ(GadgetListUse(0), 0);
    EXPECT_EQ(TestButton(5, 0, 0), 0) << "a gadget without a list has no parent";

    EXPECT_EQ(GadgetListUse(reinterpret_cast<intptr_t>(first)), 0);
    EXPECT_EQ(Now(), (Context{GadgetLookup(2)->window, {first}, 10}));
    EXPECT_NE(TestButton(5, 0, 0), 0);
}

TEST_F(GadgetListTest, AWindowClosedWhileItsContextIsSavedLeavesNothingBehind) {
    HWND second = Open(2);
    long blocks = 0;
    // The second round reuses the first one's records, so any block more
    // is a saved context that was not released.
    for (int round = 0; round < 2; ++round) {
        HWND first = Open(1);
        Container(3);
        GadgetListUse(reinterpret_cast<intptr_t>(second));
        WindowClose(1);
        EXPECT_FALSE(IsWindow(first));
        EXPECT_EQ(Now(), (Context{second, {}, 10}));
        Queued();
        if (round == 0) blocks = OsHeapBlockCount(Process.mainHeap);
    }
    EXPECT_EQ(OsHeapBlockCount(Process.mainHeap), blocks);
}

}  // namespace
