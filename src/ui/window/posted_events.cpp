#include "ui/window/posted_events.h"

#include "os/os.h"
#include "runtime/keyed_map.h"
#include "runtime/process_values.h"
#include "ui/window/event_queue.h"

namespace {

HWND HiddenWindow = nullptr;
UINT PostMessageNumber = 0;

// Queues every record that arrives, even while events are suppressed: it was
// sent on purpose by code that holds no window of its own.
LRESULT CALLBACK PostedEventWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (PostMessageNumber != 0 && message == PostMessageNumber && lParam != 0) {
        auto* record = reinterpret_cast<PostedEventRecord*>(lParam);
        EventPost(record->code, record->gadget, record->window, record->type, EVENT_FORCE);
        OsHeapFree(Process.mainHeap, record);
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
}

HWND PostedEventWindow() { return HiddenWindow; }
UINT PostedEventMessage() { return PostMessageNumber; }
