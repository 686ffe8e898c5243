// Fuzz target: the input is a program of text scratch operations, run on
// the real area and on the model; any difference aborts.
//
// Each operation is one byte: the low four bits choose it, bit 7 makes its
// first allocation fail; some operations read one to eight argument bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/text_scratch_model.h"

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return offset_ < size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    int64_t Number() {
        uint64_t value = 0;
        uint8_t width = Byte() % 9;  // 0 to 8 bytes: small numbers are common
        for (uint8_t i = 0; i < width; ++i) value = value << 8 | Byte();
        if (width > 0 && width < 8 && (value & 1)) value = ~value;  // negatives of every width
        return static_cast<int64_t>(value);
    }
    // A text of up to 2^14 units made from a seed byte, never containing NUL.
    std::u16string Text() {
        uint16_t shape = Word();
        size_t length = (shape & 0x8000) ? (shape & 0x3FFF) : (shape & 0x1F);
        uint8_t seed = Byte();
        std::u16string text(length, u'a');
        for (size_t i = 0; i < length; ++i) {
            unsigned unit = (seed + i * 7) % 40;
            text[i] = static_cast<char16_t>(unit < 26 ? u'a' + unit : 0x0410 + unit);
        }
        return text;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

void Fail(const TextScratchModel& model, size_t step) {
    std::fprintf(stderr, "text scratch differs from the model at step %zu: %s\n", step, model.failure().c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    TextScratchModel model;
    for (size_t step = 0; in.More(); ++step) {
        uint8_t op = in.Byte();
        bool fail = (op & 0x80) != 0;
        int variable = (op >> 4) & (TextScratchModel::kVariables - 1);
        switch (op & 0x0F) {
        case 0: model.Append(in.Text(), fail); break;
        case 1: model.AppendNull(); break;
        case 2: model.AppendNumber(in.Number(), fail); break;
        case 3: {
            std::u16string text = in.Text();
            model.TextResult(text, in.Byte() % 64, fail);
            break;
        }
        case 4: model.GiveBack(static_cast<int8_t>(in.Byte())); break;
        case 5: model.SetPosition(static_cast<int32_t>(in.Word()) * 2 - 4); break;
        case 6: model.SetPosition(static_cast<int32_t>(in.Word())); break;  // odd offsets too
        case 7:
        case 8: model.PushMark(); break;
        case 9: model.ConsumeInnermost(fail); break;
        case 10: model.CommitInnermost(variable, fail); break;
        case 11: model.Free(variable); break;
        case 12: model.CommitBadMark(variable, static_cast<int32_t>(2 * model.length() + 1 + (in.Byte() & 6))); break;
        default: model.SetPosition(0); break;
        }
        if (model.length() > 200000) model.SetPosition(0);
        if (!model.Check()) Fail(model, step);
    }
    model.FreeAll();
    if (!model.Check()) Fail(model, SIZE_MAX);
    return 0;
}
