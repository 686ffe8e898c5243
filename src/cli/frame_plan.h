// The line changes of one frame: eight bits a register clocked into a chain
// of 74HC595s (RTS data, DTR shift clock, TXD break latch), the last LED
// first, then the latch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cli/send_input.h"

// One device step: the lines in `mask` (LINE_BIT_*) go to the levels of the
// same bits of `levels`, in one call where the platform can.
struct LineStep {
    int32_t mask;
    int32_t levels;
};

// The steps of a frame. `dataBefore`: the RTS level the run's last frame
// left (DataLevel of its LED 1), or -1 for the first frame after the port
// opened, which idles the latch before anything else, since a driver may
// have set the break (or raised DTR) at open, and always sets RTS for its
// first bit. Each bit goes out with the clock's return to idle and is
// shifted in by its rise, so the frame ends with the clock up: the next
// frame's first bit brings it down, or ClockDown at the end of the run.
// `together`: DTR and RTS change in one call, 16N + 3 steps for a first
// frame of N registers, 16N + 2 after. Otherwise one line a step, and data
// changes only where the bit differs from the one before: 16N + 2 steps
// after the first, and one more for each change of level.
std::vector<LineStep> PlanFrame(const Pattern& pattern, bool invert, bool together, int32_t dataBefore);

// The RTS level (0 or LINE_BIT_RTS) that carries LED `led` (1 to 8N) of
// `pattern`.
int32_t DataLevel(const Pattern& pattern, size_t led, bool invert);

// The most steps a frame of `registers` takes.
inline size_t MostFrameSteps(int registers) { return 24 * static_cast<size_t>(registers) + 4; }

// The step that brings the clock down after the last frame, which left it
// up, before the run's rest.
LineStep ClockDown(bool invert);

// The levels at which the register sees each line low: all clear, or all
// set with an inverting stage.
int32_t IdleLevels(bool invert);

// The changes that end a run whose last frame went out whole: DTR and the
// break go clear, the levels a driver that clears the lines at close leaves
// them at, so that the close makes no edge the register would take. Nothing
// without invert, where clear already is idle. With invert the break goes
// first (the register latches the same contents again), then DTR (a shift
// that no latch follows). RTS stays: clearing it at close moves only data.
std::vector<LineStep> PlanRest(bool invert);

// A frame as a run carries it out: its steps, one `stepNs` apart from the
// frame's start, and the hold after the last one.
struct FramePlan {
    Pattern pattern;
    bool rest;  // the end of the run (PlanRest), not a frame
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
