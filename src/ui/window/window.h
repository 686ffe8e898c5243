// Top-level windows and the event loop. Each window is numbered by the
// caller (or AnyNumber), has a window class of its own, carries its number
// + 1 in the "ZK_WindowID" property and an accelerator table for Tab
// navigation. Window-system messages become events in the event queue;
// EventWait hands them out.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/window/handler_values.h"
#include "ui/window/window_module.h"

// Window flags: the layer's own bits; every other bit is a window style
// passed on unchanged (WS_CAPTION is added when no style bit is given).
constexpr uint32_t WINDOW_CENTER_SCREEN = 0x1;
constexpr uint32_t WINDOW_CENTER_PARENT = 0x2;
constexpr uint32_t WINDOW_TOOL = 0x4;
constexpr uint32_t WINDOW_NO_GADGET_LIST = 0x8;
constexpr uint32_t WINDOW_NO_ACTIVATE = 0x2000000;
constexpr uint32_t WINDOW_INVISIBLE = 0x10000000;

// The two accelerator commands of every window.
constexpr WORD CMD_FOCUS_NEXT = 64001;
constexpr WORD CMD_FOCUS_PREVIOUS = 64002;

struct Window {
    HWND handle;          // the top-level window; non-zero while open
    ACCEL* accelEntries;  // two entries on the main heap
    HACCEL accelTable;    // built from accelEntries
    int32_t accelCount;   // always 2
    int32_t minOrMax;     // 1 while minimised or maximised
};

// Start-up: the window table, the class icon and the arrow cursor. Returns 0
// when memory is exhausted.
int32_t WindowLayerInit();
// Opens a window of inner size width x height at (x, y) (IgnoreValue: the
// system chooses). Returns the window handle, the record's handle for
// AnyNumber, or 0.
intptr_t WindowOpen(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height, const char16_t* title,
                    uint32_t flags, HWND parent = nullptr);
// Destroys one window (AnyNumber: all); 0 when no such window is open.
int32_t WindowClose(intptr_t number);
void WindowFreeAll();
// The gadget layer, above this one, hands in two routines at its start-up
// (GadgetInit): `listUse` makes an opening window's gadget list current,
// `parentMessage` lets a child control's gadget kind take a notification
// before it becomes an event (a result, or NOT_HANDLED). Before that, and in
// programs without gadgets, neither happens.
struct WindowGadgetHooks {
    intptr_t (*listUse)(intptr_t windowHandle);
    LRESULT (*parentMessage)(HWND child, HWND parent, UINT message, WPARAM wParam, LPARAM lParam);
};
void WindowGadgetHooksSet(const WindowGadgetHooks& hooks);
// The installed routines; each member null until GadgetInit.
const WindowGadgetHooks& WindowGadgetHooksGet();

// Building out of sight: a window that WindowOpen opens between these two
// calls is shown only by WindowBuildEnd, with the show command its flags
// give, so that the gadgets built in between are drawn once, together, and
// not each into a window already on the screen. Nothing else differs: the
// first showing's messages raise no events either way. Not nested.
void WindowBuildBegin();
void WindowBuildEnd();
void WindowCenter(HWND window, uint32_t flags, HWND parent);
// The open window of a number or handle, or null.
Window* WindowLookup(intptr_t number);

// The oldest queued event's code; otherwise blocks for one window message,
// handles it and returns its number.
int32_t EventWait();
LRESULT CALLBACK WindowClassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The layer's handling of one message: a result, or NOT_HANDLED.
LRESULT WindowMessageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void FocusMove(int32_t backward);
void KeyboardCuesUpdate(HWND window, int32_t show);
HACCEL ActiveAcceleratorTable(HWND window);
