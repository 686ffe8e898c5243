// Gadget lists: the current parent of new gadgets, the stack of containers
// open around it, and one saved context per top-level window, so that
// switching windows and back finds the first window's open containers as
// they were.
#include "os/os.h"
#include "runtime/process_values.h"
#include "ui/gadget/gadget_core.h"
#include "ui/window/window_property.h"

namespace {

constexpr int32_t kStackStep = 10;

// The top-level window in which the current gadget list lies.
HWND RootOf(const GadgetListState* state) { return state->count > 0 ? state->stack[0] : state->current; }

}  // namespace

GadgetListSaved* GadgetListSavedOf(HWND window) {
    if (!window) return nullptr;
    return static_cast<GadgetListSaved*>(WindowPropertyGet(window, PROPERTY_GADGET_LIST));
}

intptr_t GadgetListUse(intptr_t windowHandle) {
    GadgetListState* state = GadgetListStateGet();
    if (!state) return 0;
    HWND oldRoot = RootOf(state);
    HWND window = reinterpret_cast<HWND>(windowHandle);
    if (!window) return reinterpret_cast<intptr_t>(oldRoot);

    // The old root takes its context along. A root without a record (one
    // that could not be allocated) loses its context; the array stays for
    // the next one.
    if (auto* saved = static_cast<GadgetListSaved*>(oldRoot ? WindowPropertyGet(oldRoot, PROPERTY_GADGET_LIST) : nullptr)) {
        if (saved->savedStack && saved->savedStack != state->stack) OsHeapFree(Process.mainHeap, saved->savedStack);
        saved->savedCurrent = state->current;
        saved->savedStack = state->stack;
        saved->savedCount = state->count;
        saved->savedCapacity = state->capacity;
        state->stack = nullptr;
    }

    if (auto* saved = static_cast<GadgetListSaved*>(WindowPropertyGet(window, PROPERTY_GADGET_LIST))) {
        if (state->stack) OsHeapFree(Process.mainHeap, state->stack);
        state->current = saved->savedCurrent;
        state->stack = saved->savedStack;
        state->count = saved->savedCount;
        state->capacity = saved->savedStack ? saved->savedCapacity : 0;
        saved->savedStack = nullptr;
        return reinterpret_cast<intptr_t>(oldRoot);
    }

    if (!state->stack) {
        state->stack = static_cast<HWND*>(OsHeapAlloc(Process.mainHeap, sizeof(HWND) * kStackStep));
        state->capacity = state->stack ? kStackStep : 0;
    }
    state->count = 0;
    state->current = window;
    auto* saved = static_cast<GadgetListSaved*>(OsHeapAlloc(Process.mainHeap, sizeof(GadgetListSaved)));
    if (saved) {
        saved->window = window;
        if (WindowPropertySet(window, PROPERTY_GADGET_LIST, saved)) {
            saved->previousProc = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GadgetListWindowProc)));
        } else {
            OsHeapFree(Process.mainHeap, saved);
        }
    }
    return reinterpret_cast<intptr_t>(oldRoot);
}

LRESULT CALLBACK GadgetListWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* saved = static_cast<GadgetListSaved*>(WindowPropertyGet(window, PROPERTY_GADGET_LIST));
    if (!saved) return DefWindowProcW(window, message, wParam, lParam);
    const WNDPROC previous = saved->previousProc;

    if (message == WM_NCDESTROY) {
        // The active context dies with its root; its array stays for the
        // next window made current.
        GadgetListState* state = GadgetListStateGet();
        if (state && saved->window == RootOf(state)) {
            state->current = nullptr;
            state->count = 0;
        }
        if (saved->savedStack) OsHeapFree(Process.mainHeap, saved->savedStack);
        OsHeapFree(Process.mainHeap, saved);
        WindowPropertyRemove(window, PROPERTY_GADGET_LIST);
    }
    return previous ? CallWindowProcW(previous, window, message, wParam, lParam)
                    : DefWindowProcW(window, message, wParam, lParam);
}

void GadgetListPush(HWND parent) {
    GadgetListState* state = GadgetListStateGet();
    if (!state) return;
    if (!state->stack) state->capacity = state->count = 0;
    if (state->count >= state->capacity) {
        // Without room the container does not become current; nothing changes.
        const int32_t capacity = state->capacity + kStackStep;
        auto* stack = static_cast<HWND*>(
            OsHeapReAlloc(Process.mainHeap, state->stack, sizeof(HWND) * static_cast<size_t>(capacity)));
        if (!stack) return;
        state->stack = stack;
        state->capacity = capacity;
    }
    state->stack[state->count++] = state->current;
    state->current = parent;
}

void GadgetListClose() {
    GadgetListState* state = GadgetListStateGet();
    if (!state || state->count <= 0) return;
    --state->count;
    state->current = state->stack[state->count];
}
