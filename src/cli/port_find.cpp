// The port list and a named port's identity on every platform, over the
// platform's list and its test of "the same port" (cli_platform.h).
#include "cli/cli_platform.h"
#include "cli/port_list.h"
#include "cli/port_problem.h"
#include "serial/serial_port.h"

std::vector<PortEntry> CliPorts() {
    std::vector<PortEntry> ports = CliPlatformPorts();
    for (PortEntry& port : ports) {
        std::u16string path;
        std::string problem;
        if (!CliDevicePath(port.device, &path, &problem)) continue;
        // What the device is, without the advice. A console port is
        // refused whether or not its device node is there to look at.
        int32_t refusal = SerialPortRefusal(path.c_str());
        if (!refusal && port.console) refusal = SERIAL_REFUSAL_KERNEL_CONSOLE;
        if (refusal) port.refused = RefusalNote(refusal);
    }
    return ports;
}

PortEntry CliIdentifyPort(const std::string& port) {
    for (const PortEntry& entry : CliPorts()) {
        if (CliSamePort(port, entry)) return entry;
    }
    PortEntry entry;
    entry.device = port;
    return entry;
}
