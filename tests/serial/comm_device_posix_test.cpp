// The termios comm device against a real pseudo-terminal pair, and the whole
// serial layer over it.
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "serial/comm_device.h"
#include "serial/comm_device_posix.h"
#include "serial/serial_port.h"
#include "support/main_heap.h"

namespace {

class PosixCommDeviceTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        for (const char* p = name; *p; ++p) slaveName.push_back(static_cast<char16_t>(*p));
        path = u"\\\\.\\" + slaveName;
    }
    void TearDown() override {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
        MainHeapTest::TearDown();
    }
    termios Terminal() const {
        termios tio{};
        EXPECT_EQ(tcgetattr(slave, &tio), 0);
        return tio;
    }

    CommDevice* device = CommDevicePlatform();
    int master = -1, slave = -1;
    std::u16string slaveName;  // "/dev/pts/N"
    std::u16string path;       // "\\.\/dev/pts/N", as the serial layer passes it
};

TEST_F(PosixCommDeviceTest, StateRoundTripsThroughTheTerminal) {
    intptr_t handle = device->Open(path.c_str());
    ASSERT_NE(handle, COMM_INVALID_HANDLE);
    EXPECT_NE(handle, 0);
    CommState state{};
    ASSERT_TRUE(device->GetState(handle, &state));

    state.baudRate = 19200;
    state.byteSize = 7;
    state.parity = 1;  // odd
    state.stopBits = 2;
    state.fOutxCtsFlow = 1;
    state.fRtsControl = COMM_RTS_CONTROL_HANDSHAKE;
    state.fOutX = 1;
    state.fInX = 0;
    state.xonChar = 0x21;
    state.xoffChar = 0x23;
    // Fields termios does not carry are kept by the device.
    state.fDsrSensitivity = 1;
    state.errorChar = 0x3F;
    state.xonLim = 25;
    ASSERT_TRUE(device->SetState(handle, &state));

    termios tio = Terminal();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    // A pseudo-terminal keeps eight bits and no parity whatever it is told.
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_FALSE(tio.c_iflag & IXOFF);
    EXPECT_EQ(tio.c_cc[VSTART], 0x21);
    EXPECT_FALSE(tio.c_lflag & ICANON);  // a comm port is binary

    CommState back{};
    ASSERT_TRUE(device->GetState(handle, &back));
    EXPECT_EQ(back.baudRate, 19200u);
    EXPECT_EQ(back.byteSize, 8);  // what the terminal has, not what was asked
    EXPECT_EQ(back.parity, 0);
    EXPECT_EQ(back.stopBits, 2);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, COMM_RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 0u);
    EXPECT_EQ(back.xoffChar, 0x23);
    EXPECT_EQ(back.fDsrSensitivity, 1u);
    EXPECT_EQ(back.errorChar, 0x3F);
    EXPECT_EQ(back.xonLim, 25);

    // Settings a terminal cannot take are refused, the old ones stay.
    state.baudRate = 12345;
    EXPECT_EQ(device->SetState(handle, &state), 0);
    state.baudRate = 9600;
    state.byteSize = 9;
    EXPECT_EQ(device->SetState(handle, &state), 0);
    tio = Terminal();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_TRUE(device->Close(handle));
}

// A pseudo-terminal has a break state but no modem-control lines.
TEST_F(PosixCommDeviceTest, BreakSwitchesButAPtyHasNoModemLines) {
    intptr_t handle = device->Open(path.c_str());
    ASSERT_NE(handle, COMM_INVALID_HANDLE);
    EXPECT_TRUE(device->Escape(handle, COMM_SETBREAK));
    EXPECT_TRUE(device->Escape(handle, COMM_CLRBREAK));
    for (int32_t function : {COMM_SETDTR, COMM_CLRDTR, COMM_SETRTS, COMM_CLRRTS}) {
        errno = 0;
        EXPECT_EQ(device->Escape(handle, function), 0) << function;
        EXPECT_EQ(errno, ENOTTY) << function;
    }
    EXPECT_EQ(device->Escape(handle, 7), 0);
    // Nor does it report the lines back; what the caller had stays.
    int32_t dtr = 7, rts = 7;
    EXPECT_EQ(device->GetModemLines(handle, &dtr, &rts), 0);
    EXPECT_EQ(device->LastError(nullptr), SERIAL_ERROR_NO_MODEM_LINES);
    EXPECT_EQ(dtr, 7);
    EXPECT_EQ(rts, 7);
    // Timeouts and queue sizes are accepted for an open port only.
    CommTimeouts timeouts{0, 0, 0, 100, 10};
    EXPECT_TRUE(device->SetTimeouts(handle, &timeouts));
    EXPECT_TRUE(device->Setup(handle, 255, 255));
    EXPECT_TRUE(device->Close(handle));
    EXPECT_EQ(device->Close(handle), 0);
    EXPECT_EQ(device->Escape(handle, COMM_SETBREAK), 0);
    EXPECT_EQ(device->SetTimeouts(handle, &timeouts), 0);
}

TEST_F(PosixCommDeviceTest, ASecondOpenFailsAndTheFirstStaysUsable) {
    intptr_t first = device->Open(path.c_str());
    ASSERT_NE(first, COMM_INVALID_HANDLE);
    errno = 0;
    EXPECT_EQ(device->Open(path.c_str()), COMM_INVALID_HANDLE);
    EXPECT_EQ(errno, EBUSY);
    CommState state{};
    EXPECT_TRUE(device->GetState(first, &state));
    EXPECT_TRUE(device->Escape(first, COMM_SETBREAK));
    EXPECT_TRUE(device->Close(first));
    // Closing releases the device for the next open.
    intptr_t again = device->Open(path.c_str());
    EXPECT_NE(again, COMM_INVALID_HANDLE);
    device->Close(again);
}

TEST_F(PosixCommDeviceTest, OnlyAbsoluteTerminalPathsOpen) {
    for (const char16_t* name : {u"\\\\.\\COM1", u"COM1", u"", u"\\\\.\\", u"\\\\.\\dev/pts/0"}) {
        errno = 0;
        EXPECT_EQ(device->Open(name), COMM_INVALID_HANDLE);
        EXPECT_EQ(errno, ENOENT);
    }
    // A lone surrogate cannot be spelled as a file name.
    const char16_t lone[] = {u'\\', u'\\', u'.', u'\\', u'/', 0xD800, u'x', 0};
    EXPECT_EQ(device->Open(lone), COMM_INVALID_HANDLE);
    // Not a terminal.
    errno = 0;
    EXPECT_EQ(device->Open(u"\\\\.\\/dev/null"), COMM_INVALID_HANDLE);
    EXPECT_EQ(errno, ENOTTY);
}

// Terminals of the system, and any port a kernel console runs on, must never
// be opened, not even to be refused; nor a placeholder with no UART behind
// it. The test names no real port: the kernel's word comes from a made-up
// sysfs and console list about /dev/null (1:3), whose open would fail with
// ENOTTY, so that EACCES or ENXIO shows that nothing opened it.
TEST_F(PosixCommDeviceTest, ConsolePortsAndPlaceholdersAreRefusedWithoutBeingOpened) {
    // Through a link: the controlling terminal, which a test run does not
    // have (an open would give ENXIO).
    std::string link = std::string(::testing::TempDir()) + "console-link-" + std::to_string(getpid());
    ASSERT_EQ(symlink("/dev/tty", link.c_str()), 0);
    std::u16string name(link.begin(), link.end());
    errno = 0;
    EXPECT_EQ(device->Open(name.c_str()), COMM_INVALID_HANDLE);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(device->Refusal(name.c_str()), SERIAL_REFUSAL_CONSOLE);
    unlink(link.c_str());
    // devpts's own pseudo-terminal master, by its device number (5,2) alone.
    EXPECT_EQ(device->Refusal(u"/dev/pts/ptmx"), SERIAL_REFUSAL_CONSOLE);
    EXPECT_EQ(device->Refusal(slaveName.c_str()), SERIAL_REFUSAL_NONE);

    const std::string root = std::string(::testing::TempDir()) + "kernel-" + std::to_string(getpid());
    const std::string folder = root + "/sys/dev/char/1:3";
    ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
    auto write = [](const std::string& path, const char* text) { std::ofstream(path) << text; };
    KernelTtyRoots roots{root + "/sys", root + "/consoles"};
    CommDevicePosixUseRoots(roots);
    const char16_t* null = u"\\\\.\\/dev/null";
    struct Case {
        const char* consoles;
        const char* flag;   // sysfs's console flag
        const char* type;   // sysfs's UART type
        int32_t refusal;
        int openErrno;
        int32_t error;
    };
    for (const Case& c : {Case{"tty0  -WU (EC p  )  4:1\nttyUSB0  -W- (E  p a)  1:3\n", "N", "4",
                               SERIAL_REFUSAL_KERNEL_CONSOLE, EACCES, SERIAL_ERROR_REFUSED},
                          Case{"ttyUSB0  -W- (E  p a)  188:0\n", "Y", "4", SERIAL_REFUSAL_KERNEL_CONSOLE, EACCES,
                               SERIAL_ERROR_REFUSED},
                          Case{"", "N", "0", SERIAL_REFUSAL_NONE, ENXIO, SERIAL_ERROR_NOT_FOUND},
                          Case{"", "N", "4", SERIAL_REFUSAL_NONE, ENOTTY, SERIAL_ERROR_NOT_SERIAL}}) {
        write(roots.consoles, c.consoles);
        write(folder + "/console", c.flag);
        write(folder + "/type", c.type);
        EXPECT_EQ(device->Refusal(null), c.refusal) << c.consoles << c.flag << c.type;
        errno = 0;
        EXPECT_EQ(device->Open(null), COMM_INVALID_HANDLE);
        EXPECT_EQ(errno, c.openErrno) << c.consoles << c.flag << c.type;
        EXPECT_EQ(device->LastError(nullptr), c.error);
    }
    // A pseudo-terminal, which sysfs does not index, by its number alone.
    struct stat info {};
    ASSERT_EQ(fstat(slave, &info), 0);
    write(roots.consoles, ("pts  -W- (E  p a)  " + std::to_string(major(info.st_rdev)) + ":" +
                           std::to_string(minor(info.st_rdev)) + "\n").c_str());
    EXPECT_EQ(device->Refusal(slaveName.c_str()), SERIAL_REFUSAL_KERNEL_CONSOLE);
    CommDevicePosixUseRoots(KernelTtyRoots{});
    std::system(("rm -rf '" + root + "'").c_str());
}

TEST_F(PosixCommDeviceTest, TheSerialLayerDrivesAPseudoTerminal) {
    ASSERT_TRUE(SerialPortInit());
    SerialPortUseDevice(nullptr);
    intptr_t handle = SerialPortOpen(0, slaveName.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255);
    ASSERT_NE(handle, 0);
    termios tio = Terminal();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 1));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 0));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_XOFF_CHAR, 0x14));
    EXPECT_EQ(Terminal().c_cc[VSTOP], 0x14);
    // No lines to read back: a failure with its reason, the levels untouched;
    // a port that is not open has none either.
    int32_t levels = 5;
    EXPECT_EQ(SerialPortGetLines(0, &levels), 0);
    EXPECT_EQ(SerialPortLastError(nullptr), SERIAL_ERROR_NO_MODEM_LINES);
    EXPECT_EQ(levels, 5);
    EXPECT_EQ(SerialPortGetLines(3, &levels), 0);
    EXPECT_EQ(SerialPortOpen(1, slaveName.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255), 0);
    SerialPortEnd();
    EXPECT_EQ(SerialPortSetLine(0, LINE_TXD, 1), 0);
}

}  // namespace
