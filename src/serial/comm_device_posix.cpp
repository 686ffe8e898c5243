// The POSIX comm device, over termios and the modem-control ioctls.
//
// Paths: the serial layer always passes "\\.\" + name; here the name must be
// an absolute path of a terminal device ("\\.\/dev/pts/3"). Handles are the
// file descriptor + 1, so a live handle is never 0 (0 marks an object absent
// in the serial layer's table) and never COMM_INVALID_HANDLE.
//
// termios carries only part of what the Win32 state holds: baud rate, data
// bits, parity, stop bits, RTS/CTS and XON/XOFF flow control and the two flow
// characters are read from and written to the terminal; every other field is
// kept per handle and handed back as it was last set. Queue sizes and
// time-outs have no termios counterpart the layer relies on and are only
// accepted.
//
// Failures set errno (EACCES for a refused device, EBUSY for a device this or
// another process holds, ENOENT for a name that is no path, ENXIO for a serial
// port's placeholder, which is never opened) so that tests and
// callers that look can tell them apart; LastError keeps the reason of the
// last failure, classified where it happened (ENOTTY at open is no serial
// port, on a line it is a driver without modem lines).
//
// DTR and RTS are set together with TIOCMSET. It writes every modem bit, so
// the bits other than DTR and RTS are read once at open and written back as
// they were.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "os/posix_files.h"
#include "serial/comm_device.h"
#include "serial/comm_device_posix.h"

namespace {

constexpr char16_t PATH_PREFIX[] = u"\\\\.\\";

struct BaudRate {
    uint32_t rate;
    speed_t speed;
};

constexpr BaudRate BAUD_RATES[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedOf(uint32_t rate, speed_t* speed) {
    for (const BaudRate& entry : BAUD_RATES) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool RateOf(speed_t speed, uint32_t* rate) {
    for (const BaudRate& entry : BAUD_RATES) {
        if (entry.speed == speed) {
            *rate = entry.rate;
            return true;
        }
    }
    return false;
}

// Win32 parity codes.
constexpr uint8_t PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4;

// The part of "\\.\" + name after the prefix, as UTF-8, if it is an absolute
// path. A lone surrogate makes the name invalid.
bool UnixPath(const char16_t* path, std::string* out) {
    const char16_t* p = path;
    for (const char16_t* q = PATH_PREFIX; *q; ++q, ++p) {
        if (*p != *q) {
            p = path;
            break;
        }
    }
    if (*p != u'/') return false;
    out->clear();
    for (; *p; ++p) {
        uint32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// Devices that are terminals of the system rather than serial ports are
// refused by name and through links (realpath and stat look at the file
// without opening it), and by device number: major 4 below minor 64 holds
// the virtual consoles, major 5 the console, the controlling terminal and
// the pseudo-terminal master, which are refused by name too since a
// container may put another device there.
int32_t RefusalOfName(const std::string& path) {
    if (path == "/dev/console" || path == "/dev/tty" || path == "/dev/ptmx") return SERIAL_REFUSAL_CONSOLE;
    return SERIAL_REFUSAL_NONE;
}

KernelTtyRoots& Roots() {
    static KernelTtyRoots roots;
    return roots;
}

// `name` or `number` ("4:64") among the consoles: the name comes first on a
// line, the number last.
bool ListedConsole(const std::string& consoles, const std::string& name, const std::string& number) {
    std::ifstream file(consoles);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string first, word, last;
        if (!(words >> first)) continue;
        last = first;
        while (words >> word) last = word;
        if ((!name.empty() && first == name) || (!number.empty() && last == number)) return true;
    }
    return false;
}

KernelTty KernelTtyAt(const KernelTtyRoots& roots, const std::string& folder, std::string number) {
    KernelTty tty;
    std::string name = BaseName(ResolvedPath(folder));
    if (!name.empty() && number.empty()) number = FirstLine(folder + "/dev");
    tty.console = FirstLine(folder + "/console") == "Y" || ListedConsole(roots.consoles, name, number);
    // A port the 8250 driver keeps for a UART that may not be there has
    // type 0. Where the type cannot be read, its device tells: the driver's
    // own platform device, or from Linux 6.5 a port of it (serial8250:0.3);
    // real ports sit on a bus of their own (pnp, pci, usb).
    std::string type = FirstLine(folder + "/type");
    if (!type.empty()) {
        tty.noUart = type == "0";
    } else if (!name.empty()) {
        std::string device = BaseName(ResolvedPath(folder + "/device"));
        tty.noUart = device == "serial8250" || device.rfind("serial8250:", 0) == 0;
    }
    return tty;
}

KernelTty KernelTtyOfPath(const std::string& path, bool* isDevice) {
    struct stat info {};
    *isDevice = stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
    if (!*isDevice) return KernelTty{};
    return KernelTtyOfDevice(Roots(), major(info.st_rdev), minor(info.st_rdev));
}

int32_t RefusalOf(const std::string& path) {
    if (int32_t refusal = RefusalOfName(path)) return refusal;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) {
        if (int32_t refusal = RefusalOfName(resolved)) return refusal;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        unsigned int deviceMajor = major(info.st_rdev);
        if ((deviceMajor == 4 && minor(info.st_rdev) < 64) || deviceMajor == 5) return SERIAL_REFUSAL_CONSOLE;
    }
    // Opening a port, even for a moment, moves DTR and RTS: on the one the
    // kernel writes its messages to, that can hang up or reset what is at
    // the other end.
    bool isDevice = false;
    if (KernelTtyOfPath(path, &isDevice).console) return SERIAL_REFUSAL_KERNEL_CONSOLE;
    return SERIAL_REFUSAL_NONE;
}

// What the layer keeps of a handle beyond the terminal's own settings.
struct Port {
    int fd;
    int modemBits;         // TIOCM_* as read at open; DTR and RTS as last set
    CommState shadow;      // the fields termios does not carry, as last set
    CommTimeouts timeouts;  // accepted and kept; reads and writes are not this layer's
};

class PosixCommDevice : public CommDevice {
public:
    intptr_t Open(const char16_t* path) override {
        std::string unixPath;
        if (!UnixPath(path, &unixPath)) {
            errno = ENOENT;
            return OpenFailed();
        }
        if (RefusalOf(unixPath)) {
            errno = EACCES;
            Failed(SERIAL_ERROR_REFUSED);
            return COMM_INVALID_HANDLE;
        }
        // A placeholder is no port: not even opened, as the kernel would
        // answer the open of a device that is not there.
        bool isDevice = false;
        if (KernelTtyOfPath(unixPath, &isDevice).noUart) {
            errno = ENXIO;
            return OpenFailed();
        }
        // Non-blocking only for the open itself, which would otherwise wait
        // for carrier on a modem line.
        int fd = open(unixPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return OpenFailed();
        if (!isatty(fd)) return Refuse(fd, ENOTTY);
        // Exclusive like a Win32 open with share mode 0. The lock also holds
        // against a second open by a privileged process, which TIOCEXCL
        // would let through; TIOCEXCL keeps out others that take no lock.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Refuse(fd, EBUSY);
        ioctl(fd, TIOCEXCL);
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Refuse(fd, errno);

        Port port{};
        port.fd = fd;
        // A terminal without modem lines refuses; it fails later, on the
        // first line the caller switches.
        if (ioctl(fd, TIOCMGET, &port.modemBits) != 0) port.modemBits = 0;
        // Opening a terminal raises DTR and RTS; binary is the only mode.
        port.shadow.fBinary = 1;
        port.shadow.fDtrControl = 1;
        port.shadow.fRtsControl = COMM_RTS_CONTROL_ENABLE;
        intptr_t handle = static_cast<intptr_t>(fd) + 1;
        ports_[handle] = port;
        return handle;
    }

    int32_t Refusal(const char16_t* path) override {
        std::string unixPath;
        return UnixPath(path, &unixPath) ? RefusalOf(unixPath) : SERIAL_REFUSAL_NONE;
    }

    int32_t Setup(intptr_t handle, int32_t, int32_t) override { return Find(handle) != nullptr; }

    int32_t GetState(intptr_t handle, CommState* state) override {
        Port* port = Find(handle);
        termios tio{};
        if (!port || tcgetattr(port->fd, &tio) != 0) return Failed(SERIAL_ERROR_NOT_SERIAL);
        CommState result = port->shadow;
        uint32_t rate = 0;
        if (RateOf(cfgetospeed(&tio), &rate)) result.baudRate = rate;
        switch (tio.c_cflag & CSIZE) {
            case CS5: result.byteSize = 5; break;
            case CS6: result.byteSize = 6; break;
            case CS7: result.byteSize = 7; break;
            default: result.byteSize = 8; break;
        }
        if (!(tio.c_cflag & PARENB)) {
            result.parity = PARITY_NONE;
        } else if (tio.c_cflag & CMSPAR) {
            result.parity = (tio.c_cflag & PARODD) ? PARITY_MARK : PARITY_SPACE;
        } else {
            result.parity = (tio.c_cflag & PARODD) ? PARITY_ODD : PARITY_EVEN;
        }
        // CSTOPB is one and a half stop bits with five data bits, two
        // otherwise; the state keeps whichever was asked for.
        if (!(tio.c_cflag & CSTOPB)) {
            result.stopBits = 0;
        } else if (result.stopBits == 0) {
            result.stopBits = 2;
        }
        // CRTSCTS stands for both halves of hardware flow control; the kept
        // halves stand unless the terminal says otherwise.
        bool hardware = tio.c_cflag & CRTSCTS;
        if (hardware != WantsHardwareFlow(result)) {
            result.fOutxCtsFlow = hardware;
            result.fRtsControl = hardware ? COMM_RTS_CONTROL_HANDSHAKE : COMM_RTS_CONTROL_ENABLE;
        }
        result.fOutX = (tio.c_iflag & IXON) != 0;
        result.fInX = (tio.c_iflag & IXOFF) != 0;
        result.xonChar = static_cast<char>(tio.c_cc[VSTART]);
        result.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        *state = result;
        return 1;
    }

    int32_t SetState(intptr_t handle, const CommState* state) override {
        Port* port = Find(handle);
        termios tio{};
        if (!port || tcgetattr(port->fd, &tio) != 0) return Failed(SERIAL_ERROR_NOT_SERIAL);
        speed_t speed = 0;
        if (!SpeedOf(state->baudRate, &speed) || state->byteSize < 5 || state->byteSize > 8 ||
            state->parity > PARITY_SPACE || state->stopBits > 2) {
            errno = EINVAL;
            return Failed(SERIAL_ERROR_OTHER);
        }
        // A comm port is always binary: no line editing, no translation.
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | SIZES[state->byteSize - 5];
        tio.c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        switch (state->parity) {
            case PARITY_ODD: tio.c_cflag |= PARENB | PARODD; break;
            case PARITY_EVEN: tio.c_cflag |= PARENB; break;
            case PARITY_MARK: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
            case PARITY_SPACE: tio.c_cflag |= PARENB | CMSPAR; break;
            default: break;
        }
        if (state->stopBits != 0) tio.c_cflag |= CSTOPB;
        if (WantsHardwareFlow(*state)) tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (state->fOutX) tio.c_iflag |= IXON;
        if (state->fInX) tio.c_iflag |= IXOFF;
        tio.c_cc[VSTART] = static_cast<cc_t>(state->xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(state->xoffChar);
        if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return Failed(LineError(errno));

        // As a Win32 driver does, the control modes set the lines. A terminal
        // without modem lines (a pseudo-terminal) refuses; that is no failure
        // of the settings.
        SetModemLine(port, TIOCM_DTR, state->fDtrControl != 0);
        if (state->fRtsControl == COMM_RTS_CONTROL_DISABLE) SetModemLine(port, TIOCM_RTS, false);
        if (state->fRtsControl == COMM_RTS_CONTROL_ENABLE) SetModemLine(port, TIOCM_RTS, true);
        port->shadow = *state;
        return 1;
    }

    int32_t SetTimeouts(intptr_t handle, const CommTimeouts* timeouts) override {
        Port* port = Find(handle);
        if (!port) return 0;
        port->timeouts = *timeouts;
        return 1;
    }

    int32_t Escape(intptr_t handle, int32_t function) override {
        Port* port = Find(handle);
        if (!port) return 0;
        switch (function) {
            case COMM_SETRTS: return Checked(SetModemLine(port, TIOCM_RTS, true));
            case COMM_CLRRTS: return Checked(SetModemLine(port, TIOCM_RTS, false));
            case COMM_SETDTR: return Checked(SetModemLine(port, TIOCM_DTR, true));
            case COMM_CLRDTR: return Checked(SetModemLine(port, TIOCM_DTR, false));
            case COMM_SETBREAK: return Checked(ioctl(port->fd, TIOCSBRK) == 0);
            case COMM_CLRBREAK: return Checked(ioctl(port->fd, TIOCCBRK) == 0);
            default: errno = EINVAL; return Failed(SERIAL_ERROR_OTHER);
        }
    }

    int32_t SetModemLines(intptr_t handle, int32_t dtr, int32_t rts) override {
        Port* port = Find(handle);
        if (!port) return 0;
        int bits = port->modemBits & ~(TIOCM_DTR | TIOCM_RTS);
        if (dtr) bits |= TIOCM_DTR;
        if (rts) bits |= TIOCM_RTS;
        if (ioctl(port->fd, TIOCMSET, &bits) != 0) return Failed(LineError(errno));
        port->modemBits = bits;
        return 1;
    }

    int32_t SetsModemLinesTogether() const override { return 1; }

    // TIOCMGET answers from the driver's record of the lines; for USB
    // adapters that is what it last sent, not a reading of the pins.
    int32_t GetModemLines(intptr_t handle, int32_t* dtr, int32_t* rts) override {
        Port* port = Find(handle);
        if (!port) return 0;
        int bits = 0;
        if (ioctl(port->fd, TIOCMGET, &bits) != 0) return Failed(LineError(errno));
        *dtr = (bits & TIOCM_DTR) != 0;
        *rts = (bits & TIOCM_RTS) != 0;
        return 1;
    }

    int32_t GetInputLines(intptr_t handle, int32_t* lines) override {
        Port* port = Find(handle);
        if (!port) return 0;
        int bits = 0;
        if (ioctl(port->fd, TIOCMGET, &bits) != 0) return Failed(LineError(errno));
        *lines = ((bits & TIOCM_CTS) ? INPUT_BIT_CTS : 0) | ((bits & TIOCM_DSR) ? INPUT_BIT_DSR : 0) |
                 ((bits & TIOCM_CAR) ? INPUT_BIT_DCD : 0) | ((bits & TIOCM_RNG) ? INPUT_BIT_RI : 0);
        return 1;
    }

    int32_t LastError(int32_t* systemCode) override {
        if (systemCode) *systemCode = errorCode_;
        return error_;
    }

    int32_t Close(intptr_t handle) override {
        Port* port = Find(handle);
        if (!port) return 0;
        // The exclusive mark outlives this descriptor while anyone else
        // holds the terminal open; release it with the port.
        ioctl(port->fd, TIOCNXCL);
        int result = close(port->fd);
        ports_.erase(handle);
        return result == 0;
    }

private:
    static bool WantsHardwareFlow(const CommState& state) {
        return state.fOutxCtsFlow || state.fRtsControl == COMM_RTS_CONTROL_HANDSHAKE;
    }

    static int32_t SetModemLine(Port* port, int line, bool on) {
        if (ioctl(port->fd, on ? TIOCMBIS : TIOCMBIC, &line) != 0) return 0;
        port->modemBits = on ? (port->modemBits | line) : (port->modemBits & ~line);
        return 1;
    }

    // On a line: a terminal that knows no modem-control request has no
    // modem lines; a device that is gone answers EIO, ENXIO or ENODEV.
    static int32_t LineError(int error) {
        switch (error) {
            case ENOTTY:
            case EINVAL: return SERIAL_ERROR_NO_MODEM_LINES;
            case EIO:
            case ENXIO:
            case ENODEV: return SERIAL_ERROR_GONE;
            default: return SERIAL_ERROR_OTHER;
        }
    }

    int32_t Failed(int32_t error) {
        error_ = error;
        errorCode_ = errno;
        return 0;
    }

    int32_t Checked(int32_t done) { return done ? 1 : Failed(LineError(errno)); }

    intptr_t OpenFailed() {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
            case ENXIO:
            case ENODEV: Failed(SERIAL_ERROR_NOT_FOUND); break;
            case EBUSY: Failed(SERIAL_ERROR_BUSY); break;
            case EACCES:
            case EPERM:
            case EROFS: Failed(SERIAL_ERROR_ACCESS); break;
            case ENOTTY:
            case EISDIR: Failed(SERIAL_ERROR_NOT_SERIAL); break;
            default: Failed(SERIAL_ERROR_OTHER); break;
        }
        return COMM_INVALID_HANDLE;
    }

    intptr_t Refuse(int fd, int error) {
        close(fd);
        errno = error;
        return OpenFailed();
    }

    // Only handles this device handed out reach the terminal; any other
    // value is refused rather than taken for somebody's descriptor.
    Port* Find(intptr_t handle) {
        auto it = ports_.find(handle);
        return it == ports_.end() ? nullptr : &it->second;
    }

    std::map<intptr_t, Port> ports_;
    int32_t error_ = SERIAL_ERROR_NONE;
    int32_t errorCode_ = 0;
};

}  // namespace

KernelTty KernelTtyOfFolder(const KernelTtyRoots& roots, const std::string& folder) {
    return KernelTtyAt(roots, folder, std::string());
}

KernelTty KernelTtyOfDevice(const KernelTtyRoots& roots, unsigned major, unsigned minor) {
    std::string number = std::to_string(major) + ":" + std::to_string(minor);
    return KernelTtyAt(roots, roots.sys + "/dev/char/" + number, number);
}

void CommDevicePosixUseRoots(const KernelTtyRoots& roots) { Roots() = roots; }

CommDevice* CommDevicePlatform() {
    static PosixCommDevice device;
    return &device;
}
