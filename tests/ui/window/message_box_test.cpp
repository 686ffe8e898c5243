// The message box under Wine: every box is answered by the test itself from a
// thread timer, which the box's own modal loop dispatches, so each look at
// the windows happens while the box is really up and no run waits for a
// person.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/main_heap.h"
#include "ui/window/message_box.h"
#include "ui/window/message_box_internal.h"

namespace {

constexpr wchar_t kWindowClass[] = L"ShiftlampMessageBoxTestWindow";
constexpr char kForegroundHelperSwitch[] = "--foreground-window";

void RegisterTestClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    registered = RegisterClassW(&windowClass) != 0;
}

HWND CreateTestWindow(const wchar_t* title, DWORD exStyle) {
    RegisterTestClass();
    return CreateWindowExW(exStyle, kWindowClass, title, WS_OVERLAPPEDWINDOW, 20, 20, 240, 160, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

bool IsTopmost(HWND window) { return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

std::wstring TextOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

int RecordsOfThread(DWORD threadId) {
    int count = 0;
    for (ListNode* node = ModalWindowList; node; node = node->next)
        if (static_cast<ModalWindowRecord*>(ListNodePayload(node))->threadId == threadId) ++count;
    return count;
}

const ModalWindowRecord* RecordOf(HWND window) {
    for (ListNode* node = ModalWindowList; node; node = node->next) {
        auto* record = static_cast<ModalWindowRecord*>(ListNodePayload(node));
        if (record->window == window) return record;
    }
    return nullptr;
}

// One expected box: what to look at while it is up, then the button that
// closes it.
struct BoxVisit {
    std::function<void(HWND box)> look;
    int button = IDOK;
};

// Answers the boxes of the current thread in the order they appear, from a
// thread timer. A visit may show a further box itself; that box is answered
// by the next visit while the first one waits. A box nobody expected fails
// the test and is closed all the same.
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::vector<BoxVisit> visits) : visits_(std::move(visits)) {
        active_ = this;
        timer_ = SetTimer(nullptr, 0, 20, OnTimer);
    }
    ~BoxAnswerer() {
        KillTimer(nullptr, timer_);
        active_ = nullptr;
    }
    size_t answered() const { return next_; }

private:
    static BOOL CALLBACK FindNewBox(HWND window, LPARAM parameter) {
        auto* self = reinterpret_cast<BoxAnswerer*>(parameter);
        wchar_t className[16] = L"";
        GetClassNameW(window, className, 16);
        if (std::wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
        for (HWND seen : self->seen_)
            if (seen == window) return TRUE;
        self->found_ = window;
        return FALSE;
    }

    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        BoxAnswerer* self = active_;
        if (!self) return;
        self->found_ = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindNewBox, reinterpret_cast<LPARAM>(self));
        HWND box = self->found_;
        if (!box) return;
        self->seen_.push_back(box);

        int button = IDOK;
        if (self->next_ < self->visits_.size()) {
            // Taken before the look: the look may show the next box, which
            // re-enters this procedure.
            BoxVisit& visit = self->visits_[self->next_++];
            if (visit.look) visit.look(box);
            button = visit.button;
        } else {
            ADD_FAILURE() << "a message box nobody expected";
        }
        if (IsWindow(box)) SendMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), LPARAM(GetDlgItem(box, button)));
    }

    static BoxAnswerer* active_;
    std::vector<BoxVisit> visits_;
    std::vector<HWND> seen_;
    HWND found_ = nullptr;
    size_t next_ = 0;
    UINT_PTR timer_ = 0;
};
BoxAnswerer* BoxAnswerer::active_ = nullptr;

// A visible, enabled, topmost window on a thread of its own that pumps its
// messages until the object goes.
class OtherThreadWindow {
public:
    OtherThreadWindow() {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            threadId_ = GetCurrentThreadId();
            window_ = CreateTestWindow(L"other thread", WS_EX_TOPMOST);
            ShowWindow(window_, SW_SHOWNOACTIVATE);
            SetEvent(ready);
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
            DestroyWindow(window_);
        });
        WaitForSingleObject(ready, 10000);
        CloseHandle(ready);
    }
    ~OtherThreadWindow() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }
    DWORD threadId() const { return threadId_; }

private:
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

// A window in the foreground that belongs to another process: this test
// program started again with kForegroundHelperSwitch.
class ForeignForegroundWindow {
public:
    ForeignForegroundWindow() {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        ready_ = CreateEventW(&inherit, TRUE, FALSE, nullptr);
        quit_ = CreateEventW(&inherit, TRUE, FALSE, nullptr);
        std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " +
                                   std::wstring(kForegroundHelperSwitch, kForegroundHelperSwitch + std::strlen(kForegroundHelperSwitch)) +
                                   L" " + std::to_wstring(reinterpret_cast<uintptr_t>(ready_)) + L" " +
                                   std::to_wstring(reinterpret_cast<uintptr_t>(quit_));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (CreateProcessW(exe, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process_)) {
            CloseHandle(process_.hThread);
            HANDLE waitFor[2] = {ready_, process_.hProcess};
            started_ = WaitForMultipleObjects(2, waitFor, FALSE, 20000) == WAIT_OBJECT_0;
        }
    }
    ~ForeignForegroundWindow() {
        SetEvent(quit_);
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
        }
        CloseHandle(ready_);
        CloseHandle(quit_);
    }
    bool started() const { return started_; }
    DWORD processId() const { return process_.dwProcessId; }

private:
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

// The helper process: shows a window, brings it to the foreground, says so
// and keeps it there until told to quit (or half a minute has passed).
int RunForegroundHelper(HANDLE ready, HANDLE quit) {
    HWND window = CreateTestWindow(L"other process", 0);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    SetEvent(ready);
    const ULONGLONG end = GetTickCount64() + 30000;
    while (GetTickCount64() < end) {
        if (MsgWaitForMultipleObjects(1, &quit, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    DestroyWindow(window);
    return 0;
}

class MessageBoxTest : public MainHeapTest {
protected:
    void TearDown() override {
        EXPECT_EQ(RecordsOfThread(GetCurrentThreadId()), 0);
        EXPECT_EQ(HeapBlocks(), 0) << "a record outlived its box";
        // Its nodes go with the test's heap.
        ModalWindowList = nullptr;
        for (HWND window : windows_) DestroyWindow(window);
        MainHeapTest::TearDown();
    }

    // A window of this thread, shown (and then in the foreground) unless
    // `visible` is false.
    HWND Window(bool visible = true, DWORD exStyle = 0) {
        HWND window = CreateTestWindow(L"test window", exStyle);
        windows_.push_back(window);
        if (visible) ShowWindow(window, SW_SHOW);
        return window;
    }

    // A shown window that leaves the foreground where it was.
    HWND BackgroundWindow(DWORD exStyle = 0) {
        HWND window = Window(false, exStyle);
        ShowWindow(window, SW_SHOWNOACTIVATE);
        return window;
    }

    // Makes `window` the foreground window; the owner and disabling rules
    // depend on it, so a failure here is reported as such.
    void Foreground(HWND window) {
        SetForegroundWindow(window);
        ASSERT_EQ(GetForegroundWindow(), window);
    }

    std::vector<HWND> windows_;
};

TEST_F(MessageBoxTest, ShowsCaptionAndTextWithOneOkButtonAndNoIconByDefault) {
    std::wstring caption, text;
    int visibleButtons = 0, okButtons = 0, icons = 0;
    BoxAnswerer answerer({{[&](HWND box) {
        caption = TextOf(box);
        text = TextOf(GetDlgItem(box, 0xFFFF));
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (!IsWindowVisible(child)) continue;
            wchar_t className[16] = L"";
            GetClassNameW(child, className, 16);
            if (_wcsicmp(className, L"Button") == 0) {
                ++visibleButtons;
                if (GetDlgCtrlID(child) == IDOK) ++okButtons;
            }
            if (_wcsicmp(className, L"Static") == 0 && SendMessageW(child, STM_GETICON, 0, 0)) ++icons;
        }
    }}});

    EXPECT_EQ(MessageBoxShow(u"Shiftlamp", u"Не удалось открыть порт COM3"), IDOK);
    EXPECT_EQ(answerer.answered(), 1u);
    EXPECT_EQ(caption, L"Shiftlamp");
    EXPECT_EQ(text, L"Не удалось открыть порт COM3");
    EXPECT_EQ(visibleButtons, 1);
    EXPECT_EQ(okButtons, 1);
    EXPECT_EQ(icons, 0);
}

TEST_F(MessageBoxTest, PassesFlagsOnAndReturnsTheButtonPressed) {
    bool cancelShown = false, iconShown = false;
    BoxVisit pressCancel{[&](HWND box) {
                             HWND cancel = GetDlgItem(box, IDCANCEL);
                             cancelShown = cancel && IsWindowVisible(cancel);
                             for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
                                 if (SendMessageW(child, STM_GETICON, 0, 0)) iconShown = true;
                         },
                         IDCANCEL};
    BoxAnswerer answerer({pressCancel});

    EXPECT_EQ(MessageBoxShow(u"", u"Continue?", MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);
    EXPECT_TRUE(cancelShown);
    EXPECT_TRUE(iconShown);
}

TEST_F(MessageBoxTest, TheForegroundWindowOwnsTheBoxAndTheOthersAreDisabledUntilItCloses) {
    HWND second = Window();
    HWND disabled = Window();
    HWND main = Window();
    Foreground(main);
    EnableWindow(disabled, FALSE);
    HWND owner = nullptr;
    bool secondEnabled = true, mainEnabled = true;
    ModalWindowRecord mainRecord{}, secondRecord{}, disabledRecord{};
    BoxAnswerer answerer({{[&](HWND box) {
        owner = GetWindow(box, GW_OWNER);
        secondEnabled = IsWindowEnabled(second);
        mainEnabled = IsWindowEnabled(main);
        if (const ModalWindowRecord* record = RecordOf(main)) mainRecord = *record;
        if (const ModalWindowRecord* record = RecordOf(second)) secondRecord = *record;
        if (const ModalWindowRecord* record = RecordOf(disabled)) disabledRecord = *record;
    }}});

    EXPECT_EQ(MessageBoxShow(u"", u"text"), IDOK);
    EXPECT_EQ(owner, main);
    EXPECT_FALSE(secondEnabled);
    EXPECT_EQ(secondRecord.disabledByUs, 1);
    // The owner is recorded, but disabling it is the platform's doing.
    EXPECT_FALSE(mainEnabled);
    EXPECT_EQ(mainRecord.window, main);
    EXPECT_EQ(mainRecord.disabledByUs, 0);
    EXPECT_EQ(disabledRecord.window, disabled);
    EXPECT_EQ(disabledRecord.disabledByUs, 0);

    EXPECT_TRUE(IsWindowEnabled(second));
    EXPECT_TRUE(IsWindowEnabled(main));
    EXPECT_FALSE(IsWindowEnabled(disabled));
}

TEST_F(MessageBoxTest, TopmostWindowsLoseTheirRankForTheBoxAndGetItBack) {
    HWND topmost = Window(true, WS_EX_TOPMOST);
    HWND main = Window(true, WS_EX_TOPMOST);
    Foreground(main);
    bool topmostDuring = true, mainTopmostDuring = true;
    BoxAnswerer answerer({{[&](HWND) {
        topmostDuring = IsTopmost(topmost);
        mainTopmostDuring = IsTopmost(main);
    }}});

    EXPECT_EQ(MessageBoxShow(u"", u"text"), IDOK);
    EXPECT_FALSE(topmostDuring);
    // The foreground window, though left enabled, loses its rank like the rest.
    EXPECT_FALSE(mainTopmostDuring);
    EXPECT_TRUE(IsTopmost(topmost));
    EXPECT_TRUE(IsTopmost(main));
}

TEST_F(MessageBoxTest, HiddenWindowsAndWindowsOfOtherThreadsAreLeftAlone) {
    OtherThreadWindow other;
    ASSERT_NE(other.window(), nullptr);
    HWND hidden = Window(false, WS_EX_TOPMOST);
    HWND main = Window();
    Foreground(main);
    // A record another thread holds while its own box is up.
    auto* foreign = static_cast<ModalWindowRecord*>(
        ListNodeAdd(&ModalWindowList, static_cast<int32_t>(sizeof(ListNode) + sizeof(ModalWindowRecord))));
    ASSERT_NE(foreign, nullptr);
    *foreign = ModalWindowRecord{other.threadId(), other.window(), 1, 1, 1};

    bool hiddenRecorded = true, otherRecorded = true;
    bool hiddenEnabled = false, hiddenTopmost = false, otherEnabled = false, otherTopmost = false;
    int ourRecords = 0;
    BoxAnswerer answerer({{[&](HWND) {
        hiddenRecorded = RecordOf(hidden) != nullptr;
        otherRecorded = RecordOf(other.window()) != foreign || RecordsOfThread(other.threadId()) != 1;
        ourRecords = RecordsOfThread(GetCurrentThreadId());
        hiddenEnabled = IsWindowEnabled(hidden);
        hiddenTopmost = IsTopmost(hidden);
        otherEnabled = IsWindowEnabled(other.window());
        otherTopmost = IsTopmost(other.window());
    }}});

    EXPECT_EQ(MessageBoxShow(u"", u"text"), IDOK);
    EXPECT_FALSE(hiddenRecorded);
    EXPECT_FALSE(otherRecorded);
    EXPECT_EQ(ourRecords, 1);  // main alone
    EXPECT_TRUE(hiddenEnabled);
    EXPECT_TRUE(hiddenTopmost);
    EXPECT_TRUE(otherEnabled);
    EXPECT_TRUE(otherTopmost);
    EXPECT_TRUE(IsTopmost(hidden));
    EXPECT_TRUE(IsTopmost(other.window()));
    EXPECT_TRUE(IsWindowEnabled(other.window()));

    // The other thread's record is its own business: still there, untouched.
    ASSERT_EQ(RecordsOfThread(other.threadId()), 1);
    EXPECT_EQ(RecordOf(other.window()), foreign);
    EXPECT_EQ(foreign->disabledByUs, 1);
    ListNodeRemove(&ModalWindowList, foreign);
}

TEST_F(MessageBoxTest, TheBoxHasNoOwnerWhenTheForegroundBelongsToAnotherProcess) {
    HWND ours = BackgroundWindow();
    ForeignForegroundWindow foreign;
    ASSERT_TRUE(foreign.started());
    HWND foreground = GetForegroundWindow();
    DWORD foregroundProcess = 0;
    GetWindowThreadProcessId(foreground, &foregroundProcess);
    ASSERT_EQ(foregroundProcess, foreign.processId());
    EXPECT_EQ(MessageBoxOwner(), nullptr);

    HWND owner = foreground;
    bool oursEnabled = true;
    BoxAnswerer answerer({{[&](HWND box) {
        owner = GetWindow(box, GW_OWNER);
        oursEnabled = IsWindowEnabled(ours);
    }}});
    EXPECT_EQ(MessageBoxShow(u"", u"text"), IDOK);
    EXPECT_EQ(owner, nullptr);
    EXPECT_FALSE(oursEnabled);  // not the foreground window, so ours to disable
    EXPECT_TRUE(IsWindowEnabled(ours));
}

TEST_F(MessageBoxTest, AWindowThatCannotBeRecordedIsNotChanged) {
    // Shown without activation: the only window of the thread, and not the
    // foreground one, so it would be disabled if it were recorded.
    HWND window = BackgroundWindow(WS_EX_TOPMOST);
    ASSERT_NE(GetForegroundWindow(), window);
    bool enabled = false, topmost = false;
    int records = -1;
    BoxAnswerer answerer({{[&](HWND) {
        enabled = IsWindowEnabled(window);
        topmost = IsTopmost(window);
        records = RecordsOfThread(GetCurrentThreadId());
    }}});

    OsAllocFailAt(1);
    EXPECT_EQ(MessageBoxShow(u"", u"text"), IDOK);
    EXPECT_EQ(records, 0);
    EXPECT_TRUE(enabled);
    EXPECT_TRUE(topmost);
    EXPECT_TRUE(IsWindowEnabled(window));
    EXPECT_TRUE(IsTopmost(window));
}

TEST_F(MessageBoxTest, ANestedBoxGivesBackOnlyWhatItTookItself) {
    HWND second = Window();
    HWND topmost = Window(true, WS_EX_TOPMOST);
    HWND main = Window();
    Foreground(main);

    HWND outerBox = nullptr, innerOwner = nullptr;
    int outerRecords = 0, recordsDuringInner = 0, recordsAfterInner = -1, innerResult = 0;
    bool secondEnabledDuringInner = true, secondEnabledAfterInner = true;
    bool topmostAfterInner = true, outerBoxEnabledAfterInner = false;
    BoxVisit inner{[&](HWND box) {
        innerOwner = GetWindow(box, GW_OWNER);
        recordsDuringInner = RecordsOfThread(GetCurrentThreadId());
        secondEnabledDuringInner = IsWindowEnabled(second);
    }};
    BoxVisit outer{[&](HWND box) {
        outerBox = box;
        outerRecords = RecordsOfThread(GetCurrentThreadId());
        innerResult = MessageBoxShow(u"", u"inner");
        recordsAfterInner = RecordsOfThread(GetCurrentThreadId());
        secondEnabledAfterInner = IsWindowEnabled(second);
        topmostAfterInner = IsTopmost(topmost);
        outerBoxEnabledAfterInner = IsWindowEnabled(box);
    }};
    BoxAnswerer answerer({outer, inner});

    EXPECT_EQ(MessageBoxShow(u"", u"outer"), IDOK);
    EXPECT_EQ(answerer.answered(), 2u);
    EXPECT_EQ(innerResult, IDOK);
    EXPECT_EQ(outerRecords, 3);
    EXPECT_EQ(innerOwner, outerBox);
    EXPECT_EQ(recordsDuringInner, 3 + 4);  // the inner call records the outer box as well
    EXPECT_FALSE(secondEnabledDuringInner);

    // Back in the outer box: its windows are still held, and it can be used.
    EXPECT_EQ(recordsAfterInner, 3);
    EXPECT_FALSE(secondEnabledAfterInner);
    EXPECT_FALSE(topmostAfterInner);
    EXPECT_TRUE(outerBoxEnabledAfterInner);

    EXPECT_TRUE(IsWindowEnabled(second));
    EXPECT_TRUE(IsWindowEnabled(main));
    EXPECT_TRUE(IsTopmost(topmost));
}

}  // namespace

// The test program doubles as the helper that holds the foreground in
// another process.
int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kForegroundHelperSwitch) == 0) {
        auto ready = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(argv[2], nullptr, 10)));
        auto quit = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(argv[3], nullptr, 10)));
        return RunForegroundHelper(ready, quit);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
