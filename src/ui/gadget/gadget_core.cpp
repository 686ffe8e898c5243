// The kind-independent gadget core: start-up, the shared creation path, the
// subclass procedure that clears a record when its control goes, the
// accessors, parent-message dispatch, event posting and the brush cache.
#include "ui/gadget/gadget_core.h"

#include <commctrl.h>

#include "os/os.h"
#include "platform/text_scratch.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"
#include "ui/window/event_queue.h"
#include "ui/window/window.h"
#include "ui/window/window_property.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts pass to the platform as they are");

namespace {

constexpr int32_t kTableGrowStep = 50;
constexpr int32_t kStackStep = 10;
constexpr LONG_PTR kNoGadget = -1;  // control identifier of a window that is not (or no longer) a gadget

ObjectTable* Table = nullptr;
GadgetListState* State = nullptr;
HFONT DefaultFont = nullptr;

// Guards BrushList: the brushes are the one thing of the layer that a
// drawing thread might reach.
OsLock Lock;
bool LockMade = false;

struct BrushEntry {
    COLORREF colour;
    HBRUSH brush;   // never null: an entry exists only for a brush that was made
    int32_t count;  // gadgets holding the brush
};
ListNode* BrushList = nullptr;  // newest first

BrushEntry* EntryOf(ListNode* node) { return static_cast<BrushEntry*>(ListNodePayload(node)); }

void InitialiseState(void* record) {
    auto* state = static_cast<GadgetListState*>(record);
    state->font = DefaultFont;
    state->stack = static_cast<HWND*>(OsHeapAlloc(Process.mainHeap, sizeof(HWND) * kStackStep));
    state->capacity = state->stack ? kStackStep : 0;
}

// The gadget's identity: its number, or its record's handle.
intptr_t IdentityOf(intptr_t number, Gadget* gadget) {
    return number == AnyNumber ? reinterpret_cast<intptr_t>(gadget) : number;
}

}  // namespace

int32_t GadgetInit() {
    if (LockMade) OsLockDelete(&Lock);
    OsLockInit(&Lock);
    LockMade = true;
    BrushList = nullptr;

    DefaultFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    Table = ObjectTableCreate(sizeof(Gadget), kTableGrowStep, GadgetFree);
    State = static_cast<GadgetListState*>(
        StateRecordGet(StateRecordCreate(sizeof(GadgetListState), InitialiseState)));

    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), 0xB48};
    InitCommonControlsEx(&classes);
    // The window layer reaches the gadgets only through these.
    WindowGadgetHooksSet(WindowGadgetHooks{GadgetListUse, GadgetParentMessage});
    return Table && State;
}

GadgetListState* GadgetListStateGet() { return State; }
ObjectTable* GadgetTable() { return Table; }

Gadget* GadgetLookup(intptr_t number) {
    return Table ? static_cast<Gadget*>(ObjectTableLookup(Table, number)) : nullptr;
}

intptr_t GadgetCreate(intptr_t number, const GadgetKind* kind, DWORD exStyle, const wchar_t* className,
                      const char16_t* text, DWORD style, int32_t x, int32_t y, int32_t width, int32_t height,
                      void (*fill)(Gadget*, void* context), void* context) {
    if (!Table || !State) return 0;
    if (!text) text = u"";
    HWND window = CreateWindowExW(exStyle, className, reinterpret_cast<const wchar_t*>(text), style, x, y, width,
                                  height, State->current, reinterpret_cast<HMENU>(kNoGadget), WindowModule(),
                                  nullptr);
    if (!window) return 0;

    // A live gadget of this number goes only now that its successor exists.
    auto* gadget = static_cast<Gadget*>(ObjectTableGetOrCreate(Table, number));
    // The old gadget may have been the new control's parent, in which case
    // the new control went with it.
    if (!gadget || !IsWindow(window)) {
        if (gadget) ObjectTableFreeObject(Table, IdentityOf(number, gadget));
        if (IsWindow(window)) DestroyWindow(window);
        return 0;
    }
    // The kind's fill sees its control (a container makes itself the current
    // list with it); nothing can reach the record before it is registered.
    gadget->window = window;
    gadget->kind = kind;
    if (fill) fill(gadget, context);
    return GadgetRegister(number, gadget, window, kind);
}

intptr_t GadgetRegister(intptr_t number, Gadget* gadget, HWND window, const GadgetKind* kind) {
    const intptr_t identity = IdentityOf(number, gadget);
    gadget->window = window;
    gadget->kind = kind;
    gadget->previousProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GadgetWindowProc)));
    SetWindowLongPtrW(window, GWLP_ID, identity);
    WindowPropertySet(window, PROPERTY_GADGET_ID, reinterpret_cast<HANDLE>(identity));
    // A control not on the screen yet is drawn whole when it comes there; only
    // one already showing needs drawing again in its new font.
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(State->font), IsWindowVisible(window));
    return number == AnyNumber ? identity : reinterpret_cast<intptr_t>(window);
}

LRESULT CALLBACK GadgetWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const LONG_PTR identifier = GetWindowLongPtrW(window, GWLP_ID);
    Gadget* gadget = identifier == kNoGadget ? nullptr : GadgetLookup(identifier);
    if (!gadget || gadget->window != window) {
        // A control whose record has gone still takes its noted properties along.
        if (message == WM_NCDESTROY) WindowPropertiesForget(window);
        return DefWindowProcW(window, message, wParam, lParam);
    }

    // Copied first: the control's procedure may run code that frees the
    // record (a binding, a nested destruction).
    const GadgetKind* kind = gadget->kind;
    const WNDPROC previous = gadget->previousProc;
    LRESULT result = CallWindowProcW(previous, window, message, wParam, lParam);

    if (message == WM_NCDESTROY) {
        gadget = GadgetLookup(identifier);
        const bool recordIsOurs = gadget && gadget->window == window;
        if (recordIsOurs && kind && kind->Release) kind->Release(gadget);
        WindowPropertyRemove(window, PROPERTY_GADGET_ID);
        SetWindowLongPtrW(window, GWLP_ID, kNoGadget);
        EventPurge(EVENT_GADGET, identifier, -1, -1);
        if (recordIsOurs) ObjectTableFreeObject(Table, identifier);
    }
    return result;
}

void GadgetFree(intptr_t number) {
    if (!Table) return;
    if (number == AnyNumber) {
        ObjectTableFreeAll(Table);
        return;
    }
    // The record is cleared by GadgetWindowProc when the control receives
    // WM_NCDESTROY, before DestroyWindow returns; a container takes its
    // children with it the same way.
    if (Gadget* gadget = GadgetLookup(number)) DestroyWindow(gadget->window);
}

const char16_t* GadgetEmptyText() {
    const int32_t mark = TextScratch().position;
    if (!TextScratchSetPosition(mark) || !TextScratch().buffer) return u"";
    return TextScratchAt(mark);
}

const char16_t* GadgetWindowText(HWND window) {
    const int32_t mark = TextScratch().position;
    int32_t length = GetWindowTextLengthW(window);
    if (length < 0) length = 0;
    char16_t* buffer = TextScratchReserve(length + 1, mark);
    if (!buffer) return GadgetEmptyText();
    buffer[0] = u'\0';
    GetWindowTextW(window, reinterpret_cast<wchar_t*>(buffer), length + 1);
    // The text may end before the length the control announced.
    int32_t used = 0;
    while (used < length && buffer[used]) ++used;
    buffer[used] = u'\0';
    TextScratchGiveBack(length + 1 - used);
    return TextScratchAt(mark);
}

int32_t GadgetAddItem(intptr_t number, int32_t position, const char16_t* text) {
    Gadget* gadget = GadgetLookup(number);
    if (!gadget) return 0;
    if (!text) text = u"";
    EventSuppressBegin();
    int32_t result = 0;
    if (gadget->kind->AddItemEx)
        result = gadget->kind->AddItemEx(gadget, position, text, 0, 0);
    else if (gadget->kind->AddItem)
        result = gadget->kind->AddItem(gadget, position, text, 0);
    EventSuppressEnd();
    return result;
}

void GadgetSetState(intptr_t number, int32_t state) {
    Gadget* gadget = GadgetLookup(number);
    if (!gadget || !gadget->kind->SetState) return;
    EventSuppressBegin();
    gadget->kind->SetState(gadget, state);
    EventSuppressEnd();
}

int32_t GadgetGetState(intptr_t number) {
    Gadget* gadget = GadgetLookup(number);
    if (!gadget || !gadget->kind->GetState) return 0;
    return gadget->kind->GetState(gadget);
}

const char16_t* GadgetGetText(intptr_t number) {
    Gadget* gadget = GadgetLookup(number);
    if (!gadget) return GadgetEmptyText();
    if (gadget->kind->GetText) return gadget->kind->GetText(gadget);
    return GadgetWindowText(gadget->window);
}

HWND GadgetTopWindow(HWND control) {
    HWND window = control;
    while (window && !WindowPropertyGet(window, PROPERTY_WINDOW_ID)) {
        HWND parent = GetParent(window);
        if (!parent) break;
        window = parent;
    }
    return window;
}

void GadgetPostEvent(HWND control, int32_t type, int32_t forced) {
    const intptr_t windowNumber = reinterpret_cast<intptr_t>(
        WindowPropertyGet(GadgetTopWindow(control), PROPERTY_WINDOW_ID)) - 1;
    const intptr_t gadget = GetWindowLongPtrW(control, GWLP_ID);
    EventPost(EVENT_GADGET, gadget, windowNumber, type, forced ? EVENT_FORCE : 0);
}

LRESULT GadgetParentMessage(HWND child, HWND parent, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!child) return NOT_HANDLED;
    const LONG_PTR identifier = GetWindowLongPtrW(child, GWLP_ID);
    if (reinterpret_cast<LONG_PTR>(WindowPropertyGet(child, PROPERTY_GADGET_ID)) != identifier)
        return NOT_HANDLED;
    // A control that merely shares a gadget's identifier (a foreign control
    // with identifier 0 and no property, say) is not that gadget.
    Gadget* gadget = GadgetLookup(identifier);
    if (!gadget || gadget->window != child || !gadget->kind->ParentMessage) return NOT_HANDLED;
    return gadget->kind->ParentMessage(gadget, parent, message, wParam, lParam);
}

void GadgetResize(Gadget* gadget, int32_t x, int32_t y, int32_t width, int32_t height) {
    HWND control = gadget->window;
    const GadgetKind* kind = gadget->kind;
    if (x == IgnoreValue || y == IgnoreValue || width == IgnoreValue || height == IgnoreValue) {
        RECT rect{};
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
        if (x == IgnoreValue) x = kind->GetX ? kind->GetX(gadget) : rect.left;
        if (y == IgnoreValue) y = kind->GetY ? kind->GetY(gadget) : rect.top;
        if (width == IgnoreValue) width = kind->GetWidth ? kind->GetWidth(gadget) : rect.right - rect.left;
        if (height == IgnoreValue) height = kind->GetHeight ? kind->GetHeight(gadget) : rect.bottom - rect.top;
    }
    MoveWindow(control, x, y, width, height, TRUE);
    if (kind->type == GADGET_TYPE_BUTTON)
        RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_ERASE);
    else if (kind->type == GADGET_TYPE_TEXT)
        InvalidateRect(control, nullptr, FALSE);
}

HBRUSH BrushCacheAcquire(COLORREF colour) {
    OsLockEnter(&Lock);
    for (ListNode* node = BrushList; node; node = node->next) {
        BrushEntry* entry = EntryOf(node);
        if (entry->colour == colour) {
            ++entry->count;
            OsLockLeave(&Lock);
            return entry->brush;
        }
    }
    // No entry is kept for a brush that could not be made: it would hold a
    // count nobody can ever release.
    HBRUSH brush = CreateSolidBrush(colour);
    if (brush) {
        auto* entry = static_cast<BrushEntry*>(
            ListNodeAdd(&BrushList, static_cast<int32_t>(sizeof(ListNode) + sizeof(BrushEntry))));
        if (entry) {
            *entry = BrushEntry{colour, brush, 1};
        } else {
            DeleteObject(brush);
            brush = nullptr;
        }
    }
    OsLockLeave(&Lock);
    return brush;
}

void BrushCacheRelease(HBRUSH brush) {
    if (!brush) return;
    OsLockEnter(&Lock);
    for (ListNode* node = BrushList; node; node = node->next) {
        BrushEntry* entry = EntryOf(node);
        if (entry->brush != brush) continue;
        if (--entry->count == 0) {
            DeleteObject(brush);
            ListNodeRemove(&BrushList, entry);
        }
        break;
    }
    OsLockLeave(&Lock);
}
