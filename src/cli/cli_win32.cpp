// shiftlamp-send on Windows: the wide command line, Ctrl+C, Ctrl+Break and
// the console's close, logoff and shutdown events,
// waitable timers to absolute deadlines, COM names, and the port list from
// QueryDosDevice and the device manager's records (SetupAPI).
#include <windows.h>
#include <devpropdef.h>
#include <setupapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "cli/cli_platform.h"
#include "cli/text_utf.h"
#include "os/os.h"

namespace {

HANDLE g_interruptEvent = nullptr;
volatile LONG g_interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: break;
        default: return FALSE;
    }
    InterlockedExchange(&g_interrupted, 1);
    if (g_interruptEvent) SetEvent(g_interruptEvent);
    // The console closing, a logoff or a shutdown ends the process as soon
    // as this returns: it returns never, and the program finishes its frame,
    // puts the lines at rest and exits meanwhile (the system allows a few
    // seconds).
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) Sleep(INFINITE);
    return TRUE;
}

std::string Utf8Of(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

// A timer that wakes within about half a millisecond where the system has
// one (Windows 10 1803 and later); otherwise an ordinary one with the 1 ms
// timer period asked for.
HANDLE Timer() {
    static HANDLE timer = nullptr;
    if (timer) return timer;
    constexpr DWORD HIGH_RESOLUTION = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
    timer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer) {
        OsTimerPeriod1ms();
        timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    return timer;
}

// Standard input is read by a thread of its own, so that an interrupt ends
// the wait for input whatever the input is: a pipe read is not ended by
// Ctrl+C at all, and a console read ends with nothing read, before the
// control handler (another thread) has run.
struct InputReader {
    HANDLE thread = nullptr;
    HANDLE start = nullptr;  // auto-reset: read once more
    HANDLE done = nullptr;   // auto-reset: the read returned
    bool busy = false;       // a read was started and its result not taken
    char buffer[4096];
    DWORD got = 0;
    DWORD taken = 0;  // bytes of buffer already handed out
    DWORD error = 0;  // 0: the read succeeded
};
InputReader g_input;

DWORD WINAPI ReadInputThread(void*) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        WaitForSingleObject(g_input.start, INFINITE);
        g_input.got = 0;
        g_input.taken = 0;
        g_input.error = ReadFile(in, g_input.buffer, sizeof g_input.buffer, &g_input.got, nullptr) ? 0 : GetLastError();
        SetEvent(g_input.done);
    }
}

// True when an interrupt comes within a moment: a console read that Ctrl+C
// ended returns before the handler has said so.
bool InterruptFollows() {
    return g_interruptEvent && WaitForSingleObject(g_interruptEvent, 250) == WAIT_OBJECT_0;
}

}  // namespace

std::vector<std::string> CliArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) words.push_back(Utf8Of(wide[i]));
    LocalFree(wide);
    return words;
}

void CliCatchInterrupts() {
    g_interruptEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool CliInterrupted() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

InputRead CliReadInput(char* buffer, size_t size, size_t* got, int32_t* errorCode) {
    if (!g_input.thread) {
        g_input.start = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        g_input.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (g_input.start && g_input.done) g_input.thread = CreateThread(nullptr, 0, ReadInputThread, nullptr, 0, nullptr);
        if (!g_input.thread) {
            *errorCode = static_cast<int32_t>(GetLastError());
            return InputRead::FAILED;
        }
    }
    for (;;) {
        if (CliInterrupted()) return InputRead::INTERRUPTED;
        if (g_input.taken < g_input.got) {
            *got = std::min(static_cast<size_t>(g_input.got - g_input.taken), size);
            std::memcpy(buffer, g_input.buffer + g_input.taken, *got);
            g_input.taken += static_cast<DWORD>(*got);
            return InputRead::DATA;
        }
        if (!g_input.busy) {
            g_input.busy = true;
            SetEvent(g_input.start);
        }
        HANDLE handles[] = {g_input.done, g_interruptEvent};
        DWORD woken = WaitForMultipleObjects(g_interruptEvent ? 2 : 1, handles, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0) return InputRead::INTERRUPTED;
        g_input.busy = false;
        DWORD error = g_input.error;
        if (error == 0 && g_input.got > 0) continue;
        // Ctrl+C ends a console read with nothing read (or as aborted);
        // a pipe whose writer is gone has ended.
        if (error == 0 || error == ERROR_OPERATION_ABORTED) {
            if (InterruptFollows()) return InputRead::INTERRUPTED;
            if (error == 0) return InputRead::END;
            continue;
        }
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return InputRead::END;
        *errorCode = static_cast<int32_t>(error);
        return InputRead::FAILED;
    }
}

// A timer wakes up to half a millisecond late, a whole one without the
// high-resolution timer.
const int64_t CLI_SLEEP_LATE_NS = 600000;

void CliSleepAbout(int64_t untilNs, bool interruptible) {
    for (;;) {
        if (interruptible && CliInterrupted()) return;
        int64_t remaining = untilNs - OsMonotonicNs();
        if (remaining <= 0) return;
        HANDLE timer = Timer();
        LARGE_INTEGER due;
        due.QuadPart = -((remaining + 99) / 100);  // relative, in 100 ns units
        if (!timer || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            DWORD ms = static_cast<DWORD>(remaining / 1000000);
            if (interruptible && g_interruptEvent)
                WaitForSingleObject(g_interruptEvent, ms);
            else
                Sleep(ms);
            continue;
        }
        HANDLE handles[] = {timer, g_interruptEvent};
        DWORD count = interruptible && g_interruptEvent ? 2 : 1;
        WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    }
}

bool CliDevicePath(const std::string& port, std::u16string* path, std::string* problem) {
    std::u16string wide;
    if (!Utf8ToUtf16(port, &wide)) {
        *problem = "the port name '" + port + "' is not UTF-8";
        return false;
    }
    if (wide.rfind(u"\\\\.\\", 0) == 0 && wide.size() > 4) {
        *path = wide;
        return true;
    }
    // COMn for any n from 1 to 255, in any case.
    if (port.size() >= 4 && port.size() <= 6 && _strnicmp(port.c_str(), "COM", 3) == 0 &&
        port.find_first_not_of("0123456789", 3) == std::string::npos && port[3] != '0') {
        int number = std::atoi(port.c_str() + 3);
        if (number >= 1 && number <= 255) {
            *path = u"\\\\.\\COM" + std::u16string(wide.begin() + 3, wide.end());
            return true;
        }
    }
    *problem = "'" + port + "' is no port: give COM1 to COM255 or a \\\\.\\ device path";
    return false;
}

std::string CliSystemErrorText(int32_t code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length && text) {
        result = Utf8Of(text);
        LocalFree(text);
    }
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? "system error " + std::to_string(code) : result + " (error " + std::to_string(code) + ")";
}

std::string CliPermissionText(const std::string&) { return "access denied"; }

namespace {

// The device classes that hold COM ports: Ports (COM & LPT) and Modem, where
// USB CDC devices with a modem's class land.
constexpr GUID PORT_CLASSES[] = {
    {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
};

// DEVPKEY_Device_BusReportedDeviceDesc: the product string the device gave
// the bus (Windows 7 and later).
constexpr DEVPROPKEY BUS_REPORTED_DESCRIPTION = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

// A registry property of a device as text; the first string of a list.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    wchar_t buffer[1024] = {0};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t) * 2, nullptr))
        return std::string();
    if (type != REG_SZ && type != REG_MULTI_SZ) return std::string();
    return Utf8Of(buffer);
}

std::string BusDescription(HDEVINFO set, SP_DEVINFO_DATA* device) {
    wchar_t buffer[512] = {0};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, device, &BUS_REPORTED_DESCRIPTION, &type, reinterpret_cast<BYTE*>(buffer),
                                   sizeof buffer - sizeof(wchar_t), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return std::string();
    return Utf8Of(buffer);
}

// The COM name the device's own key gives it ("PortName"), or empty.
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return std::string();
    wchar_t name[64] = {0};
    DWORD size = sizeof name - sizeof(wchar_t), type = 0;
    bool read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                type == REG_SZ;
    RegCloseKey(key);
    return read ? Utf8Of(name) : std::string();
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// What the device manager knows of each present COM port, by upper-case
// COM name.
std::map<std::string, PortEntry> DeviceManagerPorts() {
    std::map<std::string, PortEntry> ports;
    for (const GUID& portClass : PORT_CLASSES) {
        HDEVINFO set = SetupDiGetClassDevsW(&portClass, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            std::string name = PortNameOf(set, &device);
            if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) continue;
            PortEntry entry;
            entry.device = name;
            entry.name = DeviceProperty(set, &device, SPDRP_FRIENDLYNAME);
            entry.hardwareId = DeviceProperty(set, &device, SPDRP_HARDWAREID);
            entry.maker = DeviceProperty(set, &device, SPDRP_MFG);
            entry.driver = DeviceProperty(set, &device, SPDRP_SERVICE);
            entry.product = BusDescription(set, &device);
            entry.usb = UsbIdsOfHardwareId(entry.hardwareId);
            ports[Upper(name)] = entry;
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return ports;
}

}  // namespace

std::vector<PortEntry> CliPlatformPorts() {
    std::map<std::string, PortEntry> known = DeviceManagerPorts();
    // Every DOS device name, NUL-separated; the buffer grows until it fits.
    // A port without a record in the device manager (a virtual one, or
    // Wine's) is still a port; its driver column then gives the kernel's
    // device (\Device\VCP0 and the like, which names the driver too).
    std::vector<wchar_t> names(16384);
    while (QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22)) break;
        names.resize(names.size() * 2);
    }
    for (const wchar_t* name = names.data(); *name; name += wcslen(name) + 1) {
        std::string text = Utf8Of(name);
        if (text.size() < 4 || _strnicmp(text.c_str(), "COM", 3) != 0 ||
            text.find_first_not_of("0123456789", 3) != std::string::npos)
            continue;
        PortEntry& entry = known[Upper(text)];
        if (entry.device.empty()) entry.device = text;
        wchar_t target[1024] = {0};
        if (entry.driver.empty() && QueryDosDeviceW(name, target, 1024)) entry.driver = Utf8Of(target);
    }
    std::vector<PortEntry> result;
    for (auto& port : known) result.push_back(port.second);
    std::sort(result.begin(), result.end(), [](const PortEntry& a, const PortEntry& b) {
        return std::atoi(a.device.c_str() + 3) < std::atoi(b.device.c_str() + 3);
    });
    return result;
}

bool CliSamePort(const std::string& port, const PortEntry& entry) {
    const char* name = port.rfind("\\\\.\\", 0) == 0 ? port.c_str() + 4 : port.c_str();
    return _stricmp(entry.device.c_str(), name) == 0;
}

bool CliPortHolders(const std::string&, std::vector<PortHolder>*) { return false; }

std::vector<PortHolder> CliPortGrabbers() { return {}; }
