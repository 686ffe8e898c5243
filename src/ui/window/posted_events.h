// Posted events: a hidden window of class "PostEventClass" and the
// registered message "ZK_PostEventMessage" through which a heap record of an
// event reaches the GUI thread's queue. The layer's start-up also creates
// the event state and the empty binding map.
#pragma once

#include <windows.h>

#include <cstdint>

// A record handed to the hidden window; laid out like a queued event, seven
// 32-bit words. Allocated on the main heap by PostedEventSend; the receiver
// frees it. The receiver takes only records that PostedEventSend posted and
// that have not been received yet: any other message of this number (the
// hidden window can be reached from every process) is ignored.
struct PostedEventRecord {
    int32_t next;  // ignored
    int32_t code;
    int32_t flags;  // ignored: a posted event is always forced
    int32_t gadget;
    int32_t window;
    int32_t type;
    int32_t data;  // not used
};

// Start-up of the event layer. Returns 0 when the event state or the
// binding map cannot be had (the window parts are not checked).
int32_t PostedEventLayerInit();
void PostedEventLayerEnd();

// Hands an event to the GUI thread's queue through the hidden window; it is
// queued even while events are suppressed. Any thread may call it. Returns 0
// when memory is exhausted or the message could not be posted.
int32_t PostedEventSend(int32_t code, int32_t gadget, int32_t window, int32_t type);

HWND PostedEventWindow();
UINT PostedEventMessage();
