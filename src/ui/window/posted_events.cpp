#include "ui/window/posted_events.h"

#include "os/os.h"
#include "runtime/keyed_map.h"
#include "runtime/process_values.h"
#include "ui/window/event_queue.h"

namespace {

HWND HiddenWindow = nullptr;
UINT PostMessageNumber = 0;

// A record in flight: posted by this process and not yet received. The
// hidden window is a top-level window that any process can find and post
// to, so a message's lParam is taken as a record only when it is one of
// these; any other value is never read nor freed. Senders may run on other
// threads, hence the lock.
struct PendingRecord {
    PostedEventRecord record;  // first: the record's address is the allocation's
    PendingRecord* next;
};
PendingRecord* Pending = nullptr;
OnceWord PendingOnce = ONCE_IDLE;
OsLock PendingLock;

void PendingLockInit() { OsLockInit(&PendingLock); }

// Unlinks and returns the pending record posted as `lParam`, or null.
PendingRecord* TakePending(LPARAM lParam) {
    RunOnce(&PendingOnce, PendingLockInit);
    OsLockEnter(&PendingLock);
    PendingRecord** link = &Pending;
    while (*link && reinterpret_cast<LPARAM>(&(*link)->record) != lParam) link = &(*link)->next;
    PendingRecord* taken = *link;
    if (taken) *link = taken->next;
    OsLockLeave(&PendingLock);
    return taken;
}

// Queues every record that arrives, even while events are suppressed: it was
// sent on purpose by code that holds no window of its own.
LRESULT CALLBACK PostedEventWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (PostMessageNumber != 0 && message == PostMessageNumber && lParam != 0) {
        if (PendingRecord* pending = TakePending(lParam)) {
            const PostedEventRecord& record = pending->record;
            EventPost(record.code, record.gadget, record.window, record.type, EVENT_FORCE);
            OsHeapFree(Process.mainHeap, pending);
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int32_t PostedEventLayerInit() {
    auto instance = static_cast<HINSTANCE>(Process.moduleHandle ? Process.moduleHandle : GetModuleHandleW(nullptr));
    WNDCLASSW windowClass{};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = PostedEventWindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"PostEventClass";
    RegisterClassW(&windowClass);
    HiddenWindow = CreateWindowExW(0, L"PostEventClass", nullptr, WS_CAPTION, 0, 0, 1, 1, nullptr, nullptr, instance,
                                   nullptr);
    PostMessageNumber = RegisterWindowMessageW(L"ZK_PostEventMessage");
    if (!EventStateInit()) return 0;
    return KeyedMapCreate(sizeof(EventBindingEntry), 7, nullptr, &EventBindingMap, 1024) != nullptr;
}

void PostedEventLayerEnd() {
    if (HiddenWindow) DestroyWindow(HiddenWindow);
    HiddenWindow = nullptr;
    // Messages still in flight went with the window; so do their records.
    RunOnce(&PendingOnce, PendingLockInit);
    OsLockEnter(&PendingLock);
    while (PendingRecord* pending = Pending) {
        Pending = pending->next;
        OsHeapFree(Process.mainHeap, pending);
    }
    OsLockLeave(&PendingLock);
}

int32_t PostedEventSend(int32_t code, int32_t gadget, int32_t window, int32_t type) {
    if (!HiddenWindow) return 0;
    auto* pending = static_cast<PendingRecord*>(OsHeapAlloc(Process.mainHeap, sizeof(PendingRecord)));
    if (!pending) return 0;
    pending->record.code = code;
    pending->record.flags = EVENT_FORCE;
    pending->record.gadget = gadget;
    pending->record.window = window;
    pending->record.type = type;
    RunOnce(&PendingOnce, PendingLockInit);
    OsLockEnter(&PendingLock);
    pending->next = Pending;
    Pending = pending;
    OsLockLeave(&PendingLock);
    if (PostMessageW(HiddenWindow, PostMessageNumber, 0, reinterpret_cast<LPARAM>(&pending->record))) return 1;
    // Not posted: nobody will receive it.
    if (TakePending(reinterpret_cast<LPARAM>(&pending->record))) OsHeapFree(Process.mainHeap, pending);
    return 0;
}

HWND PostedEventWindow() { return HiddenWindow; }
UINT PostedEventMessage() { return PostMessageNumber; }
