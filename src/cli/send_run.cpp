#include "cli/send_run.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <memory>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/vcd_writer.h"
#include "os/os.h"
#include "serial/serial_port.h"

namespace {

constexpr intptr_t PORT_NUMBER = 0;
constexpr const char* PROGRAM = "shiftlamp-send";

// The lines of the trace and of a dry run, by LINE_BIT_*.
struct LineName {
    int32_t bit;
    const char* name;
};
constexpr LineName LINE_NAMES[] = {{LINE_BIT_DTR, "DTR"}, {LINE_BIT_RTS, "RTS"}, {LINE_BIT_TXD, "TXD_BREAK"}};

std::string LinesText(int32_t mask) {
    std::string text;
    for (const LineName& line : LINE_NAMES) {
        if (!(mask & line.bit)) continue;
        if (!text.empty()) text += " and ";
        text += line.name;
    }
    return text;
}

int64_t NsOf(double ms) { return static_cast<int64_t>(std::llround(ms * 1e6)); }

// The waveform of the three lines, or nothing. Its time unit is a
// microsecond, or a nanosecond for steps shorter than that; a change is
// never drawn on the stamp of the change before it, so that every pulse
// shows even where the plan gives them one time (a dry run at step 0).
class Trace {
public:
    bool Open(const std::string& path, bool invert, int64_t stepNs, std::string* problem) {
        if (path.empty()) return true;
        file_ = std::fopen(path.c_str(), "wb");
        if (!file_) {
            *problem = path + ": cannot write the trace: " + std::strerror(errno);
            return false;
        }
        unitNs_ = stepNs < 1000 ? 1 : 1000;
        writer_ = std::make_unique<VcdWriter>(file_, unitNs_ == 1 ? "1 ns" : "1 us");
        // Before the first change the levels are not known; they are shown
        // at idle, which is where the first frame puts the clock and latch.
        levels_ = invert ? LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD : 0;
        for (const LineName& line : LINE_NAMES) writer_->AddSignal("shiftlamp", line.name, 1, invert ? 1 : 0);
        writer_->Begin(0, "shiftlamp-send: DTR shift clock, RTS data, TXD_BREAK latch");
        return true;
    }

    void Change(int64_t timeNs, LineStep step) {
        if (!writer_ || !((levels_ ^ step.levels) & step.mask)) return;
        levels_ = (levels_ & ~step.mask) | (step.levels & step.mask);
        int64_t stamp = std::max(timeNs / unitNs_, lastStamp_ + 1);
        lastStamp_ = stamp;
        for (size_t i = 0; i < 3; ++i) {
            if (step.mask & LINE_NAMES[i].bit)
                writer_->Change(stamp, static_cast<int>(i), (step.levels & LINE_NAMES[i].bit) ? 1 : 0);
        }
    }

    // False when the file could not be written whole.
    bool Close(int64_t timeNs) {
        if (!file_) return true;
        writer_->End(timeNs / unitNs_);
        bool ok = writer_->Ok();
        if (std::fclose(file_) != 0) ok = false;
        file_ = nullptr;
        return ok;
    }

private:
    std::FILE* file_ = nullptr;
    std::unique_ptr<VcdWriter> writer_;
    int64_t unitNs_ = 1000;
    int32_t levels_ = 0;      // the lines as last drawn
    int64_t lastStamp_ = 0;   // of the last change drawn; the header is at 0
};

void Say(std::FILE* err, const std::string& text) { std::fprintf(err, "%s: %s\n", PROGRAM, text.c_str()); }

// The exit status and message of a port that did not open.
int OpenFailure(const SendSettings& settings, std::FILE* err) {
    int32_t code = 0;
    int32_t error = SerialPortLastError(&code);
    const std::string& port = settings.port;
    switch (error) {
        case SERIAL_ERROR_NOT_FOUND:
            Say(err, port + ": no such port (" + std::string(PROGRAM) + " --list shows the ports there are)");
            return EXIT_NO_PORT;
        case SERIAL_ERROR_NOT_SERIAL:
            Say(err, port + ": not a serial port");
            return EXIT_NO_PORT;
        case SERIAL_ERROR_BUSY:
            Say(err, port + ": port busy: another program has it open");
            return EXIT_BUSY;
        case SERIAL_ERROR_ACCESS:
            Say(err, port + ": " + CliPermissionText(port));
            return EXIT_PERMISSION;
        case SERIAL_ERROR_REFUSED:
            Say(err, port + ": refused: " + RefusalText(SerialPortRefusal(settings.devicePath.c_str())));
            return EXIT_PERMISSION;
        default:
            Say(err, port + ": cannot open: " + (code ? CliSystemErrorText(code) : std::string("out of memory")));
            return EXIT_IO;
    }
}

std::string LineFailureText(const std::string& port, int32_t lines, int32_t error, int32_t code) {
    std::string what = LinesText(lines);
    switch (error) {
        case SERIAL_ERROR_NO_MODEM_LINES:
            return port + ": " + what +
                   " could not be switched: the device has no modem-control lines (a pseudo-terminal, or an adapter "
                   "whose driver does not drive them)";
        case SERIAL_ERROR_GONE:
            return port + ": the device stopped answering while setting " + what + " (unplugged?)";
        default:
            return port + ": " + what + " could not be switched" +
                   (code ? ": " + CliSystemErrorText(code) : std::string());
    }
}

// The first line change that failed; the frame still runs to its end and
// the port is still closed before it is reported.
struct Failure {
    int32_t lines = 0;
    int32_t error = 0;
    int32_t code = 0;
};

// Switches one step's lines at `deadline` (sleeping until then when
// `wait`), keeps the first failure, and returns when the change returned.
int64_t SwitchAt(int64_t deadline, bool wait, LineStep step, Failure* failure) {
    if (wait) CliSleepUntil(deadline, false);
    if (!SerialPortSetLines(PORT_NUMBER, step.mask, step.levels) && !failure->lines) {
        failure->lines = step.mask;
        failure->error = SerialPortLastError(&failure->code);
    }
    return OsMonotonicNs();
}

// A dry run's line: the planned time in ms and each line's new level.
void PrintStep(std::FILE* out, int64_t timeNs, LineStep step) {
    std::fprintf(out, "%.3f", static_cast<double>(timeNs) / 1e6);
    for (const LineName& line : LINE_NAMES) {
        if (step.mask & line.bit) std::fprintf(out, " %s=%d", line.name, (step.levels & line.bit) ? 1 : 0);
    }
    std::fputc('\n', out);
}

}  // namespace

std::string RefusalText(int32_t refusal) {
    switch (refusal) {
        case SERIAL_REFUSAL_BUILT_IN_PORT:
            return "a built-in serial port, which on many machines carries the system console; this program never "
                   "opens one: use a USB serial adapter";
        case SERIAL_REFUSAL_CONSOLE:
            return "a console or another terminal of the system, not a serial port; this program never opens one";
        default: return "this program never opens it";
    }
}

FrameSource::Result FrameStream::Next(Frame* frame, std::string* problem) {
    for (;;) {
        size_t end = pending_.find('\n');
        if (end == std::string::npos && !ended_) {
            char buffer[4096];
            size_t got = 0;
            int32_t code = 0;
            switch (reader_(buffer, sizeof buffer, &got, &code)) {
                case InputRead::DATA: pending_.append(buffer, got); continue;
                case InputRead::END: ended_ = true; continue;
                case InputRead::INTERRUPTED: return INTERRUPTED;
                case InputRead::FAILED:
                    *problem = "standard input could not be read: " + CliSystemErrorText(code);
                    return FAILED;
            }
        }
        if (end == std::string::npos && pending_.empty()) return END;
        // The last line may lack its line end.
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end == std::string::npos ? std::string::npos : end + 1);
        ++lineNumber_;
        std::string bad;
        switch (ParseFrameLine(line, frame, &bad)) {
            case FrameLine::FRAME: return FRAME;
            case FrameLine::EMPTY: break;
            case FrameLine::BAD:
                *problem = "standard input, line " + std::to_string(lineNumber_) + ": '" + bad +
                           "' is not a pattern (0 to 255, as 165, 0xA5 or 0b10100101) or a hold time in ms";
                return BAD;
        }
    }
}

FrameSource::Result ReadFrames(std::vector<Frame>* frames, std::string* problem, FrameStream::Reader reader) {
    FrameStream stream(reader);
    Frame frame{};
    for (;;) {
        FrameSource::Result result = stream.Next(&frame, problem);
        if (result != FrameSource::FRAME) return result;
        frames->push_back(frame);
    }
}

double LongestRunNs(const SendSettings& settings, const std::vector<Frame>& frames) {
    // Every frame at its longest: 28 steps, one line at a time.
    double roundMs = 0;
    for (const Frame& frame : frames) roundMs += 28 * settings.stepMs + (frame.holdMs >= 0 ? frame.holdMs : settings.holdMs);
    return static_cast<double>(settings.repeat) * roundMs * 1e6;
}

int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err) {
    // Opening the port may move its lines: not after an interrupt.
    if (CliInterrupted()) {
        Say(err, settings.port + ": interrupted before any frame was sent");
        return EXIT_INTERRUPTED;
    }
    const int64_t stepNs = NsOf(settings.stepMs);
    Trace trace;
    std::string problem;
    if (!trace.Open(settings.tracePath, settings.invert, stepNs, &problem)) {
        Say(err, problem);
        return EXIT_IO;
    }
    const bool live = !settings.dryRun;
    if (live && !SerialPortOpenPath(PORT_NUMBER, settings.devicePath.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255,
                                    255)) {
        trace.Close(0);
        return OpenFailure(settings, err);
    }
    const bool together = SerialPortSetsLinesTogether() != 0;
    const int64_t originNs = OsMonotonicNs();
    int64_t plannedNs = originNs;  // where the next frame is due
    int64_t lastNs = originNs;     // the last change
    Failure failure;
    bool first = true, badInput = false, readFailed = false, interrupted = false, tooLong = false;
    int64_t frameCount = 0;

    for (int64_t round = 0; settings.repeat == 0 || round < settings.repeat; ++round) {
        if (round > 0) frames.Rewind();
        bool any = false;
        Frame frame{};
        for (;;) {
            if (CliInterrupted()) {
                interrupted = true;
                break;
            }
            FrameSource::Result next = frames.Next(&frame, &problem);
            if (next == FrameSource::END) break;
            if (next == FrameSource::INTERRUPTED) {
                interrupted = true;
                break;
            }
            if (next == FrameSource::BAD || next == FrameSource::FAILED) {
                badInput = next == FrameSource::BAD;
                readFailed = next == FrameSource::FAILED;
                break;
            }
            // A frame adds at most a day's hold and 28 steps of a second.
            if (plannedNs - originNs > MAX_RUN_NS) {
                tooLong = true;
                break;
            }
            any = true;
            ++frameCount;
            std::vector<LineStep> steps = PlanFrame(frame.pattern, settings.invert, first, together);
            first = false;
            // Frames follow on from the planned end of the last one unless
            // the program is already late for it.
            int64_t startNs = live ? std::max(plannedNs, OsMonotonicNs()) : plannedNs;
            if (!live) std::fprintf(out, "# frame %" PRId64 ": 0x%02x\n", frameCount, frame.pattern);
            for (size_t k = 0; k < steps.size(); ++k) {
                int64_t deadline = startNs + static_cast<int64_t>(k) * stepNs;
                if (live) {
                    // Never sooner than a step after the last change
                    // returned: after a stall the rest of the frame is
                    // stretched, not sent back to back to catch up.
                    deadline = std::max(deadline, lastNs + stepNs);
                    lastNs = SwitchAt(deadline, stepNs > 0, steps[k], &failure);
                } else {
                    lastNs = deadline;
                    PrintStep(out, deadline - originNs, steps[k]);
                }
                trace.Change(lastNs - originNs, steps[k]);
            }
            // The latch pulse's return is held one step like every change,
            // and the hold counts from then: a late latch is held as long.
            int64_t endNs = startNs + static_cast<int64_t>(steps.size()) * stepNs;
            if (live) endNs = std::max(endNs, lastNs + stepNs);
            double hold = frame.holdMs >= 0 ? frame.holdMs : settings.holdMs;
            plannedNs = endNs + NsOf(hold);
            if (failure.lines) break;
            if (live && !CliSleepUntil(plannedNs, true)) {
                interrupted = true;
                break;
            }
        }
        if (failure.lines || badInput || readFailed || interrupted || tooLong || !any) break;
    }

    if (live) {
        SerialPortClose(PORT_NUMBER);
        lastNs = std::max(lastNs, OsMonotonicNs());
    } else {
        lastNs = std::max(lastNs, plannedNs);
    }
    bool traced = trace.Close(lastNs - originNs);
    if (failure.lines) {
        Say(err, LineFailureText(settings.port, failure.lines, failure.error, failure.code));
        return EXIT_IO;
    }
    if (badInput || readFailed) {
        Say(err, problem);
        return badInput ? EXIT_USAGE : EXIT_IO;
    }
    if (tooLong) {
        Say(err, settings.port + ": frame " + std::to_string(frameCount + 1) +
                     " would start after more years than a run can be timed for (285); stopped before it");
        return EXIT_USAGE;
    }
    if (!traced) {
        Say(err, settings.tracePath + ": the trace could not be written whole");
        return EXIT_IO;
    }
    if (interrupted) {
        Say(err, settings.port + (frameCount ? ": interrupted; the last frame started was sent whole"
                                             : ": interrupted before any frame was sent"));
        return EXIT_INTERRUPTED;
    }
    return EXIT_DONE;
}
