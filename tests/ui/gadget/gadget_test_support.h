// What the gadget tests share: the layers started once per test program in
// the program's own order, a window per test, the queued events, and real
// mouse input (SendInput), which under Xvfb without a window manager lands
// at the controls' screen coordinates.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/real_input.h"
#include "platform/text_scratch.h"
#include "runtime/keyed_map.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"
#include "ui/gadget/gadget.h"
#include "ui/gadget/gadget_core.h"
#include "ui/gadget/gadget_kinds.h"
#include "ui/window/event_queue.h"
#include "ui/window/posted_events.h"
#include "ui/window/window.h"

namespace gadget_test {

// Main heap, text scratch area, map hooks, event layer, window layer, gadget
// layer: once for the program, as the program starts them.
class LayersEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Process.mainHeap = OsHeapCreate(4096);
        ASSERT_NE(Process.mainHeap, nullptr);
        Process.moduleHandle = GetModuleHandleW(nullptr);
        ASSERT_NE(TextScratchInit(), 0);
        MapHooksInit();
        ASSERT_NE(PostedEventLayerInit(), 0);
        ASSERT_NE(WindowLayerInit(), 0);
        ASSERT_NE(GadgetInit(), 0);
    }
};
inline ::testing::Environment* const kLayers = ::testing::AddGlobalTestEnvironment(new LayersEnvironment);

struct SeenEvent {
    int32_t code;
    intptr_t gadget;
    intptr_t window;
    int32_t type;
};

// Takes every queued event, oldest first.
inline std::vector<SeenEvent> TakeEvents() {
    std::vector<SeenEvent> events;
    while (int32_t code = EventNext()) {
        const EventState* state = EventStateGet();
        events.push_back({code, state->currentGadget, state->currentWindow, state->currentType});
    }
    return events;
}

inline std::vector<SeenEvent> GadgetEventsOf(const std::vector<SeenEvent>& events, intptr_t gadget) {
    std::vector<SeenEvent> found;
    for (const SeenEvent& event : events)
        if (event.code == EVENT_GADGET && event.gadget == gadget) found.push_back(event);
    return found;
}

inline int CountGadgetEvents(const std::vector<SeenEvent>& events) {
    int count = 0;
    for (const SeenEvent& event : events) count += event.code == EVENT_GADGET;
    return count;
}

// Dispatches window messages for `milliseconds`.
inline void Pump(int milliseconds) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    } while (static_cast<int32_t>(end - GetTickCount()) > 0);
}

// Dispatches window messages until `done` holds, at most `milliseconds`.
inline bool PumpUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
    while (!done()) {
        if (static_cast<int32_t>(end - GetTickCount()) <= 0) return false;
        Pump(10);
    }
    return true;
}

inline std::u16string Text(const char16_t* text) { return text ? std::u16string(text) : std::u16string(u"<null>"); }

inline int32_t WindowHeight(HWND window) {
    RECT rectangle{};
    GetWindowRect(window, &rectangle);
    return rectangle.bottom - rectangle.top;
}

inline Gadget* G(intptr_t number) { return GadgetLookup(number); }

// Window 0 open and current, its start-up events taken; closed afterwards
// with every gadget in it.
class GadgetWindowTest : public ::testing::Test {
protected:
    static constexpr intptr_t kWindow = 0;

    void SetUp() override {
        window_ = reinterpret_cast<HWND>(WindowOpen(kWindow, 40, 40, 480, 360, u"gadgets", 0));
        ASSERT_NE(window_, nullptr);
        Pump(50);
        TakeEvents();
    }
    void TearDown() override {
        MoveMouseTo(0, 0);
        WindowClose(kWindow);
        Pump(20);
        TakeEvents();
        TextScratchSetPosition(0);
    }

    HWND window_ = nullptr;
};

}  // namespace gadget_test
