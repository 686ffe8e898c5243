// The combo box gadget: a "ComboBox", or for the extended variant a
// "ComboBoxEx32" whose items may carry images.
//
// The window system sizes a closed drop-down box by the height of its
// selection field; the box is made exactly as tall as requested by setting
// that field to the requested height minus the frame around it (the frame
// overhead, measured at every creation).
//
// The kind answers every WM_COMMAND of its box itself, so the box's own
// notification codes never become events: a changed selection or edited
// text becomes EVENT_TYPE_CHANGE, and an editable box's focus changes
// EVENT_TYPE_FOCUS and EVENT_TYPE_LOST_FOCUS.
#include <windows.h>
#include <commctrl.h>

#include "platform/startup_win32.h"
#include "platform/text_scratch.h"
#include "ui/gadget/gadget_image_list.h"
#include "ui/gadget/gadget_kinds.h"

int32_t ComboBoxFrameOverhead = 0;

namespace {

// The height passed at creation, which includes the dropped-down list, when
// the list's height is not chosen by the themed control itself.
constexpr int32_t kDroppedHeight = 350;
// With visual styles the list sizes itself; the control gets this much more.
constexpr int32_t kThemedListAllowance = 30;
// The selection field's height while the frame overhead is measured.
constexpr int32_t kMeasuringFieldHeight = 15;

// Kind fields: 1 for the extended variant, and its image list (null until
// the first image).
bool IsExtended(const Gadget* gadget) { return gadget->kindFields[0] != 0; }
GadgetImageList* Images(const Gadget* gadget) { return reinterpret_cast<GadgetImageList*>(gadget->kindFields[1]); }

LRESULT Send(const Gadget* gadget, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageW(gadget->window, message, wParam, lParam);
}

// Style bit 0 set: a drop-down list (or a simple box), not an editable
// drop-down.
bool IsDropDownList(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & 1) != 0; }

int32_t WindowHeight(HWND window) {
    RECT rectangle{};
    GetWindowRect(window, &rectangle);
    return rectangle.bottom - rectangle.top;
}

// Makes a closed box `height` pixels tall. A height below the frame keeps a
// one-pixel field: the control misplaces its parts with a field of zero or
// less.
void SetClosedHeight(HWND window, int32_t height) {
    int32_t field = height - ComboBoxFrameOverhead;
    if (field < 1) field = 1;
    SendMessageW(window, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
}

// The box's image list, made and attached on first use; null when it cannot
// be made.
GadgetImageList* ImagesForAdding(Gadget* gadget) {
    if (Images(gadget)) return Images(gadget);
    GadgetImageList* list = GadgetImageListCreate();
    if (!list) return nullptr;
    gadget->kindFields[1] = reinterpret_cast<intptr_t>(list);
    Send(gadget, CBEM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(list->handle));
    return list;
}

// The image index for an item: a new entry of the list, or 0 (no image)
// when there is no image or the list does not take it.
int32_t ImageIndexFor(Gadget* gadget, intptr_t image) {
    if (!image) return 0;
    GadgetImageList* list = ImagesForAdding(gadget);
    const int32_t index = list ? GadgetImageListAdd(list, image) : -1;
    return index > 0 ? index : 0;
}

LRESULT ComboParentMessage(Gadget* gadget, HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message != WM_COMMAND) return NOT_HANDLED;
    switch (HIWORD(wParam)) {
    case CBN_SELCHANGE:
    case CBN_EDITCHANGE:
        GadgetPostEvent(gadget->window, EVENT_TYPE_CHANGE, 0);
        break;
    case CBN_SETFOCUS:
        if (!IsDropDownList(gadget->window)) GadgetPostEvent(gadget->window, EVENT_TYPE_FOCUS, 0);
        break;
    case CBN_KILLFOCUS:
        if (!IsDropDownList(gadget->window)) GadgetPostEvent(gadget->window, EVENT_TYPE_LOST_FOCUS, 0);
        break;
    default:
        break;
    }
    return 0;
}

int32_t ComboGetState(Gadget* gadget) { return static_cast<int32_t>(Send(gadget, CB_GETCURSEL)); }

void ComboSetState(Gadget* gadget, int32_t index) { Send(gadget, CB_SETCURSEL, static_cast<WPARAM>(index)); }

const char16_t* ComboGetItemText(Gadget* gadget, int32_t index) {
    const int32_t mark = TextScratch().position;
    const int32_t length = static_cast<int32_t>(Send(gadget, CB_GETLBTEXTLEN, static_cast<WPARAM>(index)));
    if (length < 0) return GadgetEmptyTextResult();
    char16_t* buffer = TextScratchReserve(length + 1, mark);
    if (!buffer) return GadgetEmptyTextResult();
    buffer[0] = 0;
    Send(gadget, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    int32_t used = 0;
    while (used < length && buffer[used] != 0) ++used;
    buffer[used] = 0;
    TextScratchGiveBack(length + 1 - used);
    return TextScratchAt(mark);
}

// The selected item's text for a drop-down list; the edited text for an
// editable box. A plain drop-down list's window text is its selected item.
const char16_t* ComboGetText(Gadget* gadget) {
    if (IsExtended(gadget) && IsDropDownList(gadget->window)) {
        const int32_t selection = ComboGetState(gadget);
        return selection < 0 ? GadgetEmptyTextResult() : ComboGetItemText(gadget, selection);
    }
    return GadgetWindowTextResult(gadget->window);
}

// A drop-down list selects the item of exactly this text (the empty text
// clears the selection; an unknown text changes nothing); an editable box
// takes the text as its edited text.
void ComboSetText(Gadget* gadget, const char16_t* text) {
    if (!text) text = u"";
    if (IsDropDownList(gadget->window)) {
        if (text[0] == 0) {
            Send(gadget, CB_SETCURSEL, static_cast<WPARAM>(-1));
            return;
        }
        const LRESULT found = Send(gadget, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
        if (found != CB_ERR) Send(gadget, CB_SETCURSEL, static_cast<WPARAM>(found));
        return;
    }
    SetWindowTextW(gadget->window, reinterpret_cast<const wchar_t*>(text));
}

// Always 1. Position -1 appends; a plain box adds nothing for a position
// below -1, the extended one appends.
int32_t ComboAddItem(Gadget* gadget, int32_t position, const char16_t* text, intptr_t image) {
    if (!text) text = u"";
    if (!IsExtended(gadget)) {
        if (position >= -1) Send(gadget, CB_INSERTSTRING, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(text));
        return 1;
    }
    const int32_t height = WindowHeight(gadget->window);
    if (position < 0) position = static_cast<int32_t>(Send(gadget, CB_GETCOUNT));
    COMBOBOXEXITEMW item{};
    item.mask = CBEIF_TEXT;
    item.iItem = position;
    item.pszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(text));
    const int32_t imageIndex = ImageIndexFor(gadget, image);
    if (imageIndex > 0) {
        item.mask |= CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
        item.iImage = imageIndex;
        item.iSelectedImage = imageIndex;
    }
    // An item that could not be inserted gives its image entry back.
    if (Send(gadget, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0 && imageIndex > 0)
        GadgetImageListRelease(Images(gadget), imageIndex);
    SetClosedHeight(gadget->window, height);
    return 1;
}

void ComboRemoveItem(Gadget* gadget, int32_t index) {
    if (IsExtended(gadget)) {
        COMBOBOXEXITEMW item{};
        item.mask = CBEIF_IMAGE;
        item.iItem = index;
        if (Send(gadget, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) && item.iImage != 0 && Images(gadget))
            GadgetImageListRelease(Images(gadget), item.iImage);
    }
    Send(gadget, CB_DELETESTRING, static_cast<WPARAM>(index));
}

void ComboClearItems(Gadget* gadget) {
    Send(gadget, CB_RESETCONTENT);
    if (Images(gadget)) GadgetImageListEmpty(Images(gadget));
}

// The height is the closed box's; IgnoreValue keeps the current one. The
// selection survives.
void ComboResize(Gadget* gadget, int32_t x, int32_t y, int32_t width, int32_t height) {
    const LRESULT selection = Send(gadget, CB_GETCURSEL);
    if (height == IgnoreValue) height = WindowHeight(gadget->window);
    GadgetResize(gadget, x, y, width, height);
    SetClosedHeight(gadget->window, height);
    if (selection != CB_ERR) Send(gadget, CB_SETCURSEL, static_cast<WPARAM>(selection));
}

int32_t ComboCountItems(Gadget* gadget) { return static_cast<int32_t>(Send(gadget, CB_GETCOUNT)); }

// Replaces an item's text in place, keeping its data and the selection.
void ComboSetItemText(Gadget* gadget, int32_t index, const char16_t* text, int32_t) {
    if (!text) text = u"";
    const LRESULT selection = Send(gadget, CB_GETCURSEL);
    if (IsExtended(gadget)) {
        COMBOBOXEXITEMW item{};
        item.mask = CBEIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(text));
        Send(gadget, CBEM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        if (index == selection) InvalidateRect(gadget->window, nullptr, FALSE);
        return;
    }
    const LRESULT data = Send(gadget, CB_GETITEMDATA, static_cast<WPARAM>(index));
    if (Send(gadget, CB_DELETESTRING, static_cast<WPARAM>(index)) == CB_ERR) return;
    Send(gadget, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    Send(gadget, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
    if (index == selection) Send(gadget, CB_SETCURSEL, static_cast<WPARAM>(index));
}

void ComboSetItemData(Gadget* gadget, int32_t index, intptr_t value) {
    Send(gadget, CB_SETITEMDATA, static_cast<WPARAM>(index), value);
}

intptr_t ComboGetItemData(Gadget* gadget, int32_t index) {
    return Send(gadget, CB_GETITEMDATA, static_cast<WPARAM>(index));
}

// Square, from the height of "Hg" in the box's font; never below 21.
void ComboRequiredSize(Gadget* gadget, int32_t* width, int32_t* height) {
    HDC dc = GetDC(gadget->window);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(Send(gadget, WM_GETFONT));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    SIZE extent{};
    GetTextExtentPoint32W(dc, L"Hg", 2, &extent);
    if (previous) SelectObject(dc, previous);
    ReleaseDC(gadget->window, dc);
    int32_t size = extent.cy + 8;
    if (size < 21) size = 21;
    *width = size;
    *height = size;
}

// (HFONT)-1 is the default GUI font. The closed height stays as it was.
void ComboSetFont(Gadget* gadget, HFONT font) {
    if (font == reinterpret_cast<HFONT>(static_cast<intptr_t>(-1)))
        font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const int32_t height = WindowHeight(gadget->window);
    Send(gadget, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetClosedHeight(gadget->window, height);
}

// Extended variant only; a null image leaves the item without one.
void ComboSetItemImage(Gadget* gadget, int32_t index, intptr_t image) {
    if (!IsExtended(gadget)) return;
    COMBOBOXEXITEMW item{};
    item.mask = CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
    item.iItem = index;
    if (!Send(gadget, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return;
    if (Images(gadget) && item.iImage != 0) GadgetImageListRelease(Images(gadget), item.iImage);
    const int32_t imageIndex = ImageIndexFor(gadget, image);
    item.iImage = imageIndex;
    item.iSelectedImage = imageIndex;
    Send(gadget, CBEM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void ComboRelease(Gadget* gadget) {
    GadgetImageListFree(Images(gadget));
    gadget->kindFields[1] = 0;
}

const GadgetKind* ComboKind() {
    static const GadgetKind kind = [] {
        GadgetKind k{};
        k.type = GADGET_TYPE_COMBOBOX;
        k.ParentMessage = ComboParentMessage;
        k.Release = ComboRelease;
        k.GetState = ComboGetState;
        k.SetState = ComboSetState;
        k.GetText = ComboGetText;
        k.SetText = ComboSetText;
        k.AddItem = ComboAddItem;
        k.RemoveItem = ComboRemoveItem;
        k.ClearItems = ComboClearItems;
        k.Resize = ComboResize;
        k.CountItems = ComboCountItems;
        k.GetItemText = ComboGetItemText;
        k.SetItemText = ComboSetItemText;
        k.SetItemData = ComboSetItemData;
        k.GetItemData = ComboGetItemData;
        k.RequiredSize = ComboRequiredSize;
        k.SetFont = ComboSetFont;
        k.SetItemImage = ComboSetItemImage;
        return k;
    }();
    return &kind;
}

void ComboFill(Gadget* gadget, void* context) {
    gadget->kindFields[0] = *static_cast<const int32_t*>(context);
    gadget->kindFields[1] = 0;
}

}  // namespace

intptr_t GadgetCreateComboBox(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height, int32_t flags) {
    static bool probed = false;
    if (!probed) {
        CommonControlsVersionProbe();
        probed = true;
    }
    int32_t extended = (flags & COMBOBOX_EXTENDED) ? 1 : 0;
    const bool editable = (flags & 3) == CBS_DROPDOWN;
    DWORD style = static_cast<DWORD>(flags) | WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_GROUP;
    if (!editable) style |= CBS_DROPDOWNLIST | WS_TABSTOP;
    int32_t createdHeight = kDroppedHeight;
    if (!extended && VisualStylesActive == 1) createdHeight = height + kThemedListAllowance;

    const intptr_t created = GadgetCreate(number, ComboKind(), 0, extended ? WC_COMBOBOXEXW : L"ComboBox", nullptr,
                                          style, x, y, width, createdHeight, ComboFill, &extended);
    HWND window = GadgetCreatedWindow(number, created);
    if (!window) return created;

    if (editable) {
        HWND edit = GetWindow(window, GW_CHILD);
        if (edit && extended) edit = GetWindow(edit, GW_CHILD);
        if (edit) SetWindowLongW(edit, GWL_STYLE, GetWindowLongW(edit, GWL_STYLE) | WS_TABSTOP);
    }
    SendMessageW(window, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), kMeasuringFieldHeight);
    ComboBoxFrameOverhead = WindowHeight(window) - kMeasuringFieldHeight;
    SetClosedHeight(window, height);
    return created;
}
