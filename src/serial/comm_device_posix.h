// What the POSIX comm device learns of a terminal from the kernel before it
// opens anything: whether a kernel console runs on it, and whether a UART is
// behind it at all. The open and the port list (src/cli) both ask here, so
// that they refuse the same ports; where the kernel says it is a parameter,
// so that tests give made-up trees and console lists.
#pragma once

#include <string>

struct KernelTtyRoots {
    std::string sys = "/sys";                 // sysfs
    std::string consoles = "/proc/consoles";  // the kernel's consoles: "ttyS0  -W- (EC p a)  4:64" a line
};

struct KernelTty {
    bool console = false;  // a kernel console runs on it: named in the console list, or sysfs's flag says Y
    bool noUart = false;   // a serial port's placeholder: sysfs's type 0 (the 8250 driver keeps a few)
};

// What the kernel says of the terminal whose sysfs folder is `folder`
// ("/sys/class/tty/ttyS0"; its name and device number are read there).
KernelTty KernelTtyOfFolder(const KernelTtyRoots& roots, const std::string& folder);

// The same for the character device `major`:`minor`, found through sysfs's
// index of devices; a device sysfs does not index (a pseudo-terminal) is
// still looked for among the consoles by its number.
KernelTty KernelTtyOfDevice(const KernelTtyRoots& roots, unsigned major, unsigned minor);

// The platform device asks `roots` from now on (tests; the default is the
// machine's own).
void CommDevicePosixUseRoots(const KernelTtyRoots& roots);
