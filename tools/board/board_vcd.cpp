// board_vcd: the simulated board's trace as a VCD waveform, for PulseView
// (sigrok) and GTKWave.
//
// Usage: board_vcd [--pid PID] [--gtkwave] TRACE|- [OUTPUT.vcd]
//
// Per board (one per process that wrote to the trace): the port lines DTR,
// RTS and TXD_BREAK at the levels the port drove them (before the board's
// inverter, if it has one), the chain's outputs Q1 to Q(8N) (N registers, as
// the header's registers= or else the widest outputs= says) and PORT_OPEN,
// high while the port is open, all one-bit wires. --gtkwave adds SHIFT, the
// shift registers as a vector of 8N bits (bit 0 is the stage after SER);
// a chain longer than four registers, wider than a vector may be here, has
// one 8-bit SHIFT_R1 to SHIFT_R(N) per register instead. The sigrok of
// Debian 12 (libsigrok 0.5.2) stops reading a dump at the first vector
// value, and at any comment after the definitions, so neither is written
// by default. Time scale 1 us, time 0 at the first event; every
// process is placed on the time of day through its header, so runs
// appended to one trace keep their real distance. A trace of one process
// gives the plain names above in scope "board"; with several, each process
// has its own scope and its wires end in "_PID". --pid keeps one process.
//
// The trace may still be growing: an unfinished last line is left for the
// next conversion. Lines that are neither an event nor a board header are
// skipped and counted in one warning. The VCD goes to OUTPUT or to
// standard output.
//
// Exit status: 0 written; 64 usage; 66 the trace cannot be opened; 73 the
// output cannot be created; 74 reading or writing failed.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "waveform/vcd_writer.h"

namespace {

constexpr const char* PROGRAM = "board_vcd";
constexpr int EXIT_USAGE = 64, EXIT_NO_INPUT = 66, EXIT_CANNOT_CREATE = 73, EXIT_IO = 74;
// The capture goes on one transfer step past the last event, so that the
// last levels show.
constexpr int64_t TAIL_US = 10000;

// One process's board, from its header line on.
struct Timeline {
    long pid = 0;
    bool anchored = false;     // the header tied its clock to the time of day
    int64_t wallOffsetNs = 0;  // time of day minus the trace's clock
    std::string header;        // the header after "# board "
    std::string name;          // in scope and wire names: the pid, made unique
    bool open = false;         // while reading: the port is open
    size_t registers = 0;      // N; 0 until the header or an event says
    bool registersFromHeader = false;
    // VcdWriter indices: DTR, RTS, TXD_BREAK, PORT_OPEN; Q1 to Q(8N); the
    // shift vector or one per register.
    int lines[4] = {};
    std::vector<int> outputs, shift;
};

// The board after one event (the trace line's state fields).
struct Event {
    int64_t wallNs;
    size_t timeline;
    bool open;  // the port is open after this event
    unsigned dtr, rts, brk;
    // Byte r is register r+1's, bit 0 its QA (or the stage before it).
    std::vector<uint8_t> shift, outputs;
};

enum { SIGNAL_DTR, SIGNAL_RTS, SIGNAL_BREAK, SIGNAL_OPEN };
constexpr size_t MAX_REGISTERS = 128;
// The widest vector the writer takes, in registers.
constexpr size_t VECTOR_REGISTERS = 4;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// A whole-word unsigned number in `base`; false if the word is not one.
bool Number(const std::string& text, int base, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno || *end) return false;
    *value = parsed;
    return true;
}

// The value of "key=value" among `words`, from `first` on; false if absent.
bool Field(const std::vector<std::string>& words, size_t first, const char* key, std::string* value) {
    const size_t keyLength = std::strlen(key);
    for (size_t i = first; i < words.size(); ++i) {
        if (words[i].size() > keyLength && words[i].compare(0, keyLength, key) == 0 && words[i][keyLength] == '=') {
            *value = words[i].substr(keyLength + 1);
            return true;
        }
    }
    return false;
}

bool NumberField(const std::vector<std::string>& words, size_t first, const char* key, int base, uint64_t limit,
                 uint64_t* value) {
    std::string text;
    if (base == 16) {
        if (!Field(words, first, key, &text) || text.compare(0, 2, "0x") != 0) return false;
        text.erase(0, 2);
    } else if (!Field(words, first, key, &text)) {
        return false;
    }
    return Number(text, base, value) && *value <= limit;
}

// "key=0x" and two to 256 hexadecimal digits, an even number, as the
// chain's bytes (the last two digits are byte 0).
bool BytesField(const std::vector<std::string>& words, size_t first, const char* key, std::vector<uint8_t>* bytes) {
    std::string text;
    if (!Field(words, first, key, &text) || text.compare(0, 2, "0x") != 0) return false;
    const size_t digits = text.size() - 2;
    if (digits == 0 || digits % 2 || digits > 2 * MAX_REGISTERS) return false;
    bytes->assign(digits / 2, 0);
    for (size_t i = 0; i < digits / 2; ++i) {
        uint64_t value;
        if (!Number(text.substr(text.size() - 2 * i - 2, 2), 16, &value)) return false;
        (*bytes)[i] = static_cast<uint8_t>(value);
    }
    return true;
}

class TraceReader {
public:
    explicit TraceReader(long onlyPid) : onlyPid_(onlyPid) {}

    // One complete line of the trace.
    void Take(const std::string& line) {
        std::vector<std::string> words = Words(line);
        if (words.size() >= 2 && words[0] == "#") {
            if (words[1] != "board" || !TakeHeader(line, words)) ++skipped_;
        } else if (!TakeEvent(words)) {
            ++skipped_;
        }
    }

    std::vector<Timeline>& Timelines() { return timelines_; }
    std::vector<Event>& Events() { return events_; }
    long Skipped() const { return skipped_; }

private:
    bool TakeHeader(const std::string& line, const std::vector<std::string>& words) {
        uint64_t pid, monotonic, realtime, registers;
        if (!NumberField(words, 2, "pid", 10, INT32_MAX, &pid)) return false;
        if (onlyPid_ >= 0 && static_cast<long>(pid) != onlyPid_) return true;
        Timeline timeline;
        timeline.pid = static_cast<long>(pid);
        if (NumberField(words, 2, "monotonic_ns", 10, INT64_MAX, &monotonic) &&
            NumberField(words, 2, "realtime_ns", 10, INT64_MAX, &realtime)) {
            timeline.anchored = true;
            timeline.wallOffsetNs = static_cast<int64_t>(realtime) - static_cast<int64_t>(monotonic);
        }
        if (NumberField(words, 2, "registers", 10, MAX_REGISTERS, &registers) && registers > 0) {
            timeline.registers = static_cast<size_t>(registers);
            timeline.registersFromHeader = true;
        }
        timeline.header = line.substr(line.find("board") + 5);
        timeline.header.erase(0, timeline.header.find_first_not_of(' '));
        timelines_.push_back(timeline);
        return true;
    }

    bool TakeEvent(const std::vector<std::string>& words) {
        uint64_t time, pid, dtr, rts, brk;
        Event event;
        if (words.size() < 3 || !Number(words[0], 10, &time) || time > INT64_MAX) return false;
        const std::string& name = words[1];
        if (name != "open" && name != "close" && name != "DTR" && name != "RTS" && name != "BREAK") return false;
        if (!NumberField(words, 3, "pid", 10, INT32_MAX, &pid) || !NumberField(words, 3, "dtr", 10, 1, &dtr) ||
            !NumberField(words, 3, "rts", 10, 1, &rts) || !NumberField(words, 3, "break", 10, 1, &brk) ||
            !BytesField(words, 3, "shift", &event.shift) || !BytesField(words, 3, "outputs", &event.outputs))
            return false;
        if (onlyPid_ >= 0 && static_cast<long>(pid) != onlyPid_) return true;

        size_t index = FindTimeline(static_cast<long>(pid));
        Timeline& timeline = timelines_[index];
        if (name == "open" || name == "close") timeline.open = name == "open";
        if (!timeline.registersFromHeader) timeline.registers = std::max(timeline.registers, event.outputs.size());
        event.timeline = index;
        event.wallNs = static_cast<int64_t>(time) + timeline.wallOffsetNs;
        event.open = timeline.open;
        event.dtr = static_cast<unsigned>(dtr);
        event.rts = static_cast<unsigned>(rts);
        event.brk = static_cast<unsigned>(brk);
        events_.push_back(std::move(event));
        return true;
    }

    // The latest timeline of `pid` (a pid may come back in a later run).
    // Events whose header is missing (a trace cut at the front) get one of
    // their own, tied to the time of day like the first anchored one: the
    // trace's clock is the machine's, the same for every process.
    size_t FindTimeline(long pid) {
        for (size_t i = timelines_.size(); i-- > 0;)
            if (timelines_[i].pid == pid) return i;
        Timeline timeline;
        timeline.pid = pid;
        timeline.header = "pid=" + std::to_string(pid) + " (no header)";
        for (const Timeline& other : timelines_) {
            if (other.anchored) {
                timeline.anchored = true;
                timeline.wallOffsetNs = other.wallOffsetNs;
                break;
            }
        }
        timelines_.push_back(timeline);
        return timelines_.size() - 1;
    }

    long onlyPid_;
    std::vector<Timeline> timelines_;
    std::vector<Event> events_;
    long skipped_ = 0;
};

// Reads every complete line; an unfinished last line is still being
// written and is left out. Returns false on a read error.
bool ReadTrace(std::FILE* in, TraceReader* reader) {
    std::string line;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            if (buffer[i] != '\n') {
                line.push_back(buffer[i]);
                continue;
            }
            reader->Take(line);
            line.clear();
        }
    }
    return !std::ferror(in);
}

void AddBoardSignals(VcdWriter* vcd, Timeline* timeline, bool alone, bool vector) {
    const std::string scope = alone ? "board" : "board_pid" + timeline->name;
    const std::string suffix = alone ? "" : "_" + timeline->name;
    const size_t registers = std::max<size_t>(timeline->registers, 1);
    timeline->lines[SIGNAL_DTR] = vcd->AddSignal(scope, "DTR" + suffix, 1, 0);
    timeline->lines[SIGNAL_RTS] = vcd->AddSignal(scope, "RTS" + suffix, 1, 0);
    timeline->lines[SIGNAL_BREAK] = vcd->AddSignal(scope, "TXD_BREAK" + suffix, 1, 0);
    for (size_t k = 0; k < 8 * registers; ++k)
        timeline->outputs.push_back(vcd->AddSignal(scope, "Q" + std::to_string(k + 1) + suffix, 1, 0));
    timeline->lines[SIGNAL_OPEN] = vcd->AddSignal(scope, "PORT_OPEN" + suffix, 1, 0);
    if (!vector) return;
    if (registers <= VECTOR_REGISTERS) {
        const std::string bits = " [" + std::to_string(8 * registers - 1) + ":0]";
        timeline->shift.push_back(vcd->AddSignal(scope, "SHIFT" + suffix + bits, static_cast<int>(8 * registers), 0));
        return;
    }
    for (size_t r = 0; r < registers; ++r)
        timeline->shift.push_back(vcd->AddSignal(scope, "SHIFT_R" + std::to_string(r + 1) + suffix + " [7:0]", 8, 0));
}

// Bit `k` of the chain's bytes; a register the event did not have is 0.
unsigned Bit(const std::vector<uint8_t>& bytes, size_t k) {
    return k / 8 < bytes.size() ? (bytes[k / 8] >> (k % 8)) & 1 : 0;
}

// Register r's byte, or registers 1 to `count` as one number.
uint32_t Bytes(const std::vector<uint8_t>& bytes, size_t first, size_t count) {
    uint32_t value = 0;
    for (size_t r = first + count; r-- > first;) value = value << 8 | (r < bytes.size() ? bytes[r] : 0u);
    return value;
}

std::string TimeOfDay(int64_t wallNs) {
    std::time_t seconds = static_cast<std::time_t>(wallNs / 1000000000);
    char text[64];
    const std::tm* utc = std::gmtime(&seconds);
    if (!utc || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", utc)) return "an unknown time";
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06" PRId64 " UTC", wallNs % 1000000000 / 1000);
    return text + std::string(fraction);
}

// Writes the waveform; false when writing failed.
bool WriteVcd(std::FILE* out, const std::string& traceName, bool vector, TraceReader* reader) {
    std::vector<Timeline>& timelines = reader->Timelines();
    std::vector<Event>& events = reader->Events();
    // Nothing recorded yet: one board at power-up.
    if (timelines.empty()) timelines.push_back(Timeline());
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.wallNs < b.wallNs; });
    const int64_t originNs = events.empty() ? 0 : events.front().wallNs;

    VcdWriter vcd(out);
    for (size_t i = 0; i < timelines.size(); ++i) {
        // A pid that comes back in a later run gets a number: 4242, 4242_2.
        int seen = 1;
        for (size_t j = 0; j < i; ++j) seen += timelines[j].pid == timelines[i].pid;
        timelines[i].name = std::to_string(timelines[i].pid) + (seen > 1 ? "_" + std::to_string(seen) : "");
        AddBoardSignals(&vcd, &timelines[i], timelines.size() == 1, vector);
    }
    const bool anchored = !events.empty() && timelines[events.front().timeline].anchored;
    std::string comment = "Shiftlamp board trace " + traceName + "; time 0 is " +
                          (anchored ? TimeOfDay(originNs) : std::string("the first event")) +
                          "; port lines as the port drove them";
    for (const Timeline& timeline : timelines) comment += "\n  board " + timeline.header;
    vcd.Begin(0, comment);

    int64_t lastUs = 0;
    for (const Event& event : events) {
        const Timeline& timeline = timelines[event.timeline];
        lastUs = (event.wallNs - originNs) / 1000;
        vcd.Change(lastUs, timeline.lines[SIGNAL_DTR], event.dtr);
        vcd.Change(lastUs, timeline.lines[SIGNAL_RTS], event.rts);
        vcd.Change(lastUs, timeline.lines[SIGNAL_BREAK], event.brk);
        for (size_t k = 0; k < timeline.outputs.size(); ++k)
            vcd.Change(lastUs, timeline.outputs[k], Bit(event.outputs, k));
        vcd.Change(lastUs, timeline.lines[SIGNAL_OPEN], event.open ? 1 : 0);
        if (timeline.shift.size() == 1) {
            vcd.Change(lastUs, timeline.shift[0], Bytes(event.shift, 0, timeline.outputs.size() / 8));
        } else {
            for (size_t r = 0; r < timeline.shift.size(); ++r)
                vcd.Change(lastUs, timeline.shift[r], Bytes(event.shift, r, 1));
        }
    }
    vcd.End(lastUs + TAIL_US);
    return vcd.Ok();
}

constexpr const char* USAGE = "usage: board_vcd [--pid PID] [--gtkwave] TRACE|- [OUTPUT.vcd]\n";

int Help() {
    std::fputs(USAGE, stdout);
    std::fputs("Writes the simulated board's trace as a VCD waveform (1 us time scale) to\n"
               "OUTPUT or standard output: DTR, RTS, TXD_BREAK, Q1..Q(8N) for a chain of N\n"
               "registers and PORT_OPEN per process, one-bit wires that PulseView reads.\n"
               "--pid keeps only that process; --gtkwave adds SHIFT, the shift registers\n"
               "as an 8N-bit vector (SHIFT_R1..SHIFT_R(N), 8 bits each, beyond four\n"
               "registers; Debian 12's PulseView stops reading at a vector).\n",
               stdout);
    return 0;
}

int UsageError(const std::string& word, const char* what) {
    std::fprintf(stderr, "%s: %s: %s\n%s", PROGRAM, word.c_str(), what, USAGE);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    long onlyPid = -1;
    bool vector = false;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        uint64_t pid;
        if (word == "--help" || word == "-h") return Help();
        if (word == "--pid") {
            if (i + 1 == argc) return UsageError(word, "needs a process id");
            if (!Number(argv[++i], 10, &pid) || pid > INT32_MAX) return UsageError(argv[i], "is no process id");
            onlyPid = static_cast<long>(pid);
        } else if (word == "--gtkwave") {
            vector = true;
        } else if (word.size() > 1 && word[0] == '-') {
            return UsageError(word, "unknown option");
        } else if (names.size() == 2) {
            return UsageError(word, "one trace and one output at most");
        } else {
            names.push_back(word);
        }
    }
    if (names.empty()) return UsageError("TRACE", "missing");

    const std::string& traceName = names[0];
    std::FILE* in = traceName == "-" ? stdin : std::fopen(traceName.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, traceName.c_str(), std::strerror(errno));
        return EXIT_NO_INPUT;
    }
    TraceReader reader(onlyPid);
    const bool readOk = ReadTrace(in, &reader);
    if (in != stdin) std::fclose(in);
    if (!readOk) {
        std::fprintf(stderr, "%s: %s: read failed\n", PROGRAM, traceName.c_str());
        return EXIT_IO;
    }

    std::FILE* out = stdout;
    if (names.size() == 2) {
        out = std::fopen(names[1].c_str(), "wb");
        if (!out) {
            std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, names[1].c_str(), std::strerror(errno));
            return EXIT_CANNOT_CREATE;
        }
    }
    bool written = WriteVcd(out, traceName == "-" ? "(standard input)" : traceName, vector, &reader);
    if (out != stdout && std::fclose(out) != 0) written = false;
    if (!written) {
        std::fprintf(stderr, "%s: %s: write failed\n", PROGRAM, names.size() == 2 ? names[1].c_str() : "standard output");
        return EXIT_IO;
    }
    if (reader.Skipped() > 0)
        std::fprintf(stderr, "%s: %s: skipped %ld line(s) that are neither a board event nor a header\n",
                     PROGRAM, traceName.c_str(), reader.Skipped());
    return 0;
}
