// Gadgets: the controls of a window (texts, combo boxes, check boxes,
// containers, buttons), addressed like every object of the system by a
// number the caller chooses, or by AnyNumber, whose returned handle then
// serves as the number. New gadgets go into the current gadget list: the
// window made current last, or the container opened last.
//
// Every operation given a number that is not a live gadget does nothing and
// returns 0 (GadgetGetText: the empty text). Text results follow the text
// scratch area's text-result protocol: they stand at the caller's scratch
// position and stay valid until the next text is built there.
#pragma once

#include <cstdint>

#include "ui/window/handler_values.h"

enum GadgetType : int32_t {
    GADGET_TYPE_BUTTON = 1,
    GADGET_TYPE_TEXT = 3,
    GADGET_TYPE_CHECKBOX = 4,
    GADGET_TYPE_COMBOBOX = 8,
    GADGET_TYPE_CONTAINER = 11,
};

enum GadgetColourType : int32_t {
    COLOUR_FRONT = 1,  // text colour
    COLOUR_BACK = 2,   // back colour
};

// Start-up: the layer's lock, the default font, the gadget table, the
// gadget-list state and the common-control classes. Returns 0 when memory is
// exhausted.
int32_t GadgetInit();

// Destroys a gadget's control (and with a container, the gadgets inside it);
// AnyNumber destroys every gadget. Also the gadget table's FreeCallback.
void GadgetFree(intptr_t number);

// Creation, in the current gadget list; positions relative to its client
// area. Each returns the control's window handle, or the gadget's handle for
// AnyNumber, or 0 on failure (a gadget that already had the number then
// stays as it was). Reusing a live number destroys the old gadget once the
// new control exists. A null text is the empty text.
intptr_t GadgetCreateText(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                          const char16_t* text, int32_t flags = 0);
intptr_t GadgetCreateComboBox(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                              int32_t flags = 0);
intptr_t GadgetCreateCheckBox(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                              const char16_t* text, int32_t flags = 0);
// Also makes the container the current gadget list until GadgetListClose.
intptr_t GadgetCreateContainer(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                               int32_t flags = 0);
intptr_t GadgetCreateButton(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                            const char16_t* text, int32_t flags = 0);

// Accessors. AddItem and SetState raise no event: they are bracketed by
// event suppression. Position -1 appends.
int32_t GadgetAddItem(intptr_t number, int32_t position, const char16_t* text);
void GadgetSetState(intptr_t number, int32_t state);
int32_t GadgetGetState(intptr_t number);
const char16_t* GadgetGetText(intptr_t number);

// Gives a gadget a tooltip; a null text is the empty text.
void GadgetSetToolTip(intptr_t number, const char16_t* text);
// Shutdown: destroys the shared tooltip control, if one was made.
void GadgetToolTipEnd();

// Gadget lists. GadgetListUse makes a top-level window (a window handle)
// the current list, saving the previous window's whole context (current list
// and stack of open containers) on that window and restoring the new one's;
// it returns the previous context's root window (with a null window it only
// returns the current root). GadgetListClose returns to the enclosing list.
intptr_t GadgetListUse(intptr_t window);
void GadgetListClose();
