// One run of shiftlamp-send: opens the port once, sends every frame with
// its holds and repeats, closes the port, and says how it went.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

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
    long repeat = 1;            // 0: until interrupted
    std::string tracePath;      // empty: no VCD
    bool dryRun = false;        // print the changes with their planned times, open nothing
};

// Where frames come from: the command line's list, or standard input line
// by line, so that a generator in a pipe is followed as it writes.
class FrameSource {
public:
    enum Result { FRAME, END, BAD };
    virtual ~FrameSource() = default;
    // The next frame; on BAD, `problem` is the one-line reason.
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

// Frames from lines of `in`, read as they are needed. Cannot rewind: a run
// that repeats reads them all into a FrameList first (ReadFrames).
class FrameStream : public FrameSource {
public:
    explicit FrameStream(std::FILE* in) : in_(in) {}
    Result Next(Frame* frame, std::string* problem) override;
    void Rewind() override {}

private:
    std::FILE* in_;
    long lineNumber_ = 0;
};

// Every frame of `in`; false with `problem` set at the first bad line.
bool ReadFrames(std::FILE* in, std::vector<Frame>* frames, std::string* problem);

// Runs the whole transfer; messages go to `err` (one line on failure),
// a dry run's changes to `out`. Returns the exit status. The serial layer
// must be initialised.
int SendFrames(const SendSettings& settings, FrameSource& frames, std::FILE* out, std::FILE* err);
