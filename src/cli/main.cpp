// shiftlamp-send: sets the eight outputs of a 74HC595 wired to a serial
// port's modem-control lines (RTS data, DTR shift clock, TXD break latch)
// from the command line. No character is ever sent.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/frame_source.h"
#include "cli/port_check.h"
#include "cli/port_problem.h"
#include "cli/send_input.h"
#include "cli/send_run.h"
#include "os/os.h"
#include "runtime/process_values.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* PROGRAM = "shiftlamp-send";

int UsageError(const std::string& text) {
    std::fprintf(stderr, "%s: %s (%s --help shows the usage)\n", PROGRAM, text.c_str(), PROGRAM);
    return EXIT_USAGE;
}

constexpr const char* FOOTER = R"(PATTERN is 165, 0xA5 or 0b1010_0101: decimal up to 64 bits, hex or binary up
to 8 bits a register, single underscores between digits. Bit k-1 is LED k,
output k of the chain (LED 1 = the first register's QA, LED 9 the second's);
the last LED goes out first. With - the frames come from standard input,
one per line as PATTERN [HOLD_MS], a line at most 4096 bytes; blank lines and
# comments are skipped.

With --invert a run ends with the break off, then DTR clear (one step apart),
where a driver that clears the lines at close leaves them: the outputs keep the
last frame. A line that fails stops the run at once, nothing more latched.

Examples:
  shiftlamp-send --port /dev/ttyUSB0 0xA5
  shiftlamp-send --port /dev/ttyUSB0 --registers 2 0x8001
  shiftlamp-send --port COM12 --step-ms 1 --hold-ms 200 --repeat 0 1 2 4 8 16 32 64 128
  seq 0 255 | shiftlamp-send --port /dev/ttyUSB0 --step-ms 0 -
  shiftlamp-send --check --port /dev/ttyUSB0

--check switches DTR, RTS and the break of each port it checks, every line
idle first (the register shifts and latches zeros: its lamps go dark), then
leaves them at rest.

Exit status: 0 done (--check: every port checked would work); 64 usage (also
a bad line of standard input, or a run too long to time); 69 no such port, a
placeholder with no UART behind it, or not a serial port; 74 input/output
error (a line that would not switch, a device without modem lines or one that
went away, standard input, standard output or the trace that could not be read
or written); 75 port busy; 77 permission denied, or a port this program never
opens (one a kernel console runs on, a terminal of the system); 130 interrupted
(Ctrl+C, SIGTERM, SIGHUP; on Windows also Ctrl+Break, the console closed, logoff
or shutdown): the frame in progress is finished first)";

// The heap, the serial layer and Ctrl+C, for a run or a check; false, said
// on standard error, where there is no memory for them.
bool StartUp() {
    Process.mainHeap = OsHeapCreate(4096);
    if (!Process.mainHeap || !SerialPortInit()) {
        std::fprintf(stderr, "%s: out of memory\n", PROGRAM);
        return false;
    }
    CliCatchInterrupts();
    return true;
}

// Whether everything printed so far reached standard output; says so where
// it did not. A list or a verdict that is lost is no result.
bool OutputWritten() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "%s: standard output could not be written\n", PROGRAM);
    return false;
}

// --list: one line per port, the device first.
int ListPorts(const std::string& format) {
    std::vector<PortEntry> ports = CliPorts();
    for (const PortEntry& port : ports)
        std::printf("%s\n", (format == "tsv" ? PortEntryTsv(port) : PortEntryText(port)).c_str());
    if (!OutputWritten()) return EXIT_IO;
    if (ports.empty()) std::fprintf(stderr, "%s: no serial ports found\n", PROGRAM);
    return EXIT_DONE;
}

// --check: the port given, or every port --list shows. The status is the
// first blocking problem's.
int CheckPorts(const std::string& port, const CheckSettings& settings, bool quiet) {
    // Each port as the user named it (--list's name otherwise), with what
    // is known of it.
    std::vector<std::pair<std::string, PortEntry>> ports;
    if (!port.empty()) {
        ports.emplace_back(port, CliIdentifyPort(port));
    } else {
        for (const PortEntry& entry : CliPorts()) ports.emplace_back(entry.device, entry);
        if (ports.empty()) {
            std::fprintf(stderr, "%s: no serial ports found to check\n", PROGRAM);
            return EXIT_NO_PORT;
        }
    }
    if (!StartUp()) return EXIT_IO;
    int status = EXIT_DONE;
    bool first = true;
    for (const auto& named : ports) {
        std::u16string path;
        std::string problem;
        if (!CliDevicePath(named.first, &path, &problem)) return UsageError(problem);
        if (!first && !quiet) std::printf("\n");
        first = false;
        PortCheck check = CheckPort(named.second, path, settings);
        PrintCheck(named.first, check, quiet, stdout);
        if (status == EXIT_DONE) status = check.status;
        // The next port's lines are not switched for findings nobody reads.
        if (!OutputWritten()) {
            if (status == EXIT_DONE) status = EXIT_IO;
            break;
        }
        // Ctrl+C ends the whole check, whatever this port's verdict.
        if (CliInterrupted()) {
            status = EXIT_INTERRUPTED;
            break;
        }
    }
    SerialPortEnd();
    return status;
}

// A list repeated for longer than a run can be timed; an endless run is
// checked frame by frame as it goes.
bool RunTooLong(const SendSettings& settings, const std::vector<Frame>& frames, std::string* problem) {
    double longest = LongestRunNs(settings, frames);
    if (settings.repeat == 0 || longest <= static_cast<double>(MAX_RUN_NS)) return false;
    *problem = "--repeat " + std::to_string(settings.repeat) + ": the run could last " +
               std::to_string(static_cast<int64_t>(longest / 1e9 / 86400 / 365.25)) +
               " years, more than a run can be timed for (285)";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words = CliArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(&word[0]);

    CLI::App app{"Sets the eight outputs of a 74HC595 shift register wired to a serial port's modem-control lines\n"
                 "(RTS data, DTR shift clock, TXD break latch). No character is ever sent.",
                 PROGRAM};
    std::string port, registersText = "1", stepText = "10", holdText = "0", repeatText = "1", tracePath;
    std::vector<std::string> patternWords;
    bool invert = false, dryRun = false, list = false, check = false, quiet = false;
    std::string format;
    app.add_option("--port", port,
                   "the serial port: a device path (/dev/ttyUSB0) on Linux, COM1 to COM255 or a \\\\.\\ path on "
                   "Windows; default: $SHIFTLAMP_PORT; empty: a usage error")
        ->envname("SHIFTLAMP_PORT")
        ->option_text("PORT");
    app.add_option("--registers", registersText,
                   "how many 74HC595s are chained, 1 to 128 (eight LEDs each; default: $SHIFTLAMP_REGISTERS, or 1)")
        ->envname("SHIFTLAMP_REGISTERS")
        ->option_text("N");
    app.add_flag("--invert", invert, "complement every level (an inverting stage between port and register)");
    app.add_option("--step-ms", stepText, "time between line changes, 0 to 1000, fractions allowed (default 10)")
        ->option_text("MS");
    app.add_option("--hold-ms", holdText, "time each frame stays latched before the next one (default 0)")
        ->option_text("MS");
    app.add_option("--repeat", repeatText, "send the whole list N times; 0: until interrupted (default 1)")
        ->option_text("N");
    app.add_option("--trace", tracePath, "write the line changes as a VCD waveform (1 us time scale; 1 ns for shorter steps)")
        ->option_text("FILE.vcd");
    app.add_flag("--dry-run", dryRun, "print the line changes with their planned times; open nothing");
    app.add_flag("--list", list, "list the serial ports of this machine and what each is, opening none");
    app.add_option("--format", format,
                   "with --list: text (the default) or tsv (tab-separated fields for scripts, the device first)")
        ->option_text("FORMAT");
    app.add_flag("--check", check,
                 "check --port (or every port --list shows): what it is, whether it opens, whether DTR, RTS and "
                 "the break switch, the time per change; switches the lines, leaves them at rest");
    app.add_flag("--quiet", quiet, "with --check: print only the verdict line of each port");
    app.add_option("PATTERN", patternWords, "the frames to send, or - for standard input")->option_text(" ");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.set_version_flag("--version", std::string(PROGRAM) + " " + SHIFTLAMP_VERSION, "print the version and exit");
    app.footer(FOOTER);

    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            app.exit(error, std::cout, std::cerr);
            return EXIT_DONE;
        }
        return UsageError(error.what());
    }

    // An empty name is a mistake (a script's unset variable, say), never
    // "no port": --check would take it for every port there is.
    const char* portVariable = std::getenv("SHIFTLAMP_PORT");
    if (app.count("--port") && port.empty()) return UsageError("--port: the port name is empty");
    if (!app.count("--port") && portVariable && !*portVariable && !list && (check || !dryRun))
        return UsageError("SHIFTLAMP_PORT is set but empty: name the port, or unset it");

    if (!format.empty() && !list) return UsageError("--format goes with --list");
    if (!format.empty() && format != "text" && format != "tsv")
        return UsageError("--format '" + format + "' is not a format (text or tsv)");
    if (quiet && !check) return UsageError("--quiet goes with --check");
    if (list && check) return UsageError("give either --list or --check, not both");
    if (list || check) {
        const std::string mode = list ? "--list" : "--check";
        if (dryRun && check) return UsageError("--check opens the port, so it cannot be a dry run");
        if (dryRun) return UsageError("--dry-run goes with a transfer, not with --list");
        if (!patternWords.empty()) return UsageError(mode + " sends no pattern: '" + patternWords[0] + "'");
        for (const char* option : {"--step-ms", "--hold-ms", "--repeat", "--trace"}) {
            if (app.count(option)) return UsageError(std::string(option) + " goes with a transfer, not with " + mode);
        }
        if (list && invert) return UsageError("--invert goes with a transfer or --check, not with --list");
        if (list && app.count("--registers"))
            return UsageError("--registers goes with a transfer or --check, not with --list");
    }
    int64_t registers = 1;
    if (!list && !ParseCount(registersText, 1, MAX_REGISTERS, &registers))
        return UsageError((app.count("--registers") ? "--registers '" : "SHIFTLAMP_REGISTERS '") + registersText +
                          "' is not a count from 1 to " + std::to_string(MAX_REGISTERS));
    if (list) return ListPorts(format);
    if (check) {
        CheckSettings settings;
        settings.invert = invert;
        settings.registers = static_cast<int>(registers);
        return CheckPorts(port, settings, quiet);
    }

    SendSettings settings;
    settings.invert = invert;
    settings.registers = static_cast<int>(registers);
    settings.dryRun = dryRun;
    settings.tracePath = tracePath;
    if (!ParseMilliseconds(stepText, 0, 1000, &settings.stepMs))
        return UsageError("--step-ms '" + stepText + "' is not a time from 0 to 1000 ms");
    if (!ParseMilliseconds(holdText, 0, MAX_HOLD_MS, &settings.holdMs))
        return UsageError("--hold-ms '" + holdText + "' is not a time from 0 to 86400000 ms");
    if (!ParseCount(repeatText, 0, 1000000000, &settings.repeat))
        return UsageError("--repeat '" + repeatText + "' is not a count from 0 to 1000000000");
    if (dryRun && settings.repeat == 0) return UsageError("--repeat 0 never ends, so it cannot be a dry run");

    bool fromInput = false;
    std::vector<Frame> frames;
    for (const std::string& word : patternWords) {
        if (word == "-") {
            fromInput = true;
            continue;
        }
        Frame frame{Pattern(), -1};
        PatternWord parsed = ParsePattern(word, settings.registers, &frame.pattern);
        if (parsed != PatternWord::OK) return UsageError(PatternProblem(word, parsed, settings.registers));
        frames.push_back(frame);
    }
    if (fromInput && !frames.empty()) return UsageError("give either patterns or -, not both");
    if (!fromInput && frames.empty()) return UsageError("no pattern given (or - to read frames from standard input)");

    if (!dryRun) {
        if (port.empty()) return UsageError("no port given: use --port PORT or set SHIFTLAMP_PORT");
        std::string problem;
        if (!CliDevicePath(port, &settings.devicePath, &problem)) return UsageError(problem);
    }
    settings.port = port.empty() ? std::string("(dry run)") : port;

    if (!StartUp()) return EXIT_IO;

    // Standard input is followed line by line, so that a generator in a
    // pipe drives the register as it writes; only a run that repeats needs
    // the whole list first.
    std::unique_ptr<FrameSource> source;
    if (fromInput && settings.repeat == 1) {
        source = std::make_unique<FrameStream>(settings.registers);
    } else {
        std::string problem;
        FrameSource::Result read = fromInput ? ReadFrames(&frames, &problem, settings.registers) : FrameSource::END;
        if (read != FrameSource::END) return InputStopped(settings, read, problem, stderr);
        if (RunTooLong(settings, frames, &problem)) return UsageError(problem);
        source = std::make_unique<FrameList>(frames);
    }
    int status = SendFrames(settings, *source, stdout, stderr);
    SerialPortEnd();
    if (std::fflush(stdout) != 0 && status == EXIT_DONE) {
        std::fprintf(stderr, "%s: standard output could not be written\n", PROGRAM);
        status = EXIT_IO;
    }
    return status;
}
