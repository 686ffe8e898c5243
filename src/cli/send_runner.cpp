#include "cli/send_runner.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "cli/cli_platform.h"
#include "os/os.h"
#include "serial/serial_port.h"
#include "waveform/vcd_writer.h"

namespace {

// Sleeps until OsMonotonicNs() reaches `deadlineNs`: the platform's sleep
// ends early by as much as its wake-ups come late, and the rest is waited
// out awake, reading the clock. With `interruptible` it returns false as
// soon as an interrupt arrives; otherwise it sleeps to the deadline
// whatever arrives, and returns true.
bool SleepUntil(int64_t deadlineNs, bool interruptible) {
    const int64_t wakeNs = deadlineNs - CLI_SLEEP_LATE_NS;
    if (OsMonotonicNs() < wakeNs) CliSleepAbout(wakeNs, interruptible);
    while (OsMonotonicNs() < deadlineNs) {
        if (interruptible && CliInterrupted()) return false;
    }
    return !(interruptible && CliInterrupted());
}

}  // namespace

Trace::Trace() = default;

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

bool Trace::Open(const std::string& path, int64_t stepNs, std::string* problem) {
    if (path.empty()) return true;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *problem = path + ": cannot write the trace: " + std::strerror(errno);
        return false;
    }
    unitNs_ = stepNs < 1000 ? 1 : 1000;
    writer_ = std::make_unique<VcdWriter>(file_, unitNs_ == 1 ? "1 ns" : "1 us");
    // Before the program first sets a line its level is whatever the
    // driver and the last user left (the break cannot even be read back):
    // the waveform says unknown rather than guess.
    for (const LineName& line : LINE_NAMES) writer_->AddUnknownSignal("shiftlamp", line.name, 1);
    writer_->Begin(0, "shiftlamp-send: DTR shift clock, RTS data, TXD_BREAK latch");
    return true;
}

void Trace::Change(int64_t timeNs, LineStep step) {
    if (!writer_ || !(((levels_ ^ step.levels) | ~known_) & step.mask)) return;
    levels_ = (levels_ & ~step.mask) | (step.levels & step.mask);
    known_ |= step.mask;
    int64_t stamp = std::max(timeNs / unitNs_, lastStamp_ + 1);
    lastStamp_ = stamp;
    for (size_t i = 0; i < LINE_COUNT; ++i) {
        if (step.mask & LINE_NAMES[i].bit)
            writer_->Change(stamp, static_cast<int>(i), (step.levels & LINE_NAMES[i].bit) ? 1 : 0);
    }
}

void Trace::Failed(int64_t timeNs, int32_t lines) {
    if (!writer_) return;
    int64_t stamp = std::max(timeNs / unitNs_, lastStamp_ + 1);
    lastStamp_ = stamp;
    writer_->Comment(stamp, LinesText(lines) + " could not be switched: the run stops here");
}

bool Trace::Close(int64_t timeNs) {
    if (!file_) return true;
    writer_->End(timeNs / unitNs_);
    bool ok = writer_->Ok();
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok;
}

LiveRunner::LiveRunner(intptr_t port, bool invert)
    : port_(port), idle_(IdleLevels(invert)), originNs_(OsMonotonicNs()) {}

int64_t LiveRunner::Now() const { return OsMonotonicNs() - originNs_; }

bool LiveRunner::Change(int64_t deadline, LineStep step, Trace* trace) {
    deadline = std::max(deadline, lastNs_ + stepNs_);
    if (stepNs_ > 0) SleepUntil(originNs_ + deadline, false);
    const bool done = SerialPortSetLines(port_, step.mask, step.levels) != 0;
    lastNs_ = Now();
    const int32_t stuck = done ? Stuck(step) : 0;
    if (done) {
        // A line set together with one that stayed put did switch.
        const LineStep moved{step.mask & ~stuck, step.levels};
        known_ = (known_ | moved.mask) & ~stuck;
        levels_ = (levels_ & ~moved.mask) | (moved.levels & moved.mask);
        trace->Change(lastNs_, moved);
        if (!stuck) return true;
        trace->Failed(lastNs_, stuck);
        return false;
    }
    if (!failure_.lines) {
        failure_.lines = step.mask;
        failure_.error = SerialPortLastError(&failure_.code);
        failure_.latched = latchRose_;
    }
    known_ &= ~step.mask;
    trace->Failed(lastNs_, step.mask);
    return false;
}

int32_t LiveRunner::Stuck(LineStep step) {
    const int32_t set = step.mask & step.levels & ~checkedSet_ & (LINE_BIT_DTR | LINE_BIT_RTS);
    const int32_t clear = step.mask & ~step.levels & ~checkedClear_ & (LINE_BIT_DTR | LINE_BIT_RTS);
    if (!set && !clear) return 0;
    int32_t levels = 0;
    if (!SerialPortGetLines(port_, &levels)) {
        // Not reported: nothing to learn from asking again.
        checkedSet_ |= LINE_BIT_DTR | LINE_BIT_RTS;
        checkedClear_ |= LINE_BIT_DTR | LINE_BIT_RTS;
        return 0;
    }
    checkedSet_ |= set;
    checkedClear_ |= clear;
    const int32_t stuck = (set & ~levels) | (clear & levels);
    if (stuck && !failure_.lines) {
        failure_.lines = stuck;
        failure_.error = LINE_STUCK;
        failure_.code = (step.levels & stuck) ? 1 : 0;
        failure_.latched = latchRose_;
    }
    return stuck;
}

void LiveRunner::IdleAfterFailure(Trace* trace) {
    for (int32_t line : {LINE_BIT_DTR, LINE_BIT_TXD}) {
        // A line that failed alone does not answer, nor does one that
        // stays put; one that failed with another in the same call may.
        if (failure_.error == LINE_STUCK ? (failure_.lines & line) != 0 : failure_.lines == line) continue;
        if ((known_ & line) && (levels_ & line) == (idle_ & line)) continue;
        Change(0, LineStep{line, idle_}, trace);
    }
}

int64_t LiveRunner::Run(const FramePlan& frame, int64_t dueNs, Trace* trace) {
    // A frame follows on from the planned end of the last one unless the
    // program is already late for it.
    const int64_t startNs = std::max(dueNs, Now());
    stepNs_ = frame.stepNs;
    latchRose_ = false;
    for (size_t k = 0; k < frame.steps.size(); ++k) {
        const LineStep& step = frame.steps[k];
        const bool ok = Change(startNs + frame.At(k), step, trace);
        // Once the latch has risen the outputs show this frame, whatever
        // fails after.
        if (ok && !frame.rest && (step.mask & LINE_BIT_TXD) && ((step.levels ^ idle_) & LINE_BIT_TXD)) latchRose_ = true;
        if (!ok) {
            // The end of a run already has the clock and latch at idle or
            // at rest, which a close no longer moves.
            if (!frame.rest) IdleAfterFailure(trace);
            return lastNs_;
        }
    }
    // The latch pulse's return is held one step like every change, and the
    // hold counts from then: a late latch is held as long.
    return std::max(startNs + frame.At(frame.steps.size()), lastNs_ + frame.stepNs);
}

bool LiveRunner::Wait(int64_t dueNs) { return SleepUntil(originNs_ + dueNs, true); }

int64_t LiveRunner::Finish(int64_t) {
    SerialPortClose(port_);
    return std::max(lastNs_, Now());
}

int64_t DryRunner::Run(const FramePlan& frame, int64_t dueNs, Trace* trace) {
    if (frame.rest)
        std::fprintf(out_, "# rest\n");
    else
        std::fprintf(out_, "# frame %" PRId64 ": %s\n", ++frames_, PatternText(frame.pattern).c_str());
    for (size_t k = 0; k < frame.steps.size(); ++k) {
        const int64_t timeNs = dueNs + frame.At(k);
        const LineStep& step = frame.steps[k];
        std::fprintf(out_, "%.3f", static_cast<double>(timeNs) / 1e6);
        for (const LineName& line : LINE_NAMES) {
            if (step.mask & line.bit) std::fprintf(out_, " %s=%d", line.name, (step.levels & line.bit) ? 1 : 0);
        }
        std::fputc('\n', out_);
        trace->Change(timeNs, step);
    }
    return dueNs + frame.At(frame.steps.size());
}
