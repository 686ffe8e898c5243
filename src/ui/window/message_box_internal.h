// The message box's record of the windows it changed. For the window layer
// and its tests; not part of the public header.
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/object_table.h"

// One top-level window touched by a message box: the payload of a node in
// ModalWindowList.
struct ModalWindowRecord {
    DWORD threadId;        // the thread that showed the box; always the window's own thread
    HWND window;           // the top-level window
    uint8_t wasTopmost;    // 1: it had WS_EX_TOPMOST when the box opened, and lost it
    uint8_t disabledByUs;  // 1: it was enabled and the box disabled it
    int32_t level;         // nesting level on threadId of the call that recorded it: 1 for the
                           // outermost box, 2 for a box shown while that one is up, ...
};

// Every record of every thread, newest first. Holds no record of a thread
// outside its MessageBoxShow calls. Not locked: one thread at a time shows
// message boxes.
extern ListNode* ModalWindowList;

// Records the calling thread's visible top-level windows, disables each
// enabled one that is not the foreground window and takes topmost rank from
// every topmost one. Returns the nesting level the records carry, to be
// handed to ThreadWindowsRestore. A window whose record cannot be allocated
// is left alone.
int32_t ThreadWindowsDisable();

// The window the box is to belong to: the foreground window when it is a
// window of this process, else null.
HWND MessageBoxOwner();

// Gives back what ThreadWindowsDisable took at `level` on the calling thread
// (enabled state, topmost rank) and drops those records. Records of other
// threads and of outer boxes of this thread stay.
void ThreadWindowsRestore(int32_t level);
