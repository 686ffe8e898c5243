#include "cli/frame_plan.h"

#include "serial/serial_port.h"

const LineName LINE_NAMES[LINE_COUNT] = {{LINE_BIT_DTR, "DTR"}, {LINE_BIT_RTS, "RTS"}, {LINE_BIT_TXD, "TXD_BREAK"}};

std::vector<LineStep> PlanFrame(uint8_t pattern, bool invert, bool first, bool together) {
    // With an inverting stage between port and register every level is
    // complemented, so the register still sees clocks that idle low.
    const int32_t idle = invert ? LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD : 0;
    const int32_t active = ~idle & (LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD);
    auto data = [&](int led) { return (((pattern >> (led - 1)) & 1) ? LINE_BIT_RTS : 0) ^ (idle & LINE_BIT_RTS); };

    std::vector<LineStep> steps;
    if (together) {
        if (first) steps.push_back({LINE_BIT_TXD, idle});
        for (int led = 8; led >= 1; --led) {
            // The clock falls (or stays idle) as the next bit goes out.
            steps.push_back({LINE_BIT_DTR | LINE_BIT_RTS, (idle & LINE_BIT_DTR) | data(led)});
            steps.push_back({LINE_BIT_DTR, active});
        }
        steps.push_back({LINE_BIT_DTR, idle});
    } else {
        if (first) {
            steps.push_back({LINE_BIT_DTR, idle});
            steps.push_back({LINE_BIT_TXD, idle});
        }
        for (int led = 8; led >= 1; --led) {
            steps.push_back({LINE_BIT_RTS, data(led)});
            steps.push_back({LINE_BIT_DTR, active});
            steps.push_back({LINE_BIT_DTR, idle});
        }
    }
    steps.push_back({LINE_BIT_TXD, active});
    steps.push_back({LINE_BIT_TXD, idle});
    return steps;
}
