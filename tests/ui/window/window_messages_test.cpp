// Window-system messages becoming events, the event loop, and keyboard
// navigation, driven by real input (SendInput) where a person would click
// or type. Under Wine in Xvfb there is no window manager, so there is no
// title bar to click: close, minimise and maximise requests are sent as the
// system commands a title bar would send.
#include <algorithm>
#include <thread>

#include "support/ui_layers.h"

namespace {

using WindowMessagesTest = UiLayersTest;
using Events = std::vector<SeenEvent>;

TEST_F(WindowMessagesTest, AClickOnAButtonComesAfterTheRawMouseMessagesAsAGadgetEvent) {
    HWND window = Open(0);
    auto button = reinterpret_cast<HWND>(TestButton(12, 20, 20));
    Settle(window);

    Click(button);
    PumpFor(EVENT_GADGET);
    EXPECT_EQ(Only(events_, {EVENT_GADGET}), (Events{{EVENT_GADGET, 12, 0, 0}}));
    const auto position = [this](int32_t code) { return std::find(codes_.begin(), codes_.end(), code) - codes_.begin(); };
    EXPECT_LT(position(WM_LBUTTONDOWN), position(WM_LBUTTONUP));
    EXPECT_LT(position(WM_LBUTTONUP), position(EVENT_GADGET));
    EXPECT_EQ(EventGadgetId(), 12);
}

TEST_F(WindowMessagesTest, AClickInsideAContainerIsServedLikeOneInTheWindow) {
    HWND window = Open(0);
    TestContainer(3, 10, 10, 200, 120);
    auto check = reinterpret_cast<HWND>(TestCheckBox(5, 10, 10));
    GadgetListClose();
    ASSERT_EQ(GetParent(check), reinterpret_cast<HWND>(GadgetLookup(3)->window));
    Settle(window);

    Click(check);
    PumpFor(EVENT_GADGET);
    EXPECT_EQ(Only(events_, {EVENT_GADGET}), (Events{{EVENT_GADGET, 5, 0, 0}}));
    EXPECT_GT(KindLog.parentMessages, 0);
}

TEST_F(WindowMessagesTest, OnlyNotificationsTheKindLeavesBecomeEvents) {
    HWND window = Open(1);
    auto gadget = reinterpret_cast<HWND>(TestButton(0, 10, 10));
    // A control of someone else's with the same identifier 0 and no property.
    HWND foreign = CreateWindowExW(0, L"Button", L"", WS_CHILD | WS_VISIBLE, 10, 50, 50, 20, window, nullptr,
                                   WindowModule(), nullptr);
    Queued();

    KindLog.consumeCommands = true;
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(gadget));
    EXPECT_EQ(KindLog.parentMessages, 1);
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), Events{});

    SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, BN_DOUBLECLICKED), reinterpret_cast<LPARAM>(foreign));
    EXPECT_EQ(KindLog.parentMessages, 1) << "a foreign control reached the gadget's kind";
    EXPECT_EQ(Only(Queued(), {EVENT_GADGET}), (Events{{EVENT_GADGET, 0, 1, BN_DOUBLECLICKED}}));
}

TEST_F(WindowMessagesTest, CommandsWithoutAControlAreMenuCommandsOrFocusMoves) {
    HWND window = Open(1);
    Queued();
    SendMessageW(window, WM_COMMAND, 5, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(77, 1), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(CMD_FOCUS_NEXT, 1), 0);
    EXPECT_EQ(Only(Queued(), {EVENT_MENU_COMMAND}),
              (Events{{EVENT_MENU_COMMAND, 5, 1, 0}, {EVENT_MENU_COMMAND, 77, 1, 0}}));
}

TEST_F(WindowMessagesTest, CloseRequestsBecomeEventsAndTheWindowStays) {
    HWND window = Open(3, 40, 40, WS_CAPTION | WS_SYSMENU);
    Settle(window);
    const Events closing{{EVENT_CLOSE_WINDOW, 3, 3, 0}};

    SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(Only(Queued(), {EVENT_CLOSE_WINDOW}), closing);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(Only(Queued(), {EVENT_CLOSE_WINDOW}), closing);

    Keys({VK_MENU, VK_F4});
    PumpFor(EVENT_CLOSE_WINDOW);
    EXPECT_EQ(Only(events_, {EVENT_CLOSE_WINDOW}), closing) << "Alt+F4";

    // The system menu, opened with Alt+Space; its Close item is chosen with
    // its mnemonic.
    ResetLog();
    Keys({VK_MENU, VK_SPACE});
    Keys({'C'});
    PumpFor(EVENT_CLOSE_WINDOW);
    EXPECT_EQ(Only(events_, {EVENT_CLOSE_WINDOW}), closing) << "system menu";

    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_NE(WindowLookup(3), nullptr);
}

TEST_F(WindowMessagesTest, MinimiseRestoreAndMaximiseAreReportedInOrder) {
    HWND window = Open(2, 40, 40, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME);
    Settle(window);
    const auto sizes = [] {
        return Only(Queued(), {EVENT_WINDOW_MINIMIZED, EVENT_WINDOW_MAXIMIZED, EVENT_WINDOW_RESTORED,
                               EVENT_WINDOW_SIZED});
    };
    SendMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_EQ(sizes(), (Events{{EVENT_WINDOW_MINIMIZED, 0, 2, 0}}));
    SendMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_EQ(sizes(), (Events{{EVENT_WINDOW_RESTORED, 0, 2, 0}, {EVENT_WINDOW_SIZED, 0, 2, 0}}));
    SendMessageW(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    EXPECT_EQ(sizes(), (Events{{EVENT_WINDOW_MAXIMIZED, 0, 2, 0}, {EVENT_WINDOW_SIZED, 0, 2, 0}}));
    SendMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_EQ(sizes(), (Events{{EVENT_WINDOW_RESTORED, 0, 2, 0}, {EVENT_WINDOW_SIZED, 0, 2, 0}}));
    // A plain resize of a normal window is only a size change.
    SetWindowPos(window, nullptr, 0, 0, 350, 260, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(sizes(), (Events{{EVENT_WINDOW_SIZED, 0, 2, 0}}));
    SetWindowPos(window, nullptr, 60, 70, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_EQ(Only(Queued(), {EVENT_WINDOW_MOVED}), (Events{{EVENT_WINDOW_MOVED, 2, 2, 0}}));
}

TEST_F(WindowMessagesTest, EventsOfTheFirstShowingKnowNoWindowAndSizesAndMovesPostNothing) {
    Queued();
    Open(4);
    const Events during = Queued();
    EXPECT_FALSE(during.empty());
    bool activated = false;
    for (const SeenEvent& event : during) {
        EXPECT_EQ(event.window, -1) << event;
        EXPECT_NE(event.code, EVENT_WINDOW_SIZED) << event;
        EXPECT_NE(event.code, EVENT_WINDOW_MOVED) << event;
        activated |= event.code == EVENT_WINDOW_ACTIVATED;
    }
    EXPECT_TRUE(activated);
}

TEST_F(WindowMessagesTest, EventWaitGivesQueuedEventsFirstAndOtherwiseWaitsForAMessage) {
    HWND window = Open(1);
    Flush();
    Queued();
    PostMessageW(window, WM_USER + 7, 0, 0);
    EventPost(EVENT_TIMER, 5, 1, 0);
    EXPECT_EQ(EventWait(), EVENT_TIMER);
    EXPECT_EQ(EventWait(), WM_USER + 7);
    EXPECT_EQ(Current().code, 0);
    EXPECT_EQ(Current().type, -1);
    EXPECT_EQ(EventGadgetId(), 5) << "a raw message keeps the last event's gadget";

    // Nothing is queued or pending: EventWait waits for what comes next.
    std::thread poster([window] {
        Sleep(50);
        PostMessageW(window, WM_USER + 9, 0, 0);
    });
    EXPECT_EQ(EventWait(), WM_USER + 9);
    poster.join();

    SetTimer(window, 42, 10, nullptr);
    PumpFor(EVENT_TIMER);
    KillTimer(window, 42);
    EXPECT_EQ(Only(events_, {EVENT_TIMER}).at(0), (SeenEvent{EVENT_TIMER, 42, 1, 0}));
}

class FocusTest : public UiLayersTest {
protected:
    // Tab stops 1, 2, 3, then 5 and 6 inside container 4; 7 disabled, 8
    // hidden, 9 no tab stop.
    void SetUp() override {
        UiLayersTest::SetUp();
        window_ = Open(0, 20, 20);
        for (int number = 1; number <= 3; ++number) TestButton(number, 10, 30 * number);
        TestContainer(4, 100, 10, 150, 100);
        TestCheckBox(5, 10, 10);
        TestCheckBox(6, 10, 40);
        GadgetListClose();
        TestButton(7, 10, 120);
        EnableWindow(Control(7), FALSE);
        TestButton(8, 10, 150);
        ShowWindow(Control(8), SW_HIDE);
        TestButton(9, 100, 150, u"no stop", BS_PUSHBUTTON | WS_CHILD | WS_VISIBLE);
        Settle(window_);
    }
    static HWND Control(intptr_t number) { return GadgetLookup(number)->window; }

    // Presses the keys and reports where the focus is once they are handled.
    HWND Press(std::initializer_list<WORD> keys) {
        ResetLog();
        Keys(keys);
        PumpPastKeys(keys.size());
        return GetFocus();
    }

    HWND window_ = nullptr;
};

TEST_F(FocusTest, TabAndShiftTabCycleThroughTheTabStopsWithWrapAround) {
    ASSERT_EQ(GetActiveWindow(), window_);
    ASSERT_FALSE(IsChild(window_, GetFocus())) << "nothing is focused on the first activation";
    for (int number : {1, 2, 3, 5, 6, 1}) EXPECT_EQ(Press({VK_TAB}), Control(number)) << "to " << number;
    for (int number : {6, 5, 3, 2, 1}) EXPECT_EQ(Press({VK_SHIFT, VK_TAB}), Control(number)) << "back to " << number;
}

TEST_F(FocusTest, FromAControlThatIsNoTabStopOnlyShiftTabMoves) {
    SetFocus(Control(9));
    EXPECT_EQ(Press({VK_TAB}), Control(9));
    EXPECT_EQ(Press({VK_SHIFT, VK_TAB}), Control(6));

    // With nothing focused: forward to the first, backward to the last.
    SetFocus(nullptr);
    FocusMove(1);
    EXPECT_EQ(GetFocus(), Control(6));
    SetFocus(nullptr);
    FocusMove(0);
    EXPECT_EQ(GetFocus(), Control(1));
}

// Wine keeps no keyboard-cue state (WM_QUERYUISTATE answers 0 whatever was
// set), so a window of the test's own answers for it and records what it
// is told.
LRESULT CueState = 0;
std::vector<WPARAM> CueUpdates;
LRESULT CALLBACK CueWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYUISTATE) return CueState;
    if (message == WM_UPDATEUISTATE) CueUpdates.push_back(wParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CueTarget = nullptr;
LRESULT CALLBACK RecordCueUpdate(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->hwnd == CueTarget && sent->message == WM_UPDATEUISTATE)
        CueUpdates.push_back(sent->wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(FocusTest, TheFocusComesBackWhenTheWindowIsActivatedAgain) {
    SetFocus(Control(3));
    CueTarget = window_;
    CueUpdates.clear();
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, RecordCueUpdate, nullptr, GetCurrentThreadId());
    HWND other = Open(1, 400, 20);
    UnhookWindowsHookEx(hook);
    ASSERT_EQ(GetActiveWindow(), other);
    EXPECT_EQ(GetPropW(window_, L"ZK_Focus"), Control(3));
    EXPECT_EQ(CueUpdates, std::vector<WPARAM>{MAKEWPARAM(UIS_SET, 3)}) << "cues hidden on deactivation";

    SetForegroundWindow(window_);
    ASSERT_EQ(GetActiveWindow(), window_);
    EXPECT_EQ(GetFocus(), Control(3));
}

TEST_F(FocusTest, KeyboardCuesAreChangedOnlyWhenTheyAreNotAlreadySo) {
    HWND window = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, WindowModule(),
                                  nullptr);
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CueWindowProc));
    const WPARAM show = MAKEWPARAM(UIS_CLEAR, 3), hide = MAKEWPARAM(UIS_SET, 3);
    struct Case {
        LRESULT state;
        int32_t show;
        std::vector<WPARAM> sent;
    };
    for (const Case& c : {Case{3, 1, {show}}, Case{1, 1, {show}}, Case{0, 1, {}}, Case{0, 0, {hide}},
                          Case{2, 0, {hide}}, Case{3, 0, {}}}) {
        CueState = c.state;
        CueUpdates.clear();
        KeyboardCuesUpdate(window, c.show);
        EXPECT_EQ(CueUpdates, c.sent) << "state " << c.state << ", show " << c.show;
    }
    DestroyWindow(window);
}

// Any message taken while Ctrl, Shift or Alt is down shows the cues of the
// active window, not only a keystroke; with none down they stay as they are.
TEST_F(FocusTest, AModifierHeldWhileAnyMessageIsTakenShowsTheCues) {
    HWND window = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr,
                                  WindowModule(), nullptr);
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CueWindowProc));
    SetActiveWindow(window);
    ASSERT_EQ(GetActiveWindow(), window);
    CueState = UISF_HIDEFOCUS | UISF_HIDEACCEL;
    BYTE keys[256]{};
    for (BYTE modifier : {0, VK_CONTROL, VK_SHIFT, VK_MENU}) {
        keys[modifier] = modifier ? 0x80 : 0;
        SetKeyboardState(keys);
        keys[modifier] = 0;
        CueUpdates.clear();
        PostMessageW(window, WM_USER + 3, 0, 0);
        int taken = 0;
        while (EventWait() != WM_USER + 3) ASSERT_LT(++taken, 100);
        EXPECT_EQ(CueUpdates.size(), modifier ? 1u + taken : 0u) << "modifier " << int{modifier};
    }
    SetKeyboardState(keys);
    DestroyWindow(window);
}

TEST_F(FocusTest, OnlyTheLayersOwnWindowsHaveAnAcceleratorTable) {
    EXPECT_EQ(ActiveAcceleratorTable(window_), WindowLookup(0)->accelTable);
    EXPECT_NE(WindowLookup(0)->accelTable, nullptr);
    EXPECT_EQ(ActiveAcceleratorTable(Control(1)), nullptr);
    EXPECT_EQ(ActiveAcceleratorTable(nullptr), nullptr);
}

}  // namespace
