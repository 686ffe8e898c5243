// One run of shiftlamp-send: opens the port once, sends every frame with
// its holds and repeats, closes the port, and says how it went.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/send_input.h"

// sysexits, as scripts see them.
enum SendExit : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 64,
    EXIT_NO_PORT = 69,
    EXIT_IO = 74,
    EXIT_BUSY = 75,
    EXIT_PERMISSION = 77,
    EXIT_INTERRUPTED = 130,
};

struct SendSettings {
    std::string port;           // as the user named it, for messages
    std::u16string devicePath;  // what the serial layer opens; unused by a dry run
    bool invert = false;
    double stepMs = 10;
    double holdMs = 0;          // for frames that do not name their own
    int64_t repeat = 1;         // 0: until interrupted
    std::string tracePath;      // empty: no VCD
    bool dryRun = false;        // print the changes with their planned times, open nothing
};

// Where frames come from: the command line's list, or standard input line
// by line, so that a generator in a pipe is followed as it writes.
class FrameSource {
public:
    // BAD: a line that is no frame (usage); FAILED: the input could not be
    // read (input/output); INTERRUPTED: Ctrl+C while waiting for a frame.
    enum Result { FRAME, END, BAD, INTERRUPTED, FAILED };
    virtual ~FrameSource() = default;
    // The next frame; on BAD and FAILED, `problem` is the one-line reason.
    virtual Result Next(Frame* frame, std::string* problem) = 0;
    // Back to the first frame, for the next repeat.
    virtual void Rewind() = 0;
};

class FrameList : public FrameSource {
public:
    explicit FrameList(std::vector<Frame> frames) : frames_(std::move(frames)) {}
    Result Next(Frame* frame, std::string*) override {
        if (next_ >= frames_.size()) return END;
        *frame = frames_[next_++];
        return FRAME;
    }
    void Rewind() override { next_ = 0; }

private:
    std::vector<Frame> frames_;
    size_t next_ = 0;
};

// Frames from the lines of standard input, read as they are needed. A line
// is a frame only once its end has arrived (or the input ended after it):
// an interrupt with half a line read leaves that half unsent. Cannot
// rewind: a run that repeats reads them all into a FrameList first
// (ReadFrames).
class FrameStream : public FrameSource {
public:
    using Reader = InputRead (*)(char* buffer, size_t size, size_t* got, int32_t* errorCode);
    explicit FrameStream(Reader reader = CliReadInput) : reader_(reader) {}
    Result Next(Frame* frame, std::string* problem) override;
    void Rewind() override {}

private:
    Reader reader_;
    std::string pending_;  // read, not yet taken as lines
    bool ended_ = false;   // the input has no more after pending_
    long lineNumber_ = 0;
};

// Every frame of standard input: END when all were read, otherwise the
// result that stopped the reading (with `problem` for BAD and FAILED).
FrameSource::Result ReadFrames(std::vector<Frame>* frames, std::string* problem,
                               FrameStream::Reader reader = CliReadInput);

// Why the port `port` (`devicePath` as the serial layer opens it) did not
// open, from the serial layer's last error, without the port's name; the
// exit status that goes with it.
int OpenProblem(const std::string& port, const std::u16string& devicePath, std::string* problem);

// Why the lines in `lines` (LINE_BIT_*) did not switch, from the serial
// layer's error and the system's number, without the port's name.
std::string LineProblem(int32_t lines, int32_t error, int32_t code);

// What a refused device is and why the program never opens it, for a
// SerialRefusal other than none.
std::string RefusalText(int32_t refusal);

// The longest run the program times, about 285 years: its clock counts
// nanoseconds from the run's start in 64 bits, and a run planned past it
// is refused rather than let the count wrap.
constexpr int64_t MAX_RUN_NS = 9000000000000000000;

// The longest `frames`, sent `settings.repeat` times, can take, in ns (as a
// double, which does not wrap).
double LongestRunNs(const SendSettings& settings, const std::vector<Frame>& frames);

// The plan of one frame of a run. `first`: the first frame after the port
// opened; `together`: the port sets DTR and RTS in one call (PlanFrame).
FramePlan PlanSend(const Frame& frame, const SendSettings& settings, bool first, bool together);

// Runs the whole transfer: each frame planned and carried out by a runner
// (send_runner.h), live or dry; messages go to `err` (one line on failure),
// a dry run's changes to `out`. Returns the exit status. The serial layer
// must be initialised.
int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err);
