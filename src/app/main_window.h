// The main window: window 0 with the port choice, the invert option, the
// eight LED boxes and the Send button. The gadget numbers are how the main
// loop and the Send handler find the controls again.
#pragma once

#include <cstdint>

constexpr intptr_t MAIN_WINDOW = 0;

enum MainWindowGadget : int32_t {
    GADGET_PORT_LABEL = 0,  // text "Порт"
    GADGET_PORT = 1,        // combo box, "COM1" to "COM10"
    GADGET_INVERT = 2,      // check box "Инвертировать"
    GADGET_LED_PANEL = 3,   // container holding the LED boxes and the button
    GADGET_LED_1 = 4,       // check box "Led k" is gadget GADGET_LED_1 + k - 1, k = 1..8
    GADGET_SEND = 12,       // button "Отправить"
};

constexpr int32_t LED_COUNT = 8;

// Opens window 0 at (x, y) with the given inner size (the window is centred
// on the screen, so x and y only matter to the window layer) and builds its
// gadgets; the first port is preselected, every box is clear. Returns 0,
// having built no gadget, when the window cannot be opened.
int32_t BuildMainWindow(int32_t x, int32_t y, int32_t width, int32_t height);
