#include "waveform/vcd_writer.h"

namespace {

// Identifiers are drawn from the printable characters '!' to '~', as short
// as the number of signals allows.
std::string IdentifierOf(int index) {
    constexpr int FIRST = 33, COUNT = 94;
    std::string id;
    do {
        id.push_back(static_cast<char>(FIRST + index % COUNT));
        index = index / COUNT - 1;
    } while (index >= 0);
    return id;
}

}  // namespace

int VcdWriter::AddSignal(const std::string& scope, const std::string& name, int width, uint32_t initial) {
    if (width < 1) width = 1;
    if (width > 32) width = 32;
    if (width < 32) initial &= (1u << width) - 1;
    int index = static_cast<int>(signals_.size());
    signals_.push_back({scope, name, IdentifierOf(index), width, initial, true});
    return index;
}

int VcdWriter::AddUnknownSignal(const std::string& scope, const std::string& name, int width) {
    int index = AddSignal(scope, name, width, 0);
    signals_[index].known = false;
    return index;
}

void VcdWriter::Put(const std::string& text) {
    if (ok_ && std::fwrite(text.data(), 1, text.size(), out_) != text.size()) ok_ = false;
}

void VcdWriter::Begin(int64_t start, const std::string& comment) {
    if (!comment.empty()) Put("$comment " + comment + " $end\n");
    Put("$timescale " + timescale_ + " $end\n");
    // Signals of one scope are declared together, scopes in the order they
    // first appear.
    std::vector<std::string> scopes;
    for (const Signal& signal : signals_) {
        bool seen = false;
        for (const std::string& scope : scopes) seen = seen || scope == signal.scope;
        if (!seen) scopes.push_back(signal.scope);
    }
    for (const std::string& scope : scopes) {
        Put("$scope module " + scope + " $end\n");
        for (const Signal& signal : signals_) {
            if (signal.scope != scope) continue;
            Put("$var wire " + std::to_string(signal.width) + " " + signal.id + " " + signal.name + " $end\n");
        }
        Put("$upscope $end\n");
    }
    Put("$enddefinitions $end\n");
    Stamp(start);
    Put("$dumpvars\n");
    for (const Signal& signal : signals_) WriteValue(signal);
    Put("$end\n");
}

void VcdWriter::Stamp(int64_t time) {
    if (stamped_ && time <= last_) return;
    if (time < 0) time = 0;
    last_ = time;
    stamped_ = true;
    Put("#" + std::to_string(time) + "\n");
}

void VcdWriter::WriteValue(const Signal& signal) {
    if (!signal.known) {
        Put((signal.width == 1 ? std::string("x") : "bx ") + signal.id + "\n");
        return;
    }
    if (signal.width == 1) {
        Put((signal.value ? "1" : "0") + signal.id + "\n");
        return;
    }
    std::string bits = "b";
    for (int bit = signal.width - 1; bit >= 0; --bit) bits.push_back(((signal.value >> bit) & 1) ? '1' : '0');
    Put(bits + " " + signal.id + "\n");
}

void VcdWriter::Change(int64_t time, int signal, uint32_t value) {
    if (signal < 0 || signal >= static_cast<int>(signals_.size())) return;
    Signal& target = signals_[signal];
    if (target.width < 32) value &= (1u << target.width) - 1;
    if (target.known && value == target.value) return;
    target.value = value;
    target.known = true;
    Stamp(time);
    WriteValue(target);
}

void VcdWriter::Comment(int64_t time, const std::string& text) {
    Stamp(time);
    Put("$comment " + text + " $end\n");
}

void VcdWriter::End(int64_t time) {
    // The closing stamp must lie after the last change, or the viewer cuts
    // the last level to nothing.
    Stamp(stamped_ && time <= last_ ? last_ + 1 : time);
    if (ok_ && std::fflush(out_) != 0) ok_ = false;
    if (std::ferror(out_)) ok_ = false;
}
