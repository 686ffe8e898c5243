// The module the window layer creates its classes and windows in, and the
// numbered names it gives them. A leaf of the layer: the window table and
// the property table both build on it, and it depends on neither.
#pragma once

#include <windows.h>

#include <cstdint>

// The module whose classes and windows the layers create: the process's
// module handle, or the executable's when none was set.
HINSTANCE WindowModule();

// PREFIX followed by NUMBER as a signed decimal, into TEXT (room for the
// prefix and 21 more characters). The whole pointer-sized number is written:
// in a 64-bit process a handle does not fit an int, and two handles must not
// give one name.
void WindowNumberedName(wchar_t* text, const wchar_t* prefix, intptr_t number);
