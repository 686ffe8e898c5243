#include "cli/port_list.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace {

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

std::string Resolved(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

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

std::vector<PortEntry> ListSysfsPorts(const std::string& classTty, const std::string& dev) {
    // by-id links, by the device they lead to.
    std::map<std::string, std::string> byId;
    std::string byIdFolder = dev + "/serial/by-id";
    for (const std::string& name : Entries(byIdFolder)) {
        std::string target = Resolved(byIdFolder + "/" + name);
        if (!target.empty()) byId[BaseName(target)] = byIdFolder + "/" + name;
    }

    std::vector<PortEntry> ports;
    for (const std::string& name : Entries(classTty)) {
        std::string device = Resolved(classTty + "/" + name + "/device");
        if (device.empty()) continue;
        // The 8250 driver keeps placeholders for ports that may not exist;
        // a real one sits on a bus of its own (pnp, pci).
        if (BaseName(device) == "serial8250") continue;
        PortEntry port;
        port.device = dev + "/" + name;
        auto link = byId.find(name);
        if (link != byId.end()) port.byId = link->second;
        ReadUsb(device, &port);
        // Newer kernels put every built-in port under a driver named "port",
        // which tells nothing.
        port.driver = BaseName(Resolved(classTty + "/" + name + "/device/driver"));
        if (port.driver == "port") port.driver.clear();
        port.console = FirstLine(classTty + "/" + name + "/console") == "Y";
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const PortEntry& a, const PortEntry& b) { return a.device < b.device; });
    return ports;
}
