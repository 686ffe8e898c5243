// The extended combo box's image list: the item images of one box, copied
// into a common-controls image list of small-icon size.
//
// Index 0 holds a blank placeholder and stands for "no image": it is never
// released. Every other index is either in use (holds an image an item
// shows) or free; a released index is reused by the next image added.
//
// An image is a bitmap (scaled to the list's size) or an icon; the list keeps
// its own copy, so the caller keeps its handle.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>

struct GadgetImageList {
    HIMAGELIST handle;  // the common-controls list; entry 0 is the placeholder
    uint8_t* inUse;     // one mark per entry (1: in use); entry 0 always 1
    int32_t count;      // entries in `handle` and marks in `inUse`
    int32_t capacity;   // marks allocated in `inUse`
};

// A list holding only the placeholder, on the main heap; null on failure.
GadgetImageList* GadgetImageListCreate();
// Adds a copy of the image and returns its index (1 or more), or -1 when the
// image is neither a bitmap nor an icon or no room can be had.
int32_t GadgetImageListAdd(GadgetImageList* list, intptr_t image);
// Frees an index for reuse. Index 0, an index out of range or one not in use
// is ignored.
void GadgetImageListRelease(GadgetImageList* list, int32_t index);
// Back to the placeholder alone.
void GadgetImageListEmpty(GadgetImageList* list);
// Destroys the list; null is ignored.
void GadgetImageListFree(GadgetImageList* list);
