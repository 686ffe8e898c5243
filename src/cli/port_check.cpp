#include "cli/port_check.h"

#include <algorithm>
#include <cstring>

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "cli/send_run.h"
#include "os/os.h"
#include "serial/serial_port.h"

namespace {

constexpr intptr_t PORT_NUMBER = 0;
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
    const char* key;  // "vvvv:pppp", or "driver NAME" for every device of a driver
    const char* text;
};

// Both WCH chips share one driver, and with it the imitated break.
#define CH34X_BREAK                                                                                              \
    "the driver imitates a break by sending a NUL at 46 baud, so TXD goes low for about 196 ms and cannot be "    \
    "held: every latch pulse lasts that long whatever --step-ms says (at most about 5 frames a second), and a "  \
    "character goes out on TXD"

// What the field knows of some adapters. A quirk warns; it does not block:
// the transfer runs, only not as one may expect.
constexpr Quirk QUIRKS[] = {
    {"1a86:7523", "CH340: " CH34X_BREAK},
    {"1a86:5523", "CH341: " CH34X_BREAK},
    {"067b:2303",
     "PL2303: clones (HXD among them) have no break at all, and older drivers still report success: if the lamps "
     "never change, the latch never pulsed"},
    {"10c4:ea70", "CP2105: its second port has no break, so the register never latches there: use the first port"},
    {"driver cdc_acm",
     "CDC-ACM: a break only where the device says it has one; Windows' driver for it (usbser.sys) sends an RTS "
     "change only together with a DTR write, so a data bit and its clock would go out at the same moment"},
};

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
        : port_(port), path_(path), rest_(settings.invert ? ALL_LINES : 0), invert_(settings.invert) {
        check_.status = EXIT_DONE;
        check_.warnings = 0;
    }

    PortCheck Run() {
        for (const std::string& line : IdentityFindings(port_)) check_.findings.push_back(line);
        if (Open()) {
            if (Lines() && Timing()) Break();
            // At rest whatever happened: a failed line may still let the
            // others go back.
            SerialPortSetLines(PORT_NUMBER, ALL_LINES, rest_);
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
            Add("open", "never opened: " + RefusalText(refusal));
            Block(EXIT_PERMISSION, "refused: this program never opens it");
            return false;
        }
        if (Interrupted()) return false;
        if (SerialPortOpenPath(PORT_NUMBER, path_.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255)) {
            Add("open", "opens");
            opened_ = true;
            return true;
        }
        std::string problem;
        int status = OpenProblem(port_.device, path_, &problem);
        Add("open", problem);
        if (status == EXIT_BUSY) {
            std::string holders = Holders();
            Block(status, "port busy: " + holders);
        } else {
            Block(status, problem);
        }
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

    // DTR and RTS each set away from rest and back, read back where the
    // driver reports them. False when nothing more can be learned (no
    // modem lines, a device gone).
    bool Lines() {
        for (int32_t bit : {LINE_BIT_DTR, LINE_BIT_RTS}) {
            if (Interrupted()) return false;
            switch (Line(bit)) {
                case LineCheck::STOP: return false;
                case LineCheck::SWITCHES:
                    if (bit == LINE_BIT_DTR) clockSwitches_ = true;
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
        for (int32_t levels : {rest_ ^ bit, rest_}) {
            int32_t error = 0, code = 0;
            LineResult result = SetAndRead(bit, levels, &error, &code);
            if (result == LineResult::UNREPORTED) reported = false;
            if (result == LineResult::FAILED && error == SERIAL_ERROR_NO_MODEM_LINES) {
                Add(name, "no modem-control lines: the device has none (a pseudo-terminal, or an adapter whose "
                          "driver does not drive them)");
                Block(EXIT_IO, "no modem-control lines");
                return LineCheck::STOP;
            }
            if (result == LineResult::FAILED) {
                std::string problem = LineProblem(bit, error, code);
                // "RTS could not be switched: ..." after the key RTS.
                const std::string ownName = std::string(name) + " ";
                Add(name, problem.rfind(ownName, 0) == 0 ? problem.substr(ownName.size()) : problem);
                Block(EXIT_IO, error == SERIAL_ERROR_GONE ? problem : std::string(name) + " does not switch");
                return error == SERIAL_ERROR_GONE ? LineCheck::STOP : LineCheck::FAILS;
            }
            if (result == LineResult::MISMATCH) {
                int level = (levels & bit) ? 1 : 0;
                Add(name, "does not switch: set to " + std::to_string(level) + ", the driver reports " +
                              std::to_string(1 - level) +
                              " (hardware flow control left on by another program, or a driver that ignores the "
                              "line)");
                Block(EXIT_IO, std::string(name) + " does not switch");
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
            if (!SerialPortSetLines(PORT_NUMBER, mask, rest_ ^ ((k & 1) ? LINE_BIT_DTR : 0))) {
                int32_t code = 0;
                int32_t error = SerialPortLastError(&code);
                std::string problem = LineProblem(mask, error, code);
                Add("per change", problem + " (after " + std::to_string(k - 1) + (k == 2 ? " change)" : " changes)"));
                Block(EXIT_IO, problem);
                return error != SERIAL_ERROR_GONE;
            }
            times.push_back(OsMonotonicNs() - start);
        }
        Add("per change", TimingFinding(times, PlanFrame(0x55, invert_, false, together).size()));
        return true;
    }

    // The break set and cleared: a latch pulse. No driver reports a break
    // back.
    void Break() {
        if (Interrupted()) return;
        for (int32_t levels : {rest_ ^ LINE_BIT_TXD, rest_}) {
            if (!SerialPortSetLines(PORT_NUMBER, LINE_BIT_TXD, levels)) {
                int32_t code = 0;
                int32_t error = SerialPortLastError(&code);
                std::string what = levels == rest_ ? "cleared" : "set";
                if (error == SERIAL_ERROR_GONE) {
                    std::string problem = LineProblem(LINE_BIT_TXD, error, code);
                    Add("break", problem);
                    Block(EXIT_IO, problem);
                    return;
                }
                Add("break", "could not be " + what + (code ? ": " + CliSystemErrorText(code) : std::string()) +
                                 " (an adapter without a break: the register never latches)");
                Block(EXIT_IO, "the break cannot be " + what);
                return;
            }
        }
        Add("break", "sets and clears (no driver reports a break back: the lamps show whether it latched)");
    }

    PortEntry port_;
    std::u16string path_;
    int32_t rest_;
    bool invert_;
    bool opened_ = false;
    bool clockSwitches_ = false;  // DTR switched: the changes can be timed
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
        bool byDriver = std::strncmp(quirk.key, "driver ", 7) == 0;
        if (byDriver ? (!port.driver.empty() && port.driver == quirk.key + 7) : (port.usb == quirk.key))
            lines.push_back(Finding("quirk", quirk.text));
    }
    return lines;
}

std::string TimingFinding(std::vector<int64_t> changeNs, size_t changesPerFrame) {
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
