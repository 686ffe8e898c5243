// One run of shiftlamp-send: opens the port once, sends every frame with
// its holds and repeats, closes the port, and says how it went.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/frame_plan.h"
#include "cli/frame_source.h"
#include "cli/port_problem.h"
#include "cli/send_input.h"

struct SendSettings {
    std::string port;           // as the user named it, for messages
    std::u16string devicePath;  // what the serial layer opens; unused by a dry run
    bool invert = false;
    int registers = 1;          // chained, eight LEDs each
    double stepMs = 10;
    double holdMs = 0;          // for frames that do not name their own
    int64_t repeat = 1;         // 0: until interrupted
    std::string tracePath;      // empty: no VCD
    bool dryRun = false;        // print the changes with their planned times, open nothing
};

// The longest run the program times, about 285 years: its clock counts
// nanoseconds from the run's start in 64 bits, and a run planned past it
// is refused rather than let the count wrap.
constexpr int64_t MAX_RUN_NS = 9000000000000000000;

// The longest `frames`, sent `settings.repeat` times, can take, in ns (as a
// double, which does not wrap).
double LongestRunNs(const SendSettings& settings, const std::vector<Frame>& frames);

// The plan of one frame of a run: its steps (PlanFrame) `stepMs` apart,
// then its own hold or else `holdMs`. `previous`: the pattern of the frame
// before in this run, null for the first after the port opened;
// `together`: the port sets DTR and RTS in one call.
FramePlan PlanSend(const Frame& frame, bool invert, double stepMs, double holdMs, const Pattern* previous,
                   bool together);

// The end of a run whose last frame went out whole: the clock down, where
// the frames leave it, then PlanRest.
FramePlan PlanEnd(bool invert, double stepMs);

// Says on `err` why the frames stopped coming before the run began or
// while it ran (BAD, FAILED, or INTERRUPTED with no frame sent), and
// returns the exit status that goes with it.
int InputStopped(const SendSettings& settings, FrameSource::Result stop, const std::string& problem, std::FILE* err);

// Runs the whole transfer: each frame planned and carried out by a runner
// (send_runner.h), live or dry, then the rest (PlanEnd) unless a line
// failed; messages go to `err` (one line on failure), a dry run's changes
// to `out`. Returns the exit status. The serial layer must be initialised.
int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err);
