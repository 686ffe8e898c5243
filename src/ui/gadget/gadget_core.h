// The gadget layer's inside, shared by the core, the kinds, the tooltips,
// the gadget lists and the window layer: the gadget record, the kinds'
// operation tables and the creation path. The application uses gadget.h.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/gadget/gadget.h"

struct ObjectTable;
struct GadgetKind;

// One gadget: its control and what its kind keeps for it.
struct Gadget {
    HWND window;              // the control; non-zero while the gadget is live
    const GadgetKind* kind;   // set at creation, never changed
    WNDPROC previousProc;     // the control's own procedure, called for every message
    intptr_t kindFields[3];   // the kind's own (colours, brush, variant, image list, three-state); zero when taken
};

// A kind's operations, one table per kind for the process, filled before its
// first gadget is created and never changed afterwards. Slots are in a fixed
// order; an empty slot is null and every caller applies its documented
// default for it.
struct GadgetKind {
    int32_t type;  // GADGET_TYPE_...
    LRESULT (*ParentMessage)(Gadget*, HWND parent, UINT message, WPARAM, LPARAM);  // NOT_HANDLED to decline
    void (*Release)(Gadget*);
    int32_t (*GetState)(Gadget*);
    void (*SetState)(Gadget*, int32_t state);
    const char16_t* (*GetText)(Gadget*);  // a text result of the scratch area
    void (*SetText)(Gadget*, const char16_t* text);
    int32_t (*AddItem)(Gadget*, int32_t position, const char16_t* text, intptr_t image);
    int32_t (*AddItemEx)(Gadget*, int32_t position, const char16_t* text, int32_t a, int32_t b);
    void (*RemoveItem)(Gadget*, int32_t index);
    void (*ClearItems)(Gadget*);
    void (*Resize)(Gadget*, int32_t x, int32_t y, int32_t width, int32_t height);
    int32_t (*CountItems)(Gadget*);
    void* reserved13;
    void* reserved14;
    const char16_t* (*GetItemText)(Gadget*, int32_t index);  // a text result of the scratch area
    void (*SetItemText)(Gadget*, int32_t index, const char16_t* text, int32_t column);
    void (*OpenList)(Gadget*, intptr_t ignored);
    int32_t (*GetX)(Gadget*);
    int32_t (*GetY)(Gadget*);
    int32_t (*GetWidth)(Gadget*);
    int32_t (*GetHeight)(Gadget*);
    void* reserved22to28[7];
    void (*SetColour)(Gadget*, int32_t colourType, int32_t colour);
    int32_t (*GetColour)(Gadget*, int32_t colourType);
    void* reserved31to32[2];
    void (*SetItemData)(Gadget*, int32_t index, intptr_t value);
    intptr_t (*GetItemData)(Gadget*, int32_t index);
    void (*RequiredSize)(Gadget*, int32_t* width, int32_t* height);
    void* reserved36to37[2];
    void (*SetFont)(Gadget*, HFONT font);
    void (*SetItemImage)(Gadget*, int32_t index, intptr_t image);
};

// The layer's working state.
struct GadgetListState {
    HWND current;      // the parent of gadgets created next; null before a window is made current
    HFONT font;        // sent to every new gadget: the stock DEFAULT_GUI_FONT
    HWND* stack;       // the enclosing gadget lists, outermost first; null while a saved record owns it
    int32_t count;     // entries in use in stack
    int32_t capacity;  // entries allocated in stack; starts at 10, grows by 10
    HWND toolTip;      // the one tooltip control; null until the first tooltip is set
};

GadgetListState* GadgetListStateGet();
ObjectTable* GadgetTable();

// A top-level window's gadget-list context while another window's context
// is the active one; attached to the window as "ZK_GadgetStack_<instance>".
struct GadgetListSaved {
    HWND window;              // the window that owns the record
    HWND savedCurrent;        // its current list while another context is active
    HWND* savedStack;         // its stack then; null while its own context is the active one
    int32_t savedCount;
    int32_t savedCapacity;
    WNDPROC previousProc;     // the window's procedure before GadgetListWindowProc; may be null
};
// The saved context of a window, or null.
GadgetListSaved* GadgetListSavedOf(HWND window);

// The shared creation path: creates the control with identifier -1 in the
// current gadget list, takes the record (destroying a live gadget of that
// number only now that the new control exists), lets `fill` set the kind's
// fields (the record's window and kind are already set then), and
// registers. Returns the control's handle, the gadget's handle
// for AnyNumber, or 0: a failed CreateWindowExW touches no record, and a
// record that cannot be had destroys the new control.
intptr_t GadgetCreate(intptr_t number, const GadgetKind* kind, DWORD exStyle, const wchar_t* className,
                      const char16_t* text, DWORD style, int32_t x, int32_t y, int32_t width, int32_t height,
                      void (*fill)(Gadget*, void* context), void* context);

// The last step of every creation: identity, subclassing, "ZK_ID", font.
intptr_t GadgetRegister(intptr_t number, Gadget* gadget, HWND window, const GadgetKind* kind);
LRESULT CALLBACK GadgetWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The live gadget of a number or handle, or null.
Gadget* GadgetLookup(intptr_t number);

// Text results of the scratch area (see text_scratch.h): a window's text
// up to its first NUL, and the empty text. Both stand at the scratch
// position the caller had.
const char16_t* GadgetWindowText(HWND window);
const char16_t* GadgetEmptyText();

// Hands a message that concerns `child` to its kind's ParentMessage; returns
// NOT_HANDLED when the child is not a gadget or its kind has no such
// operation.
LRESULT GadgetParentMessage(HWND child, HWND parent, UINT message, WPARAM wParam, LPARAM lParam);
// Posts EVENT_GADGET on behalf of a control, with the window number of its
// top-level window (-1 when none is known).
void GadgetPostEvent(HWND control, int32_t type, int32_t forced);
// The first window from the control upwards that carries "ZK_WindowID"; a
// window without parent ends the search and is returned as it is.
HWND GadgetTopWindow(HWND control);
void GadgetResize(Gadget* gadget, int32_t x, int32_t y, int32_t width, int32_t height);

// One solid brush per colour in use, shared and counted; guarded by the
// layer's lock.
HBRUSH BrushCacheAcquire(COLORREF colour);
void BrushCacheRelease(HBRUSH brush);

// Gadget lists (containers).
void GadgetListPush(HWND parent);
LRESULT CALLBACK GadgetListWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
