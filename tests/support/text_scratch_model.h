// A model of the text scratch area: the units before the position as a
// std::u16string, the capacity by the growth rule, and the committed
// variables as strings. Every operation runs on the real area and on the
// model; Check() compares the two and names the first difference. Used by
// the randomised test and by the fuzz target, so it needs no test framework.
//
// An operation may be asked to run with its first allocation failing; the
// model then expects the documented failure when the operation must
// allocate (growth, commit) and normal success when it need not.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"
#include "platform/text_scratch.h"

class TextScratchModel {
public:
    static constexpr int kVariables = 4;

    TextScratchModel() {
        TextScratchInit();
        capacity_ = 16;
    }
    ~TextScratchModel() {
        OsAllocFailAt(0);
        TextScratchEnd();
    }
    TextScratchModel(const TextScratchModel&) = delete;
    TextScratchModel& operator=(const TextScratchModel&) = delete;

    const std::string& failure() const { return failure_; }
    size_t length() const { return text_.size(); }
    const std::vector<int32_t>& marks() const { return marks_; }

    void Append(const std::u16string& piece, bool failAlloc) {
        bool fails = failAlloc && Grows(Position(), static_cast<int64_t>(piece.size()) + 1);
        Arm(failAlloc);
        int32_t result = TextScratchAppend(piece.c_str());
        Disarm();
        Expect(result == (fails ? 0 : 1), "Append result");
        if (!fails) {
            GrowFor(Position(), static_cast<int64_t>(piece.size()) + 1);
            text_ += piece;
        }
        terminated_ = true;
    }

    void AppendNull() {
        Expect(TextScratchAppend(nullptr) == 1, "Append(null) result");
        terminated_ = true;
    }

    void AppendNumber(int64_t value, bool failAlloc) {
        int64_t reserved = (value >= INT32_MIN && value <= INT32_MAX) ? 32 : 64;
        bool fails = failAlloc && Grows(Position(), reserved);
        Arm(failAlloc);
        int32_t result = TextScratchAppendNumber(value);
        Disarm();
        Expect(result == (fails ? 0 : 1), "AppendNumber result");
        if (!fails) {
            GrowFor(Position(), reserved);
            std::string digits = std::to_string(value);
            text_ += std::u16string(digits.begin(), digits.end());
        }
        terminated_ = true;
    }

    // An operation returning a text: reserves `spare` units more than it
    // needs, writes the text and its terminator, gives back the rest.
    void TextResult(const std::u16string& piece, int32_t spare, bool failAlloc) {
        int32_t start = Position();
        int64_t units = static_cast<int64_t>(piece.size()) + 1 + spare;
        bool fails = failAlloc && Grows(start, units);
        Arm(failAlloc);
        char16_t* out = TextScratchReserve(static_cast<int32_t>(units), start);
        Disarm();
        if (fails) {
            Expect(out == nullptr, "Reserve should fail");
            terminated_ = true;
            return;
        }
        if (!Expect(out == TextScratch().buffer + start / 2, "Reserve address")) return;
        GrowFor(start, units);
        for (size_t i = 0; i < piece.size(); ++i) out[i] = piece[i];
        out[piece.size()] = 0;
        Expect(TextScratchGiveBack(spare + 1) == 1, "GiveBack after a text result");
        Expect(TextScratch().position == start + 2 * static_cast<int32_t>(piece.size()), "position on terminator");
        text_ += piece;
        terminated_ = true;
    }

    // Gives back `n` units; n may be out of range, which must change nothing.
    void GiveBack(int32_t n) {
        bool valid = n >= 0 && static_cast<size_t>(n) <= text_.size();
        Expect(TextScratchGiveBack(n) == (valid ? 1 : 0), "GiveBack result");
        if (valid && n > 0) {
            text_.resize(text_.size() - static_cast<size_t>(n));
            terminated_ = false;
        }
        DropMarksPastPosition();
    }

    // Any offset; the area accepts even ones from 0 to capacity - 4. Moving
    // forward exposes whatever the buffer holds there.
    void SetPosition(int32_t offset) {
        bool valid = offset >= 0 && offset % 2 == 0 && offset <= capacity_ - 4;
        if (valid && offset / 2 > static_cast<int32_t>(text_.size())) {
            const char16_t* buffer = TextScratch().buffer;
            text_.append(buffer + text_.size(), buffer + offset / 2);
        }
        Expect(TextScratchSetPosition(offset) == (valid ? 1 : 0), "SetPosition result");
        if (valid) {
            text_.resize(static_cast<size_t>(offset / 2));
            terminated_ = true;
        }
        DropMarksPastPosition();
    }

    void PushMark() { marks_.push_back(Position()); }

    // Consumes the text from the innermost mark, as a caller that shows a
    // text does: protect the terminator, read, set the position back.
    void ConsumeInnermost(bool failAlloc) {
        if (marks_.empty()) return;
        int32_t mark = marks_.back();
        marks_.pop_back();
        bool fails = failAlloc && Grows(Position(), 1);
        Arm(failAlloc);
        char16_t* protectedUnit = TextScratchReserve(1, Position());
        Disarm();
        Expect((protectedUnit == nullptr) == fails, "Reserve(1) result");
        if (!fails) GrowFor(Position(), 1);
        // Whether or not the terminator could be protected, a finished text
        // reads whole and terminated.
        if (terminated_ || fails) {
            std::u16string expected = text_.substr(static_cast<size_t>(mark / 2));
            expected.resize(std::min(expected.size(), expected.find(u'\0')));  // NULs exposed by SetPosition
            Expect(std::u16string(TextScratchAt(mark)) == expected, "consumed text");
        }
        Expect(TextScratchSetPosition(mark) == 1, "SetPosition(mark)");
        text_.resize(static_cast<size_t>(mark / 2));
        terminated_ = true;
    }

    void CommitInnermost(int variable, bool failAlloc) {
        if (marks_.empty()) return;
        int32_t mark = marks_.back();
        marks_.pop_back();
        Variable& v = variables_[variable];
        Arm(failAlloc);
        char16_t* result = TextScratchCommit(&v.text, mark);
        Disarm();
        if (failAlloc) {
            Expect(result == nullptr, "Commit should fail");
        } else if (Expect(result != nullptr && result == v.text, "Commit result")) {
            v.model = text_.substr(static_cast<size_t>(mark / 2));
            v.held = true;
        }
        text_.resize(static_cast<size_t>(mark / 2));
        terminated_ = failAlloc;
    }

    // A mark the area must refuse: odd, negative or past the position.
    void CommitBadMark(int variable, int32_t mark) {
        Variable& v = variables_[variable];
        char16_t* before = v.text;
        Expect(TextScratchCommit(&v.text, mark) == nullptr && v.text == before, "Commit with a bad mark");
    }

    void Free(int variable) {
        Variable& v = variables_[variable];
        TextFree(v.text);
        v = Variable{};
    }

    void FreeAll() {
        for (int i = 0; i < kVariables; ++i) Free(i);
    }

    // Compares the area with the model; false (and failure() set) on the
    // first difference.
    bool Check() {
        if (!failure_.empty()) return false;
        const TextScratchArea& area = TextScratch();
        if (!Expect(area.position == Position(), "position")) return false;
        if (!Expect(area.capacity == capacity_, "capacity")) return false;
        if (!Expect(area.position >= 0 && area.position <= area.capacity - 4, "position in range")) return false;
        if (!Expect(std::u16string(area.buffer, text_.size()) == text_, "text before the position")) return false;
        if (terminated_ && !Expect(area.buffer[text_.size()] == 0, "NUL at the position")) return false;
        long held = 0;
        for (const Variable& v : variables_) {
            if (!v.held) continue;
            ++held;
            // Compared unit by unit: a text exposed by moving the position
            // forward may hold NULs of its own.
            if (!Expect(v.text && std::u16string(v.text, v.model.size()) == v.model && v.text[v.model.size()] == 0,
                        "committed text"))
                return false;
        }
        return Expect(OsHeapBlockCount(StringHeap) == 1 + held, "blocks on the text heap");
    }

private:
    struct Variable {
        char16_t* text = nullptr;
        std::u16string model;
        bool held = false;
    };

    int32_t Position() const { return static_cast<int32_t>(2 * text_.size()); }

    bool Grows(int64_t offset, int64_t units) const { return offset + 2 * units >= capacity_ - 4; }
    void GrowFor(int64_t offset, int64_t units) {
        if (Grows(offset, units)) capacity_ = static_cast<int32_t>(offset + 2 * units + 16384);
    }

    static void Arm(bool failAlloc) { OsAllocFailAt(failAlloc ? 1 : 0); }
    static void Disarm() { OsAllocFailAt(0); }

    void DropMarksPastPosition() {
        while (!marks_.empty() && marks_.back() > Position()) marks_.pop_back();
    }

    bool Expect(bool condition, const char* what) {
        if (!condition && failure_.empty()) failure_ = what;
        return condition;
    }

    std::u16string text_;
    int32_t capacity_ = 0;
    bool terminated_ = true;
    std::vector<int32_t> marks_;
    Variable variables_[kVariables];
    std::string failure_;
};
