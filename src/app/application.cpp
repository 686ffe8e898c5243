#include "app/application.h"

#include <windows.h>

#include "app/main_window.h"
#include "app/send_handler.h"
#include "os/os.h"
#include "platform/startup_win32.h"
#include "platform/text_scratch.h"
#include "runtime/keyed_map.h"
#include "runtime/process_values.h"
#include "serial/serial_port.h"
#include "ui/gadget/gadget.h"
#include "ui/window/event_queue.h"
#include "ui/window/posted_events.h"
#include "ui/window/window.h"

namespace {

constexpr size_t MAIN_HEAP_INITIAL_SIZE = 4096;
constexpr int32_t MAIN_WINDOW_WIDTH = 216;
constexpr int32_t MAIN_WINDOW_HEIGHT = 228;

// The start-up steps, in their order. Shutdown consults how far start-up
// got, so a program that stopped half-way takes down only what exists.
enum StartUpStep : int32_t {
    STEP_NONE = 0,
    STEP_MAIN_HEAP,
    STEP_TEXT_SCRATCH,
    STEP_MAP_HOOKS,
    STEP_EVENT_LAYER,
    STEP_TLS_SLOT,
    STEP_SPARE_HEAP,
    STEP_STATE_BLOCK,
    STEP_IMAGES,
    STEP_PLATFORM_PROBES,
    STEP_WINDOW_LAYER,
    STEP_GADGET_LAYER,
    STEP_COMMON_CONTROLS,
    STEP_SERIAL_PORTS,
    STEP_MAIN_WINDOW,
};

// The last step that was begun. A step is counted before its routine runs:
// a routine that reports failure may have made part of its resources (the
// event layer its hidden window, say), and its shutdown routine takes down
// whatever part exists.
StartUpStep Started = STEP_NONE;

bool Reached(StartUpStep step) { return Started >= step; }

// Begins a step; false when its routine reports failure.
template <typename Routine>
bool Begin(StartUpStep step, Routine routine) {
    Started = step;
    return routine() != 0;
}

}  // namespace

int32_t ApplicationInit() {
    Started = STEP_NONE;
    Process = ProcessValues{};
    Process.moduleHandle = GetModuleHandleW(nullptr);
    Process.mainHeap = OsHeapCreate(MAIN_HEAP_INITIAL_SIZE);
    if (!Process.mainHeap) return 0;
    Started = STEP_MAIN_HEAP;

    // Only memory running out makes a routine fail. Start-up ends there: the
    // layers above would build on a missing table, and the program has no
    // window yet to say anything in.
    auto always = [](void (*routine)()) {
        return [routine] {
            routine();
            return 1;
        };
    };
    return Begin(STEP_TEXT_SCRATCH, TextScratchInit) &&
           Begin(STEP_MAP_HOOKS, always(MapHooksInit)) &&
           Begin(STEP_EVENT_LAYER, PostedEventLayerInit) &&
           Begin(STEP_TLS_SLOT, always(TlsSlotInit)) &&
           Begin(STEP_SPARE_HEAP, always(SpareHeapInit)) &&
           Begin(STEP_STATE_BLOCK, always(StateBlockInit)) &&
           Begin(STEP_IMAGES, always(ImageInit)) &&
           Begin(STEP_PLATFORM_PROBES, always(PlatformProbeInit)) &&
           Begin(STEP_WINDOW_LAYER, WindowLayerInit) &&
           Begin(STEP_GADGET_LAYER, GadgetInit) &&
           Begin(STEP_COMMON_CONTROLS, always(CommonControlsInit)) &&
           Begin(STEP_SERIAL_PORTS, SerialPortInit) &&
           Begin(STEP_MAIN_WINDOW, [] { return BuildMainWindow(0, 0, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT); });
}

void ApplicationMainLoop() {
    for (;;) {
        Process.currentEvent = EventWait();
        if (Process.currentEvent == EVENT_GADGET && EventGadgetId() == GADGET_SEND) SendHandler();
        // The window layer turns every close request into this event and
        // leaves the window standing; shutdown destroys it.
        if (Process.currentEvent == EVENT_CLOSE_WINDOW) return;
    }
}

void ApplicationEnd() {
    if (Reached(STEP_SERIAL_PORTS)) SerialPortEnd();
    // The tooltip control goes before the windows whose controls it watches.
    if (Reached(STEP_GADGET_LAYER)) GadgetToolTipEnd();
    // The gadgets go with their windows.
    if (Reached(STEP_WINDOW_LAYER)) WindowFreeAll();
    if (Reached(STEP_PLATFORM_PROBES)) PlatformProbeEnd();
    if (Reached(STEP_IMAGES)) ImageEnd();
    if (Reached(STEP_EVENT_LAYER)) {
        PostedEventLayerEnd();
        // Not needed for safety (the shared-pool registry outlives the main
        // heap by itself); freed so that its pool's reference goes too.
        KeyedMapFree(EventBindingMap);
    }
    if (Reached(STEP_SPARE_HEAP)) SpareHeapEnd();
    // Texts may be freed by every layer above, so the text heap goes last
    // but for the main heap.
    if (Reached(STEP_TEXT_SCRATCH)) TextScratchEnd();
    if (Reached(STEP_MAIN_HEAP)) {
        OsHeapDestroy(Process.mainHeap);
        Process.mainHeap = nullptr;
    }
    Started = STEP_NONE;
}

int32_t ApplicationRun() {
    if (ApplicationInit()) ApplicationMainLoop();
    ApplicationEnd();
    return 0;
}
