#include "cli/send_run.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/send_runner.h"
#include "serial/serial_port.h"

namespace {

int64_t NsOf(double ms) { return static_cast<int64_t>(std::llround(ms * 1e6)); }

void Say(std::FILE* err, const std::string& text) { std::fprintf(err, "shiftlamp-send: %s\n", text.c_str()); }

}  // namespace

double LongestRunNs(const SendSettings& settings, const std::vector<Frame>& frames) {
    // Every frame at its longest, one line at a time; then the rest's
    // three.
    const double frameMs = static_cast<double>(MostFrameSteps(settings.registers)) * settings.stepMs;
    double roundMs = 0;
    for (const Frame& frame : frames) roundMs += frameMs + (frame.holdMs >= 0 ? frame.holdMs : settings.holdMs);
    return (static_cast<double>(settings.repeat) * roundMs + 3 * settings.stepMs) * 1e6;
}

FramePlan PlanSend(const Frame& frame, bool invert, double stepMs, double holdMs, const Pattern* previous,
                   bool together) {
    const int32_t dataBefore = previous ? DataLevel(*previous, 1, invert) : -1;
    return FramePlan{frame.pattern, false, PlanFrame(frame.pattern, invert, together, dataBefore),
                     NsOf(stepMs),
                     NsOf(frame.holdMs >= 0 ? frame.holdMs : holdMs)};
}

FramePlan PlanEnd(bool invert, double stepMs) {
    std::vector<LineStep> steps{ClockDown(invert)};
    for (const LineStep& step : PlanRest(invert)) steps.push_back(step);
    return FramePlan{Pattern(), true, steps, NsOf(stepMs), 0};
}

int InputStopped(const SendSettings& settings, FrameSource::Result stop, const std::string& problem, std::FILE* err) {
    switch (stop) {
        case FrameSource::BAD: Say(err, problem); return EXIT_USAGE;
        case FrameSource::FAILED: Say(err, problem); return EXIT_IO;
        default: Say(err, settings.port + ": interrupted before any frame was sent"); return EXIT_INTERRUPTED;
    }
}

int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err) {
    // Opening the port may move its lines: not after an interrupt.
    if (CliInterrupted()) return InputStopped(settings, FrameSource::INTERRUPTED, std::string(), err);
    Trace trace;
    std::string problem;
    if (!trace.Open(settings.tracePath, NsOf(settings.stepMs), &problem)) {
        Say(err, problem);
        return EXIT_IO;
    }
    std::unique_ptr<FrameRunner> runner;
    if (settings.dryRun) runner = std::make_unique<DryRunner>(out);
    const bool together = SerialPortSetsLinesTogether() != 0;
    auto lineFailed = [&runner] { return runner && runner->Failure().lines; };

    // Why the run ended, when it was not the end of its frames.
    FrameSource::Result stop = FrameSource::END;
    bool tooLong = false;
    int64_t dueNs = 0;  // when the next frame is due
    int64_t frameCount = 0;
    Frame last{};  // the last frame started
    for (int64_t round = 0; settings.repeat == 0 || round < settings.repeat; ++round) {
        if (round > 0) frames.Rewind();
        Frame frame{};
        int64_t roundFrames = 0;
        while ((stop = CliInterrupted() ? FrameSource::INTERRUPTED : frames.Next(&frame, &problem)) ==
               FrameSource::FRAME) {
            // A frame adds at most a day's hold and 24N + 4 steps of a second.
            if (dueNs > MAX_RUN_NS) {
                tooLong = true;
                break;
            }
            if (!runner) {
                // The port opens once there is a frame to send, and that
                // frame then goes out whole whatever arrives: opening moves
                // the lines, and a run that ended before its first frame
                // would leave them wherever the open put them.
                if (!PortOpenForLines(settings.devicePath)) {
                    PortProblem open = PortOpenProblem(settings.port, settings.devicePath);
                    Say(err, settings.port + ": " + open.text);
                    return open.status;
                }
                runner = std::make_unique<LiveRunner>(PORT_NUMBER, settings.invert);
            }
            FramePlan plan = PlanSend(frame, settings.invert, settings.stepMs, settings.holdMs,
                                      frameCount == 0 ? nullptr : &last.pattern, together);
            ++frameCount;
            ++roundFrames;
            last = frame;
            dueNs = runner->Run(plan, dueNs, &trace) + plan.holdNs;
            if (lineFailed()) break;
            if (!runner->Wait(dueNs)) {
                stop = FrameSource::INTERRUPTED;
                break;
            }
        }
        if (stop != FrameSource::END || tooLong || lineFailed() || roundFrames == 0) break;
    }
    const bool frameFailed = lineFailed();
    const FramePlan rest = PlanEnd(settings.invert, settings.stepMs);
    if (frameCount > 0 && !frameFailed && !rest.steps.empty()) {
        // After an interrupt the rest comes at once, not at the end of the
        // hold the interrupt cut short.
        const bool atOnce = stop == FrameSource::INTERRUPTED && !settings.dryRun;
        dueNs = std::max(dueNs, runner->Run(rest, atOnce ? 0 : dueNs, &trace));
    }
    const bool traced = trace.Close(runner ? runner->Finish(dueNs) : dueNs);
    const std::string lastFrame = "frame " + std::to_string(frameCount) + " (" + PatternText(last.pattern) + ")";

    if (lineFailed()) {
        const LineFailure& failure = runner->Failure();
        std::string what = !frameFailed      ? "every frame went out whole, but the lines could not be put at rest: "
                           : failure.latched ? lastFrame + " was latched, but then "
                                             : lastFrame + " was not latched: ";
        Say(err, settings.port + ": " + what + LineProblem(failure.lines, failure.error, failure.code).text);
        return EXIT_IO;
    }
    if (stop == FrameSource::BAD || stop == FrameSource::FAILED) return InputStopped(settings, stop, problem, err);
    if (tooLong) {
        Say(err, settings.port + ": frame " + std::to_string(frameCount + 1) +
                     " would start after more years than a run can be timed for (285); stopped before it");
        return EXIT_USAGE;
    }
    if (!traced) {
        Say(err, settings.tracePath + ": the trace could not be written whole");
        return EXIT_IO;
    }
    if (stop == FrameSource::INTERRUPTED) {
        if (!frameCount) return InputStopped(settings, stop, problem, err);
        Say(err, settings.port + ": interrupted; " + lastFrame + " was sent whole");
        return EXIT_INTERRUPTED;
    }
    return EXIT_DONE;
}
