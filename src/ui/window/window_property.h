// The window properties the window and gadget layers read on the message
// path: "ZK_WindowID" (window number + 1), "ZK_ID" (gadget number) and
// "ZK_GadgetStack_..." (saved gadget-list context). Each is set on the
// window as a real property, for any other code that reads it, and also kept
// in a table in the process, from which the layers read it: a property read
// is otherwise a call into the window system (under Wine, a round trip to its
// server) on every message.
//
// Contract: these properties are set and removed only through these calls,
// on the GUI thread. A window's entry goes when its last property is removed
// or when WindowPropertiesForget is called at its WM_NCDESTROY. Once the table
// has been full, it takes no further windows: their properties are still set,
// and read from the window system.
#pragma once

#include <windows.h>

#include <cstdint>

enum WindowPropertyKey : int32_t {
    PROPERTY_WINDOW_ID,    // "ZK_WindowID"
    PROPERTY_GADGET_ID,    // "ZK_ID"
    PROPERTY_GADGET_LIST,  // "ZK_GadgetStack_" and the module
    PROPERTY_KEY_COUNT
};

// The name the window system knows a key's property by, into TEXT (room for
// 40 characters): "ZK_WindowID", "ZK_ID", or "ZK_GadgetStack_" and the
// module's instance handle as a signed decimal.
void WindowPropertyName(WindowPropertyKey key, wchar_t* text);

// SetPropW, also noted in the table when it succeeds. Returns its result.
BOOL WindowPropertySet(HWND window, WindowPropertyKey key, HANDLE value);
// What GetPropW answers for a property set through this layer.
HANDLE WindowPropertyGet(HWND window, WindowPropertyKey key);
// RemovePropW, and the value dropped from the table.
void WindowPropertyRemove(HWND window, WindowPropertyKey key);
// Drops the window's entry: its handle may later name another window.
void WindowPropertiesForget(HWND window);
