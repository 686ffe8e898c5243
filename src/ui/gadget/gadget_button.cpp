// The button gadget: a "Button", with flags 0 a plain push button. It has no
// ParentMessage: a click reaches the parent as WM_COMMAND with BN_CLICKED
// and the window layer turns it into EVENT_GADGET of type 0.
#include <windows.h>

#include "ui/gadget/gadget_kinds.h"

namespace {

// Always 0 for a plain push button; the checked state of a button made with
// a check or radio style.
int32_t ButtonGetState(Gadget* gadget) { return SendMessageW(gadget->window, BM_GETCHECK, 0, 0) & 1; }

void ButtonSetState(Gadget* gadget, int32_t state) {
    SendMessageW(gadget->window, BM_SETCHECK, state != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

// The text plus the button's edges and margin; never below 24 high.
void ButtonRequiredSize(Gadget* gadget, int32_t* width, int32_t* height) {
    SIZE extent{};
    if (!GadgetMeasureWindowText(gadget->window, &extent)) {
        *width = 0;
        *height = 0;
        return;
    }
    *width = extent.cx + 2 * GetSystemMetrics(SM_CXEDGE) + 10;
    *height = extent.cy + 2 * GetSystemMetrics(SM_CYEDGE);
    if (*height < 24) *height = 24;
}

const GadgetKind* ButtonKind() {
    static const GadgetKind kind = [] {
        GadgetKind k{};
        k.type = GADGET_TYPE_BUTTON;
        k.GetState = ButtonGetState;
        k.SetState = ButtonSetState;
        k.RequiredSize = ButtonRequiredSize;
        return k;
    }();
    return &kind;
}

}  // namespace

intptr_t GadgetCreateButton(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                            const char16_t* text, int32_t flags) {
    const DWORD style = static_cast<DWORD>(flags) | WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP;
    return GadgetCreate(number, ButtonKind(), 0, L"Button", text, style, x, y, width, height, nullptr, nullptr);
}
