// The text gadget: a "Static" control with optional text and back colours.
// The back colour is painted with a brush shared through the brush cache.
#include <windows.h>

#include "platform/text_scratch.h"
#include "ui/gadget/gadget_kinds.h"

namespace {

// Kind fields: the back colour (COLORREF or -1 for the system's), the text
// colour (likewise) and the cached brush of the back colour (null while the
// back colour is -1, or when no brush could be made).
int32_t BackColour(const Gadget* gadget) { return static_cast<int32_t>(gadget->kindFields[0]); }
int32_t FrontColour(const Gadget* gadget) { return static_cast<int32_t>(gadget->kindFields[1]); }
HBRUSH BackBrush(const Gadget* gadget) { return reinterpret_cast<HBRUSH>(gadget->kindFields[2]); }

// WM_CTLCOLORSTATIC: the gadget's colours, or NOT_HANDLED for the system's.
LRESULT TextParentMessage(Gadget* gadget, HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message != WM_CTLCOLORSTATIC) return NOT_HANDLED;
    HDC dc = reinterpret_cast<HDC>(wParam);
    LRESULT result = NOT_HANDLED;
    if (FrontColour(gadget) != -1) {
        SetTextColor(dc, static_cast<COLORREF>(FrontColour(gadget)));
        if (BackColour(gadget) == -1) {
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
    }
    if (BackColour(gadget) != -1) {
        SetBkColor(dc, static_cast<COLORREF>(BackColour(gadget)));
        // Without a brush (none could be made) the background stays the
        // system's rather than unpainted.
        if (BackBrush(gadget)) result = reinterpret_cast<LRESULT>(BackBrush(gadget));
    }
    return result;
}

void TextSetColour(Gadget* gadget, int32_t colourType, int32_t colour) {
    if (colourType == COLOUR_FRONT) {
        gadget->kindFields[1] = colour;
    } else if (colourType == COLOUR_BACK) {
        if (BackBrush(gadget)) BrushCacheRelease(BackBrush(gadget));
        HBRUSH brush = colour == -1 ? nullptr : BrushCacheAcquire(static_cast<COLORREF>(colour));
        gadget->kindFields[2] = reinterpret_cast<intptr_t>(brush);
        gadget->kindFields[0] = colour;
    }
    RedrawWindow(gadget->window, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_ERASE | RDW_FRAME);
}

int32_t TextGetColour(Gadget* gadget, int32_t colourType) {
    if (colourType == COLOUR_FRONT) return FrontColour(gadget);
    if (colourType == COLOUR_BACK) return BackColour(gadget);
    return -1;
}

void TextRelease(Gadget* gadget) {
    if (BackBrush(gadget)) BrushCacheRelease(BackBrush(gadget));
    gadget->kindFields[2] = 0;
}

// The text's extent as the control draws it, plus its border.
void TextRequiredSize(Gadget* gadget, int32_t* width, int32_t* height) {
    *width = 0;
    *height = 0;
    HWND window = gadget->window;
    const int32_t mark = TextScratch().position;
    int32_t used = 0;
    char16_t* text = GadgetWindowTextScratch(window, &used);
    if (!text) return;

    HDC dc = GetDC(window);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    RECT extent{0, 0, 0, 0};
    // Measured the way the control shows it: a text that shows its
    // ampersands literally is measured with them.
    UINT format = DT_CALCRECT;
    if (GetWindowLongW(window, GWL_STYLE) & SS_NOPREFIX) format |= DT_NOPREFIX;
    DrawTextW(dc, reinterpret_cast<const wchar_t*>(text), used, &extent, format);
    if (previous) SelectObject(dc, previous);
    ReleaseDC(window, dc);
    TextScratchSetPosition(mark);

    *width = extent.right;
    *height = extent.bottom;
    if (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) {
        *width += 2 * GetSystemMetrics(SM_CXEDGE);
        *height += 2 * GetSystemMetrics(SM_CYEDGE);
    } else {
        *width += 2;
        *height += 2;
    }
}

const GadgetKind* TextKind() {
    static const GadgetKind kind = [] {
        GadgetKind k{};
        k.type = GADGET_TYPE_TEXT;
        k.ParentMessage = TextParentMessage;
        k.Release = TextRelease;
        k.SetColour = TextSetColour;
        k.GetColour = TextGetColour;
        k.RequiredSize = TextRequiredSize;
        return k;
    }();
    return &kind;
}

void TextFill(Gadget* gadget, void*) {
    gadget->kindFields[0] = -1;
    gadget->kindFields[1] = -1;
    gadget->kindFields[2] = 0;
}

}  // namespace

intptr_t GadgetCreateText(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                          const char16_t* text, int32_t flags) {
    const DWORD exStyle = (flags & TEXT_CLIENT_EDGE) ? WS_EX_CLIENTEDGE : 0;
    const DWORD style = static_cast<DWORD>(flags) | WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX;
    return GadgetCreate(number, TextKind(), exStyle, L"Static", text, style, x, y, width, height, TextFill,
                        nullptr);
}
