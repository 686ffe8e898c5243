#include "cli/send_run.h"

#include <cmath>
#include <memory>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/send_runner.h"
#include "serial/serial_port.h"

namespace {

constexpr intptr_t PORT_NUMBER = 0;
constexpr const char* PROGRAM = "shiftlamp-send";

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

void Say(std::FILE* err, const std::string& text) { std::fprintf(err, "%s: %s\n", PROGRAM, text.c_str()); }

// The exit status and message of a port that did not open.
int OpenFailure(const SendSettings& settings, std::FILE* err) {
    std::string problem;
    int status = OpenProblem(settings.port, settings.devicePath, &problem);
    Say(err, settings.port + ": " + problem);
    return status;
}

std::string LineFailureText(const std::string& port, int32_t lines, int32_t error, int32_t code) {
    return port + ": " + LineProblem(lines, error, code);
}

}  // namespace

int OpenProblem(const std::string& port, const std::u16string& devicePath, std::string* problem) {
    int32_t code = 0;
    switch (SerialPortLastError(&code)) {
        case SERIAL_ERROR_NOT_FOUND:
            *problem = "no such port (" + std::string(PROGRAM) + " --list shows the ports there are)";
            return EXIT_NO_PORT;
        case SERIAL_ERROR_NOT_SERIAL:
            *problem = "not a serial port";
            return EXIT_NO_PORT;
        case SERIAL_ERROR_BUSY:
            *problem = "port busy: another program has it open";
            return EXIT_BUSY;
        case SERIAL_ERROR_ACCESS:
            *problem = CliPermissionText(port);
            return EXIT_PERMISSION;
        case SERIAL_ERROR_REFUSED:
            *problem = "refused: " + RefusalText(SerialPortRefusal(devicePath.c_str()));
            return EXIT_PERMISSION;
        default:
            *problem = "cannot open: " + (code ? CliSystemErrorText(code) : std::string("out of memory"));
            return EXIT_IO;
    }
}

std::string LineProblem(int32_t lines, int32_t error, int32_t code) {
    std::string what = LinesText(lines);
    switch (error) {
        case SERIAL_ERROR_NO_MODEM_LINES:
            return what +
                   " could not be switched: the device has no modem-control lines (a pseudo-terminal, or an adapter "
                   "whose driver does not drive them)";
        case SERIAL_ERROR_GONE: return "the device stopped answering while setting " + what + " (unplugged?)";
        default:
            return what + " could not be switched" + (code ? ": " + CliSystemErrorText(code) : std::string());
    }
}

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

FramePlan PlanSend(const Frame& frame, const SendSettings& settings, bool first, bool together) {
    const double holdMs = frame.holdMs >= 0 ? frame.holdMs : settings.holdMs;
    return FramePlan{frame.pattern, PlanFrame(frame.pattern, settings.invert, first, together), NsOf(settings.stepMs),
                     NsOf(holdMs)};
}

int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err) {
    // Opening the port may move its lines: not after an interrupt.
    if (CliInterrupted()) {
        Say(err, settings.port + ": interrupted before any frame was sent");
        return EXIT_INTERRUPTED;
    }
    Trace trace;
    std::string problem;
    if (!trace.Open(settings.tracePath, settings.invert, NsOf(settings.stepMs), &problem)) {
        Say(err, problem);
        return EXIT_IO;
    }
    std::unique_ptr<LiveRunner> live;
    DryRunner dry(out);
    if (!settings.dryRun) {
        if (!SerialPortOpenPath(PORT_NUMBER, settings.devicePath.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255))
            return OpenFailure(settings, err);
        live = std::make_unique<LiveRunner>(PORT_NUMBER);
    }
    FrameRunner& runner = live ? static_cast<FrameRunner&>(*live) : dry;
    const bool together = SerialPortSetsLinesTogether() != 0;

    // Why the run ended, when it was not the end of its frames.
    FrameSource::Result stop = FrameSource::END;
    bool tooLong = false;
    int64_t dueNs = 0;  // when the next frame is due
    int64_t frameCount = 0;
    for (int64_t round = 0; settings.repeat == 0 || round < settings.repeat; ++round) {
        if (round > 0) frames.Rewind();
        Frame frame{};
        int64_t roundFrames = 0;
        while ((stop = CliInterrupted() ? FrameSource::INTERRUPTED : frames.Next(&frame, &problem)) ==
               FrameSource::FRAME) {
            // A frame adds at most a day's hold and 28 steps of a second.
            if (dueNs > MAX_RUN_NS) {
                tooLong = true;
                break;
            }
            FramePlan plan = PlanSend(frame, settings, frameCount == 0, together);
            ++frameCount;
            ++roundFrames;
            dueNs = runner.Run(plan, dueNs, &trace) + plan.holdNs;
            if (live && live->Failure().lines) break;
            if (!runner.Wait(dueNs)) {
                stop = FrameSource::INTERRUPTED;
                break;
            }
        }
        if (stop != FrameSource::END || tooLong || (live && live->Failure().lines) || roundFrames == 0) break;
    }
    const bool traced = trace.Close(runner.Finish(dueNs));

    if (live && live->Failure().lines) {
        const LineFailure& failure = live->Failure();
        Say(err, LineFailureText(settings.port, failure.lines, failure.error, failure.code));
        return EXIT_IO;
    }
    if (stop == FrameSource::BAD || stop == FrameSource::FAILED) {
        Say(err, problem);
        return stop == FrameSource::BAD ? EXIT_USAGE : EXIT_IO;
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
    if (stop == FrameSource::INTERRUPTED) {
        Say(err, settings.port + (frameCount ? ": interrupted; the last frame started was sent whole"
                                             : ": interrupted before any frame was sent"));
        return EXIT_INTERRUPTED;
    }
    return EXIT_DONE;
}
