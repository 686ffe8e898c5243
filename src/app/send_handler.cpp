#include "app/send_handler.h"

#include "app/main_window.h"
#include "app/transfer.h"
#include "platform/text_scratch.h"
#include "ui/gadget/gadget.h"
#include "ui/window/message_box.h"

namespace {

// LED k's box, read at the moment the transfer puts its bit on the data
// line, so nothing is cached between presses.
int32_t LedBoxState(int32_t led, void*) { return GadgetGetState(GADGET_LED_1 + led - 1); }

// The box for a port that failed the user: `text` ends in a space, the
// port's name follows it directly.
void ShowPortError(const char16_t* text, const char16_t* portName) {
    const int32_t mark = TextScratch().position;
    TextScratchAppend(text);
    TextScratchAppend(portName);
    TextScratchReserve(1, TextScratch().position);  // keeps the terminator out of reach
    MessageBoxShow(u"", TextScratchAt(mark), 0);
    TextScratchSetPosition(mark);
}

}  // namespace

void SendHandler() {
    // The port name outlives the scratch area's next texts (the message is
    // built there), so it is committed into a text of its own.
    char16_t* portName = nullptr;
    const int32_t mark = TextScratch().position;
    GadgetGetText(GADGET_PORT);
    TextScratchCommit(&portName, mark);
    // A name that could not be kept is the empty name, which no port has.
    const char16_t* name = portName ? portName : u"";

    const int32_t invert = GadgetGetState(GADGET_INVERT) & 1;
    // A line that would not switch is shown like a port that would not
    // open, once the port is closed again: the LEDs were not set.
    switch (TransferToRegister(name, invert, LedBoxState, nullptr)) {
        case TRANSFER_NOT_OPENED:
            ShowPortError(u"Не удалось открыть порт ", name);
            break;
        case TRANSFER_LINE_FAILED:
            ShowPortError(u"Не удалось переключить линии порта ", name);
            break;
        default:
            break;
    }

    TextFree(portName);
}
