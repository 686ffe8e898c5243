// What the application's Wine tests share: the main window and its controls
// found the way a user's tools would find them, real mouse input, a watcher
// that reads and answers message boxes so that no run waits for a person,
// and a 74HC595 model that tells what a recorded transfer left on the
// register's outputs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "serial/comm_device_fake.h"
#include "support/real_input.h"

namespace app_test {

inline std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

inline std::wstring TextOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

struct ThreadWindowSearch {
    const wchar_t* className;
    HWND found;
};

inline BOOL CALLBACK MatchClass(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ThreadWindowSearch*>(parameter);
    if (ClassOf(window) != search->className) return TRUE;
    search->found = window;
    return FALSE;
}

// A top-level window of this thread with the given class, or null.
inline HWND ThreadWindowOfClass(const wchar_t* className) {
    ThreadWindowSearch search{className, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The main window: window 0 has the window class "WindowClass_0".
inline HWND MainWindow() { return ThreadWindowOfClass(L"WindowClass_0"); }

// A gadget's control: a child of the window or, from 4 on, of the container,
// carrying the gadget number as its control identifier.
inline HWND Control(int gadget) {
    HWND window = MainWindow();
    if (gadget <= 3) return GetDlgItem(window, gadget);
    return GetDlgItem(GetDlgItem(window, 3), gadget);
}

// One message box as it stood on the screen.
struct SeenBox {
    std::wstring caption;
    std::wstring text;                  // the box's non-empty static text
    std::vector<int> buttons;           // identifiers of its visible buttons
};

// Reads and answers every message box of this thread from a thread timer,
// which the box's own modal loop dispatches: each box is looked at while it
// is really up, then closed with its first button. Outside a box the timer
// only fires where the test runs a message loop, and finds nothing.
class BoxWatcher {
public:
    BoxWatcher() {
        active_ = this;
        timer_ = SetTimer(nullptr, 0, 20, OnTimer);
    }
    ~BoxWatcher() {
        KillTimer(nullptr, timer_);
        active_ = nullptr;
    }
    const std::vector<SeenBox>& boxes() const { return boxes_; }

private:
    static BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
        if (ClassOf(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(parameter) = window;
        return FALSE;
    }

    static BOOL CALLBACK ReadChild(HWND child, LPARAM parameter) {
        auto* box = reinterpret_cast<SeenBox*>(parameter);
        const std::wstring className = ClassOf(child);
        if (className == L"Button" && IsWindowVisible(child)) box->buttons.push_back(GetDlgCtrlID(child));
        if (className == L"Static" && !TextOf(child).empty()) box->text = TextOf(child);
        return TRUE;
    }

    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        BoxWatcher* self = active_;
        if (!self) return;
        HWND box = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
        if (!box) return;
        SeenBox seen;
        seen.caption = TextOf(box);
        EnumChildWindows(box, ReadChild, reinterpret_cast<LPARAM>(&seen));
        self->boxes_.push_back(seen);
        const int button = seen.buttons.empty() ? IDOK : seen.buttons.front();
        SendMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    }

    static inline BoxWatcher* active_ = nullptr;
    std::vector<SeenBox> boxes_;
    UINT_PTR timer_ = 0;
};

// One transfer as the recording device saw it: from an open that succeeded
// to the next close.
struct RecordedTransfer {
    std::u16string path;
    std::vector<int32_t> lineChanges;  // Escape function codes, in order
    bool closed = false;
    size_t openCall = 0, closeCall = 0;  // indexes into the device's calls
};

inline std::vector<RecordedTransfer> Transfers(const FakeCommDevice& device) {
    std::vector<RecordedTransfer> transfers;
    for (size_t i = 0; i < device.calls.size(); ++i) {
        const CommCallRecord& call = device.calls[i];
        if (call.call == CommCall::Open && call.result) {
            transfers.push_back({});
            transfers.back().path = call.path;
            transfers.back().openCall = i;
        } else if (!transfers.empty() && call.call == CommCall::Escape) {
            transfers.back().lineChanges.push_back(call.arg1);
        } else if (!transfers.empty() && call.call == CommCall::Close) {
            transfers.back().closed = true;
            transfers.back().closeCall = i;
        }
    }
    return transfers;
}

// The outputs of a 74HC595 after the given line changes, wired as the tool
// expects (RTS: SER, DTR: SRCLK, break: RCLK), the lines cleared at open;
// with `inverted` wiring an inverting stage sits between port and chip.
// Bit k-1 is output k. The chip starts holding `powerUp`.
inline uint8_t RegisterOutputs(const std::vector<int32_t>& lineChanges, bool inverted, uint8_t powerUp = 0x5A) {
    bool rts = false, dtr = false, brk = false;
    uint8_t shift = powerUp, storage = powerUp;
    auto pin = [inverted](bool line) { return line != inverted; };
    for (int32_t change : lineChanges) {
        switch (change) {
            case COMM_SETRTS: rts = true; break;
            case COMM_CLRRTS: rts = false; break;
            case COMM_SETDTR:
            case COMM_CLRDTR: {
                const bool line = change == COMM_SETDTR;
                if (!pin(dtr) && pin(line)) shift = static_cast<uint8_t>(shift << 1 | pin(rts));
                dtr = line;
                break;
            }
            case COMM_SETBREAK:
            case COMM_CLRBREAK: {
                const bool line = change == COMM_SETBREAK;
                if (!pin(brk) && pin(line)) storage = shift;
                brk = line;
                break;
            }
        }
    }
    return storage;
}

}  // namespace app_test
