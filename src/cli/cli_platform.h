// What shiftlamp-send needs of its platform beyond the serial layer: its
// arguments, interrupts, sleeping to a deadline, port names and the port
// list. One implementation per platform (cli_posix.cpp, cli_win32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/port_list.h"

// The command line as UTF-8 words, program name first.
std::vector<std::string> CliArguments(int argc, char** argv);

// From now on Ctrl+C (SIGINT, SIGTERM; Ctrl+Break on Windows) only sets a
// flag that CliInterrupted reports; the program decides when to stop.
void CliCatchInterrupts();
bool CliInterrupted();

enum class InputRead { DATA, END, INTERRUPTED, FAILED };

// Reads at most `size` bytes of standard input into `buffer`, waiting until
// some arrive, the input ends, or an interrupt comes (which ends the wait
// even with the bytes of a line still on their way). On DATA `*got` is at
// least one; on FAILED `*errorCode` is the system's number for the failure.
InputRead CliReadInput(char* buffer, size_t size, size_t* got, int32_t* errorCode);

// Sleeps until OsMonotonicNs() reaches `deadlineNs`. With `interruptible`
// it returns false as soon as an interrupt arrives; otherwise it sleeps to
// the deadline whatever arrives, and returns true.
bool CliSleepUntil(int64_t deadlineNs, bool interruptible);

// The device path the serial layer opens for the port the user named, or
// false with `problem` saying why the name is not a port.
bool CliDevicePath(const std::string& port, std::u16string* path, std::string* problem);

// The platform's text for a system error number.
std::string CliSystemErrorText(int32_t code);

// What to say when the user may not open `port`, and how to fix it.
std::string CliPermissionText(const std::string& port);

// The serial ports of the machine with what is known of each, found
// without opening any; the ones the serial layer never opens are marked
// (PortEntry::refused). Sorted.
std::vector<PortEntry> CliPorts();

// What is known of the port the user named: its entry among CliPorts()
// when the name leads to one of them (a by-id link, another spelling),
// otherwise an entry with only the name.
PortEntry CliIdentifyPort(const std::string& port);

// A process that holds a port, or a service that takes ports.
struct PortHolder {
    long pid;
    std::string name;     // the program's name
    bool hasOpen;         // holds a descriptor of the device
    bool locks;           // holds a lock on it (flock)
};

// The other processes that have `port` open or locked, as far as the
// system lets this user see. False where the platform cannot look.
bool CliPortHolders(const std::string& port, std::vector<PortHolder>* holders);

// Running services known to open serial ports they did not make
// (ModemManager, brltty); empty where the platform has none.
std::vector<PortHolder> CliPortGrabbers();
