// The gadget core over the tests' own kinds: creation and reuse of numbers,
// unnumbered gadgets, teardown with the control, accessors, events and the
// brush cache.
#include <string>

#include "support/creation_recorder.h"
#include "support/ui_layers.h"

namespace {

using GadgetCoreTest = UiLayersTest;
using Events = std::vector<SeenEvent>;

HWND WindowOf(intptr_t gadget) { return GadgetLookup(gadget)->window; }

int ChildCount(HWND parent) {
    int count = 0;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) ++count;
    return count;
}

TEST_F(GadgetCoreTest, AControlIsCreatedAsNoGadgetAndRegisteredUnderItsNumber) {
    HWND window = Open(1);
    CreationRecorder recorder;
    auto control = reinterpret_cast<HWND>(TestButton(4, 10, 10));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(recorder.Of(control).menu, -1);
    EXPECT_EQ(GetParent(control), window);
    EXPECT_EQ(GetWindowLongPtrW(control, GWLP_ID), 4);
    EXPECT_EQ(GetPropW(control, L"ZK_ID"), reinterpret_cast<HANDLE>(4));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(GetWindowLongPtrW(control, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(GadgetWindowProc));
    EXPECT_EQ(GadgetLookup(4)->kind, &test_gadgets::Button);

    DestroyWindow(control);
    EXPECT_EQ(GadgetLookup(4), nullptr);
    EXPECT_EQ(KindLog.releases, 1);
}

HWND ReplacementSeenAtRelease = nullptr;

TEST_F(GadgetCoreTest, ReusingANumberReplacesTheGadgetOnceTheNewControlExists) {
    HWND window = Open(1);
    auto old = reinterpret_cast<HWND>(TestCheckBox(5, 10, 10, u"old"));
    EventPost(EVENT_GADGET, 5, 1, 0);
    EventPost(EVENT_GADGET, 6, 1, 0);
    EventPost(EVENT_GADGET, 5, 1, 768);
    static HWND parent;
    parent = window;
    KindLog.onRelease = [](Gadget*) { ReplacementSeenAtRelease = FindWindowExW(parent, nullptr, L"Button", L"new"); };

    auto fresh = reinterpret_cast<HWND>(TestCheckBox(5, 10, 40, u"new"));
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(IsWindow(old));
    EXPECT_EQ(KindLog.releases, 1);
    EXPECT_EQ(ReplacementSeenAtRelease, fresh);
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), (Events{{EVENT_GADGET, 6, 1, 0}}));
    EXPECT_EQ(GetWindowLongPtrW(fresh, GWLP_ID), 5);
    SendMessageW(fresh, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(GadgetGetState(5), 1);
}

TEST_F(GadgetCoreTest, AFailedCreationLeavesTheGadgetOfThatNumberAsItWas) {
    HWND window = Open(1);
    auto old = reinterpret_cast<HWND>(TestCheckBox(5, 10, 10));
    EXPECT_EQ(TestBrokenGadget(5), 0);
    EXPECT_TRUE(IsWindow(old));
    EXPECT_EQ(WindowOf(5), old);
    SendMessageW(old, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(GadgetGetState(5), 1);
    EXPECT_EQ(KindLog.releases, 0);

    // No memory for a record: the new control goes again.
    const int children = ChildCount(window);
    for (intptr_t number : {intptr_t{7}, AnyNumber}) {
        OsAllocFailAt(1);
        EXPECT_EQ(TestButton(number, 10, 40), 0);
        OsAllocFailAt(0);
        EXPECT_EQ(ChildCount(window), children);
    }
    EXPECT_EQ(GadgetLookup(7), nullptr);
}

TEST_F(GadgetCoreTest, ReusingTheNumberOfTheCurrentContainerFailsCleanly) {
    HWND window = Open(1);
    TestContainer(3, 0, 0, 200, 100);
    // The new control's parent is the old gadget, which must go for it.
    EXPECT_EQ(TestButton(3, 10, 10), 0);
    EXPECT_EQ(GadgetLookup(3), nullptr);
    EXPECT_EQ(ChildCount(window), 0);
    GadgetListClose();
    EXPECT_NE(TestButton(3, 10, 10), 0);
}

TEST_F(GadgetCoreTest, AnUnnumberedGadgetIsUsedThroughItsHandle) {
    Open(1);
    const intptr_t handle = TestCheckBox(AnyNumber, 10, 10, u"any");
    ASSERT_NE(handle, 0);
    HWND control = WindowOf(handle);
    EXPECT_EQ(GetWindowLongPtrW(control, GWLP_ID), handle);
    EXPECT_EQ(GetPropW(control, L"ZK_ID"), reinterpret_cast<HANDLE>(handle));
    GadgetSetState(handle, 1);
    EXPECT_EQ(GadgetGetState(handle), 1);
    EXPECT_EQ(std::u16string(GadgetGetText(handle)), u"any");
    Queued();
    SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), (Events{{EVENT_GADGET, handle, 1, 0}}));

    GadgetFree(handle);
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(GadgetLookup(handle), nullptr);
    EXPECT_EQ(KindLog.releases, 1);
}

TEST_F(GadgetCoreTest, FreeingEveryGadgetTakesChildrenWithTheirContainerOnce) {
    HWND window = Open(1);
    TestContainer(1, 0, 0, 200, 150);
    TestButton(4, 0, 0);
    const intptr_t inner = TestButton(AnyNumber, 0, 30);
    TestCheckBox(6, 0, 60);
    GadgetListClose();
    TestButton(2, 210, 0);
    const intptr_t outer = TestButton(AnyNumber, 210, 30);

    GadgetFree(AnyNumber);
    for (intptr_t number : {intptr_t{1}, intptr_t{2}, intptr_t{4}, intptr_t{6}, inner, outer})
        EXPECT_EQ(GadgetLookup(number), nullptr) << number;
    EXPECT_EQ(KindLog.releases, 6);
    EXPECT_EQ(ChildCount(window), 0);
}

TEST_F(GadgetCoreTest, AccessorsAnswerWithDefaultsWhereThereIsNothingToAsk) {
    Open(1);
    TestContainer(3, 0, 0, 100, 100);
    GadgetListClose();
    TestButton(4, 120, 0, u"Отправить");
    EXPECT_EQ(GadgetGetState(99), 0);
    EXPECT_EQ(GadgetGetState(3), 0);
    EXPECT_EQ(GadgetAddItem(3, -1, u"x"), 0);
    GadgetSetState(99, 1);

    // Text results stand at the caller's position and end on their terminator.
    TextScratchAppend(u"before");
    const int32_t mark = TextScratch().position;
    const char16_t* text = GadgetGetText(4);
    EXPECT_EQ(std::u16string(text), u"Отправить");
    EXPECT_EQ(text, TextScratchAt(mark));
    EXPECT_EQ(TextScratch().position, mark + 2 * 9);
    TextScratchSetPosition(mark);
    EXPECT_EQ(std::u16string(GadgetGetText(99)), u"");
    EXPECT_EQ(std::u16string(GadgetGetText(3)), u"");
    EXPECT_EQ(TextScratch().position, mark);
    EXPECT_EQ(std::u16string(TextScratchAt(0)), u"before");
}

TEST_F(GadgetCoreTest, ProgrammaticChangesRaiseNoEvents) {
    Open(1);
    TestCheckBox(5, 0, 0);
    Queued();
    GadgetSetState(5, 1);
    EXPECT_EQ(GadgetGetState(5), 1);
    EXPECT_EQ(GadgetAddItem(5, -1, nullptr), 1);
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), Events{});
    EXPECT_EQ(EventStateGet()->suppression, 0);
    GadgetPostEvent(WindowOf(5), 768, 0);
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), (Events{{EVENT_GADGET, 5, 1, 768}}));
}

TEST_F(GadgetCoreTest, EventsCarryTheNumberOfTheWindowAboveTheControl) {
    HWND window = Open(2);
    TestContainer(3, 0, 0, 100, 100);
    TestButton(4, 0, 0);
    EXPECT_EQ(GadgetTopWindow(WindowOf(4)), window);
    Queued();
    GadgetPostEvent(WindowOf(4), 7, 0);
    EXPECT_EQ(Queued(), (Events{{EVENT_GADGET, 4, 2, 7}}));

    // A control under a window of no number: the window is unknown.
    HWND foreign = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr, WindowModule(),
                                   nullptr);
    HWND child = CreateWindowExW(0, L"Button", L"", WS_CHILD, 0, 0, 10, 10, foreign, reinterpret_cast<HMENU>(8),
                                 WindowModule(), nullptr);
    EXPECT_EQ(GadgetTopWindow(child), foreign);
    GadgetPostEvent(child, 0, 0);
    EXPECT_EQ(Queued(), (Events{{EVENT_GADGET, 8, -1, 0}}));
    DestroyWindow(foreign);
}

TEST_F(GadgetCoreTest, GadgetsOfOneColourShareOneBrushUntilTheLastLetsGo) {
    Open(1);
    for (intptr_t number : {1, 2, 3}) TestButton(number, 0, 30 * static_cast<int>(number));
    const auto colour = [](intptr_t number, int32_t value) {
        Gadget* gadget = GadgetLookup(number);
        gadget->kind->SetColour(gadget, COLOUR_BACK, value);
        return reinterpret_cast<HBRUSH>(gadget->kindFields[0]);
    };
    HBRUSH red = colour(1, RGB(255, 0, 0));
    ASSERT_NE(red, nullptr);
    EXPECT_EQ(colour(2, RGB(255, 0, 0)), red);
    HBRUSH blue = colour(3, RGB(0, 0, 255));
    EXPECT_NE(blue, red);

    GadgetFree(1);
    EXPECT_EQ(GetObjectType(red), static_cast<DWORD>(OBJ_BRUSH));
    GadgetFree(2);
    EXPECT_EQ(GetObjectType(red), 0u);
    EXPECT_EQ(GetObjectType(blue), static_cast<DWORD>(OBJ_BRUSH));
    colour(3, -1);
    EXPECT_EQ(GetObjectType(blue), 0u);
}

TEST_F(GadgetCoreTest, ResizingKeepsWhatIsIgnored) {
    Open(1);
    TestContainer(3, 30, 40, 200, 150);
    TestButton(4, 10, 20);
    GadgetResize(GadgetLookup(4), IgnoreValue, IgnoreValue, 120, IgnoreValue);
    RECT rect{};
    GetWindowRect(WindowOf(4), &rect);
    MapWindowPoints(nullptr, WindowOf(3), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.top, 20);
    EXPECT_EQ(rect.right - rect.left, 120);
    EXPECT_EQ(rect.bottom - rect.top, 24);
}

}  // namespace
