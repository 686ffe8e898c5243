// What a press of "Отправить" does.
#pragma once

// Reads the chosen port, the invert option and the LED boxes of the main
// window afresh, clocks the LEDs into the register and, when the port cannot
// be opened, says so in a message box. Runs on the thread that owns the
// window; during the transfer no message is handled.
void SendHandler();
