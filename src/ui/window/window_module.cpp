#include "ui/window/window_module.h"

#include "runtime/process_values.h"

HINSTANCE WindowModule() {
    return Process.moduleHandle ? static_cast<HINSTANCE>(Process.moduleHandle) : GetModuleHandleW(nullptr);
}

void WindowNumberedName(wchar_t* text, const wchar_t* prefix, intptr_t number) {
    while (*prefix) *text++ = *prefix++;
    // Digits from the magnitude as unsigned, so that the most negative
    // number has one too.
    uintptr_t magnitude = static_cast<uintptr_t>(number);
    if (number < 0) {
        *text++ = L'-';
        magnitude = 0 - magnitude;
    }
    wchar_t digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) *text++ = digits[--count];
    *text = 0;
}
