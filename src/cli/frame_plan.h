// The line changes of one frame: eight bits clocked into the 74HC595 (RTS
// data, DTR shift clock, TXD break latch), LED 8 first, then the latch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One device step: the lines in `mask` (LINE_BIT_*) go to the levels of the
// same bits of `levels`, in one call where the platform can.
struct LineStep {
    int32_t mask;
    int32_t levels;
};

// The steps of a frame. `first`: the first frame after the port opened,
// which idles the clock and the latch before anything else, since a driver
// may have raised DTR (or set the break) at open. `together`: DTR and RTS
// can change in one call, so each data bit goes out with the clock's return
// to idle (the register samples data only on the clock's rising edge):
// 20 steps for a first frame, 19 after. Otherwise one line per step, in the
// window's order: 28 steps for a first frame, 26 after.
std::vector<LineStep> PlanFrame(uint8_t pattern, bool invert, bool first, bool together);

// A frame as a run carries it out: its steps, one `stepNs` apart from the
// frame's start, and the hold after the last one.
struct FramePlan {
    uint8_t pattern;
    std::vector<LineStep> steps;
    int64_t stepNs;
    int64_t holdNs;
    // When step k is due, from the frame's start; At(steps.size()) is where
    // the frame's last step ends.
    int64_t At(size_t k) const { return static_cast<int64_t>(k) * stepNs; }
};

// The three lines by name, in the order of the trace's wires.
struct LineName {
    int32_t bit;  // LINE_BIT_*
    const char* name;
};
constexpr size_t LINE_COUNT = 3;
extern const LineName LINE_NAMES[LINE_COUNT];
