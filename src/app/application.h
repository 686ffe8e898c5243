// The program's life: the layers brought up in a fixed order, the main
// window, the main loop, and the layers taken down again. Kept apart from
// the process entry so that tests can run each stage in-process.
#pragma once

#include <cstdint>

// Start-up: the process values (module handle, main heap), every layer in
// its order, then the main window. Returns non-zero when the main window
// stands; 0 when a layer or the window could not be had, and then
// ApplicationEnd takes down exactly what did start.
int32_t ApplicationInit();

// Hands "Отправить" to the Send handler until the window is asked to close
// (close button, Alt+F4, system menu); every other event is ignored.
void ApplicationMainLoop();

// Shutdown: closes any port, the tooltip control and the windows, then the
// remaining layers and the main heap, in their fixed order. Only the layers
// that started are taken down; a second call does nothing.
void ApplicationEnd();

// The whole run: start-up, the main loop when the window stands, shutdown.
// Returns the process exit code, always 0: a window that cannot be created
// ends the program at once, with nothing to report it in.
int32_t ApplicationRun();
