// A VCD (value change dump) writer for waveforms of the port lines and the
// register: one-bit wires and vectors up to 32 bits. Times are counted in
// the dump's time unit, a microsecond unless the writer is given another.
//
// Contract: declare every signal with AddSignal, then Begin (header and the
// initial values), then Change in time order, then End with a closing time
// stamp (viewers end the capture at the last stamp they see). A time
// earlier than the last one written is taken as that time: viewers refuse a
// dump whose time goes back. A value is written only when it changes.
// Write errors are sticky and reported by Ok, so a caller checks once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class VcdWriter {
public:
    // `out` stays the caller's; the writer neither opens nor closes it.
    // `timescale` is the VCD's ("1 us", "1 ns").
    explicit VcdWriter(std::FILE* out, const char* timescale = "1 us") : out_(out), timescale_(timescale) {}

    // Adds a signal of `width` bits (1 to 32) in scope `scope` with its
    // value before the first change; returns its index for Change.
    int AddSignal(const std::string& scope, const std::string& name, int width, uint32_t initial);
    // A signal whose value is not known before its first change: it starts
    // as 'x', and its first Change is always written.
    int AddUnknownSignal(const std::string& scope, const std::string& name, int width);

    // The header and the initial values, stamped `start`. `comment` goes
    // into the header when it is not empty.
    void Begin(int64_t start, const std::string& comment = std::string());

    void Change(int64_t time, int signal, uint32_t value);

    // A comment at the current time (an event that is no signal, say).
    void Comment(int64_t time, const std::string& text);

    // The closing time stamp; flushes. Nothing may follow.
    void End(int64_t time);

    bool Ok() const { return ok_; }

private:
    struct Signal {
        std::string scope;
        std::string name;
        std::string id;
        int width;
        uint32_t value;
        bool known;  // false until the first change of a signal added unknown
    };

    void Stamp(int64_t time);
    void WriteValue(const Signal& signal);
    void Put(const std::string& text);

    std::FILE* out_;
    std::string timescale_;
    std::vector<Signal> signals_;
    int64_t last_ = 0;
    bool stamped_ = false;
    bool ok_ = true;
};
