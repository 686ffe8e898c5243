// What shiftlamp-send needs of its platform beyond the serial layer: its
// arguments, interrupts, sleeping, port names, the port list and the
// processes that hold a port. One implementation per platform (cli_posix.cpp, cli_win32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/port_list.h"

// The command line as UTF-8 words, program name first.
std::vector<std::string> CliArguments(int argc, char** argv);

// From now on Ctrl+C (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl+Break and
// the console's close, logoff and shutdown) only sets a flag that
// CliInterrupted reports; the program decides when to stop.
void CliCatchInterrupts();
bool CliInterrupted();

enum class InputRead { DATA, END, INTERRUPTED, FAILED };

// Reads at most `size` bytes of standard input into `buffer`, waiting until
// some arrive, the input ends, or an interrupt comes (which ends the wait
// even with the bytes of a line still on their way). On DATA `*got` is at
// least one; on FAILED `*errorCode` is the system's number for the failure.
InputRead CliReadInput(char* buffer, size_t size, size_t* got, int32_t* errorCode);

// Sleeps until OsMonotonicNs() reaches about `untilNs`: a wake-up may come
// up to CLI_SLEEP_LATE_NS after it (more on a busy machine), which the
// caller waits out awake (SleepUntil in send_runner.cpp). With
// `interruptible` it returns as soon as an interrupt arrives.
void CliSleepAbout(int64_t untilNs, bool interruptible);
extern const int64_t CLI_SLEEP_LATE_NS;

// The device path the serial layer opens for the port the user named, or
// false with `problem` saying why the name is not a port.
bool CliDevicePath(const std::string& port, std::u16string* path, std::string* problem);

// The platform's text for a system error number.
std::string CliSystemErrorText(int32_t code);

// What to say when the user may not open `port`, and how to fix it.
std::string CliPermissionText(const std::string& port);

// The serial ports of the machine with what is known of each, found
// without opening any (port_list.h's CliPorts adds why the program never
// opens some).
std::vector<PortEntry> CliPlatformPorts();

// Whether the name the user gave, `port`, leads to `entry`'s port (a
// by-id link, another spelling of the same device).
bool CliSamePort(const std::string& port, const PortEntry& entry);

// A process that holds a port, or a service that takes ports.
struct PortHolder {
    long pid;
    std::string name;     // the program's name
    bool hasOpen;         // holds a descriptor of the device
    bool locks;           // holds a lock on it (flock)
};

// The other processes that have `port` open or locked, as far as the
// system lets this user see; not the one at a pseudo-terminal's other end
// (it holds the master: it is the device). False where the platform cannot
// look.
bool CliPortHolders(const std::string& port, std::vector<PortHolder>* holders);

// Running services known to open serial ports they did not make
// (ModemManager, brltty); empty where the platform has none.
std::vector<PortHolder> CliPortGrabbers();
