// The serial ports of a Linux machine, found in sysfs without opening any:
// every tty with a device behind it (virtual consoles and pseudo-terminals
// have none), less the 8250 driver's placeholders, with the names
// /dev/serial/by-id gives them and the USB vendor and product where there is
// one. The roots are parameters so that a made-up tree can stand in.
#pragma once

#include <string>
#include <vector>

struct PortEntry {
    std::string device;   // "/dev/ttyUSB0"
    std::string byId;     // "/dev/serial/by-id/usb-...", or empty
    std::string usb;      // "0403:6001", or empty
    std::string driver;   // "ftdi_sio", or empty
    bool console;         // the kernel's console runs on it
    std::string refused;  // why the program never opens it, or empty
};

// Sorted by device name.
std::vector<PortEntry> ListSysfsPorts(const std::string& classTty, const std::string& dev);

// "/dev/ttyUSB0  usb 0403:6001  ftdi_sio  /dev/serial/by-id/usb-...", and
// "console" after a port that carries the kernel's console, then why the
// program never opens it where it does not
std::string PortEntryText(const PortEntry& port);
