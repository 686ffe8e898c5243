// The values every layer reads, set once at process start.
#pragma once

#include <cstdint>

struct OsHeap;

struct ProcessValues {
    OsHeap* mainHeap;      // every layer's records; created before any layer starts
    void* moduleHandle;    // the executable's own module (an HINSTANCE on Win32)
    int32_t currentEvent;  // the last code EventWait returned; 0 before the first
};

// Zero-filled before anything else runs.
extern ProcessValues Process;
