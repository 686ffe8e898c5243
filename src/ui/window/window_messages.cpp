// The event loop and the message handler of every window and container:
// window-system messages become events in the queue, which EventWait hands
// out one at a time; Tab and Shift+Tab move the focus; focus rectangles and
// accelerator underlines follow the keyboard.
#include "runtime/object_table.h"
#include "ui/window/event_queue.h"
#include "ui/window/window.h"
#include "ui/window/window_property.h"

namespace {

constexpr wchar_t kFocusProperty[] = L"ZK_Focus";

// Show or hide both the focus rectangles and the accelerator underlines.
constexpr WPARAM kCuesClear = MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL);
constexpr WPARAM kCuesSet = MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL);

// The window a message is attributed to: the nearest window, from the
// message's own upwards, that carries a window number. Without one the
// number is -1; the record may be missing even when the number is known.
struct Owner {
    HWND window;
    intptr_t number;
    Window* record;
};

Owner FindOwner(HWND hwnd) {
    for (HWND window = hwnd; window; window = GetParent(window)) {
        if (auto value = reinterpret_cast<intptr_t>(WindowPropertyGet(window, PROPERTY_WINDOW_ID)))
            return Owner{window, value - 1, WindowLookup(value - 1)};
    }
    return Owner{nullptr, -1, nullptr};
}

// Whether Ctrl, Shift or Alt is down as far as the message last taken
// knows. One read of the whole keyboard state: each key asked on its own is
// a round trip to the window system on some systems, for every message.
bool ModifierHeld() {
    BYTE keys[256];
    if (!GetKeyboardState(keys)) return false;
    return ((keys[VK_CONTROL] | keys[VK_SHIFT] | keys[VK_MENU]) & 0x80) != 0;
}

// Messages an accelerator table can translate; it lets every other one pass.
bool Keystroke(UINT message) {
    return message == WM_KEYDOWN || message == WM_SYSKEYDOWN || message == WM_CHAR || message == WM_SYSCHAR;
}

// A child control's notification, offered to its gadget kind first.
LRESULT ParentMessage(HWND child, HWND parent, UINT message, WPARAM wParam, LPARAM lParam) {
    const WindowGadgetHooks& hooks = WindowGadgetHooksGet();
    return hooks.parentMessage ? hooks.parentMessage(child, parent, message, wParam, lParam) : NOT_HANDLED;
}

void Post(int32_t code, intptr_t gadget, const Owner& owner, int32_t type = 0) {
    EventPost(code, gadget, owner.number, type);
}

// WM_MOVE: the window itself has moved.
LRESULT OnMove(HWND hwnd, const Owner& owner) {
    if (owner.record && hwnd == owner.window) Post(EVENT_WINDOW_MOVED, owner.number, owner);
    return 0;
}

// WM_SIZE: minimised, maximised, restored or resized; descendants' sizes
// (containers) and windows not yet numbered raise nothing here.
LRESULT OnSize(HWND hwnd, const Owner& owner, WPARAM kind) {
    if (hwnd != owner.window) return 1;
    int32_t unused = 0;
    int32_t& minOrMax = owner.record ? owner.record->minOrMax : unused;
    switch (kind) {
    case SIZE_RESTORED:
        if (minOrMax) {
            minOrMax = 0;
            Post(EVENT_WINDOW_RESTORED, 0, owner);
        }
        Post(EVENT_WINDOW_SIZED, 0, owner);
        break;
    case SIZE_MINIMIZED:
        minOrMax = 1;
        Post(EVENT_WINDOW_MINIMIZED, 0, owner);
        break;
    case SIZE_MAXIMIZED:
        minOrMax = 1;
        Post(EVENT_WINDOW_MAXIMIZED, 0, owner);
        Post(EVENT_WINDOW_SIZED, 0, owner);
        break;
    default:
        Post(EVENT_WINDOW_SIZED, 0, owner);
        break;
    }
    return 0;
}

// WM_ACTIVATE: gives the focus back to the control that had it when the
// window was left, and remembers it when the window is left. The default
// procedure never runs, so activation alone does not focus the window.
LRESULT OnActivate(HWND hwnd, const Owner& owner, WPARAM state) {
    if (LOWORD(state) != WA_INACTIVE) {
        if (auto focus = static_cast<HWND>(GetPropW(hwnd, kFocusProperty))) SetFocus(focus);
        Post(EVENT_WINDOW_ACTIVATED, 0, owner);
    } else {
        SetPropW(hwnd, kFocusProperty, GetFocus());
        KeyboardCuesUpdate(hwnd, 0);
        Post(EVENT_WINDOW_DEACTIVATED, 0, owner);
    }
    return 1;
}

// WM_CLOSE: a close request becomes an event; the window stays.
LRESULT OnClose(HWND hwnd, const Owner& owner) {
    if (owner.record && hwnd == owner.window) Post(EVENT_CLOSE_WINDOW, owner.number, owner);
    return 0;
}

// WM_ERASEBKGND: noted; the default procedure paints.
LRESULT OnEraseBackground(const Owner& owner) {
    Post(EVENT_BACKGROUND_ERASED, 0, owner);
    return NOT_HANDLED;
}

BOOL CALLBACK ForwardSysColorChange(HWND child, LPARAM) {
    SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
    return TRUE;
}

// WM_SYSCOLORCHANGE: every control of the window hears of it too.
LRESULT OnSysColorChange(HWND hwnd, const Owner& owner) {
    if (owner.record) EnumChildWindows(hwnd, ForwardSysColorChange, 0);
    return NOT_HANDLED;
}

// WM_GETMINMAXINFO: a tool window may be made as narrow as one pixel.
LRESULT OnGetMinMaxInfo(HWND hwnd, const Owner& owner, LPARAM info) {
    if (!owner.record) return NOT_HANDLED;
    if (info && (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW))
        reinterpret_cast<MINMAXINFO*>(info)->ptMinTrackSize.x = 1;
    return 0;
}

// WM_NOTIFY: for the gadget that sent it.
LRESULT OnNotify(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    return ParentMessage(header ? header->hwndFrom : nullptr, hwnd, WM_NOTIFY, wParam, lParam);
}

// WM_NCDESTROY: the remembered focus and the noted properties go with the
// window.
LRESULT OnNcDestroy(HWND hwnd) {
    RemovePropW(hwnd, kFocusProperty);
    WindowPropertiesForget(hwnd);
    return 1;
}

// WM_COMMAND: a notification the gadget kind does not consume becomes a
// gadget event; a menu command a menu event; the two accelerator commands
// move the focus.
LRESULT OnCommand(HWND hwnd, const Owner& owner, WPARAM wParam, LPARAM lParam) {
    auto control = reinterpret_cast<HWND>(lParam);
    if (ParentMessage(control, hwnd, WM_COMMAND, wParam, lParam) != NOT_HANDLED) return 0;
    if (control) {
        Post(EVENT_GADGET, GetWindowLongPtrW(control, GWLP_ID), owner, HIWORD(wParam));
    } else if (HIWORD(wParam) == 0) {
        Post(EVENT_MENU_COMMAND, static_cast<intptr_t>(wParam), owner);
    } else if (LOWORD(wParam) == CMD_FOCUS_NEXT) {
        FocusMove(0);
    } else if (LOWORD(wParam) == CMD_FOCUS_PREVIOUS) {
        FocusMove(1);
    } else {
        Post(EVENT_MENU_COMMAND, LOWORD(wParam), owner);
    }
    return 0;
}

// WM_TIMER: the timer's identifier as the gadget field.
LRESULT OnTimer(const Owner& owner, WPARAM timer) {
    if (!owner.record) return NOT_HANDLED;
    Post(EVENT_TIMER, static_cast<intptr_t>(timer), owner);
    return 0;
}

// WM_HSCROLL, WM_VSCROLL and the control colours: for the gadget concerned.
LRESULT OnControlMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ParentMessage(reinterpret_cast<HWND>(lParam), hwnd, message, wParam, lParam);
}

// WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP on the window's own area.
LRESULT OnMouseButton(const Owner& owner, int32_t code) {
    Post(code, 0, owner);
    return 0;
}

// The focus walk over the active window's descendants, in the order
// EnumChildWindows reports them (a container's children right after it).
struct FocusWalk {
    HWND current;    // the focused control, or null
    bool backward;
    HWND first;      // first candidate seen
    HWND previous;   // candidate seen last (backward)
    HWND target;     // where the focus goes; null: nowhere yet
    bool pastCurrent;  // forward: the current control has been seen
};

bool IsFocusCandidate(HWND window) {
    return IsWindowEnabled(window) && IsWindowVisible(window) && (GetWindowLongW(window, GWL_STYLE) & WS_TABSTOP);
}

BOOL CALLBACK VisitFocusCandidate(HWND child, LPARAM parameter) {
    auto* walk = reinterpret_cast<FocusWalk*>(parameter);
    if (!IsFocusCandidate(child)) return TRUE;
    if (!walk->first) walk->first = child;
    if (walk->backward) {
        if (child == walk->current && walk->previous) {
            walk->target = walk->previous;
            return FALSE;
        }
        walk->previous = child;
        return TRUE;
    }
    if (!walk->current || walk->pastCurrent) {
        walk->target = child;
        return FALSE;
    }
    if (child == walk->current) walk->pastCurrent = true;
    return TRUE;
}

}  // namespace

int32_t EventWait() {
    if (int32_t code = EventNext()) return code;
    // Blocks: an empty queue waits for the window system, never polls.
    MSG message{};
    GetMessageW(&message, nullptr, 0, 0);
    // Only a keystroke needs the active window's table; any other message
    // only shows the cues when a modifier is held, as the table's lookup
    // would. Most messages then cost the window system one question.
    HWND active = nullptr;
    HACCEL table = nullptr;
    if (Keystroke(message.message)) {
        active = GetActiveWindow();
        table = ActiveAcceleratorTable(active);
    } else if (ModifierHeld()) {
        if ((active = GetActiveWindow())) KeyboardCuesUpdate(active, 1);
    }
    if (table && TranslateAcceleratorW(active, table, &message)) {
        if (active) KeyboardCuesUpdate(active, 1);
    } else {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int32_t>(message.message);
}

HACCEL ActiveAcceleratorTable(HWND window) {
    if (window && ModifierHeld()) KeyboardCuesUpdate(window, 1);
    auto value = reinterpret_cast<intptr_t>(WindowPropertyGet(window, PROPERTY_WINDOW_ID));
    if (!value) return nullptr;
    DWORD processId = 0;
    if (!GetWindowThreadProcessId(window, &processId) || processId != GetCurrentProcessId()) return nullptr;
    Window* record = WindowLookup(value - 1);
    return record ? record->accelTable : nullptr;
}

void KeyboardCuesUpdate(HWND window, int32_t show) {
    const LRESULT state = SendMessageW(window, WM_QUERYUISTATE, 0, 0);
    const LRESULT hidden = state & (UISF_HIDEFOCUS | UISF_HIDEACCEL);
    if (show) {
        if (hidden) SendMessageW(window, WM_UPDATEUISTATE, kCuesClear, 0);
    } else if (hidden != (UISF_HIDEFOCUS | UISF_HIDEACCEL)) {
        SendMessageW(window, WM_UPDATEUISTATE, kCuesSet, 0);
    }
}

void FocusMove(int32_t backward) {
    HWND top = GetActiveWindow();
    if (!top) return;  // EnumChildWindows would walk every top-level window
    HWND focus = GetFocus();
    FocusWalk walk{};
    walk.current = focus && IsChild(top, focus) ? focus : nullptr;
    walk.backward = backward != 0;
    EnumChildWindows(top, VisitFocusCandidate, reinterpret_cast<LPARAM>(&walk));

    HWND target = walk.target;
    if (!target) {
        if (walk.backward)
            target = walk.previous;  // the last candidate: the current one was first, absent or no candidate
        else if (walk.pastCurrent)
            target = walk.first;  // the current control was the last candidate
    }
    if (target) SetFocus(target);
}

LRESULT WindowMessageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const Owner owner = FindOwner(hwnd);
    switch (message) {
    case WM_MOVE: return OnMove(hwnd, owner);
    case WM_SIZE: return OnSize(hwnd, owner, wParam);
    case WM_ACTIVATE: return OnActivate(hwnd, owner, wParam);
    case WM_CLOSE: return OnClose(hwnd, owner);
    case WM_ERASEBKGND: return OnEraseBackground(owner);
    case WM_SYSCOLORCHANGE: return OnSysColorChange(hwnd, owner);
    case WM_GETMINMAXINFO: return OnGetMinMaxInfo(hwnd, owner, lParam);
    case WM_NOTIFY: return OnNotify(hwnd, wParam, lParam);
    case WM_NCDESTROY: return OnNcDestroy(hwnd);
    case WM_COMMAND: return OnCommand(hwnd, owner, wParam, lParam);
    case WM_TIMER: return OnTimer(owner, wParam);
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: return OnControlMessage(hwnd, message, wParam, lParam);
    case WM_LBUTTONUP: return OnMouseButton(owner, EVENT_LEFT_BUTTON_UP);
    case WM_LBUTTONDBLCLK: return OnMouseButton(owner, EVENT_LEFT_DOUBLE_CLICK);
    case WM_RBUTTONUP: return OnMouseButton(owner, EVENT_RIGHT_BUTTON_UP);
    default: return NOT_HANDLED;
    }
}

LRESULT CALLBACK WindowClassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = WindowMessageProc(hwnd, message, wParam, lParam);
    SetLastError(0);
    // The one place where the default procedure runs.
    return result == NOT_HANDLED ? DefWindowProcW(hwnd, message, wParam, lParam) : result;
}
