// The container gadget: a plain child window of the layer's own class
// "VelaContainer" that holds further gadgets. It becomes the current gadget
// list when created (and again through OpenList), and passes its messages to
// the window layer's procedure, so the gadgets inside it raise the same
// events as in a window. Its back brush lives in window extra slot 0.
#include <windows.h>

#include "ui/gadget/gadget_kinds.h"
#include "ui/window/window.h"

namespace {

// Kind field: the back colour (COLORREF, or -1 for the class's button-face
// background).
int32_t BackColour(const Gadget* gadget) { return static_cast<int32_t>(gadget->kindFields[0]); }

HBRUSH BackBrush(HWND window) { return reinterpret_cast<HBRUSH>(GetWindowLongPtrW(window, 0)); }

// Every resize is announced, also while events are suppressed and also
// during the container's own creation (identifier -1 then).
void OnSize(HWND window) { GadgetPostEvent(window, 0, 1); }

// Paints the back colour, or leaves the class background to the default.
LRESULT OnEraseBackground(HWND window, WPARAM wParam, LPARAM lParam) {
    HBRUSH brush = BackBrush(window);
    if (!brush) return DefWindowProcW(window, WM_ERASEBKGND, wParam, lParam);
    RECT client{};
    GetClientRect(window, &client);
    FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
    return 0;
}

void RegisterContainerClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ContainerWindowProc;
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    windowClass.hInstance = GadgetInstance();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = CONTAINER_CLASS;
    RegisterClassExW(&windowClass);
}

void ContainerOpenList(Gadget* gadget, intptr_t) { GadgetListPush(gadget->window); }

// Only the back colour; -1 returns to the class background.
void ContainerSetColour(Gadget* gadget, int32_t colourType, int32_t colour) {
    if (colourType != COLOUR_BACK) return;
    HBRUSH old = BackBrush(gadget->window);
    if (old) BrushCacheRelease(old);
    HBRUSH brush = colour == -1 ? nullptr : BrushCacheAcquire(static_cast<COLORREF>(colour));
    SetWindowLongPtrW(gadget->window, 0, reinterpret_cast<LONG_PTR>(brush));
    gadget->kindFields[0] = colour;
    RedrawWindow(gadget->window, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_ERASE | RDW_FRAME);
}

int32_t ContainerGetColour(Gadget* gadget, int32_t colourType) {
    return colourType == COLOUR_BACK ? BackColour(gadget) : -1;
}

void ContainerRelease(Gadget* gadget) {
    HBRUSH brush = BackBrush(gadget->window);
    if (brush) BrushCacheRelease(brush);
    SetWindowLongPtrW(gadget->window, 0, 0);
}

const GadgetKind* ContainerKind() {
    static const GadgetKind kind = [] {
        GadgetKind k{};
        k.type = GADGET_TYPE_CONTAINER;
        k.Release = ContainerRelease;
        k.OpenList = ContainerOpenList;
        k.SetColour = ContainerSetColour;
        k.GetColour = ContainerGetColour;
        return k;
    }();
    return &kind;
}

void ContainerFill(Gadget* gadget, void*) { gadget->kindFields[0] = -1; }

}  // namespace

LRESULT CALLBACK ContainerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        OnSize(window);
        break;
    case WM_ERASEBKGND:
        return OnEraseBackground(window, wParam, lParam);
    default:
        break;
    }
    return CallWindowProcW(WindowClassProc, window, message, wParam, lParam);
}

intptr_t GadgetCreateContainer(intptr_t number, int32_t x, int32_t y, int32_t width, int32_t height, int32_t flags) {
    // Registered once; a failed registration is not tried again, and the
    // creation below then fails.
    static bool registered = false;
    if (!registered) {
        RegisterContainerClass();
        registered = true;
    }
    DWORD style = 0;
    DWORD exStyle = 0;
    if (flags & CONTAINER_BORDER)
        style = WS_BORDER;
    else if (flags & CONTAINER_DIALOG_FRAME)
        style = WS_DLGFRAME;
    else if (flags & CONTAINER_STATIC_EDGE)
        exStyle = WS_EX_STATICEDGE;
    else if (flags & CONTAINER_CLIENT_EDGE)
        exStyle = WS_EX_CLIENTEDGE;

    const intptr_t created = GadgetCreate(number, ContainerKind(), exStyle, CONTAINER_CLASS, nullptr,
                                          style | WS_CHILD | WS_VISIBLE, x, y, width, height, ContainerFill, nullptr);
    HWND window = GadgetCreatedWindow(number, created);
    if (!window) return created;
    SetClassLongPtrW(window, GCLP_HBRBACKGROUND, COLOR_BTNFACE + 1);
    SetWindowLongPtrW(window, 0, 0);
    GadgetListPush(window);
    InvalidateRect(window, nullptr, TRUE);
    return created;
}
