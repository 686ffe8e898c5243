// The five gadget kinds (text, combo box, check box, container, button) and
// the tooltips: their creation flags and event types, and the pieces the
// kinds share with each other and with the tests.
//
// Creation flags are window and control styles of the kind's class, passed
// on unchanged, plus the few bits named below that the creators interpret.
// With flags 0 every kind makes its plain control: a left-aligned text that
// shows ampersands, a non-editable drop-down list, a two-state check box that
// toggles itself, a borderless container, a push button.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/gadget/gadget_core.h"

// Event types the combo box posts with EVENT_GADGET instead of the window
// system's notification codes.
constexpr int32_t EVENT_TYPE_CHANGE = 768;       // the selection or the edited text changed
constexpr int32_t EVENT_TYPE_FOCUS = 14000;      // an editable box took the keyboard focus
constexpr int32_t EVENT_TYPE_LOST_FOCUS = 14001; // an editable box lost it

// Text: a sunken client edge.
constexpr int32_t TEXT_CLIENT_EDGE = 0x20000;
// Combo box: the extended variant ("ComboBoxEx32", items with images).
constexpr int32_t COMBOBOX_EXTENDED = 0x10000000;
// Combo box: an editable box (CBS_DROPDOWN); without it a drop-down list.
constexpr int32_t COMBOBOX_EDITABLE = 0x2;
// Check box: three states (BS_3STATE); a click then alternates between
// ticked and clear, and only the program sets the indeterminate state.
constexpr int32_t CHECKBOX_THREE_STATE = 0x5;
// Container borders; the first bit set, in this order, wins.
constexpr int32_t CONTAINER_BORDER = 0x1;       // WS_BORDER
constexpr int32_t CONTAINER_DIALOG_FRAME = 0x2; // WS_DLGFRAME
constexpr int32_t CONTAINER_STATIC_EDGE = 0x4;  // WS_EX_STATICEDGE
constexpr int32_t CONTAINER_CLIENT_EDGE = 0x8;  // WS_EX_CLIENTEDGE

// The container's window class, registered once at the first container.
constexpr wchar_t CONTAINER_CLASS[] = L"VelaContainer";

// The height of a closed combo box minus the height of its selection field,
// measured at every combo-box creation and used by every later operation that
// sets a selection field's height, whichever box it concerns. 0 before the
// first combo box.
extern int32_t ComboBoxFrameOverhead;

// The container's window procedure: a forced EVENT_GADGET of type 0 on every
// WM_SIZE, the back brush of window extra slot 0 on WM_ERASEBKGND, and the
// window layer's own procedure for everything else, so that gadgets inside a
// container are served as in a window.
LRESULT CALLBACK ContainerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Registers (or re-registers, replacing its text) one control window as a
// tool of the shared tooltip control, creating that control on first use.
void ToolTipAttach(HWND control, const char16_t* text);
// The tooltip control's subclass procedure: raises the tip to the top of the
// z-order whenever it paints.
LRESULT CALLBACK ToolTipWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shared by the kinds. Each leaves the text scratch position as it found it,
// except the text results, which follow the scratch area's text-result
// protocol.
//
// Reads a control's window text into the scratch area at the position and
// returns its address, with its length in `*used`; the position then stands
// just past its terminator, and the caller sets it back. Null when no room
// can be had.
char16_t* GadgetWindowTextScratch(HWND window, int32_t* used);
// The window text of a control as a text result.
const char16_t* GadgetWindowTextResult(HWND window);
// The empty text as a text result.
const char16_t* GadgetEmptyTextResult();
// The extent of a control's window text in the control's font; false (and
// 0 x 0) when no room for the text can be had.
bool GadgetMeasureWindowText(HWND window, SIZE* size);
// The module whose classes and windows the gadgets use.
HINSTANCE GadgetInstance();
// The window handle behind what a creation returned for `number`.
HWND GadgetCreatedWindow(intptr_t number, intptr_t created);
