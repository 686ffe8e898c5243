// Where a run's frames come from: the command line's list, or standard
// input line by line, read with the frame-line parser (send_input.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/send_input.h"

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
// is a frame only once its end has arrived (or the input ended after it);
// one longer than MAX_LINE_BYTES is BAD as soon as that many have come:
// an interrupt with half a line read leaves that half unsent. Cannot
// rewind: a run that repeats reads them all into a FrameList first
// (ReadFrames).
class FrameStream : public FrameSource {
public:
    using Reader = InputRead (*)(char* buffer, size_t size, size_t* got, int32_t* errorCode);
    explicit FrameStream(int registers = 1, Reader reader = CliReadInput) : reader_(reader), registers_(registers) {}
    Result Next(Frame* frame, std::string* problem) override;
    void Rewind() override {}

private:
    Reader reader_;
    int registers_;
    std::string pending_;  // read, not yet taken as lines
    bool ended_ = false;   // the input has no more after pending_
    int64_t lineNumber_ = 0;
};

// Every frame of standard input: END when all were read, otherwise the
// result that stopped the reading (with `problem` for BAD and FAILED).
FrameSource::Result ReadFrames(std::vector<Frame>* frames, std::string* problem, int registers = 1,
                               FrameStream::Reader reader = CliReadInput);
