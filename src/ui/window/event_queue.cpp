#include "ui/window/event_queue.h"


#include "os/os.h"
#include "runtime/element_pool.h"
#include "runtime/keyed_map.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"

KeyedMap* EventBindingMap = nullptr;

namespace {

EventState* State = nullptr;

// A callback may close a window and so drop bindings, its own and those the
// running loop would visit next. While any run is under way dropped nodes
// are kept, without their callback, on this chain (through next) and freed
// when the outermost run is over: a run never follows a freed link, and a
// binding dropped during it is never called.
int32_t RunDepth = 0;
EventBindingNode* DroppedNodes = nullptr;

void FreeNodeChain(EventBindingNode* node) {
    while (node) {
        EventBindingNode* next = node->next;
        OsHeapFree(Process.mainHeap, node);
        node = next;
    }
}

void EventStateCreatePool(void* record) {
    // Private and unguarded: the queue lives on the GUI thread alone.
    static_cast<EventState*>(record)->pool = ElementPoolCreate(sizeof(QueuedEvent), 16, 256, 2);
}

bool Matches(intptr_t wanted, intptr_t value) { return wanted == -1 || wanted == value; }

// Writes the signed decimal form of `value` at `out` and returns the end.
char* AppendDecimal(char* out, int64_t value) {
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (value < 0) *out++ = '-';
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

// The key under which bindings of these four values are stored,
// "code:window:gadget:type"; four signed decimals of at most 20 characters
// each and three colons fit the buffer with room to spare. Formatted by hand:
// every event formats five keys.
void FormatKey(char (&key)[96], int32_t code, intptr_t window, intptr_t gadget, int32_t type) {
    char* out = AppendDecimal(key, code);
    *out++ = ':';
    out = AppendDecimal(out, window);
    *out++ = ':';
    out = AppendDecimal(out, gadget);
    *out++ = ':';
    out = AppendDecimal(out, type);
    *out = 0;
}

void FreeBindingNodes(EventBindingEntry* entry) {
    EventBindingNode* head = entry->head;
    entry->head = nullptr;
    if (!head) return;
    if (RunDepth == 0) {
        FreeNodeChain(head);
        return;
    }
    EventBindingNode* tail = head;
    for (;; tail = tail->next) {
        tail->callback = nullptr;
        if (!tail->next) break;
    }
    tail->next = DroppedNodes;
    DroppedNodes = head;
}

}  // namespace

int32_t EventStateInit() {
    State = static_cast<EventState*>(StateRecordGet(StateRecordCreate(sizeof(EventState), EventStateCreatePool)));
    if (State && !State->pool) State = nullptr;
    return State != nullptr;
}

EventState* EventStateGet() { return State; }

void EventPost(int32_t code, intptr_t gadget, intptr_t window, int32_t type, int32_t flags) {
    if (State->suppression != 0 && !(flags & EVENT_FORCE)) return;

    QueuedEvent* tail = State->tail;
    bool merged = tail && code < 65536 && tail->code == code && tail->gadget == gadget && tail->window == window &&
                  tail->type == type;
    if (!merged) {
        // Without a node the event cannot be queued; its bindings still run.
        if (auto* node = static_cast<QueuedEvent*>(ElementPoolAlloc(State->pool))) {
            *node = QueuedEvent{nullptr, code, flags, gadget, window, type};
            if (tail)
                tail->next = node;
            else
                State->head = node;
            State->tail = node;
        }
    }

    // The bindings see the event being recorded as the current one.
    int32_t savedCode = State->currentCode;
    intptr_t savedWindow = State->currentWindow;
    intptr_t savedGadget = State->currentGadget;
    int32_t savedType = State->currentType;
    State->currentCode = code;
    State->currentWindow = window;
    State->currentGadget = gadget;
    State->currentType = type;
    EventBindingsRun(code, window, gadget, type);
    EventBindingsRun(code, window, gadget, -1);
    EventBindingsRun(code, window, -1, -1);
    EventBindingsRun(code, -1, -1, -1);
    EventBindingsRun(code, -1, gadget, type);
    State->currentCode = savedCode;
    State->currentWindow = savedWindow;
    State->currentGadget = savedGadget;
    State->currentType = savedType;
}

int32_t EventNext() {
    State->currentCode = 0;
    State->currentType = -1;
    QueuedEvent* node = State->head;
    if (!node) return 0;
    State->head = node->next;
    if (State->tail == node) State->tail = nullptr;
    State->currentCode = node->code;
    State->currentGadget = node->gadget;
    State->currentWindow = node->window;
    State->currentType = node->type;
    ElementPoolFree(State->pool, node);
    return State->currentCode;
}

intptr_t EventGadgetId() { return State->currentGadget; }

void EventSuppressBegin() { ++State->suppression; }
void EventSuppressEnd() { --State->suppression; }

namespace {

// Unlinks and returns to the pool every queued event `matches` accepts.
template <typename Match>
void RemoveQueued(Match matches) {
    QueuedEvent* previous = nullptr;
    QueuedEvent* node = State->head;
    while (node) {
        QueuedEvent* next = node->next;
        if (matches(*node)) {
            if (previous)
                previous->next = next;
            else
                State->head = next;
            if (State->tail == node) State->tail = previous;
            ElementPoolFree(State->pool, node);
        } else {
            previous = node;
        }
        node = next;
    }
}

}  // namespace

void EventPurge(int32_t code, intptr_t gadget, intptr_t window, int32_t type) {
    RemoveQueued([&](const QueuedEvent& event) {
        return Matches(code, event.code) && Matches(gadget, event.gadget) && Matches(window, event.window) &&
               Matches(type, event.type);
    });
}

void EventPurgeWindow(intptr_t window) {
    // -1 is a real window field here (no owner known yet), not a wildcard.
    RemoveQueued([&](const QueuedEvent& event) { return event.window == window; });
}

void EventBindingsRun(int32_t code, intptr_t window, intptr_t gadget, int32_t type) {
    if (!EventBindingMap) return;
    char key[96];
    FormatKey(key, code, window, gadget, type);
    auto* entry = static_cast<EventBindingEntry*>(KeyedMapFindAnsi(EventBindingMap, key));
    if (!entry) return;
    ++RunDepth;
    // Nodes stay allocated until the outermost run ends, so the link is read
    // after the call; a dropped node has no callback.
    for (EventBindingNode* node = entry->head; node; node = node->next)
        if (node->callback) node->callback();
    if (--RunDepth == 0) {
        FreeNodeChain(DroppedNodes);
        DroppedNodes = nullptr;
    }
}

void EventBindingsDropWindow(intptr_t window) {
    if (!EventBindingMap) return;
    KeyedMapIterReset(EventBindingMap);
    while (auto* entry = static_cast<EventBindingEntry*>(KeyedMapIterNext(EventBindingMap))) {
        if (entry->window == window) {
            FreeBindingNodes(entry);
            KeyedMapDeleteCurrent(EventBindingMap);
        }
    }
}

int32_t EventBindingAdd(int32_t code, intptr_t window, intptr_t gadget, int32_t type, EventCallback callback) {
    if (!EventBindingMap || !callback) return 0;
    char key[96];
    FormatKey(key, code, window, gadget, type);
    auto* node = static_cast<EventBindingNode*>(OsHeapAlloc(Process.mainHeap, sizeof(EventBindingNode)));
    if (!node) return 0;
    node->callback = callback;

    auto* entry = static_cast<EventBindingEntry*>(KeyedMapFindAnsi(EventBindingMap, key));
    if (!entry) {
        char16_t wideKey[96];
        for (int i = 0; i < 96; ++i) {
            wideKey[i] = static_cast<unsigned char>(key[i]);
            if (!key[i]) break;
        }
        entry = static_cast<EventBindingEntry*>(KeyedMapAdd(EventBindingMap, wideKey, 0));
        if (!entry) {
            OsHeapFree(Process.mainHeap, node);
            return 0;
        }
        entry->window = window;
    }
    EventBindingNode** link = &entry->head;
    while (*link) link = &(*link)->next;
    *link = node;
    return 1;
}
