// A fixture that brings the layers up in the program's own order for each
// test (main heap, text scratch area, map hooks, event layer, window layer,
// gadget layer) and takes them down again, plus the means to drive the
// event loop and the input the tests need.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "os/os.h"
#include "platform/text_scratch.h"
#include "runtime/keyed_map.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"
#include "support/real_input.h"
#include "support/test_gadgets.h"
#include "ui/gadget/gadget_core.h"
#include "ui/window/event_queue.h"
#include "ui/window/posted_events.h"
#include "ui/window/window.h"

struct SeenEvent {
    int32_t code;
    intptr_t gadget;
    intptr_t window;
    int32_t type;
    bool operator==(const SeenEvent& other) const {
        return code == other.code && gadget == other.gadget && window == other.window && type == other.type;
    }
};
inline std::ostream& operator<<(std::ostream& out, const SeenEvent& event) {
    return out << "{" << event.code << ", gadget " << event.gadget << ", window " << event.window << ", type "
               << event.type << "}";
}

inline std::vector<SeenEvent> Only(const std::vector<SeenEvent>& events, std::initializer_list<int32_t> codes) {
    std::vector<SeenEvent> kept;
    for (const SeenEvent& event : events)
        for (int32_t code : codes)
            if (event.code == code) kept.push_back(event);
    return kept;
}

class UiLayersTest : public ::testing::Test {
protected:
    void SetUp() override {
        KindLog = TestKindLog{};
        Process.moduleHandle = GetModuleHandleW(nullptr);
        Process.mainHeap = OsHeapCreate(4096);
        ASSERT_NE(Process.mainHeap, nullptr);
        ASSERT_TRUE(TextScratchInit());
        MapHooksInit();
        ASSERT_TRUE(PostedEventLayerInit());
        ASSERT_TRUE(WindowLayerInit());
        ASSERT_TRUE(GadgetInit());
    }

    void TearDown() override {
        OsAllocFailAt(0);
        Flush();
        WindowFreeAll();
        Flush();
        PostedEventLayerEnd();
        // Released so that no test leaves a reference in the shared-pool
        // registry behind.
        KeyedMapFree(EventBindingMap);
        TextScratchEnd();
        OsHeapDestroy(Process.mainHeap);
        Process.mainHeap = nullptr;
    }

    // Hands whatever the window system holds to the windows, outside the
    // event loop.
    static void Flush() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }

    static SeenEvent Current() {
        const EventState* state = EventStateGet();
        return SeenEvent{state->currentCode, state->currentGadget, state->currentWindow, state->currentType};
    }

    // Takes every queued event out of the queue without reading a message.
    static std::vector<SeenEvent> Queued() {
        std::vector<SeenEvent> events;
        while (EventNext()) events.push_back(Current());
        return events;
    }

    // Also ends a menu left open past the pump's time: a modal menu loop
    // dispatches the timer but would never return to the pump.
    static inline ULONGLONG pumpEnd_ = 0;
    static void CALLBACK WakeUp(HWND, UINT, UINT_PTR, DWORD) {
        if (GetTickCount64() >= pumpEnd_) EndMenu();
    }

    // Runs the event loop until `done` holds or `timeoutMs` has passed; a
    // thread timer wakes EventWait every 10 ms so that the loop can stop.
    // Queued events taken go to events_, every code EventWait returns (raw
    // message numbers included) to codes_, in order.
    void Pump(int timeoutMs, const std::function<bool()>& done = {}) {
        const UINT_PTR timer = SetTimer(nullptr, 0, 10, WakeUp);
        const ULONGLONG end = pumpEnd_ = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
        while (GetTickCount64() < end && !(done && done())) {
            codes_.push_back(EventWait());
            if (EventStateGet()->currentCode) events_.push_back(Current());
        }
        KillTimer(nullptr, timer);
    }

    bool Seen(int32_t code) const {
        for (const SeenEvent& event : events_)
            if (event.code == code) return true;
        return false;
    }
    bool SeenRaw(int32_t code) const {
        for (int32_t seen : codes_)
            if (seen == code) return true;
        return false;
    }

    // Pumps until an event of `code` has come (at most two seconds).
    void PumpFor(int32_t code) {
        Pump(2000, [this, code] { return Seen(code); });
    }

    // Pumps until `count` keys have come up (at most two seconds): whatever
    // they did going down has been handled then. Call ResetLog before the
    // keys go down.
    void PumpPastKeys(size_t count) {
        Pump(2000, [this, count] {
            return static_cast<size_t>(std::count(codes_.begin(), codes_.end(), WM_KEYUP) +
                                       std::count(codes_.begin(), codes_.end(), WM_SYSKEYUP)) >= count;
        });
    }

    void ResetLog() {
        events_.clear();
        codes_.clear();
    }

    std::vector<SeenEvent> events_;
    std::vector<int32_t> codes_;

    // A real click: the pointer moves to the middle of the window and the
    // left button goes down and up.
    static void Click(HWND window) {
        RECT rect{};
        GetWindowRect(window, &rect);
        SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        INPUT inputs[2]{};
        inputs[0].type = inputs[1].type = INPUT_MOUSE;
        inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, inputs, sizeof(INPUT));
    }

    // Real key strokes: each key of `keys` goes down in order, then all come
    // up in reverse order (VK_MENU, VK_F4 is Alt+F4).
    static void Keys(std::initializer_list<WORD> keys) { PressKeys(keys); }

    // Brings a window to the front, lets its first painting pass and empties
    // the queue.
    static void Settle(HWND window) {
        SetForegroundWindow(window);
        Flush();
        Queued();
    }

    // Opens a visible, activated test window of inner size 300 x 200 at (x, y).
    static HWND Open(intptr_t number, int x = 40, int y = 40, uint32_t flags = WS_SYSMENU | WS_MINIMIZEBOX) {
        return reinterpret_cast<HWND>(WindowOpen(number, x, y, 300, 200, u"test", flags));
    }
};
