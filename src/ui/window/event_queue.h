// The event queue: every event of the system is recorded here (EventPost),
// handed out one at a time (EventNext) and offered to the event bindings, a
// keyed map of callback lists looked up under five keys per event.
//
// Single GUI thread, no lock. Events are often recorded from inside
// window-system calls that send messages synchronously, so every operation
// finishes its changes to the queue before it calls out to a binding.
//
// This file is portable (it is tested natively); the rest of the window
// layer is Win32.
#pragma once

#include <cstdint>

struct KeyedMap;

enum EventCode : int32_t {
    EVENT_GADGET = 13100,              // gadget: control number; type: notification or the kind's own type
    EVENT_MENU_COMMAND = 13101,        // gadget: command identifier
    EVENT_WINDOW_ACTIVATED = 13104,
    EVENT_WINDOW_MINIMIZED = 13107,
    EVENT_WINDOW_MAXIMIZED = 13108,
    EVENT_WINDOW_RESTORED = 13109,
    EVENT_TIMER = 13110,               // gadget: timer identifier
    EVENT_RIGHT_BUTTON_UP = 13111,
    EVENT_LEFT_BUTTON_UP = 13112,
    EVENT_LEFT_DOUBLE_CLICK = 13113,
    EVENT_WINDOW_DEACTIVATED = 13114,
    EVENT_BACKGROUND_ERASED = 13115,
    EVENT_CLOSE_WINDOW = 13116,        // gadget: the window number too
    EVENT_WINDOW_MOVED = 13117,        // gadget: the window number too
    EVENT_WINDOW_SIZED = 13118,
};

// EventPost flag: queue the event even while events are suppressed.
constexpr int32_t EVENT_FORCE = 1;

// One queued event, a node from the state's pool.
struct QueuedEvent {
    QueuedEvent* next;  // the next newer event, or null
    int32_t code;
    int32_t flags;      // as posted; bit 0: EVENT_FORCE
    intptr_t gadget;    // gadget field
    intptr_t window;    // window number or handle; -1 while no owning window is known
    int32_t type;       // type field
};

struct ElementPool;

struct EventState {
    ElementPool* pool;         // QueuedEvent nodes: private, unguarded
    QueuedEvent* head;         // oldest queued event, or null
    QueuedEvent* tail;         // newest queued event, or null
    int32_t suppression;       // while non-zero, events posted without EVENT_FORCE are dropped
    int32_t currentCode;       // 0 after a fetch that found the queue empty
    intptr_t currentWindow;
    intptr_t currentGadget;    // what EventGadgetId returns
    int32_t currentType;       // -1 after a fetch that found the queue empty
};

// The binding map, keyed "code:window:gadget:type" in ASCII (-1: any value).
// Created empty by the event layer's start-up; the system itself adds no
// binding.
extern KeyedMap* EventBindingMap;

// Creates the event state and its node pool. Once, at start-up, before any
// other operation here. Returns 0 when memory is exhausted.
int32_t EventStateInit();
EventState* EventStateGet();

// Records an event: merged into the newest queued one when all four fields
// equal it (codes below 65536 only), dropped while suppressed unless flags
// has EVENT_FORCE, and dropped too when no node can be had. Then the event's
// bindings run with it as the current event.
void EventPost(int32_t code, intptr_t gadget, intptr_t window, int32_t type, int32_t flags = 0);

// Makes the oldest queued event the current one and returns its code, or 0
// when the queue is empty (the current window and gadget then stay those of
// the last event taken, and the current type becomes -1).
int32_t EventNext();
intptr_t EventGadgetId();

void EventSuppressBegin();
void EventSuppressEnd();

// Removes every queued event whose four fields match; -1 matches any value.
void EventPurge(int32_t code, intptr_t gadget, intptr_t window, int32_t type);
// Removes every queued event of a window.
void EventPurgeWindow(intptr_t window);

// Runs the callbacks bound under the key of these four values. A callback
// may drop bindings (close a window), its own included: a binding dropped
// during the run is not called, and its memory outlives the run.
void EventBindingsRun(int32_t code, intptr_t window, intptr_t gadget, int32_t type);
// Removes every binding entry of a window.
void EventBindingsDropWindow(intptr_t window);

// Binding entries: the map's elements.
using EventCallback = void (*)();
struct EventBindingNode {
    EventBindingNode* next;  // the next binding of the same key, or null
    EventCallback callback;
};
struct EventBindingEntry {
    EventBindingNode* head;  // the callbacks, in calling order
    intptr_t window;         // the window the bindings belong to
};

// Appends a callback under the key of these four values (-1: any). The
// system itself binds nothing; this is the way in for extensions and tests.
// Returns 0 when memory is exhausted, with nothing changed.
int32_t EventBindingAdd(int32_t code, intptr_t window, intptr_t gadget, int32_t type, EventCallback callback);
