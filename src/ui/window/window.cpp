// Top-level windows: one class per window named after its number, the
// window flags decoded into styles, the inner size turned into an outer one,
// centring, and an accelerator table for Tab navigation.
#include "os/os.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"
#include "ui/window/event_queue.h"
#include "ui/window/window.h"
#include "ui/window/window_property.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts pass to the platform as they are");

namespace {

constexpr int32_t kTableGrowStep = 16;
// Flag bits that are no window style: the three lowest and WINDOW_NO_ACTIVATE.
constexpr uint32_t kStyleMask = 0xFDFFFFF8;
// What a tool window may not have: both boxes, created maximised or minimised.
constexpr uint32_t kToolMask = ~static_cast<uint32_t>(WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_MAXIMIZE | WS_MINIMIZE);

ObjectTable* WindowTable = nullptr;
HICON ClassIcon = nullptr;
HCURSOR ClassCursor = nullptr;

void WindowFreeCallback(intptr_t number) { WindowClose(number); }

// "WindowClass_" and the window number (or handle) as a signed decimal.
struct ClassName {
    wchar_t text[40];
    explicit ClassName(intptr_t number) { WindowNumberedName(text, L"WindowClass_", number); }
};

// The flags argument taken apart.
struct DecodedFlags {
    uint32_t style;
    DWORD exStyle;
    bool noGadgetList;
    bool invisible;
    bool noActivate;
};

DecodedFlags Decode(uint32_t flags) {
    DecodedFlags decoded{};
    uint32_t style = flags & ~WINDOW_NO_GADGET_LIST;
    decoded.noGadgetList = (flags & WINDOW_NO_GADGET_LIST) != 0;
    // A window asked for without any style still gets a title bar.
    if ((style & ~(WINDOW_CENTER_SCREEN | WINDOW_CENTER_PARENT | WINDOW_INVISIBLE)) == 0) style |= WS_CAPTION;
    decoded.invisible = (style & WINDOW_INVISIBLE) != 0;
    style &= ~WINDOW_INVISIBLE;
    decoded.noActivate = (style & WINDOW_NO_ACTIVATE) != 0;
    if (style & WINDOW_TOOL) {
        style = (style & kToolMask) | WS_CAPTION;
        decoded.exStyle = WS_EX_TOOLWINDOW;
    }
    decoded.style = style;
    return decoded;
}

int ShowCommand(const DecodedFlags& decoded) {
    if (decoded.style & WS_MAXIMIZE) return decoded.noActivate ? SW_SHOWNA : SW_SHOWMAXIMIZED;
    if (decoded.style & WS_MINIMIZE) return decoded.noActivate ? SW_SHOWMINNOACTIVE : SW_SHOWMINIMIZED;
    return decoded.noActivate ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL;
}

// Windows opened between WindowBuildBegin and WindowBuildEnd, waiting to be
// shown; past the last slot a window is shown at once.
struct PendingShow {
    HWND handle;
    int command;
};
constexpr int32_t kPendingShows = 4;
PendingShow PendingShows[kPendingShows];
int32_t PendingShowCount = 0;
bool Building = false;

WindowGadgetHooks GadgetHooks{};

void ShowOrDefer(HWND handle, int command) {
    if (Building && PendingShowCount < kPendingShows)
        PendingShows[PendingShowCount++] = PendingShow{handle, command};
    else
        ShowWindow(handle, command);
}

}  // namespace

int32_t WindowLayerInit() {
    WindowTable = ObjectTableCreate(sizeof(Window), kTableGrowStep, WindowFreeCallback);
    ClassIcon = LoadIconW(WindowModule(), MAKEINTRESOURCEW(1));
    ClassCursor = LoadCursorW(nullptr, IDC_ARROW);
    return WindowTable != nullptr;
}

Window* WindowLookup(intptr_t number) {
    return WindowTable ? static_cast<Window*>(ObjectTableLookup(WindowTable, number)) : nullptr;
}

intptr_t WindowOpen(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height, const char16_t* title,
                    uint32_t flags, HWND parent) {
    if (!WindowTable) return 0;
    // An open window of this number is closed here, through the table.
    auto* window = static_cast<Window*>(ObjectTableGetOrCreate(WindowTable, number));
    if (!window) return 0;
    const intptr_t id = number == AnyNumber ? reinterpret_cast<intptr_t>(window) : number;
    // Taken before anything is created, so that running out of memory leaves
    // nothing half made.
    auto* entries = static_cast<ACCEL*>(OsHeapAlloc(Process.mainHeap, 2 * sizeof(ACCEL)));
    if (!entries) {
        ObjectTableFreeObject(WindowTable, id);
        return 0;
    }

    const ClassName className(id);
    HINSTANCE module = WindowModule();
    WNDCLASSW windowClass{};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = WindowClassProc;
    windowClass.hInstance = module;
    windowClass.hIcon = ClassIcon;
    windowClass.hCursor = ClassCursor;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className.text;
    RegisterClassW(&windowClass);  // a failure shows as a failed creation

    const DecodedFlags decoded = Decode(flags);
    RECT outer{0, 0, width, height};
    AdjustWindowRectEx(&outer, decoded.style & ~7u, FALSE, decoded.exStyle);
    if (x == IgnoreValue || (y == IgnoreValue && !(flags & (WINDOW_CENTER_SCREEN | WINDOW_CENTER_PARENT)))) {
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
    }
    HWND handle = CreateWindowExW(decoded.exStyle, className.text, title ? reinterpret_cast<const wchar_t*>(title) : L"",
                                  decoded.style & kStyleMask, x, y, outer.right - outer.left, outer.bottom - outer.top,
                                  parent, nullptr, module, nullptr);
    if (!handle) {
        UnregisterClassW(className.text, module);
        OsHeapFree(Process.mainHeap, entries);
        ObjectTableFreeObject(WindowTable, id);
        return 0;
    }
    window->handle = handle;

    if (flags & (WINDOW_CENTER_SCREEN | WINDOW_CENTER_PARENT)) WindowCenter(handle, flags, parent);
    if (!decoded.invisible) ShowOrDefer(handle, ShowCommand(decoded));
    window->minOrMax = (decoded.style & (WS_MAXIMIZE | WS_MINIMIZE)) != 0;

    entries[0] = ACCEL{FVIRTKEY | FNOINVERT, VK_TAB, CMD_FOCUS_NEXT};
    entries[1] = ACCEL{FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, CMD_FOCUS_PREVIOUS};
    window->accelEntries = entries;
    window->accelCount = 2;
    window->accelTable = CreateAcceleratorTableW(entries, 2);

    if (!decoded.noGadgetList && GadgetHooks.listUse) GadgetHooks.listUse(reinterpret_cast<intptr_t>(handle));
    // Only now: messages of the first showing find no owning window.
    WindowPropertySet(handle, PROPERTY_WINDOW_ID, reinterpret_cast<HANDLE>(id + 1));
    return number == AnyNumber ? id : reinterpret_cast<intptr_t>(handle);
}

void WindowGadgetHooksSet(const WindowGadgetHooks& hooks) { GadgetHooks = hooks; }
const WindowGadgetHooks& WindowGadgetHooksGet() { return GadgetHooks; }

void WindowBuildBegin() { Building = true; }

void WindowBuildEnd() {
    Building = false;
    for (int32_t i = 0; i < PendingShowCount; ++i) {
        const PendingShow pending = PendingShows[i];
        // A window closed meanwhile has nothing left to show.
        const HANDLE id = WindowPropertyGet(pending.handle, PROPERTY_WINDOW_ID);
        if (!id) continue;
        // As in WindowOpen, the first showing's messages find no owning
        // window and raise no events.
        WindowPropertyRemove(pending.handle, PROPERTY_WINDOW_ID);
        ShowWindow(pending.handle, pending.command);
        WindowPropertySet(pending.handle, PROPERTY_WINDOW_ID, id);
    }
    PendingShowCount = 0;
}

void WindowCenter(HWND window, uint32_t flags, HWND parent) {
    RECT rect{};
    if (!GetWindowRect(window, &rect)) return;
    const int32_t width = rect.right - rect.left;
    const int32_t height = rect.bottom - rect.top;
    int32_t x = 0;
    int32_t y = 0;
    if (flags & WINDOW_CENTER_SCREEN) {
        const int32_t screenWidth = GetSystemMetrics(SM_CXSCREEN);
        const int32_t screenHeight = GetSystemMetrics(SM_CYSCREEN);
        x = (screenWidth - (width < screenWidth ? width : screenWidth)) / 2;
        y = (screenHeight - (height < screenHeight ? height : screenHeight)) / 2;
    } else if (flags & WINDOW_CENTER_PARENT) {
        // With neither a parent nor an active window there is nothing to
        // centre on, and the window keeps the position it was created at.
        HWND reference = parent ? parent : GetActiveWindow();
        RECT around{};
        if (!reference || reference == window || !GetWindowRect(reference, &around)) return;
        x = around.left + ((around.right - around.left) - width) / 2;
        y = around.top + ((around.bottom - around.top) - height) / 2;
        if (x < 0) x = 0;
        if (y < 0) y = 0;
    } else {
        return;
    }
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int32_t WindowClose(intptr_t number) {
    if (!WindowTable) return 0;
    if (number == AnyNumber) {
        ObjectTableFreeAll(WindowTable);
        return 1;
    }
    Window* window = WindowLookup(number);
    if (!window) return 0;
    HWND handle = window->handle;
    // An owned window goes with its owner without asking us, and its handle
    // may since name another window: only a window that still carries this
    // number is ours to destroy. The record and the class go either way.
    if (WindowPropertyGet(handle, PROPERTY_WINDOW_ID) == reinterpret_cast<HANDLE>(number + 1)) {
        if (HWND owner = GetWindow(handle, GW_OWNER)) SetActiveWindow(owner);
        // Gone before destruction: its messages no longer find the number.
        WindowPropertyRemove(handle, PROPERTY_WINDOW_ID);
        DestroyWindow(handle);
    }
    UnregisterClassW(ClassName(number).text, WindowModule());
    if (window->accelEntries) {
        OsHeapFree(Process.mainHeap, window->accelEntries);
        DestroyAcceleratorTable(window->accelTable);
    }
    EventPurgeWindow(number);
    EventBindingsDropWindow(number);
    ObjectTableFreeObject(WindowTable, number);
    return 1;
}

void WindowFreeAll() {
    if (WindowTable) ObjectTableFreeAll(WindowTable);
}
