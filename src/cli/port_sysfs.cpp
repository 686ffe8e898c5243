#include "cli/port_list.h"

#include <algorithm>
#include <map>

#include "os/posix_files.h"
#include "serial/comm_device_posix.h"

namespace {

// The USB device a tty hangs from, the nearest folder above it with a
// vendor number: its ids and the strings it gives for itself.
void ReadUsb(std::string folder, PortEntry* port) {
    for (int depth = 0; depth < 8 && folder.size() > 1; ++depth) {
        std::string vendor = FirstLine(folder + "/idVendor");
        if (!vendor.empty()) {
            port->usb = vendor + ":" + FirstLine(folder + "/idProduct");
            port->maker = FirstLine(folder + "/manufacturer");
            port->product = FirstLine(folder + "/product");
            return;
        }
        folder = folder.substr(0, folder.find_last_of('/'));
    }
}

}  // namespace

std::vector<PortEntry> ListSysfsPorts(const KernelTtyRoots& roots, const std::string& dev) {
    // by-id links, by the device they lead to.
    std::map<std::string, std::string> byId;
    std::string byIdFolder = dev + "/serial/by-id";
    for (const std::string& name : FolderEntries(byIdFolder)) {
        std::string target = ResolvedPath(byIdFolder + "/" + name);
        if (!target.empty()) byId[BaseName(target)] = byIdFolder + "/" + name;
    }

    const std::string classTty = roots.sys + "/class/tty";
    std::vector<PortEntry> ports;
    for (const std::string& name : FolderEntries(classTty)) {
        std::string device = ResolvedPath(classTty + "/" + name + "/device");
        if (device.empty()) continue;
        KernelTty tty = KernelTtyOfFolder(roots, classTty + "/" + name);
        if (tty.noUart) continue;
        PortEntry port;
        port.device = dev + "/" + name;
        auto link = byId.find(name);
        if (link != byId.end()) port.byId = link->second;
        ReadUsb(device, &port);
        // Newer kernels put every built-in port under a driver named "port",
        // which tells nothing.
        port.driver = BaseName(ResolvedPath(classTty + "/" + name + "/device/driver"));
        if (port.driver == "port") port.driver.clear();
        port.console = tty.console;
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const PortEntry& a, const PortEntry& b) { return a.device < b.device; });
    return ports;
}
