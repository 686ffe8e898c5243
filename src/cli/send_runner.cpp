#include "cli/send_runner.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "cli/cli_platform.h"
#include "cli/vcd_writer.h"
#include "os/os.h"
#include "serial/serial_port.h"

Trace::Trace() = default;

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

bool Trace::Open(const std::string& path, bool invert, int64_t stepNs, std::string* problem) {
    if (path.empty()) return true;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *problem = path + ": cannot write the trace: " + std::strerror(errno);
        return false;
    }
    unitNs_ = stepNs < 1000 ? 1 : 1000;
    writer_ = std::make_unique<VcdWriter>(file_, unitNs_ == 1 ? "1 ns" : "1 us");
    // Before the first change the levels are not known; they are shown at
    // idle, which is where the first frame puts the clock and latch.
    levels_ = invert ? LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD : 0;
    for (const LineName& line : LINE_NAMES) writer_->AddSignal("shiftlamp", line.name, 1, invert ? 1 : 0);
    writer_->Begin(0, "shiftlamp-send: DTR shift clock, RTS data, TXD_BREAK latch");
    return true;
}

void Trace::Change(int64_t timeNs, LineStep step) {
    if (!writer_ || !((levels_ ^ step.levels) & step.mask)) return;
    levels_ = (levels_ & ~step.mask) | (step.levels & step.mask);
    int64_t stamp = std::max(timeNs / unitNs_, lastStamp_ + 1);
    lastStamp_ = stamp;
    for (size_t i = 0; i < LINE_COUNT; ++i) {
        if (step.mask & LINE_NAMES[i].bit)
            writer_->Change(stamp, static_cast<int>(i), (step.levels & LINE_NAMES[i].bit) ? 1 : 0);
    }
}

bool Trace::Close(int64_t timeNs) {
    if (!file_) return true;
    writer_->End(timeNs / unitNs_);
    bool ok = writer_->Ok();
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok;
}

LiveRunner::LiveRunner(intptr_t port) : port_(port), originNs_(OsMonotonicNs()) {}

int64_t LiveRunner::Now() const { return OsMonotonicNs() - originNs_; }

int64_t LiveRunner::Run(const FramePlan& frame, int64_t dueNs, Trace* trace) {
    // A frame follows on from the planned end of the last one unless the
    // program is already late for it.
    const int64_t startNs = std::max(dueNs, Now());
    for (size_t k = 0; k < frame.steps.size(); ++k) {
        const int64_t deadline = std::max(startNs + frame.At(k), lastNs_ + frame.stepNs);
        if (frame.stepNs > 0) CliSleepUntil(originNs_ + deadline, false);
        const LineStep& step = frame.steps[k];
        if (!SerialPortSetLines(port_, step.mask, step.levels) && !failure_.lines) {
            failure_.lines = step.mask;
            failure_.error = SerialPortLastError(&failure_.code);
        }
        lastNs_ = Now();
        trace->Change(lastNs_, step);
    }
    // The latch pulse's return is held one step like every change, and the
    // hold counts from then: a late latch is held as long.
    return std::max(startNs + frame.At(frame.steps.size()), lastNs_ + frame.stepNs);
}

bool LiveRunner::Wait(int64_t dueNs) { return CliSleepUntil(originNs_ + dueNs, true); }

int64_t LiveRunner::Finish(int64_t) {
    SerialPortClose(port_);
    return std::max(lastNs_, Now());
}

int64_t DryRunner::Run(const FramePlan& frame, int64_t dueNs, Trace* trace) {
    std::fprintf(out_, "# frame %" PRId64 ": 0x%02x\n", ++frames_, frame.pattern);
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
