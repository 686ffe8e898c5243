// The runners that carry out a run's plan: live on the serial port, or dry,
// printing each change with its planned time. Both draw what they did in
// the trace. Times are nanoseconds from the start of the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/frame_plan.h"

class VcdWriter;

// The waveform of the three lines, or nothing. Its time unit is a
// microsecond, or a nanosecond for steps shorter than that; a change is
// never drawn on the stamp of the change before it, so that every pulse
// shows even where the plan gives them one time (a dry run at step 0).
class Trace {
public:
    Trace();
    ~Trace();
    // Nothing to open for an empty path; false with `problem` otherwise.
    bool Open(const std::string& path, bool invert, int64_t stepNs, std::string* problem);
    void Change(int64_t timeNs, LineStep step);
    // False when the file could not be written whole.
    bool Close(int64_t timeNs);

private:
    std::FILE* file_ = nullptr;
    std::unique_ptr<VcdWriter> writer_;
    int64_t unitNs_ = 1000;
    int32_t levels_ = 0;     // the lines as last drawn
    int64_t lastStamp_ = 0;  // of the last change drawn; the header is at 0
};

class FrameRunner {
public:
    virtual ~FrameRunner() = default;
    // Carries out `frame` from `dueNs` on (later if the runner is already
    // late, never sooner), drawing each change in `trace`. Returns when
    // the frame's hold begins: one step after its last change, or after
    // that change returned where that is later.
    virtual int64_t Run(const FramePlan& frame, int64_t dueNs, Trace* trace) = 0;
    // Waits until `dueNs`; false when an interrupt ends the wait.
    virtual bool Wait(int64_t dueNs) = 0;
    // Ends the run (a live one closes the port); returns its last moment.
    virtual int64_t Finish(int64_t plannedEndNs) = 0;
};

// The first line change that failed. The frame in progress still runs to
// its end, and the port is closed before it is reported.
struct LineFailure {
    int32_t lines = 0;  // LINE_BIT_*; 0: none failed
    int32_t error = 0;  // SerialError
    int32_t code = 0;   // the platform's number for it
};

// On the port the serial layer holds open as `port`. Every change comes at
// the later of its planned time and one step after the change before it
// returned, so a delay stretches the frame and never crowds the changes
// after it.
class LiveRunner : public FrameRunner {
public:
    explicit LiveRunner(intptr_t port);
    int64_t Run(const FramePlan& frame, int64_t dueNs, Trace* trace) override;
    bool Wait(int64_t dueNs) override;
    int64_t Finish(int64_t plannedEndNs) override;
    const LineFailure& Failure() const { return failure_; }

private:
    int64_t Now() const;

    intptr_t port_;
    int64_t originNs_;  // the monotonic clock at the run's start
    int64_t lastNs_ = 0;  // when the last change returned
    LineFailure failure_;
};

// On paper: "# frame N: 0xHH", then one line per change, its planned time
// in ms and each line's new level ("0.000 TXD_BREAK=0").
class DryRunner : public FrameRunner {
public:
    explicit DryRunner(std::FILE* out) : out_(out) {}
    int64_t Run(const FramePlan& frame, int64_t dueNs, Trace* trace) override;
    bool Wait(int64_t) override { return true; }
    int64_t Finish(int64_t plannedEndNs) override { return plannedEndNs; }

private:
    std::FILE* out_;
    int64_t frames_ = 0;
};
