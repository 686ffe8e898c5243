// Real input for Win32 tests: mouse and keyboard events through SendInput,
// as a person makes them. Under Xvfb without a window manager a window's
// screen rectangle is where it shows, so GetWindowRect gives click points.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

// Moves the pointer to a screen point without pressing a button.
inline void MoveMouseTo(int x, int y) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = (x * 65535 + (width - 1) / 2) / (width - 1);
    input.mi.dy = (y * 65535 + (height - 1) / 2) / (height - 1);
    input.mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof(INPUT));
}

// Keeps the pointer at the screen's corner, off every window, so that no
// tooltip covers a control.
inline void MoveMouseAway() { MoveMouseTo(0, 0); }

// A left click at a screen point.
inline void ClickAt(int x, int y) {
    MoveMouseTo(x, y);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
}

inline void ClickCentre(HWND window) {
    RECT rectangle{};
    GetWindowRect(window, &rectangle);
    ClickAt((rectangle.left + rectangle.right) / 2, (rectangle.top + rectangle.bottom) / 2);
}

// Key strokes: each key goes down in order, then all come up in reverse
// order ({VK_MENU, VK_F4} is Alt+F4).
inline void PressKeys(std::initializer_list<WORD> keys) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.end(); key != keys.begin();) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *--key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}
