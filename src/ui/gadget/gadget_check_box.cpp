// The check box gadget: a "Button" with two states that the window system
// toggles itself, or with three states (ticked, clear, indeterminate) where
// a click alternates between ticked and clear and only the program sets the
// indeterminate state.
#include <windows.h>

#include "ui/gadget/gadget_kinds.h"

namespace {

// Kind field: 1 when created three-state.
bool IsThreeState(const Gadget* gadget) { return gadget->kindFields[0] != 0; }

// A click on a three-state box ticks it, or clears it when it was ticked.
// Always NOT_HANDLED, so that every click on any check box still becomes
// EVENT_GADGET of type 0.
LRESULT CheckBoxParentMessage(Gadget* gadget, HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && IsThreeState(gadget)) {
        const bool ticked = SendMessageW(gadget->window, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(gadget->window, BM_SETCHECK, ticked ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    return NOT_HANDLED;
}

// 1 ticked, -1 indeterminate, 0 clear.
int32_t CheckBoxGetState(Gadget* gadget) {
    switch (SendMessageW(gadget->window, BM_GETCHECK, 0, 0)) {
    case BST_CHECKED:
        return 1;
    case BST_INDETERMINATE:
        return -1;
    default:
        return 0;
    }
}

// -1 is indeterminate on a three-state box and ticked on a two-state one;
// 0 clears; anything else ticks.
void CheckBoxSetState(Gadget* gadget, int32_t state) {
    WPARAM check = BST_CHECKED;
    if (state == -1)
        check = IsThreeState(gadget) ? BST_INDETERMINATE : BST_CHECKED;
    else if (state == 0)
        check = BST_UNCHECKED;
    SendMessageW(gadget->window, BM_SETCHECK, check, 0);
}

// The text plus room for the box; never below 20 high.
void CheckBoxRequiredSize(Gadget* gadget, int32_t* width, int32_t* height) {
    SIZE extent{};
    if (!GadgetMeasureWindowText(gadget->window, &extent)) {
        *width = 0;
        *height = 0;
        return;
    }
    *width = extent.cx + 20;
    *height = extent.cy + 2;
    if (*height < 20) *height = 20;
}

const GadgetKind* CheckBoxKind() {
    static const GadgetKind kind = [] {
        GadgetKind k{};
        k.type = GADGET_TYPE_CHECKBOX;
        k.ParentMessage = CheckBoxParentMessage;
        k.GetState = CheckBoxGetState;
        k.SetState = CheckBoxSetState;
        k.RequiredSize = CheckBoxRequiredSize;
        return k;
    }();
    return &kind;
}

void CheckBoxFill(Gadget* gadget, void* context) { gadget->kindFields[0] = *static_cast<const int32_t*>(context); }

}  // namespace

intptr_t GadgetCreateCheckBox(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char16_t* text, int32_t flags) {
    int32_t threeState = (flags & CHECKBOX_THREE_STATE) == CHECKBOX_THREE_STATE ? 1 : 0;
    // The button type is always a check box's: other type bits in the flags
    // would make a radio button or a group box of it.
    const DWORD type = threeState ? BS_3STATE : BS_AUTOCHECKBOX;
    const DWORD style = (static_cast<DWORD>(flags) & ~static_cast<DWORD>(BS_TYPEMASK)) | type | WS_CHILD | WS_VISIBLE |
                        WS_GROUP | WS_TABSTOP;
    return GadgetCreate(number, CheckBoxKind(), 0, L"Button", text, style, x, y, width, height, CheckBoxFill,
                        &threeState);
}
