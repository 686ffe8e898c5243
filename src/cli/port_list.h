// The serial ports of a machine, found without opening any, and how they
// are written: a line per port for people, tab-separated for scripts.
//
// On Linux they come from sysfs (ListSysfsPorts, port_sysfs.cpp): every tty
// with a device behind it (virtual consoles and pseudo-terminals have
// none), less the placeholders with no UART behind them, with the names
// /dev/serial/by-id gives them and, for USB, the vendor and product ids and
// strings; the roots are parameters so that a made-up tree and console list
// can stand in. On Windows from the device manager's records (cli_win32.cpp).
#pragma once

#include <string>
#include <vector>

#ifndef _WIN32
#include "serial/comm_device_posix.h"
#endif

// Empty fields are unknown or absent.
struct PortEntry {
    std::string device;       // what --port takes: "/dev/ttyUSB0", "COM3"
    std::string byId;         // "/dev/serial/by-id/usb-..."
    std::string usb;          // "0403:6001"
    std::string maker;        // the USB maker string, "FTDI"
    std::string product;      // the USB product string, "FT232R USB UART"
    std::string driver;       // "ftdi_sio"; on Windows the driver's service, "FTSER2K"
    std::string name;         // Windows: the friendly name, "USB Serial Port (COM3)"
    std::string hardwareId;   // Windows: the first hardware id, "FTDIBUS\VID_0403+PID_6001..."
    bool console = false;     // a kernel console runs on it (never opened)
    std::string refused;      // why the program never opens it
};

#ifndef _WIN32
// Sorted by device name.
std::vector<PortEntry> ListSysfsPorts(const KernelTtyRoots& roots, const std::string& dev);
#endif

// The serial ports of the machine with what is known of each, found
// without opening any (the platform's list); the ones the serial layer
// never opens are marked (PortEntry::refused). Sorted.
std::vector<PortEntry> CliPorts();

// What is known of the port the user named: its entry among CliPorts()
// when the name leads to one of them (a by-id link, another spelling),
// otherwise an entry with only the name.
PortEntry CliIdentifyPort(const std::string& port);

// The vendor:product of a Windows hardware id ("USB\VID_0403&PID_6001",
// "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"), or empty.
std::string UsbIdsOfHardwareId(const std::string& hardwareId);

// "/dev/ttyUSB0  usb 0403:6001  FTDI FT232R USB UART  ftdi_sio  /dev/serial/by-id/usb-...",
// "console" after a port that carries the kernel's console, then why the
// program never opens it where it does not. The device always comes first.
std::string PortEntryText(const PortEntry& port);

// The same as tab-separated fields, "-" for an empty one (a shell's read
// would merge empty fields): device, by-id name, usb vendor:product, maker,
// product, driver, friendly name, hardware id, note (console, never
// opened: why). Tabs and line ends inside a field become spaces.
std::string PortEntryTsv(const PortEntry& port);
