// shiftlamp-send --check: whether a port will carry a transfer, finding by
// finding, and what to do where it will not. The check switches the lines
// (it must, to see them switch) and leaves them at rest; the register has
// then shifted and latched zeros, so its lamps are dark, also behind an
// inverting stage.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/port_list.h"

struct CheckSettings {
    bool invert = false;  // an inverting stage: the lines rest at the other level
    int registers = 1;    // chained: what a frame costs, and what the loopback should find
};

// What the check of one port found.
struct PortCheck {
    std::vector<std::string> findings;  // one line each, "  KEY       text"
    std::string verdict;                // "usable", "not usable: ..."
    int status;                         // what a transfer would exit with (SendExit): 0 when usable
    int warnings;                       // findings that do not block, but may bite (quirks, services)
};

// Checks `port` (what is known of it) through the serial layer, which
// opens `devicePath`: identity, refusal, the open (with who holds a busy
// port, and who else has an open one), DTR, RTS, the break, the time one
// change takes, known quirks and services. Every line is put idle first.
// Stops early where nothing more can be learned, and after an interrupt
// (status 130). The port is closed after, its lines at rest. The serial
// layer must be initialised.
PortCheck CheckPort(const PortEntry& port, const std::u16string& devicePath, const CheckSettings& settings);

// The findings that say what the port is.
std::vector<std::string> IdentityFindings(const PortEntry& port);

// Known quirks of the port's adapter, by USB vendor:product (or driver).
std::vector<std::string> QuirkFindings(const PortEntry& port);

// What the times of a series of line changes (ns each) mean, with
// `changesPerFrame` changes to a frame.
std::string TimingFinding(std::vector<int64_t> changeNs, size_t changesPerFrame, int registers = 1);

// The findings (unless `quiet`), then "PORT: VERDICT".
void PrintCheck(const std::string& port, const PortCheck& check, bool quiet, std::FILE* out);
