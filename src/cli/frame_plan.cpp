#include "cli/frame_plan.h"

#include "serial/serial_port.h"

const LineName LINE_NAMES[LINE_COUNT] = {{LINE_BIT_DTR, "DTR"}, {LINE_BIT_RTS, "RTS"}, {LINE_BIT_TXD, "TXD_BREAK"}};

int32_t IdleLevels(bool invert) { return invert ? LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD : 0; }

std::vector<LineStep> PlanRest(bool invert) {
    if (!invert) return {};
    return {{LINE_BIT_TXD, 0}, {LINE_BIT_DTR, 0}};
}

LineStep ClockDown(bool invert) { return {LINE_BIT_DTR, IdleLevels(invert)}; }

std::vector<LineStep> PlanFrame(const Pattern& pattern, bool invert, bool together, int32_t dataBefore) {
    // With an inverting stage between port and register every level is
    // complemented, so the register still sees clocks that idle low.
    const int32_t idle = IdleLevels(invert);
    const int32_t active = ~idle & (LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD);
    auto data = [&](size_t led) { return DataLevel(pattern, led, invert); };
    const size_t leds = 8 * pattern.size();

    std::vector<LineStep> steps;
    // A driver may have raised DTR or set the break at open: the latch goes
    // idle first, and the first bit brings the clock down.
    if (dataBefore < 0) steps.push_back({LINE_BIT_TXD, idle});
    int32_t rts = dataBefore;
    for (size_t led = leds; led >= 1; --led) {
        // The clock falls (or stays idle) as the next bit goes out; the
        // register samples data only on the clock's rising edge.
        if (together) {
            steps.push_back({LINE_BIT_DTR | LINE_BIT_RTS, (idle & LINE_BIT_DTR) | data(led)});
        } else {
            steps.push_back({LINE_BIT_DTR, idle});
            // Where data already stands at the bit's level, a request would
            // only cost time (a millisecond a request on a USB adapter).
            if (rts != data(led)) steps.push_back({LINE_BIT_RTS, data(led)});
        }
        rts = data(led);
        steps.push_back({LINE_BIT_DTR, active});
    }
    steps.push_back({LINE_BIT_TXD, active});
    steps.push_back({LINE_BIT_TXD, idle});
    return steps;
}

int32_t DataLevel(const Pattern& pattern, size_t led, bool invert) {
    return (((pattern[(led - 1) / 8] >> ((led - 1) % 8)) & 1) ? LINE_BIT_RTS : 0) ^ (IdleLevels(invert) & LINE_BIT_RTS);
}
