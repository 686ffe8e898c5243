#include "cli/port_list.h"

#include <cctype>

namespace {

std::string Field(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text.empty() ? std::string("-") : text;
}

// "VID_0403" within a hardware id: the four hex digits after it, or empty.
std::string HexAfter(const std::string& text, const char* key) {
    size_t at = text.find(key);
    if (at == std::string::npos || at + 8 > text.size()) return std::string();
    std::string digits = text.substr(at + 4, 4);
    for (char& c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

}  // namespace

std::string UsbIdsOfHardwareId(const std::string& hardwareId) {
    std::string upper = hardwareId;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string vendor = HexAfter(upper, "VID_"), product = HexAfter(upper, "PID_");
    return vendor.empty() || product.empty() ? std::string() : vendor + ":" + product;
}

std::string PortEntryText(const PortEntry& port) {
    std::string text = port.device;
    if (!port.name.empty()) text += "  " + port.name;
    if (!port.usb.empty()) text += "  usb " + port.usb;
    std::string what = port.maker;
    if (!port.product.empty()) what += (what.empty() ? "" : " ") + port.product;
    if (!what.empty()) text += "  " + what;
    if (!port.driver.empty()) text += "  " + port.driver;
    if (!port.byId.empty()) text += "  " + port.byId;
    if (!port.hardwareId.empty()) text += "  " + port.hardwareId;
    if (port.console) text += "  console";
    if (!port.refused.empty()) text += "  (" + port.refused + ")";
    return text;
}

std::string PortEntryTsv(const PortEntry& port) {
    std::string note = port.console ? "console" : "";
    if (!port.refused.empty()) note += (note.empty() ? "" : "; ") + port.refused;
    const std::string fields[] = {port.device, port.byId,   port.usb,        port.maker, port.product,
                                  port.driver, port.name,   port.hardwareId, note};
    std::string line;
    for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + Field(field);
    return line;
}
