// The runners that carry out a run's plan: live on the serial port, or dry,
// printing each change with its planned time. Both draw what they did in
// the trace. Times are nanoseconds from the start of the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/frame_plan.h"
#include "cli/port_problem.h"

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
    bool Open(const std::string& path, int64_t stepNs, std::string* problem);
    void Change(int64_t timeNs, LineStep step);
    // Marks a change of `lines` (LINE_BIT_*) that did not happen.
    void Failed(int64_t timeNs, int32_t lines);
    // False when the file could not be written whole.
    bool Close(int64_t timeNs);

private:
    std::FILE* file_ = nullptr;
    std::unique_ptr<VcdWriter> writer_;
    int64_t unitNs_ = 1000;
    int32_t levels_ = 0;     // the lines as last drawn
    int32_t known_ = 0;      // lines drawn at a level yet; the others are 'x'
    int64_t lastStamp_ = 0;  // of the last change drawn; the header is at 0
};

// The first line change that failed. Nothing more of its frame goes out
// (a latch now would show a frame nobody asked for); the clock and the
// latch that still answer go to idle, which the register never takes as an
// edge, and the port is closed before the failure is reported.
struct LineFailure {
    int32_t lines = 0;     // LINE_BIT_*; 0: none failed
    int32_t error = 0;     // SerialError, or LINE_STUCK (port_problem.h)
    int32_t code = 0;      // the platform's number for it; for LINE_STUCK the level asked for
    bool latched = false;  // the frame's latch had risen before the failure: the outputs show it
};

class FrameRunner {
public:
    virtual ~FrameRunner() = default;
    // Carries out `frame` from `dueNs` on (later if the runner is already
    // late, never sooner), drawing each change made in `trace`. Returns
    // when the frame's hold begins: one step after its last change, or
    // after that change returned where that is later; after a failed
    // change (Failure), when the run stopped.
    virtual int64_t Run(const FramePlan& frame, int64_t dueNs, Trace* trace) = 0;
    // Waits until `dueNs`; false when an interrupt ends the wait.
    virtual bool Wait(int64_t dueNs) = 0;
    // Ends the run (a live one closes the port); returns its last moment.
    virtual int64_t Finish(int64_t plannedEndNs) = 0;
    // The first change that failed; a dry run's never fail.
    const LineFailure& Failure() const { return failure_; }

protected:
    LineFailure failure_;
};

// On the port the serial layer holds open as `port`. Every change comes at
// the later of its planned time and one step after the change before it
// returned, so a delay stretches the frame and never crowds the changes
// after it.
class LiveRunner : public FrameRunner {
public:
    LiveRunner(intptr_t port, bool invert);
    int64_t Run(const FramePlan& frame, int64_t dueNs, Trace* trace) override;
    bool Wait(int64_t dueNs) override;
    int64_t Finish(int64_t plannedEndNs) override;

private:
    int64_t Now() const;
    // One change, one step after the last one returned at the earliest;
    // false when it failed.
    bool Change(int64_t deadline, LineStep step, Trace* trace);
    // After a change the device took: the lines of `step` whose level,
    // read back for the first time, is not the one set (kept as the
    // failure, LINE_STUCK, when it is the first). Each of DTR's and RTS's
    // two levels is read back the first time a run sets it, where the
    // driver reports them: a line that cannot move is found before it can
    // garble a latched frame, for at most four reads a run.
    int32_t Stuck(LineStep step);
    // After a failed change: the clock and the latch to idle, each where
    // it is not known to be there already.
    void IdleAfterFailure(Trace* trace);

    intptr_t port_;
    int32_t idle_;        // the lines' idle levels
    int32_t known_ = 0;   // lines whose level this run set
    int32_t checkedSet_ = 0;    // DTR and RTS: set and read back set (or not reported)
    int32_t checkedClear_ = 0;  // the same for clear
    bool latchRose_ = false;    // in the frame in progress
    int32_t levels_ = 0;  // their levels
    int64_t originNs_;  // the monotonic clock at the run's start
    int64_t lastNs_ = 0;  // when the last change returned
    int64_t stepNs_ = 0;  // of the frame in progress
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
