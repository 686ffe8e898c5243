// shiftlamp-send over the simulated board, in random cases: whatever the
// frames, the timing, the wiring, the driver's behaviour at open and close,
// a fault of the port or a signal, the register shows the last frame the
// program says it sent whole (or what it showed before), the exit status is
// the one the man page gives, the lines end at rest and the program's own
// waveform holds exactly the changes the board saw.
//
// Usage: send_random_test SEND BOARD_LIBRARY WORKDIR MAN_PAGE
//            [--seed S] [--cases N] [--seconds T]
// Case i of a run uses the seed S+i; a failing case prints its seed, and
// --seed S --cases 1 replays it. Default: a seed from the clock, 200 cases,
// stopping early once T seconds (default 50) have passed; a case still
// running after 10 s is stopped and fails.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

enum Line { DTR, RTS, BREAK };
const char* const LINE_NAME[] = {"dtr", "rts", "break"};
const char* const FAULTS[] = {"", "SHIFTLAMP_BOARD_FAIL_AT", "SHIFTLAMP_BOARD_LINES_FAIL", "SHIFTLAMP_BOARD_LINES_STUCK",
                              "SHIFTLAMP_BOARD_BREAK_FAILS"};
const char* const SIGNAL_NAME[] = {"", "INT", "TERM", "HUP"};
const int SIGNAL_NUMBER[] = {0, SIGINT, SIGTERM, SIGHUP};

struct Case {
    uint64_t seed;
    int registers;  // in the chain, and so --registers
    bool registersByEnv;  // given as $SHIFTLAMP_REGISTERS
    std::vector<uint64_t> frames;
    bool piped;              // frames on standard input, written with pauses
    std::vector<int> pausesUs;  // before each line of the pipe
    double stepMs, holdMs;
    int repeat;  // 0: until the signal
    bool invert, boardInverts;
    int openLevel[3];           // -1: opening leaves the line alone
    std::vector<int> closeList;  // lines the driver clears at close, in order
    std::string closeText;
    int lineUs;
    int fault;  // index into FAULTS
    std::string faultValue;
    int signal;       // index into SIGNAL_NAME
    size_t signalAt;  // board events after the open at which it is sent
    bool traced;
};

Case Pick(uint64_t seed) {
    std::mt19937_64 random(seed);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    auto chance = [&](int percent) { return below(100) < percent; };
    Case c{};
    c.seed = seed;
    c.registers = chance(70) ? 1 : 2 + below(3);
    c.registersByEnv = chance(30);
    const uint64_t all = (uint64_t{1} << (8 * c.registers)) - 1;
    for (int n = 1 + below(4); n > 0; --n) c.frames.push_back(chance(15) ? (chance(50) ? 0 : all) : random() & all);
    c.piped = chance(35);
    for (size_t k = 0; k < c.frames.size(); ++k) c.pausesUs.push_back(chance(50) ? 0 : below(20000));
    c.stepMs = chance(30) ? 0 : below(201) / 100.0;
    c.holdMs = chance(60) ? 0 : below(501) / 100.0;
    c.signal = chance(40) ? 1 + below(3) : 0;
    c.repeat = chance(70) ? 1 : 2;
    if (c.signal && chance(20)) c.repeat = 0;
    if (c.signal && chance(20)) c.holdMs = 60000;  // a signal must end a hold at once
    c.invert = chance(50);
    c.boardInverts = chance(85) ? c.invert : !c.invert;
    for (int& level : c.openLevel) level = chance(50) ? -1 : below(2);
    int close = below(10);
    if (close < 3) {
        c.closeText = "keep";
    } else if (close < 5) {
        c.closeText = "drop";
        c.closeList = {DTR, RTS, BREAK};
    } else {
        std::vector<int> lines = {DTR, RTS, BREAK};
        std::shuffle(lines.begin(), lines.end(), random);
        lines.resize(1 + below(3));
        c.closeList = lines;
        for (int line : lines) c.closeText += (c.closeText.empty() ? "" : ",") + std::string(LINE_NAME[line]);
    }
    c.lineUs = chance(70) ? 0 : 100 + below(1400);
    int fault = below(100);
    c.fault = fault < 50 ? 0 : fault < 65 ? 1 : fault < 77 ? 2 : fault < 88 ? 3 : 4;
    const char* lines[] = {"dtr", "rts", "dtr,rts"};
    if (c.fault == 1) c.faultValue = std::to_string(1 + below(20 * c.registers * static_cast<int>(c.frames.size()) + 8));
    if (c.fault == 2 || c.fault == 3) c.faultValue = lines[below(3)];
    if (c.fault == 4) c.faultValue = "1";
    // In a long hold the signal waits for a latch change, which a stuck
    // clock cannot hold back.
    c.signalAt = static_cast<size_t>(c.holdMs > 1000 ? 1 + below(2) : below(20 * c.registers * static_cast<int>(c.frames.size()) + 4));
    c.traced = chance(40);
    return c;
}

std::string Describe(const Case& c) {
    std::ostringstream text;
    text << "seed " << c.seed << ":";
    if (c.registers > 1) text << (c.registersByEnv ? " REGISTERS=" : " --registers ") << c.registers;
    for (uint64_t frame : c.frames) text << " 0x" << std::hex << frame << std::dec;
    text << (c.piped ? " (piped)" : "") << " step " << c.stepMs << " hold " << c.holdMs << " repeat " << c.repeat
         << (c.invert ? " --invert" : "") << (c.boardInverts ? " INVERT=1" : "") << " CLOSE=" << c.closeText;
    for (int line = 0; line < 3; ++line)
        if (c.openLevel[line] >= 0) text << " OPEN_" << LINE_NAME[line] << "=" << c.openLevel[line];
    if (c.lineUs) text << " LINE_US=" << c.lineUs;
    if (c.fault) text << " " << FAULTS[c.fault] + 16 << "=" << c.faultValue;
    if (c.signal) text << " SIG" << SIGNAL_NAME[c.signal] << " after " << c.signalAt << " changes";
    if (c.traced) text << " --trace";
    return text.str();
}

// ---- running a case ----

struct Outcome {
    int status = -1;  // exit status; -1: ended by a signal
    int killedBy = 0;
    bool signalSent = false, hung = false;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Board events (or changes of the break alone) after the port opened, as
// the trace shows them so far; SIZE_MAX before it opened.
size_t ChangesSinceOpen(const std::string& trace, bool breakOnly) {
    size_t open = trace.find(" open ");
    if (open == std::string::npos) return SIZE_MAX;
    size_t count = 0;
    for (size_t at = trace.find('\n', open); at != std::string::npos; at = trace.find('\n', at + 1)) {
        size_t space = trace.find(' ', at + 1);
        count += !breakOnly || (space != std::string::npos && trace.compare(space, 7, " BREAK ") == 0);
    }
    return count - !breakOnly;
}

Outcome Execute(const Case& c, const std::string& send, const std::string& library, const std::string& work) {
    const std::string trace = work + "/board.trace", err = work + "/err", vcd = work + "/send.vcd";
    unlink(trace.c_str());
    unlink(vcd.c_str());
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::perror("openpty"), std::exit(2);
    const std::string device = ttyname(slave);
    close(slave);

    std::vector<std::string> args = {send, "--port", device, "--step-ms", std::to_string(c.stepMs), "--hold-ms",
                                     std::to_string(c.holdMs), "--repeat", std::to_string(c.repeat)};
    if (c.invert) args.push_back("--invert");
    if (c.traced) args.insert(args.end(), {"--trace", vcd});
    if (c.piped) args.push_back("-");
    if (c.registers > 1 && !c.registersByEnv) args.insert(args.end(), {"--registers", std::to_string(c.registers)});
    for (uint64_t frame : c.frames)
        if (!c.piped) args.push_back(std::to_string(frame));
    std::vector<std::string> env;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "SHIFTLAMP_", 10) != 0) env.push_back(*variable);
    env.insert(env.end(), {"LD_PRELOAD=" + library, "SHIFTLAMP_BOARD_DEVICE=" + device,
                           "SHIFTLAMP_BOARD_TRACE=" + trace, "SHIFTLAMP_BOARD_INVERT=" + std::to_string(c.boardInverts),
                           "SHIFTLAMP_BOARD_CLOSE=" + c.closeText, "SHIFTLAMP_BOARD_LINE_US=" + std::to_string(c.lineUs),
                           "SHIFTLAMP_BOARD_REGISTERS=" + std::to_string(c.registers),
                           "ASAN_OPTIONS=verify_asan_link_order=0"});
    if (c.registersByEnv) env.push_back("SHIFTLAMP_REGISTERS=" + std::to_string(c.registers));
    for (int line = 0; line < 3; ++line)
        if (c.openLevel[line] >= 0)
            env.push_back(std::string("SHIFTLAMP_BOARD_OPEN_") + (line == BREAK ? "BREAK" : line == DTR ? "DTR" : "RTS") +
                          "=" + std::to_string(c.openLevel[line]));
    if (c.fault) env.push_back(std::string(FAULTS[c.fault]) + "=" + c.faultValue);

    int input[2];
    if (pipe(input) != 0) std::perror("pipe"), std::exit(2);
    pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv, envp;
        for (std::string& arg : args) argv.push_back(arg.data());
        for (std::string& variable : env) envp.push_back(variable.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        dup2(input[0], 0);
        int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), nul = open("/dev/null", O_WRONLY);
        dup2(nul, 1);
        dup2(errFd, 2);
        close(input[0]);
        close(input[1]);
        close(master);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(input[0]);
    pid_t writer = fork();
    if (writer == 0) {
        signal(SIGPIPE, SIG_IGN);
        for (size_t k = 0; c.piped && k < c.frames.size(); ++k) {
            usleep(static_cast<useconds_t>(c.pausesUs[k]));
            std::string line = std::to_string(c.frames[k]) + "\n";
            if (write(input[1], line.data(), line.size()) < 0) break;
        }
        _exit(0);
    }
    close(input[1]);

    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    auto signalTime = start;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        auto now = std::chrono::steady_clock::now();
        const size_t changes = c.signal ? ChangesSinceOpen(Slurp(trace), c.holdMs > 1000) : SIZE_MAX;
        if (!outcome.signalSent && changes != SIZE_MAX && changes >= c.signalAt) {
            kill(child, SIGNAL_NUMBER[c.signal]);
            outcome.signalSent = true;
            signalTime = now;
        }
        if (now - start > std::chrono::seconds(10) ||
            (outcome.signalSent && now - signalTime > std::chrono::seconds(5))) {
            outcome.hung = true;
            kill(child, SIGKILL);
        }
        usleep(200);
    }
    waitpid(writer, nullptr, 0);
    close(master);
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.killedBy = WTERMSIG(status);
    outcome.err = Slurp(err);
    return outcome;
}

// ---- what the board saw ----

struct Event {
    int line;  // DTR, RTS, BREAK; -1 for open and close
    int level;
    int lines[3];  // the levels after the event
    uint64_t outputs;
};

std::vector<Event> ReadTrace(const std::string& path) {
    std::vector<Event> events;
    std::ifstream file(path);
    std::string text;
    while (std::getline(file, text)) {
        char name[16];
        char level[4];
        Event event{};
        if (text.empty() || text[0] == '#' ||
            std::sscanf(text.c_str(), "%*s %15s %3s dtr=%d rts=%d break=%d shift=%*x outputs=%" SCNx64, name, level,
                        &event.lines[DTR], &event.lines[RTS], &event.lines[BREAK], &event.outputs) != 6)
            continue;
        std::string event_name = name;
        event.line = event_name == "DTR" ? DTR : event_name == "RTS" ? RTS : event_name == "BREAK" ? BREAK : -1;
        event.level = level[0] == '1';
        events.push_back(event);
    }
    return events;
}

// The waveform's changes after its first values, in the order written.
struct Waveform {
    int initial[3] = {-1, -1, -1};
    std::vector<std::pair<int, int>> changes;  // (line, level)
};

Waveform ReadVcd(const std::string& path) {
    Waveform waveform;
    std::map<std::string, int> ids;
    std::ifstream file(path);
    std::string text;
    bool values = false, dumping = false;
    while (std::getline(file, text)) {
        char id[8], name[16];
        if (std::sscanf(text.c_str(), "$var wire 1 %7s %15s", id, name) == 2)
            ids[id] = std::string(name) == "DTR" ? DTR : std::string(name) == "RTS" ? RTS : BREAK;
        if (text == "$dumpvars") dumping = values = true;
        if (text == "$end") dumping = false;
        if (!values || text.size() < 2 || (text[0] != '0' && text[0] != '1' && text[0] != 'x')) continue;
        auto found = ids.find(text.substr(1));
        if (found == ids.end()) continue;
        int level = text[0] == 'x' ? -1 : text[0] - '0';
        if (dumping)
            waveform.initial[found->second] = level;
        else
            waveform.changes.push_back({found->second, level});
    }
    return waveform;
}

// How many of the last events before the close can be the driver's own
// clearing at close (lines of its list, cleared in its order): each count
// that fits, largest first.
std::vector<size_t> CloseSuffixes(const Case& c, const std::vector<Event>& changes) {
    std::vector<size_t> fits;
    for (size_t count = std::min<size_t>(3, changes.size());; --count) {
        bool fit = true;
        size_t position = 0;
        for (size_t k = changes.size() - count; k < changes.size() && fit; ++k) {
            while (position < c.closeList.size() && c.closeList[position] != changes[k].line) ++position;
            fit = position < c.closeList.size() && changes[k].level == 0;
            ++position;
        }
        if (fit) fits.push_back(count);
        if (count == 0) return fits;
    }
}

int ManPageStatus(const std::string& manPage, const char* signal) {
    std::ifstream file(manPage);
    std::string text;
    int status = -1, found = -1;
    bool section = false;
    while (std::getline(file, text)) {
        if (text.rfind(".SH", 0) == 0) section = text == ".SH EXIT STATUS";
        if (!section) continue;
        if (std::sscanf(text.c_str(), ".B %d", &status) == 1) continue;
        if (text.find(std::string("SIG") + signal) != std::string::npos) found = status;
    }
    return found;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%02" PRIx64, value);
    return text;
}

// ---- the contract ----

std::vector<std::string> Check(const Case& c, const Outcome& o, const std::string& work, const std::string& manPage) {
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) { problems.push_back(text); };
    const std::vector<Event> events = ReadTrace(work + "/board.trace");
    if (o.hung) problem(o.signalSent ? "still running 5 s after the signal" : "still running after 10 s");
    if (o.killedBy) problem("killed by signal " + std::to_string(o.killedBy));
    const int signalStatus = c.signal ? ManPageStatus(manPage, SIGNAL_NAME[c.signal]) : -1;
    if (c.signal && signalStatus < 0) problem(std::string("the man page gives no status for SIG") + SIGNAL_NAME[c.signal]);

    // The frames a whole run sends, in order; an endless one, far enough.
    std::vector<uint64_t> asked;
    for (int round = 0; round < (c.repeat ? c.repeat : 1000); ++round)
        asked.insert(asked.end(), c.frames.begin(), c.frames.end());

    // Every rising edge at the register's latch, and what it stored. Before
    // the run the outputs are 0 (the board's power-up).
    std::vector<uint64_t> latched = {0};
    std::vector<Event> changes;  // the port's changes, open's included
    bool opened = false, closed = false;
    size_t openChanges = 0;
    for (const Event& event : events) {
        if (event.line < 0) {
            (opened ? closed : opened) = true;
            continue;
        }
        changes.push_back(event);
        if (event.line == BREAK && event.level != c.boardInverts && event.outputs != latched.back())
            latched.push_back(event.outputs);
    }
    for (int line = 0; line < 3; ++line) openChanges += c.openLevel[line] == 1;
    const std::vector<size_t> suffixes = CloseSuffixes(c, changes);
    if (opened && !closed) problem("the port was not closed");

    // A failed (or stuck) line under invert, with a driver that then clears DTR or the
    // break: that close latches the register's partial contents, and
    // nothing the program does can prevent it.
    const bool lineFault = c.fault == 2 || c.fault == 3 || c.fault == 4;  // failing, stuck, no break
    bool clearsClock = false;
    for (int line : c.closeList) clearsClock = clearsClock || line != RTS;
    if (o.status == 74 && lineFault && c.invert && c.boardInverts && clearsClock) {
        latched = {0};
        for (size_t k = 0; k + suffixes[0] < changes.size(); ++k)
            if (changes[k].line == BREAK && changes[k].level == 0 && changes[k].outputs != latched.back())
                latched.push_back(changes[k].outputs);
    }

    // Statuses the man page allows for what happened.
    const bool endless = c.repeat == 0;
    std::vector<int> allowed;
    if (!endless || !o.signalSent) allowed.push_back(0);
    if (c.fault) allowed.push_back(74);
    if (o.signalSent) allowed.push_back(signalStatus);
    if (!o.killedBy && std::find(allowed.begin(), allowed.end(), o.status) == allowed.end())
        problem("exit status " + std::to_string(o.status) + ": " + o.err.substr(0, o.err.find('\n')));

    // The outputs: the frames latched are the frames asked for, in order,
    // each whole (the same frame twice in a row counts once); a run that
    // ends 0 latched them all.
    std::vector<uint64_t> wanted = {0};
    for (uint64_t frame : asked)
        if (frame != wanted.back()) wanted.push_back(frame);
    if (c.invert == c.boardInverts) {
        for (size_t k = 1; k < latched.size(); ++k) {
            if (k >= wanted.size() || latched[k] != wanted[k]) {
                problem("latched " + Hex(latched[k]) + " where " +
                        (k < wanted.size() ? "the next frame asked for is " + Hex(wanted[k]) : "no frame was left"));
                break;
            }
        }
        if (o.status == 0 && !endless && latched.size() < wanted.size())
            problem("exit status 0, but the outputs show " + Hex(latched.back()) + ", not the last frame " +
                    Hex(wanted.back()));
        // Where the message names a frame, the outputs show that one, or
        // the one before when it says the frame was "not latched".
        std::smatch named;
        if (std::regex_search(o.err, named, std::regex("frame ([0-9]+)"))) {
            size_t frame = std::stoul(named[1]);
            size_t whole = o.err.find("not latched") != std::string::npos ? frame - 1 : frame;
            std::vector<uint64_t> expected = {0};
            for (size_t k = 0; k < whole && k < asked.size(); ++k)
                if (asked[k] != expected.back()) expected.push_back(asked[k]);
            if (latched != expected)
                problem("the message names frame " + std::to_string(frame) + " but the outputs show " +
                        Hex(latched.back()));
        }
    }

    // The lines at rest, where the driver leaves them as they are: after a
    // run that ended, DTR and the break clear; after a failed change, the
    // clock and the latch that still answer at idle.
    if (closed && c.closeList.empty() && !changes.empty()) {
        const Event& last = changes.back();
        bool failed = o.status == 74;
        bool gone = c.fault == 1 && failed;
        for (int line : {DTR, BREAK}) {
            bool answers = !gone && !(c.fault == 4 && line == BREAK) &&
                           !((c.fault == 2 || c.fault == 3) && c.faultValue.find(LINE_NAME[line]) != std::string::npos);
            int rest = failed ? c.invert : 0;
            if ((!failed || answers) && last.lines[line] != rest && o.status != 64)
                problem(std::string("the run ended with ") + LINE_NAME[line] + " at " +
                        std::to_string(last.lines[line]) + ", not at rest");
        }
    }

    // The program's waveform: the changes the board saw from the program,
    // nothing more, nothing less. Opening the port may set DTR and RTS as
    // the port's settings say, before the transfer (up to two changes the
    // waveform does not show); the waveform starts where they left them.
    if (c.traced && opened) {
        const Waveform waveform = ReadVcd(work + "/send.vcd");
        std::vector<std::string> best;
        size_t bestScore = 0;
        for (size_t start = openChanges; start <= openChanges + 2 && start <= changes.size(); ++start) {
            if (start > openChanges && changes[start - 1].line == BREAK) break;
            std::vector<std::string> found;
            int before[3] = {0, 0, 0};
            for (int line = 0; start > 0 && line < 3; ++line) before[line] = changes[start - 1].lines[line];
            // A line the waveform starts at another level than the board's
            // gets one change drawn that the board never saw, or misses one
            // it did: one side's first change of that line is left out.
            int mismatched = 0;
            for (int line = 0; line < 3; ++line) {
                if (waveform.initial[line] < 0 || waveform.initial[line] == before[line]) continue;
                mismatched |= 1 << line;
                found.push_back(std::string("the waveform starts ") + LINE_NAME[line] + " at " +
                                std::to_string(waveform.initial[line]) + ", the board had it at " +
                                std::to_string(before[line]));
            }
            auto without = [](std::vector<std::pair<int, int>> list, int lines) {
                for (int line = 0; line < 3; ++line) {
                    auto first = std::find_if(list.begin(), list.end(), [&](auto& ch) { return ch.first == line; });
                    if ((lines >> line & 1) && first != list.end()) list.erase(first);
                }
                return list;
            };
            // A line the waveform starts unknown ('x') becomes known at the
            // program's first setting of it, which the board sees as a
            // change only where it moved the line.
            int unmoved = 0;
            for (int line = 0; line < 3; ++line) {
                if (waveform.initial[line] >= 0) continue;
                auto first = std::find_if(waveform.changes.begin(), waveform.changes.end(),
                                          [&](auto& ch) { return ch.first == line; });
                if (first != waveform.changes.end() && first->second == before[line]) unmoved |= 1 << line;
            }
            const std::vector<std::pair<int, int>> drawn = without(waveform.changes, unmoved);
            bool same = false;
            for (size_t suffix : suffixes) {
                std::vector<std::pair<int, int>> seen;
                for (size_t k = start; k + suffix < changes.size(); ++k)
                    seen.push_back({changes[k].line, changes[k].level});
                for (int board = 0; board < 8; ++board)
                    if ((board & mismatched) == board)
                        same = same || without(seen, board) == without(drawn, mismatched & ~board);
            }
            if (!same)
                found.push_back("the waveform has " + std::to_string(drawn.size()) +
                                " changes that differ from the board's " + std::to_string(changes.size() - start) +
                                " (open's and close's left out)");
            // The start that explains the waveform best: its changes first.
            size_t score = found.size() + (same ? 0 : 10);
            if (start == openChanges || score < bestScore) best = found, bestScore = score;
        }
        problems.insert(problems.end(), best.begin(), best.end());
    }
    return problems;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SEND BOARD_LIBRARY WORKDIR MAN_PAGE [--seed S] [--cases N] [--seconds T]\n",
                     argv[0]);
        return 2;
    }
    const std::string send = argv[1], library = argv[2], work = argv[3], manPage = argv[4];
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000000;
    long cases = 200;
    double seconds = 50;
    for (int k = 5; k + 1 < argc; k += 2) {
        std::string option = argv[k];
        if (option == "--seed") seed = std::strtoull(argv[k + 1], nullptr, 10);
        if (option == "--cases") cases = std::strtol(argv[k + 1], nullptr, 10);
        if (option == "--seconds") seconds = std::strtod(argv[k + 1], nullptr);
    }
    std::system(("mkdir -p '" + work + "'").c_str());
    signal(SIGPIPE, SIG_IGN);
    std::printf("seeds %llu to %llu; replay one with --seed S --cases 1\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed + cases - 1));
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    long run = 0, failed = 0;
    std::map<std::string, long> kinds;
    for (; run < cases; ++run) {
        if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) break;
        Case c = Pick(seed + static_cast<uint64_t>(run));
        Outcome outcome = Execute(c, send, library, work);
        std::vector<std::string> problems = Check(c, outcome, work, manPage);
        if (cases == 1)
            std::printf("%s\n  exit %d: %s\n", Describe(c).c_str(), outcome.status,
                        outcome.err.substr(0, outcome.err.find('\n')).c_str());
        if (problems.empty()) continue;
        ++failed;
        std::printf("FAIL %s\n  exit %d: %s\n", Describe(c).c_str(), outcome.status,
                    outcome.err.substr(0, outcome.err.find('\n')).c_str());
        for (const std::string& text : problems) {
            std::printf("  %s\n", text.c_str());
            kinds[std::regex_replace(text, std::regex("0x[0-9a-f]+|[0-9]+|:.*"), "N")]++;
        }
        std::fflush(stdout);
        std::string keep = work + "/seed-" + std::to_string(c.seed);
        std::rename((work + "/board.trace").c_str(), (keep + ".trace").c_str());
        std::rename((work + "/err").c_str(), (keep + ".err").c_str());
    }
    std::printf("%ld cases, %ld failed\n", run, failed);
    for (const auto& kind : kinds) std::printf("  %6ld  %s\n", kind.second, kind.first.c_str());
    return failed ? 1 : 0;
}
