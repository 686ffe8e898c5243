// The application in-process under Wine: the real start-up builds the main
// window, the main loop takes real clicks, Send drives the recording comm
// device (or the real one, on a port the test prefix hides), and shutdown
// leaves nothing behind.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/main_window.h"
#include "app/send_handler.h"
#include "app_test_support.h"
#include "os/os.h"
#include "runtime/process_values.h"
#include "serial/comm_device_fake.h"
#include "serial/serial_port.h"

using namespace app_test;

namespace {

constexpr size_t kLineChangesPerTransfer = 28;

// The program as it stands after start-up, its ports driven through the
// recording device.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(ApplicationInit(), 0);
        SerialPortUseDevice(&device_);
        window_ = MainWindow();
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        MoveMouseAway();
        ApplicationEnd();
        SerialPortUseDevice(nullptr);
    }

    void ChoosePort(int index) { SendMessageW(Control(GADGET_PORT), CB_SETCURSEL, index, 0); }
    void Tick(int gadget, bool ticked) {
        SendMessageW(Control(gadget), BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
    }

    // Runs the main loop over input queued beforehand and closes the window
    // once all of it has been handled: a thread timer's message comes only
    // when no input is waiting, and then asks the window to close as its
    // close button does.
    void RunLoopOverQueuedInput() {
        closeTarget_ = window_;
        const UINT_PTR timer = SetTimer(nullptr, 0, 10, CloseWhenIdle);
        ApplicationMainLoop();
        KillTimer(nullptr, timer);
    }

    static void CALLBACK CloseWhenIdle(HWND, UINT, UINT_PTR id, DWORD) {
        // A message box's own loop dispatches timers too; the close request
        // waits for the main loop.
        if (!IsWindowEnabled(closeTarget_)) return;
        KillTimer(nullptr, id);
        PostMessageW(closeTarget_, WM_SYSCOMMAND, SC_CLOSE, 0);
    }

    static inline HWND closeTarget_ = nullptr;
    FakeCommDevice device_;
    HWND window_ = nullptr;
};

RECT RectInParent(HWND control) {
    RECT rectangle{};
    GetWindowRect(control, &rectangle);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rectangle), 2);
    return rectangle;
}

struct ExpectedGadget {
    int gadget;
    const wchar_t* className;
    DWORD buttonType;  // BS_ type for "Button" controls
    int parent;        // -1: the window, else the container's gadget number
    RECT rectangle;    // left, top, right, bottom in the parent's client area
    const wchar_t* text;
};

TEST_F(ApplicationTest, EveryGadgetHasItsKindParentPlaceAndText) {
    const ExpectedGadget expected[] = {
        {0, L"Static", 0, -1, {8, 12, 44, 28}, L"Порт"},
        {1, L"ComboBox", 0, -1, {44, 8, 136, 28}, L"COM1"},
        {2, L"Button", BS_AUTOCHECKBOX, -1, {8, 32, 116, 48}, L"Инвертировать"},
        {3, L"VelaContainer", 0, -1, {0, 52, 212, 228}, L""},
        {4, L"Button", BS_AUTOCHECKBOX, 3, {8, 8, 88, 24}, L"Led 1"},
        {5, L"Button", BS_AUTOCHECKBOX, 3, {8, 28, 88, 44}, L"Led 2"},
        {6, L"Button", BS_AUTOCHECKBOX, 3, {8, 48, 88, 64}, L"Led 3"},
        {7, L"Button", BS_AUTOCHECKBOX, 3, {8, 68, 88, 84}, L"Led 4"},
        {8, L"Button", BS_AUTOCHECKBOX, 3, {8, 88, 88, 104}, L"Led 5"},
        {9, L"Button", BS_AUTOCHECKBOX, 3, {8, 108, 88, 124}, L"Led 6"},
        {10, L"Button", BS_AUTOCHECKBOX, 3, {8, 128, 88, 144}, L"Led 7"},
        {11, L"Button", BS_AUTOCHECKBOX, 3, {8, 148, 88, 164}, L"Led 8"},
        {12, L"Button", BS_PUSHBUTTON, 3, {124, 136, 208, 164}, L"Отправить"},
    };
    for (const ExpectedGadget& gadget : expected) {
        SCOPED_TRACE(gadget.gadget);
        HWND control = Control(gadget.gadget);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(ClassOf(control), gadget.className);
        if (std::wstring(gadget.className) == L"Button") {
            EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)) & BS_TYPEMASK, gadget.buttonType);
        }
        EXPECT_EQ(GetParent(control), gadget.parent < 0 ? window_ : Control(gadget.parent));
        const RECT rectangle = RectInParent(control);
        EXPECT_EQ(rectangle.left, gadget.rectangle.left);
        EXPECT_EQ(rectangle.top, gadget.rectangle.top);
        EXPECT_EQ(rectangle.right, gadget.rectangle.right);
        EXPECT_EQ(rectangle.bottom, gadget.rectangle.bottom);
        EXPECT_EQ(TextOf(control), gadget.text);
    }
}

TEST_F(ApplicationTest, WindowIsCentredWithItsFixedInnerSizeAndNoSizingFrame) {
    EXPECT_EQ(TextOf(window_), L"Shiftlamp");
    RECT client{};
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right - client.left, 216);
    EXPECT_EQ(client.bottom - client.top, 228);

    RECT outer{};
    GetWindowRect(window_, &outer);
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);

    const DWORD style = static_cast<DWORD>(GetWindowLongW(window_, GWL_STYLE));
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
              static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_EQ(GetActiveWindow(), window_);
}

TEST_F(ApplicationTest, PortListHoldsCom1ToCom10WithTheFirstChosenAndEveryBoxClear) {
    HWND ports = Control(GADGET_PORT);
    ASSERT_EQ(SendMessageW(ports, CB_GETCOUNT, 0, 0), 10);
    for (int i = 0; i < 10; ++i) {
        wchar_t item[32] = L"";
        SendMessageW(ports, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        EXPECT_EQ(std::wstring(item), L"COM" + std::to_wstring(i + 1));
    }
    EXPECT_EQ(SendMessageW(ports, CB_GETCURSEL, 0, 0), 0);
    for (int gadget : {2, 4, 5, 6, 7, 8, 9, 10, 11})
        EXPECT_EQ(SendMessageW(Control(gadget), BM_GETCHECK, 0, 0), BST_UNCHECKED) << "gadget " << gadget;
}

TEST_F(ApplicationTest, TooltipsNameThePortTheInvertOptionAndSendOnly) {
    HWND tips = ThreadWindowOfClass(TOOLTIPS_CLASSW);
    ASSERT_NE(tips, nullptr);
    std::map<HWND, std::wstring> tools;
    std::map<HWND, HWND> toolWindows;
    const int count = static_cast<int>(SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = L"";
        TTTOOLINFOW info{};
        info.cbSize = sizeof(info);
        info.lpszText = text;
        ASSERT_TRUE(SendMessageW(tips, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&info)));
        EXPECT_TRUE(info.uFlags & TTF_IDISHWND);
        tools[reinterpret_cast<HWND>(info.uId)] = text;
        toolWindows[reinterpret_cast<HWND>(info.uId)] = info.hwnd;
    }
    EXPECT_EQ(tools[Control(GADGET_PORT)], L"COM порт к которому подключено устройство");
    EXPECT_EQ(tools[Control(GADGET_INVERT)], L"Инвертировать состояние выходов порта");
    EXPECT_EQ(tools[Control(GADGET_SEND)], L"Отправить данные в COM порт");
    // The button's tool is registered under the container that holds it.
    EXPECT_EQ(toolWindows[Control(GADGET_SEND)], Control(GADGET_LED_PANEL));
    for (int gadget : {0, 3, 4, 5, 6, 7, 8, 9, 10, 11})
        EXPECT_EQ(tools.count(Control(gadget)), 0u) << "gadget " << gadget;
}

TEST_F(ApplicationTest, SendClocksTheTickedLedsIntoTheRegisterAndClosesThePort) {
    ChoosePort(2);
    for (int led : {1, 3, 8}) Tick(GADGET_LED_1 + led - 1, true);
    BoxWatcher boxes;

    SendHandler();

    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].path, u"\\\\.\\COM3");
    EXPECT_EQ(transfers[0].lineChanges.size(), kLineChangesPerTransfer);
    EXPECT_EQ(RegisterOutputs(transfers[0].lineChanges, false), 0b10000101);
    EXPECT_TRUE(transfers[0].closed);
    EXPECT_TRUE(device_.openHandles.empty());
    EXPECT_TRUE(boxes.boxes().empty());
    // The port object is gone too, not only the device.
    EXPECT_EQ(SerialPortSetLine(0, LINE_RTS, 1), 0);
}

TEST_F(ApplicationTest, InvertComplementsEveryLineAndTheRegisterStillGetsTheLeds) {
    ChoosePort(9);
    Tick(GADGET_INVERT, true);
    for (int led : {2, 7}) Tick(GADGET_LED_1 + led - 1, true);

    SendHandler();

    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 1u);
    // The tenth port: two-digit port numbers get through the name prefixing.
    EXPECT_EQ(transfers[0].path, u"\\\\.\\COM10");
    // The clock idles set when inverted.
    ASSERT_FALSE(transfers[0].lineChanges.empty());
    EXPECT_EQ(transfers[0].lineChanges.front(), COMM_SETDTR);
    EXPECT_EQ(RegisterOutputs(transfers[0].lineChanges, true), 0b01000010);
    EXPECT_NE(RegisterOutputs(transfers[0].lineChanges, false), 0b01000010);
}

TEST_F(ApplicationTest, AHiddenPortGivesOneBoxNamingItAndNothingElse) {
    // The real device: the test prefix hides COM1 to COM10.
    SerialPortUseDevice(nullptr);
    ChoosePort(6);
    Tick(GADGET_LED_1, true);
    BoxWatcher boxes;

    SendHandler();

    ASSERT_EQ(boxes.boxes().size(), 1u);
    const SeenBox& box = boxes.boxes()[0];
    EXPECT_EQ(box.text, L"Не удалось открыть порт COM7");
    EXPECT_EQ(box.caption, L"");
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(SerialPortSetLine(0, LINE_RTS, 1), 0);
    // The window is usable again once the box is gone.
    EXPECT_TRUE(IsWindowEnabled(window_));
}

TEST_F(ApplicationTest, ClosingWithoutSendingTouchesNoPort) {
    // Everything but Send: a port chosen with the mouse's notification, the
    // boxes ticked by real clicks.
    SendMessageW(Control(GADGET_PORT), CB_SETCURSEL, 4, 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(GADGET_PORT, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Control(GADGET_PORT)));
    for (int gadget : {2, 4, 11, 0, 3}) ClickCentre(Control(gadget));

    RunLoopOverQueuedInput();

    EXPECT_EQ(SendMessageW(Control(GADGET_INVERT), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(Control(GADGET_LED_1 + 7), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(device_.calls.empty());
    // The close request leaves the window to shutdown.
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(ApplicationTest, ClicksBetweenPressesChangeWhatTheNextPressSends) {
    ClickCentre(Control(GADGET_LED_1 + 2));
    ClickCentre(Control(GADGET_SEND));
    ClickCentre(Control(GADGET_INVERT));
    ClickCentre(Control(GADGET_LED_1 + 2));
    ClickCentre(Control(GADGET_LED_1 + 7));
    ClickCentre(Control(GADGET_SEND));

    RunLoopOverQueuedInput();

    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].lineChanges.front(), COMM_CLRDTR);
    EXPECT_EQ(RegisterOutputs(transfers[0].lineChanges, false), 0b00000100);
    EXPECT_EQ(transfers[1].lineChanges.front(), COMM_SETDTR);
    EXPECT_EQ(RegisterOutputs(transfers[1].lineChanges, true), 0b10000000);
}

TEST_F(ApplicationTest, TwoQuickPressesGiveTwoCompleteTransfersOneAfterTheOther) {
    Tick(GADGET_LED_1 + 4, true);
    ClickCentre(Control(GADGET_SEND));
    ClickCentre(Control(GADGET_SEND));

    RunLoopOverQueuedInput();

    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 2u);
    for (const RecordedTransfer& transfer : transfers) {
        EXPECT_EQ(transfer.path, u"\\\\.\\COM1");
        EXPECT_EQ(transfer.lineChanges.size(), kLineChangesPerTransfer);
        EXPECT_EQ(RegisterOutputs(transfer.lineChanges, false), 0b00010000);
        EXPECT_TRUE(transfer.closed);
    }
    // Not interleaved: the second opens after the first has closed.
    EXPECT_LT(transfers[0].closeCall, transfers[1].openCall);
    EXPECT_TRUE(device_.openHandles.empty());
}

TEST_F(ApplicationTest, TheLoopGoesOnAfterTheErrorBox) {
    device_.failOpenPath = u"\\\\.\\COM1";
    BoxWatcher boxes;
    ClickCentre(Control(GADGET_SEND));
    RunLoopOverQueuedInput();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, L"Не удалось открыть порт COM1");
    // The failed open was all that happened: no line was touched.
    ASSERT_EQ(device_.calls.size(), 1u);
    EXPECT_EQ(device_.calls[0].call, CommCall::Open);

    ChoosePort(1);
    ClickCentre(Control(GADGET_SEND));
    RunLoopOverQueuedInput();
    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].path, u"\\\\.\\COM2");
    EXPECT_EQ(boxes.boxes().size(), 1u);
}

// A port whose lines will not switch (a driver without modem lines) is
// reported once the whole sequence has run and the port is closed.
TEST_F(ApplicationTest, LinesThatWillNotSwitchAreReportedAfterTheTransfer) {
    device_.failEscape = true;
    BoxWatcher boxes;
    ClickCentre(Control(GADGET_SEND));
    RunLoopOverQueuedInput();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, L"Не удалось переключить линии порта COM1");
    EXPECT_EQ(boxes.boxes()[0].caption, L"");
    const std::vector<RecordedTransfer> transfers = Transfers(device_);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_TRUE(transfers[0].closed);
    EXPECT_TRUE(device_.openHandles.empty());
}

// The program's windows that shutdown must have destroyed.
int ProgramWindowsLeft() {
    int left = 0;
    for (const wchar_t* className : {L"WindowClass_0", L"PostEventClass", TOOLTIPS_CLASSW, L"#32770"})
        left += ThreadWindowOfClass(className) != nullptr;
    return left;
}

TEST(ApplicationLifeTest, ShutdownLeavesNoWindowAndNoHeap) {
    ASSERT_NE(ApplicationInit(), 0);
    ApplicationEnd();
    EXPECT_EQ(ProgramWindowsLeft(), 0);
    EXPECT_EQ(Process.mainHeap, nullptr);
    // A second shutdown finds nothing left to take down.
    ApplicationEnd();
}

// Refuses the creation of the main window, as a system short of resources
// would.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && ClassOf(reinterpret_cast<HWND>(wParam)) == L"WindowClass_0") return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(ApplicationLifeTest, WithoutTheMainWindowTheRunEndsAtOnceWithExitCodeZero) {
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseMainWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(ApplicationRun(), 0);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(ProgramWindowsLeft(), 0);
    EXPECT_EQ(Process.mainHeap, nullptr);
}

TEST(ApplicationLifeTest, RunningOutOfMemoryAnywhereInStartUpEndsCleanly) {
    // How many allocations a whole start-up makes.
    const long before = OsAllocCount();
    ASSERT_NE(ApplicationInit(), 0);
    const long allocations = OsAllocCount() - before;
    ApplicationEnd();
    ASSERT_GT(allocations, 0);

    for (long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        OsAllocFailAt(n);
        ApplicationInit();
        OsAllocFailAt(0);
        ApplicationEnd();
        EXPECT_EQ(ProgramWindowsLeft(), 0);
    }
}

}  // namespace
