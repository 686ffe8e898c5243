// Pieces the gadget kinds share: window texts as text results, text
// measurement, and the window behind a creation's result.
#include <windows.h>

#include "platform/text_scratch.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"
#include "ui/gadget/gadget_kinds.h"

char16_t* GadgetWindowTextScratch(HWND window, int32_t* used) {
    *used = 0;
    const int32_t mark = TextScratch().position;
    int32_t length = GetWindowTextLengthW(window);
    if (length < 0) length = 0;
    char16_t* text = TextScratchReserve(length + 1, mark);
    if (!text) return nullptr;
    text[0] = 0;
    GetWindowTextW(window, reinterpret_cast<wchar_t*>(text), length + 1);
    // The text ends at its first zero, which may come before `length`.
    while (*used < length && text[*used] != 0) ++*used;
    text[*used] = 0;
    TextScratchGiveBack(length - *used);
    return text;
}

const char16_t* GadgetWindowTextResult(HWND window) {
    const int32_t mark = TextScratch().position;
    int32_t used = 0;
    if (!GadgetWindowTextScratch(window, &used)) return TextScratch().buffer ? TextScratchAt(mark) : u"";
    TextScratchGiveBack(1);  // the position ends on the terminator
    return TextScratchAt(mark);
}

const char16_t* GadgetEmptyTextResult() {
    const int32_t mark = TextScratch().position;
    if (!TextScratch().buffer) return u"";
    TextScratchSetPosition(mark);
    return TextScratchAt(mark);
}

bool GadgetMeasureWindowText(HWND window, SIZE* size) {
    size->cx = 0;
    size->cy = 0;
    const int32_t mark = TextScratch().position;
    int32_t used = 0;
    char16_t* text = GadgetWindowTextScratch(window, &used);
    if (!text) return false;
    HDC dc = GetDC(window);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(text), used, size);
    if (previous) SelectObject(dc, previous);
    ReleaseDC(window, dc);
    TextScratchSetPosition(mark);
    return true;
}

HINSTANCE GadgetInstance() {
    return Process.moduleHandle ? static_cast<HINSTANCE>(Process.moduleHandle) : GetModuleHandleW(nullptr);
}

HWND GadgetCreatedWindow(intptr_t number, intptr_t created) {
    if (created == 0) return nullptr;
    if (number != AnyNumber) return reinterpret_cast<HWND>(created);
    Gadget* gadget = GadgetLookup(created);
    return gadget ? gadget->window : nullptr;
}
