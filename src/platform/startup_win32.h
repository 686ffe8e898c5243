// Start-up and shutdown routines that belong to no other layer, the image
// table and the platform probes (Win32 only).
//
// Every routine runs once, on the GUI thread, in the program's fixed
// start-up and shutdown order; the records they make come from the main
// heap, which must exist first. A missing library or entry point is never
// an error: each probe falls back to its default, silently.
#pragma once

#include <cstdint>

#include "runtime/object_table.h"

// Inert resources: nothing in the program reads them, but they exist from
// start-up on.
extern uint32_t TlsSlot;    // the index TlsSlotInit took; never freed
extern void* SpareHeap;     // HeapCreate(0, 4096, 0); nothing allocates from it
extern void* StateBlock;    // 76 zero bytes on the main heap
void TlsSlotInit();
void SpareHeapInit();
void SpareHeapEnd();
void StateBlockInit();

// Images: 20-byte records whose first field is a bitmap or icon handle.
extern ObjectTable* ImageTable;
void ImageInit();
void ImageEnd();  // frees every image
// The table's FreeCallback: deletes the bitmap or destroys the icon of one
// image and makes the record absent; AnyNumber frees them all; a number
// without an image does nothing.
void ImageFree(intptr_t number);

// Capability probes.
extern void* AlphaBlendProc;       // msimg32's AlphaBlend, or null; null again after PlatformProbeEnd
extern int32_t NativeAlphaImages;  // 1: 32-bit images keep their alpha; 0: the mask comes from the alpha
                                   // channel (Windows 9x, NT before 5.1, or no visual styles)
extern int32_t CommonControlsVersion;   // major << 16 | minor once probed; 0 before
extern int32_t VisualStylesActive;       // 1 once the probe found themes on and common controls 6.0 or later
void PlatformProbeInit();
void PlatformProbeEnd();  // unloads msimg32
// 1 when visual styles are active (themes on and common controls 6.0 or
// later), else 0. Loads and unloads the libraries it asks.
int32_t ThemeProbe();
// The common-controls version, probed on the first call only; also sets
// VisualStylesActive and keeps uxtheme loaded for the rest of the process.
int32_t CommonControlsVersionProbe();

// Registers the common-control classes the gadgets need and initialises
// COM on this thread; neither result is looked at.
void CommonControlsInit();
