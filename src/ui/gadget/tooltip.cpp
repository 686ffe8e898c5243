// Tooltips: one "tooltips_class32" control for the whole process, created
// on first use and shared by every gadget of every window. Each gadget's
// control is one tool of it, identified by its window handle and watched by
// the tooltip control itself (TTF_SUBCLASS). The tip is a single line with
// the system's own timing and look.
//
// Watching a tool costs every message the tool receives. A tool whose window
// is not on the screen yet is therefore registered at once but watched only
// from the first idle moment on (a timer, which comes after the first paint):
// until the pointer can rest on it, nothing needs watching.
#include <windows.h>
#include <commctrl.h>

#include <cstddef>

#include "ui/gadget/gadget_kinds.h"

namespace {

// TOOLINFOW up to and including lParam, without the trailing reserved
// member: the size every common-controls version accepts.
constexpr UINT kToolInfoSize = offsetof(TOOLINFOW, lParam) + sizeof(LPARAM);
#ifndef _WIN64
static_assert(kToolInfoSize == 44, "the 32-bit tool description is 44 bytes");
#endif

// Tools registered unwatched, to be watched when kWatchTimer fires; past the
// last slot a tool is watched at once.
constexpr UINT_PTR kWatchTimer = 0x5A4B;
constexpr int32_t kPendingTools = 16;
HWND PendingTools[kPendingTools];
int32_t PendingToolCount = 0;
// Longest tip text that can be read back from the control for the later
// registration (the control copies at most 1024 units of it).
constexpr size_t kReadableTip = 1024;

bool WatchLater(HWND toolTip, HWND control, const char16_t* text) {
    if (PendingToolCount >= kPendingTools || IsWindowVisible(GetAncestor(control, GA_ROOT)) ||
        static_cast<size_t>(lstrlenW(reinterpret_cast<const wchar_t*>(text))) >= kReadableTip)
        return false;
    if (PendingToolCount == 0 && !SetTimer(toolTip, kWatchTimer, USER_TIMER_MINIMUM, nullptr)) return false;
    PendingTools[PendingToolCount++] = control;
    return true;
}

// Registers each waiting tool anew, watched, with the text it was given.
void WatchPendingTools(HWND toolTip) {
    KillTimer(toolTip, kWatchTimer);
    for (int32_t i = 0; i < PendingToolCount; ++i) {
        HWND control = PendingTools[i];
        wchar_t text[kReadableTip] = L"";
        TOOLINFOW info{};
        info.cbSize = kToolInfoSize;
        info.hwnd = GetParent(control);
        info.uId = reinterpret_cast<UINT_PTR>(control);
        info.lpszText = text;
        if (!IsWindow(control) || !SendMessageW(toolTip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&info)) ||
            (info.uFlags & TTF_SUBCLASS))
            continue;
        SendMessageW(toolTip, TTM_GETTEXTW, kReadableTip, reinterpret_cast<LPARAM>(&info));
        SendMessageW(toolTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
        info.uFlags |= TTF_SUBCLASS;
        SendMessageW(toolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    }
    PendingToolCount = 0;
}

// The shared control, made on first use; null when it cannot be made (the
// next call tries again).
HWND SharedToolTip() {
    GadgetListState* state = GadgetListStateGet();
    if (!state) return nullptr;
    if (state->toolTip) return state->toolTip;
    HWND toolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                   GadgetInstance(), nullptr);
    if (!toolTip) return nullptr;
    state->toolTip = toolTip;
    const LONG_PTR previous =
        SetWindowLongPtrW(toolTip, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ToolTipWindowProc));
    SetWindowLongPtrW(toolTip, GWLP_USERDATA, previous);
    return toolTip;
}

}  // namespace

void GadgetSetToolTip(intptr_t number, const char16_t* text) {
    if (!text) text = u"";
    Gadget* gadget = GadgetLookup(number);
    if (!gadget) return;
    ToolTipAttach(gadget->window, text);
    // The tip shows over a combo box's edit field (or the extended variant's
    // inner box) too, which covers most of the control.
    if (gadget->kind && gadget->kind->type == GADGET_TYPE_COMBOBOX) {
        HWND child = GetWindow(gadget->window, GW_CHILD);
        if (child) ToolTipAttach(child, text);
    }
}

void ToolTipAttach(HWND control, const char16_t* text) {
    HWND toolTip = SharedToolTip();
    if (!toolTip) return;
    if (!text) text = u"";
    TOOLINFOW info{};
    info.cbSize = kToolInfoSize;
    info.uFlags = TTF_IDISHWND | (WatchLater(toolTip, control, text) ? 0 : TTF_SUBCLASS);
    info.hwnd = GetParent(control);
    info.uId = reinterpret_cast<UINT_PTR>(control);
    // The control copies the text.
    info.lpszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(text));
    SendMessageW(toolTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    SendMessageW(toolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

LRESULT CALLBACK ToolTipWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Other topmost windows may have come above the tip since it was shown.
    if (message == WM_PAINT)
        SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
    if (message == WM_TIMER && wParam == kWatchTimer) {
        WatchPendingTools(window);
        return 0;
    }
    auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // Before the previous procedure is stored nothing else can answer.
    if (!previous) return DefWindowProcW(window, message, wParam, lParam);
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

void GadgetToolTipEnd() {
    GadgetListState* state = GadgetListStateGet();
    if (!state || !state->toolTip) return;
    DestroyWindow(state->toolTip);
    PendingToolCount = 0;
    // A tooltip set after this makes a new control instead of using a
    // destroyed one.
    state->toolTip = nullptr;
}
