#include "app/main_window.h"

#include "platform/text_scratch.h"
#include "ui/gadget/gadget.h"
#include "ui/window/window.h"

namespace {

// Title bar, system menu with its close button and a minimise box, centred
// on the screen; neither a maximise box nor a sizing border, since the
// layout is fixed.
constexpr uint32_t MAIN_WINDOW_FLAGS = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WINDOW_CENTER_SCREEN;
static_assert(MAIN_WINDOW_FLAGS == 0xCA0001, "the main window's flags");

constexpr int32_t PORT_COUNT = 10;

// Builds `prefix` followed by the decimal `number` in the scratch area and
// hands it to `use`; nothing keeps the text afterwards.
template <typename Use>
void WithNumberedText(const char16_t* prefix, int32_t number, Use use) {
    const int32_t mark = TextScratch().position;
    TextScratchAppend(prefix);
    TextScratchAppendNumber(number);
    TextScratchReserve(1, TextScratch().position);  // keeps the terminator out of reach
    use(TextScratchAt(mark));
    TextScratchSetPosition(mark);
}

int32_t BuildMainWindowContents(int32_t x, int32_t y, int32_t width, int32_t height) {
    // Without the window the gadgets would have no parent: build none.
    if (!WindowOpen(MAIN_WINDOW, x, y, width, height, u"Shiftlamp", MAIN_WINDOW_FLAGS)) return 0;

    GadgetCreateText(GADGET_PORT_LABEL, 8, 12, 36, 16, u"Порт");

    GadgetCreateComboBox(GADGET_PORT, 44, 8, 92, 20);
    GadgetSetToolTip(GADGET_PORT, u"COM порт к которому подключено устройство");
    for (int32_t port = 1; port <= PORT_COUNT; ++port)
        WithNumberedText(u"COM", port, [](const char16_t* text) { GadgetAddItem(GADGET_PORT, -1, text); });
    GadgetSetState(GADGET_PORT, 0);

    GadgetCreateCheckBox(GADGET_INVERT, 8, 32, 108, 16, u"Инвертировать");
    GadgetSetToolTip(GADGET_INVERT, u"Инвертировать состояние выходов порта");

    // The container becomes the current gadget list: the LED boxes and the
    // button go inside it, in one column with the button at its lower right.
    GadgetCreateContainer(GADGET_LED_PANEL, 0, 52, 212, 176);
    for (int32_t k = 0; k < LED_COUNT; ++k) {
        WithNumberedText(u"Led ", k + 1, [k](const char16_t* text) {
            GadgetCreateCheckBox(GADGET_LED_1 + k, 8, 8 + 20 * k, 80, 16, text);
        });
    }
    GadgetCreateButton(GADGET_SEND, 124, 136, 84, 28, u"Отправить");
    GadgetSetToolTip(GADGET_SEND, u"Отправить данные в COM порт");
    GadgetListClose();
    return 1;
}

}  // namespace

int32_t BuildMainWindow(int32_t x, int32_t y, int32_t width, int32_t height) {
    // Shown once every gadget is in it.
    WindowBuildBegin();
    const int32_t built = BuildMainWindowContents(x, y, width, height);
    WindowBuildEnd();
    return built;
}
