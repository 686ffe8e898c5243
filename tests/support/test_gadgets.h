// Small gadget kinds of the tests' own over standard controls, so that the
// core, the gadget lists and the window layer can be tested without the
// product's kinds: a push button, a check box (both "Button") and a
// container (a child window class whose procedure hands every message to
// WindowClassProc), and a kind whose class does not exist.
#pragma once

#include <windows.h>

#include "ui/gadget/gadget_core.h"
#include "ui/window/event_queue.h"
#include "ui/window/window.h"

// What the test kinds were asked to do.
struct TestKindLog {
    int releases = 0;
    int parentMessages = 0;
    bool consumeCommands = false;                       // ParentMessage answers WM_COMMAND itself
    void (*onRelease)(Gadget*) = nullptr;               // runs inside Release
};
inline TestKindLog KindLog;

namespace test_gadgets {

inline LRESULT ParentMessage(Gadget*, HWND, UINT message, WPARAM, LPARAM) {
    ++KindLog.parentMessages;
    return message == WM_COMMAND && KindLog.consumeCommands ? 0 : NOT_HANDLED;
}

// kindFields[0]: the back brush from the cache, or null.
inline void Release(Gadget* gadget) {
    ++KindLog.releases;
    if (KindLog.onRelease) KindLog.onRelease(gadget);
    BrushCacheRelease(reinterpret_cast<HBRUSH>(gadget->kindFields[0]));
}

inline void SetColour(Gadget* gadget, int32_t type, int32_t colour) {
    if (type != COLOUR_BACK) return;
    BrushCacheRelease(reinterpret_cast<HBRUSH>(gadget->kindFields[0]));
    gadget->kindFields[0] = colour == -1 ? 0 : reinterpret_cast<intptr_t>(BrushCacheAcquire(colour));
}

inline int32_t GetState(Gadget* gadget) {
    return SendMessageW(gadget->window, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Raises a notification of its own, as a combo box does when it is
// changed: the accessors must keep it out of the queue.
inline void SetState(Gadget* gadget, int32_t state) {
    SendMessageW(gadget->window, BM_SETCHECK, state ? BST_CHECKED : BST_UNCHECKED, 0);
    GadgetPostEvent(gadget->window, 768, 0);
}

inline int32_t AddItem(Gadget* gadget, int32_t, const char16_t*, intptr_t) {
    GadgetPostEvent(gadget->window, 768, 0);
    return 1;
}

inline GadgetKind ButtonKind() {
    GadgetKind kind{};
    kind.type = GADGET_TYPE_BUTTON;
    kind.ParentMessage = ParentMessage;
    kind.Release = Release;
    kind.GetState = GetState;
    kind.SetState = SetState;
    kind.AddItem = AddItem;
    kind.SetColour = SetColour;
    return kind;
}
inline const GadgetKind Button = ButtonKind();

inline GadgetKind ContainerKind() {
    GadgetKind kind{};
    kind.type = GADGET_TYPE_CONTAINER;
    kind.Release = Release;
    return kind;
}
inline const GadgetKind Container = ContainerKind();

constexpr wchar_t kContainerClass[] = L"ShiftlampTestContainer";

inline LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcW(WindowClassProc, window, message, wParam, lParam);
}

inline void PushContainer(Gadget* gadget, void*) { GadgetListPush(gadget->window); }

}  // namespace test_gadgets

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

inline intptr_t TestButton(intptr_t number, int x, int y, const char16_t* text = u"button",
                           DWORD style = BS_PUSHBUTTON | kChild) {
    return GadgetCreate(number, &test_gadgets::Button, 0, L"Button", text, style, x, y, 80, 24, nullptr, nullptr);
}

inline intptr_t TestCheckBox(intptr_t number, int x, int y, const char16_t* text = u"check") {
    return TestButton(number, x, y, text, BS_CHECKBOX | kChild);
}

// Also makes the container the current gadget list.
inline intptr_t TestContainer(intptr_t number, int x, int y, int width, int height) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = test_gadgets::ContainerProc;
        windowClass.hInstance = WindowModule();
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = test_gadgets::kContainerClass;
        registered = RegisterClassW(&windowClass) != 0;
    }
    return GadgetCreate(number, &test_gadgets::Container, 0, test_gadgets::kContainerClass, nullptr,
                        WS_CHILD | WS_VISIBLE, x, y, width, height, test_gadgets::PushContainer, nullptr);
}

// A creation whose CreateWindowExW fails: the class does not exist.
inline intptr_t TestBrokenGadget(intptr_t number) {
    return GadgetCreate(number, &test_gadgets::Button, 0, L"NoSuchClassAnywhere", u"", kChild, 0, 0, 10, 10,
                        nullptr, nullptr);
}
