#include "cli/frame_source.h"

FrameSource::Result FrameStream::Next(Frame* frame, std::string* problem) {
    for (;;) {
        size_t end = pending_.find('\n');
        if (end == std::string::npos && pending_.size() > MAX_LINE_BYTES) {
            *problem = "standard input, line " + std::to_string(lineNumber_ + 1) + ": longer than " +
                       std::to_string(MAX_LINE_BYTES) + " bytes, which no frame line is: " + QuotedWord(pending_);
            return BAD;
        }
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
        switch (ParseFrameLine(line, frame, &bad, registers_)) {
            case FrameLine::FRAME: return FRAME;
            case FrameLine::EMPTY: break;
            case FrameLine::WIDE:
                *problem = "standard input, line " + std::to_string(lineNumber_) + ": " +
                           PatternProblem(bad, PatternWord::WIDE, registers_);
                return BAD;
            case FrameLine::BAD:
                *problem = "standard input, line " + std::to_string(lineNumber_) + ": " + QuotedWord(bad) +
                           " is not a pattern (as 165, 0xA5 or 0b10100101) or a hold time in ms";
                return BAD;
        }
    }
}

FrameSource::Result ReadFrames(std::vector<Frame>* frames, std::string* problem, int registers,
                               FrameStream::Reader reader) {
    FrameStream stream(registers, reader);
    Frame frame{};
    for (;;) {
        FrameSource::Result result = stream.Next(&frame, problem);
        if (result != FrameSource::FRAME) return result;
        frames->push_back(frame);
    }
}
