#include "app/transfer.h"

#include "app/transfer_testing.h"
#include "platform/delay.h"
#include "serial/serial_port.h"

namespace {

constexpr intptr_t PORT_NUMBER = 0;
constexpr int32_t STEP_MS = 10;

TransferDelayFn Delay = DelayMs;

// One line change and the wait that follows it. A line that refuses to
// switch does not stop the sequence: the rest still runs and the port is
// still closed, so the port is never left open behind a failed call.
void Step(int32_t line, int32_t level, int32_t* result) {
    if (!SerialPortSetLine(PORT_NUMBER, line, level)) *result = TRANSFER_LINE_FAILED;
    Delay(STEP_MS);
}

}  // namespace

void TransferUseDelay(TransferDelayFn delay) { Delay = delay ? delay : DelayMs; }

int32_t TransferToRegister(const char16_t* portName, int32_t invert, LedStateFn ledState, void* context) {
    // The timer period is in force before the port opens, so that the first
    // step is as long as every other and the port is not held open while
    // the period is asked for.
    DelayPrepare();
    if (!SerialPortOpen(PORT_NUMBER, portName, 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255))
        return TRANSFER_NOT_OPENED;
    int32_t result = TRANSFER_DONE;

    // Invert serves wiring with an inverting stage between the port and the
    // register: every level is complemented, so the register itself still
    // sees clocks that idle low.
    const int32_t idle = invert & 1;
    const int32_t active = (invert ^ 1) & 1;

    // The clock and the latch start at whatever level opening left them.
    // Drivers commonly raise DTR on open: a clock already active would give
    // the first pulse no rising edge and LED 8 would be lost. With invert,
    // the break starts released, which is the latch's active level, and the
    // latch pulse would have no rising edge. Idling both first gives every
    // pulse its edge; a change to idle is a falling edge, which the register
    // ignores.
    Step(LINE_DTR, idle, &result);
    Step(LINE_TXD, idle, &result);

    // LED 8 first: after eight shifts LED 1 sits on QA, LED 8 on QH. Each
    // state is asked for just before its bit goes on the data line.
    // Without a source of states every LED is off rather than a crash.
    for (int32_t led = 8; led >= 1; --led) {
        int32_t state = ledState ? ledState(led, context) : 0;
        Step(LINE_RTS, (state ^ invert) & 1, &result);
        Step(LINE_DTR, active, &result);
        Step(LINE_DTR, idle, &result);
    }
    Step(LINE_TXD, active, &result);
    Step(LINE_TXD, idle, &result);

    // Many drivers clear DTR and the break when the port closes (Linux does
    // for every tty with HUPCL, its default). With invert their idle level is
    // set, so that clearing would be a rising clock and a rising latch at the
    // register: the frame shifted by one place on the outputs. Bringing both
    // to clear here leaves the close no edge to make: the latch first (a
    // second latch of the same contents), then the clock (a shift with no
    // latch after it). Without invert they already rest clear.
    if (idle) {
        Step(LINE_TXD, 0, &result);
        Step(LINE_DTR, 0, &result);
    }

    SerialPortClose(PORT_NUMBER);
    return result;
}
