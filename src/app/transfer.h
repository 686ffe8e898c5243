// The shift-register transfer: clocks eight LED states into a 74HC595 wired
// to a serial port's modem-control lines (RTS: data, DTR: shift clock, TXD
// break: latch), 10 ms between line changes. No character is ever sent.
#pragma once

#include <cstdint>

// The wanted level of LED k (1..8) before inversion; only bit 0 counts.
// Asked at the moment LED k's bit is about to go on the data line.
using LedStateFn = int32_t (*)(int32_t led, void* context);

// What TransferToRegister did. Every result but TRANSFER_NOT_OPENED means
// the port opened and the whole sequence ran.
enum TransferResult : int32_t {
    TRANSFER_NOT_OPENED = 0,    // the port could not be opened; no line was touched
    TRANSFER_DONE = 1,          // every line switched
    TRANSFER_LINE_FAILED = 2,   // at least one line refused to switch
};

// Opens serial port object 0 on `portName`, clocks the eight states in (LED 8
// first) and latches them, then closes the port. DTR and the break are left
// clear before the close, the level a closing driver leaves them at, so
// the outputs keep the frame whatever the driver clears: with invert that
// takes two steps more (30 instead of 28). A line that refuses to switch
// does not stop the sequence; it only changes the result.
int32_t TransferToRegister(const char16_t* portName, int32_t invert, LedStateFn ledState, void* context);
