// What can go wrong with a port, each in one set of words with the exit
// status that goes with it. The run, --check and --list all say a port's
// problem from here, so that the same fault is never described two ways.
#pragma once

#include <cstdint>
#include <string>

// sysexits, as scripts see them.
enum SendExit : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 64,
    EXIT_NO_PORT = 69,
    EXIT_IO = 74,
    EXIT_BUSY = 75,
    EXIT_PERMISSION = 77,
    EXIT_INTERRUPTED = 130,
};

// The number under which the program holds its one port in the serial
// layer.
constexpr intptr_t PORT_NUMBER = 0;

// Opens the device at `devicePath` as PORT_NUMBER, for its lines alone: no
// character is ever sent, so the speed, framing and queues are only what an
// open needs. False: PortOpenProblem says why.
bool PortOpenForLines(const std::u16string& devicePath);

// A change the device took without error whose line the driver reports
// back at the other level (hardware flow control owning RTS, a driver that
// ignores the line), as LineProblem's `error`; its `code` is then the level
// asked for.
constexpr int32_t LINE_STUCK = -1;

struct PortProblem {
    int status = EXIT_DONE;  // SendExit
    std::string text;        // the whole reason, one line, without the port's name
    std::string detail;      // the same after the name of the line that failed (a --check finding under that line)
    std::string verdict;     // the same in a few words, for --check's verdict
    bool final = false;      // nothing more can be learned of the device: it has no lines, or stopped answering
};

// Why `port` (`devicePath` as the serial layer opens it) did not open,
// from the serial layer's last error.
PortProblem PortOpenProblem(const std::string& port, const std::u16string& devicePath);

// Why the lines in `lines` (LINE_BIT_*) did not switch, from the serial
// layer's error (or LINE_STUCK) and the system's number for it.
PortProblem LineProblem(int32_t lines, int32_t error, int32_t code);

// A device the program never opens (a SerialRefusal other than none), for
// the run ("refused: " what it is and why it is never opened), a --check
// finding ("never opened: " the same) and verdict ("refused: " what it is).
PortProblem RefusalProblem(int32_t refusal);

// The same for --list's note: "never opened: " what it is.
std::string RefusalNote(int32_t refusal);

// The lines of `mask` by name: "DTR and TXD_BREAK".
std::string LinesText(int32_t mask);
