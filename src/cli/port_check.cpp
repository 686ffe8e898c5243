#include "cli/port_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/port_problem.h"
#include "os/os.h"
#include "serial/serial_port.h"

namespace {

constexpr int32_t ALL_LINES = LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD;
// About 20 changes: enough for a median that one slow USB frame does not
// move, few enough to take well under a second on a slow adapter.
constexpr int TIMED_CHANGES = 20;

std::string Finding(const char* key, const std::string& text) {
    std::string line = "  ";
    line += key;
    line.append(line.size() < 14 ? 14 - line.size() : 1, ' ');
    return line + text;
}

struct Quirk {
    const char* usb;     // "vvvv:pppp", or null for every device of `driver`
    const char* driver;  // as this platform names it (PortEntry::driver), or null
    const char* text;
};

// A driver as each platform reports it: Linux its module, Windows its
// service, which match in any case there.
#ifdef _WIN32
#define PLATFORM_DRIVER(linuxModule, windowsService) windowsService
#else
#define PLATFORM_DRIVER(linuxModule, windowsService) linuxModule
#endif

// Both WCH chips share one driver, and with it the imitated break.
#define CH34X_BREAK                                                                                              \
    "the driver imitates a break by sending a NUL at 46 baud, so TXD goes low for about 196 ms and cannot be "    \
    "held: every latch pulse lasts that long whatever --step-ms says (at most about 5 frames a second), and a "  \
    "character goes out on TXD"

// What the field knows of some adapters. A quirk warns; it does not block:
// the transfer runs, only not as one may expect.
constexpr Quirk QUIRKS[] = {
    {"1a86:7523", nullptr, "CH340: " CH34X_BREAK},
    {"1a86:5523", nullptr, "CH341: " CH34X_BREAK},
    {"067b:2303", nullptr,
     "PL2303: clones (HXD among them) have no break at all, and older drivers still report success: if the lamps "
     "never change, the latch never pulsed"},
    {"10c4:ea70", nullptr, "CP2105: its second port has no break, so the register never latches there: use the first port"},
    {nullptr, PLATFORM_DRIVER("cdc_acm", "usbser"),
     "CDC-ACM: a break only where the device says it has one; Windows' driver for it (usbser.sys) sends an RTS "
     "change only together with a DTR write, so a data bit and its clock would go out at the same moment"},
};

bool SameDriver(const std::string& reported, const char* known) {
#ifdef _WIN32
    return _stricmp(reported.c_str(), known) == 0;
#else
    return reported == known;
#endif
}

// What the services that grab ports do, and how to stop them.
std::string GrabberText(const PortHolder& service) {
    std::string running = service.name + " is running (pid " + std::to_string(service.pid) + "): ";
    if (service.name == "brltty")
        return running +
               "it takes CH340 and CP210x adapters for braille displays as they are plugged in; if you have no "
               "braille display: sudo systemctl disable --now brltty";
    return running +
           "it opens new serial ports (ttyACM ones above all) and sends AT commands to them, moving the lines; "
           "sudo systemctl stop ModemManager, or a udev rule with ENV{ID_MM_DEVICE_IGNORE}=\"1\" for this adapter";
}

std::string Ms(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", ns / 1e6);
    return text;
}

// Sets `mask` to `levels` and reads the lines back where the driver reports
// them; on FAILED, `error` and `code` say why (SerialPortLastError).
enum class LineResult { SWITCHED, UNREPORTED, MISMATCH, FAILED };

LineResult SetAndRead(int32_t mask, int32_t levels, int32_t* error, int32_t* code) {
    if (!SerialPortSetLines(PORT_NUMBER, mask, levels)) {
        *error = SerialPortLastError(code);
        return LineResult::FAILED;
    }
    int32_t reported = 0;
    if (!SerialPortGetLines(PORT_NUMBER, &reported)) return LineResult::UNREPORTED;
    return (reported & mask) == (levels & mask) ? LineResult::SWITCHED : LineResult::MISMATCH;
}

class Checker {
public:
    Checker(const PortEntry& port, const std::u16string& path, const CheckSettings& settings)
        : port_(port), path_(path), idle_(settings.invert ? ALL_LINES : 0), invert_(settings.invert),
          registers_(settings.registers) {
        check_.status = EXIT_DONE;
        check_.warnings = 0;
    }

    PortCheck Run() {
        for (const std::string& line : IdentityFindings(port_)) check_.findings.push_back(line);
        if (Open()) {
            Sharers();
            // Every line idle first, as before a transfer's first frame:
            // whatever the driver did at open, the pulses below are then
            // rising edges at the register.
            SerialPortSetLines(PORT_NUMBER, ALL_LINES, idle_);
            // A register that answers is tested without a latch, so that
            // the lamps keep what they show.
            if (Lines() && Timing() && !Loopback()) Break();
            Rest();
            SerialPortClose(PORT_NUMBER);
        }
        for (const std::string& quirk : QuirkFindings(port_)) {
            check_.findings.push_back(quirk);
            ++check_.warnings;
        }
        for (const PortHolder& service : CliPortGrabbers()) {
            Add("service", GrabberText(service));
            ++check_.warnings;
        }
        if (check_.status == EXIT_DONE)
            check_.verdict = check_.warnings ? "usable, with " + std::to_string(check_.warnings) +
                                                   (check_.warnings == 1 ? " warning" : " warnings")
                                             : "usable";
        return check_;
    }

private:
    void Add(const char* key, const std::string& text) { check_.findings.push_back(Finding(key, text)); }

    // The first blocking problem gives the verdict and the status.
    void Block(int status, const std::string& verdict) {
        if (check_.status != EXIT_DONE) return;
        check_.status = status;
        check_.verdict = "not usable: " + verdict;
    }

    bool Interrupted() {
        if (!CliInterrupted()) return false;
        Add("stopped", opened_ ? "interrupted; the lines were put at rest" : "interrupted before the port was opened");
        Block(EXIT_INTERRUPTED, "interrupted before the check ended");
        return true;
    }

    bool Open() {
        if (int32_t refusal = SerialPortRefusal(path_.c_str())) {
            PortProblem refused = RefusalProblem(refusal);
            Add("open", refused.detail);
            Block(refused.status, refused.verdict);
            return false;
        }
        if (Interrupted()) return false;
        if (PortOpenForLines(path_)) {
            Add("open", "opens");
            opened_ = true;
            return true;
        }
        PortProblem open = PortOpenProblem(port_.device, path_);
        Add("open", open.detail);
        Block(open.status, open.status == EXIT_BUSY ? "port busy: " + Holders() : open.verdict);
        return false;
    }

    // Who holds a busy port, as a finding per holder; the verdict's words.
    std::string Holders() {
        std::vector<PortHolder> holders;
        if (!CliPortHolders(port_.device, &holders)) {
            Add("held by", "another program; this system does not say which");
            return "another program has it open";
        }
        if (holders.empty()) {
            Add("held by", "no process this user may look into; run the check as root to see the others");
            return "another program has it open";
        }
        std::string names;
        for (const PortHolder& holder : holders) {
            std::string how = holder.hasOpen && holder.locks ? "has it open and holds a lock on it"
                              : holder.locks                 ? "holds a lock on it"
                                                             : "has it open";
            std::string who = "pid " + std::to_string(holder.pid) + " (" + holder.name + ")";
            Add("held by", who + ": " + how);
            names += (names.empty() ? "" : ", ") + who;
        }
        return "held by " + names;
    }

    // Other programs that have the port open too: the open succeeds where
    // they took no lock, and then two programs switch the same lines, each
    // garbling the other's frames. A transfer does not pay for this scan.
    void Sharers() {
        std::vector<PortHolder> holders;
        if (!CliPortHolders(port_.device, &holders)) return;
        for (const PortHolder& holder : holders) {
            Add("also open", "pid " + std::to_string(holder.pid) + " (" + holder.name +
                                 ") has it open too: its line changes and this program's would garble each other's "
                                 "frames; end it, or close the port there");
            ++check_.warnings;
        }
    }

    // Where the check ran to its end the register holds zeros, shifted and
    // latched, and the lines go to the level a closing driver leaves them
    // at, so that no close has an edge left to make: DTR and the break
    // clear. Under invert that is the break first (a second latch of the
    // same zeros), then DTR (a shift with no latch after it); RTS stays
    // idle. Otherwise they stay idle, which gives the register no rising
    // edge.
    void Rest() {
        SerialPortSetLines(PORT_NUMBER, ALL_LINES, idle_);
        if (!invert_ || !latched_ || check_.status != EXIT_DONE) return;
        SerialPortSetLines(PORT_NUMBER, LINE_BIT_TXD, 0);
        SerialPortSetLines(PORT_NUMBER, LINE_BIT_DTR, 0);
    }

    // DTR and RTS each set away from idle and back, read back where the
    // driver reports them. False when nothing more can be learned (no
    // modem lines, a device gone).
    bool Lines() {
        for (int32_t bit : {LINE_BIT_DTR, LINE_BIT_RTS}) {
            if (Interrupted()) return false;
            switch (Line(bit)) {
                case LineCheck::STOP: return false;
                case LineCheck::SWITCHES:
                    if (bit == LINE_BIT_DTR) clockSwitches_ = true;
                    if (bit == LINE_BIT_RTS) dataSwitches_ = true;
                    break;
                case LineCheck::FAILS: break;
            }
        }
        return true;
    }

    enum class LineCheck { SWITCHES, FAILS, STOP };

    LineCheck Line(int32_t bit) {
        const char* name = bit == LINE_BIT_DTR ? "DTR" : "RTS";
        bool reported = true;
        for (int32_t levels : {idle_ ^ bit, idle_}) {
            int32_t error = 0, code = 0;
            LineResult result = SetAndRead(bit, levels, &error, &code);
            if (result == LineResult::UNREPORTED) reported = false;
            if (result == LineResult::FAILED) {
                PortProblem problem = LineProblem(bit, error, code);
                Add(name, problem.detail);
                Block(problem.status, problem.verdict);
                return problem.final ? LineCheck::STOP : LineCheck::FAILS;
            }
            if (result == LineResult::MISMATCH) {
                PortProblem problem = LineProblem(bit, LINE_STUCK, (levels & bit) ? 1 : 0);
                Add(name, problem.detail);
                Block(problem.status, problem.verdict);
                return LineCheck::FAILS;
            }
        }
        Add(name, reported ? "switches: set and cleared, and the driver reports both"
                           : "switches: set and cleared (the driver does not report the lines back)");
        return LineCheck::SWITCHES;
    }

    // Clocks with the data line at 0, timed one by one, as a transfer
    // changes them: the register then holds zeros, which the break's latch
    // pulse shows.
    bool Timing() {
        if (!clockSwitches_) return true;
        const bool together = SerialPortSetsLinesTogether() != 0;
        const int32_t mask = together ? LINE_BIT_DTR | LINE_BIT_RTS : LINE_BIT_DTR;
        std::vector<int64_t> times;
        for (int k = 1; k <= TIMED_CHANGES; ++k) {
            if (Interrupted()) return false;
            int64_t start = OsMonotonicNs();
            if (!SerialPortSetLines(PORT_NUMBER, mask, idle_ ^ ((k & 1) ? LINE_BIT_DTR : 0))) {
                int32_t code = 0;
                int32_t error = SerialPortLastError(&code);
                PortProblem problem = LineProblem(mask, error, code);
                Add("per change", problem.text + " (after " + std::to_string(k - 1) + (k == 2 ? " change)" : " changes)"));
                Block(problem.status, problem.verdict);
                return !problem.final;
            }
            times.push_back(OsMonotonicNs() - start);
        }
        // The fewest changes a frame within a run takes: where each line is
        // its own call, bits that differ from the one before add one each.
        const Pattern steady(static_cast<size_t>(registers_), 0x00);
        const size_t changes = PlanFrame(steady, invert_, together, DataLevel(steady, 1, invert_)).size();
        Add("per change", TimingFinding(times, changes, registers_));
        return true;
    }

    // One bit into the chain: the data with the clock down, then the rise,
    // which shifts it in and moves the last stage to QH'. False when a
    // line failed.
    bool Clock(bool bit) {
        const int32_t data = bit ? idle_ ^ LINE_BIT_RTS : idle_;
        return SerialPortSetLines(PORT_NUMBER, LINE_BIT_DTR | LINE_BIT_RTS, (idle_ & LINE_BIT_DTR) | (data & LINE_BIT_RTS)) &&
               SerialPortSetLines(PORT_NUMBER, LINE_BIT_DTR, idle_ ^ LINE_BIT_DTR);
    }

    bool Fill(bool bit, int count) {
        for (int k = 0; k < count; ++k) {
            if (!Clock(bit)) return false;
        }
        return true;
    }

    // The input lines once they have stopped moving: read until they keep
    // one value for SETTLE_NS. `changedNs`: how long after `sinceNs` the
    // last change was seen (unchanged where none was). False when the
    // driver does not report them.
    bool Settled(int32_t* lines, int64_t sinceNs = 0, int64_t* changedNs = nullptr) {
        constexpr int64_t SETTLE_NS = 30000000;
        int32_t last = 0;
        if (!SerialPortGetInputLines(PORT_NUMBER, &last)) return false;
        const int32_t first = last;
        int64_t stable = OsMonotonicNs();
        int64_t changed = -1;
        while (OsMonotonicNs() - stable < SETTLE_NS) {
            int32_t now = 0;
            if (!SerialPortGetInputLines(PORT_NUMBER, &now)) return false;
            if (now != last) {
                stable = OsMonotonicNs();
                changed = stable;
                last = now;
            }
        }
        if (changedNs && sinceNs && (changed >= 0 || first != *lines)) *changedNs = (changed >= 0 ? changed : sinceNs) - sinceNs;
        *lines = last;
        return true;
    }

    // The input line the chain's QH' comes back on, if any: the register
    // is then tested through it, the latch never pulsed, and true is
    // returned. False (nothing tested) where nothing answers or the driver
    // does not report the inputs; the break is then checked as before.
    bool Loopback() {
        if (!clockSwitches_ || !dataSwitches_ || Interrupted()) return false;
        static const struct {
            int32_t bit;
            const char* name;
        } INPUTS[] = {{INPUT_BIT_CTS, "CTS"}, {INPUT_BIT_DSR, "DSR"}, {INPUT_BIT_DCD, "DCD"}, {INPUT_BIT_RI, "RI"}};
        const int expected = 8 * registers_;
        // Long enough to fill a chain twice as long as the user says.
        const int most = std::min(8 * MAX_REGISTERS + 8, 16 * registers_ + 32);
        int32_t start = 0, ones = 0, zeros = 0, again = 0;
        if (!Settled(&start)) {
            Add("register", "the driver does not report CTS, DSR, DCD or RI: the register cannot be tested from here");
            return false;
        }
        if (!Fill(true, most) || !Settled(&ones) || !Fill(false, most) || !Settled(&zeros) || !Fill(true, most) ||
            !Settled(&again))
            return LoopbackFailed();
        const int32_t answering = (ones ^ zeros) & ~(ones ^ again);
        const char* name = nullptr;
        int32_t line = 0;
        for (const auto& input : INPUTS) {
            if (answering & input.bit) {
                line = input.bit;
                name = input.name;
                break;
            }
        }
        if (!line) {
            // Set whatever went in: a stage stuck at the level that shows
            // set; where it sits, the bits clocked through it hide.
            for (const auto& input : INPUTS) {
                if (ones & zeros & again & input.bit) {
                    Add("register", std::string("every bit comes back stuck at 1 on ") + input.name +
                                        ": a stage of the chain is stuck (which one, the bits clocked through it "
                                        "hide), or something else holds " + input.name + " set");
                    Block(EXIT_IO, "the register does not pass every bit");
                    return true;
                }
            }
            Add("register", "nothing answers on CTS, DSR, DCD or RI: wire the last register's QH' to CTS to let "
                            "--check test the register");
            // Zeros again, for the latch that follows to darken the lamps.
            if (!Fill(false, most)) return LoopbackFailed();
            return false;
        }
        const bool direct = (ones & line) != 0;
        auto high = [&](int32_t lines) { return ((lines & line) != 0) == direct; };

        // The chain holds ones. k zeros reach QH' when k is at least its
        // length; the ones clocked after them fill it again. The delay of
        // the report is longest where the zero arrived with the last clock.
        int64_t delayNs = 0;
        int low = 1, top = most;
        while (low < top) {
            if (Interrupted()) return true;
            const int k = (low + top) / 2;
            int32_t lines = again;
            int64_t changed = 0;
            if (!Fill(false, k) || !Settled(&lines, OsMonotonicNs(), &changed)) return LoopbackFailed();
            delayNs = std::max(delayNs, changed);
            if (high(lines)) {
                low = k + 1;
            } else {
                top = k;
            }
            int32_t back = lines;
            if (!Fill(true, k) || !Settled(&back)) return LoopbackFailed();
        }
        const int length = low;
        {
            // Once more at exactly the length: the report's delay.
            int32_t lines = again;
            int64_t changed = 0;
            if (!Fill(false, length - 1) || !Clock(false) || !Settled(&lines, OsMonotonicNs(), &changed) ||
                !Fill(true, length) || !Settled(&again))
                return LoopbackFailed();
            delayNs = std::max(delayNs, changed);
        }

        // Every position passes both levels: alternating bits, then their
        // complement, each read as it leaves the chain, a wait of at least
        // the report's delay after each clock.
        const int64_t waitNs = delayNs + delayNs / 2 + 100000;
        int wrong = 0, firstWrong = 0;
        bool wrongLevel = false;
        // What went in, after the ones the chain holds: QH' shows the bit
        // clocked in `length` - 1 clocks before the last.
        std::vector<bool> sent(static_cast<size_t>(length), true);
        for (int round = 0; round < 3; ++round) {
            for (int k = 0; k < length; ++k) {
                const bool bit = round == 2 ? true : ((k & 1) != 0) != (round == 1);
                if (!Clock(bit)) return LoopbackFailed();
                sent.push_back(bit);
                const int64_t until = OsMonotonicNs() + waitNs;
                while (OsMonotonicNs() < until) {
                }
                int32_t lines = 0;
                if (!SerialPortGetInputLines(PORT_NUMBER, &lines)) return LoopbackFailed();
                if (high(lines) != sent[sent.size() - static_cast<size_t>(length)] && !wrong++) {
                    firstWrong = k + 1;
                    wrongLevel = high(lines);
                }
            }
        }
        char delay[96];
        std::snprintf(delay, sizeof delay, "an input change showed within %.2f ms; each read waited %.2f ms",
                      static_cast<double>(delayNs) / 1e6, static_cast<double>(waitNs) / 1e6);
        const std::string on = std::string(name) + (direct ? "" : " (inverted on the way back)");
        if (length != expected) {
            Add("register", "the chain is " + std::to_string(length) + " outputs long, --registers says " +
                                std::to_string(registers_) + " (" + std::to_string(expected) + ")");
            Block(EXIT_IO, "the chain is not as long as --registers says");
        }
        if (wrong) {
            Add("register", "bit " + std::to_string(firstWrong) + " of " + std::to_string(length) +
                                " comes back as " + (wrongLevel ? "1" : "0") + " where the other level went in (" +
                                std::to_string(wrong) + " of " + std::to_string(3 * length) + " reads on " + on +
                                "; " + delay + ")");
            Block(EXIT_IO, "the register does not pass every bit");
            return true;
        }
        const int chained = length / 8;
        std::string what = length % 8 ? std::to_string(length) + " stages"
                           : chained == 1 ? "1 register (8 outputs)"
                                          : std::to_string(chained) + " chained registers (" + std::to_string(length) +
                                                " outputs)";
        Add("register", what + (length == 8 ? " answers on " : " answer on ") + on + ": every bit comes back, both levels at every position, no latch "
                               "pulsed (" + delay + ")");
        return true;
    }

    bool LoopbackFailed() {
        int32_t code = 0;
        int32_t error = SerialPortLastError(&code);
        PortProblem problem = LineProblem(LINE_BIT_DTR | LINE_BIT_RTS, error, code);
        Add("register", "the test stopped: " + problem.text);
        Block(problem.status, problem.verdict);
        return true;
    }

    // The break set and cleared: a latch pulse. No driver reports a break
    // back.
    void Break() {
        if (Interrupted()) return;
        for (int32_t levels : {idle_ ^ LINE_BIT_TXD, idle_}) {
            if (!SerialPortSetLines(PORT_NUMBER, LINE_BIT_TXD, levels)) {
                int32_t code = 0;
                int32_t error = SerialPortLastError(&code);
                PortProblem problem = LineProblem(LINE_BIT_TXD, error, code);
                Add("break", problem.detail);
                Block(problem.status, problem.verdict);
                return;
            }
        }
        latched_ = true;
        Add("break", "sets and clears (no driver reports a break back: the lamps show whether it latched)");
    }

    PortEntry port_;
    std::u16string path_;
    int32_t idle_;  // every line at the level the register sees as low
    bool invert_;
    bool opened_ = false;
    bool latched_ = false;        // the break pulsed: the register latched zeros
    bool clockSwitches_ = false;  // DTR switched: the changes can be timed
    bool dataSwitches_ = false;   // RTS switched: bits can go into the chain
    int registers_;
    PortCheck check_;
};

}  // namespace

std::vector<std::string> IdentityFindings(const PortEntry& port) {
    std::vector<std::string> lines;
    bool known = !port.byId.empty() || !port.usb.empty() || !port.driver.empty() || !port.name.empty() ||
                 !port.hardwareId.empty() || port.console;
    lines.push_back(Finding("device", port.device + (known ? "" : " (not among the ports --list shows: nothing "
                                                                   "more is known of it)")));
    if (!port.name.empty()) lines.push_back(Finding("name", port.name));
    if (!port.byId.empty()) lines.push_back(Finding("by-id", port.byId + " (a name that stays across re-plugs)"));
    if (!port.usb.empty()) {
        std::string what = port.maker;
        if (!port.product.empty()) what += (what.empty() ? "" : " ") + port.product;
        lines.push_back(Finding("usb", port.usb + (what.empty() ? "" : ", " + what)));
    }
    if (!port.driver.empty()) lines.push_back(Finding("driver", port.driver));
    if (!port.hardwareId.empty()) lines.push_back(Finding("hardware", port.hardwareId));
    if (port.console) lines.push_back(Finding("console", "the kernel's console runs on it"));
    return lines;
}

std::vector<std::string> QuirkFindings(const PortEntry& port) {
    std::vector<std::string> lines;
    for (const Quirk& quirk : QUIRKS) {
        bool found = quirk.usb ? port.usb == quirk.usb : SameDriver(port.driver, quirk.driver);
        if (found) lines.push_back(Finding("quirk", quirk.text));
    }
    return lines;
}

std::string TimingFinding(std::vector<int64_t> changeNs, size_t changesPerFrame, int registers) {
    if (changeNs.empty()) return "not measured";
    std::sort(changeNs.begin(), changeNs.end());
    const size_t n = changeNs.size();
    const double median = n % 2 ? static_cast<double>(changeNs[n / 2])
                                : (static_cast<double>(changeNs[n / 2 - 1]) + static_cast<double>(changeNs[n / 2])) / 2;
    const double frameNs = median * static_cast<double>(changesPerFrame);
    const double defaultFrameNs = (median + 10e6) * static_cast<double>(changesPerFrame);
    char rates[160];
    std::snprintf(rates, sizeof rates, "about %.0f frames a second at --step-ms 0, %.1f at the default --step-ms 10",
                  frameNs > 0 ? 1e9 / frameNs : 0.0, 1e9 / defaultFrameNs);
    return Ms(median) + " median of " + std::to_string(n) + " changes, " + Ms(static_cast<double>(changeNs.back())) +
           " the slowest: a frame (" + std::to_string(changesPerFrame) + " changes) takes at least " + Ms(frameNs) +
           (registers > 1 ? " for " + std::to_string(registers) + " chained registers" : std::string()) +
           ", " + rates;
}

PortCheck CheckPort(const PortEntry& port, const std::u16string& devicePath, const CheckSettings& settings) {
    return Checker(port, devicePath, settings).Run();
}

void PrintCheck(const std::string& port, const PortCheck& check, bool quiet, std::FILE* out) {
    if (!quiet) {
        for (const std::string& line : check.findings) std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out, "%s: %s\n", port.c_str(), check.verdict.c_str());
}
