// The words shiftlamp-send reads, a frame's plan run dry, and the port list
// from a made-up sysfs.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <fstream>
#include <string>

#include "cli/port_check.h"
#include "cli/port_list.h"
#include "cli/send_input.h"
#include "cli/send_run.h"
#include "cli/send_runner.h"
#include "serial/serial_port.h"
#ifndef _WIN32
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>

#include "cli/cli_platform.h"
#include "os/os.h"
#include "runtime/process_values.h"
#include "cli/text_utf.h"
#endif

namespace {

TEST(SendInput, PatternsInEveryBaseAndNothingElse) {
    uint8_t pattern = 0;
    EXPECT_TRUE(ParsePattern("165", &pattern));
    EXPECT_EQ(pattern, 0xA5);
    EXPECT_TRUE(ParsePattern("0XA5", &pattern));
    EXPECT_EQ(pattern, 0xA5);
    EXPECT_TRUE(ParsePattern("0b10100101", &pattern));
    EXPECT_EQ(pattern, 0xA5);
    EXPECT_TRUE(ParsePattern("0", &pattern));
    EXPECT_EQ(pattern, 0);
    EXPECT_TRUE(ParsePattern("255", &pattern));
    EXPECT_EQ(pattern, 255);
    for (const char* bad : {"256", "0x100", "0b111111111", "-1", "", "0x", "0b", "12a", "0b102", " 1", "1 ", "+1",
                            "99999999999999999999999"}) {
        pattern = 7;
        EXPECT_FALSE(ParsePattern(bad, &pattern)) << bad;
        EXPECT_EQ(pattern, 7) << bad;
    }
}

// Chains: a byte a register, LED 1 the lowest bit; hex and binary as wide
// as the chain (leading zeros free), decimal to 64 bits; underscores only
// between digits; a set bit past the chain is WIDE, a malformed word BAD.
TEST(SendInput, ChainPatternsByteForRegisterAndWideOnesNamed) {
    Pattern chain;
    EXPECT_EQ(ParsePattern("0xA5_0F", 2, &chain), PatternWord::OK);
    EXPECT_EQ(chain, (Pattern{0x0F, 0xA5}));
    EXPECT_EQ(ParsePattern("0b1_0000_0001", 2, &chain), PatternWord::OK);
    EXPECT_EQ(chain, (Pattern{0x01, 0x01}));
    EXPECT_EQ(ParsePattern("18446744073709551615", 9, &chain), PatternWord::OK);
    EXPECT_EQ(chain, (Pattern{255, 255, 255, 255, 255, 255, 255, 255, 0}));
    EXPECT_EQ(ParsePattern("0x000001", 1, &chain), PatternWord::OK);
    EXPECT_EQ(chain, Pattern{1});
    std::string wide128 = "0x8" + std::string(255, '0');
    EXPECT_EQ(ParsePattern(wide128, 128, &chain), PatternWord::OK);
    EXPECT_EQ(chain.size(), 128u);
    EXPECT_EQ(chain[127], 0x80);
    EXPECT_EQ(PatternText(chain).substr(0, 4), "0x80");
    EXPECT_EQ(PatternText(Pattern{0x0F, 0xA5}), "0xa50f");

    chain = Pattern{7};
    for (const char* wide : {"0x1_0000", "65536", "0b1_0000_0000_0000_0000"})
        EXPECT_EQ(ParsePattern(wide, 2, &chain), PatternWord::WIDE) << wide;
    EXPECT_EQ(ParsePattern("1" + wide128.substr(2), 128, &chain), PatternWord::BAD);  // decimal past 64 bits
    EXPECT_EQ(ParsePattern("0x1" + wide128.substr(2), 128, &chain), PatternWord::WIDE);
    for (const char* bad : {"_1", "1_", "0x_A5", "0xA5_", "0xA5__0F", "0b_1", "1__0", "18446744073709551616"})
        EXPECT_EQ(ParsePattern(bad, 16, &chain), PatternWord::BAD) << bad;
    EXPECT_EQ(chain, Pattern{7});
    EXPECT_NE(PatternProblem("0x1_0000", PatternWord::WIDE, 2).find("'0x1_0000' is wider than the chain"),
              std::string::npos);

    Frame frame{};
    std::string bad;
    EXPECT_EQ(ParseFrameLine("0x1_00 5", &frame, &bad, 1), FrameLine::WIDE);
    EXPECT_EQ(bad, "0x1_00");
    EXPECT_EQ(ParseFrameLine("0x1_00 5", &frame, &bad, 2), FrameLine::FRAME);
    EXPECT_EQ(frame.pattern, (Pattern{0, 1}));
}

TEST(SendInput, MillisecondsWithFractionsWithinTheirRange) {
    double ms = -1;
    EXPECT_TRUE(ParseMilliseconds("0.25", 0, 1000, &ms));
    EXPECT_DOUBLE_EQ(ms, 0.25);
    EXPECT_TRUE(ParseMilliseconds("1000", 0, 1000, &ms));
    EXPECT_TRUE(ParseMilliseconds(".5", 0, 1000, &ms));
    EXPECT_DOUBLE_EQ(ms, 0.5);
    for (const char* bad : {"1000.01", "-1", "1e3", "", ".", "1,5", "0x10", "nan", "inf", " 1"})
        EXPECT_FALSE(ParseMilliseconds(bad, 0, 1000, &ms)) << bad;
}

// Counts never wrap, whatever the width of long: 2^32 + 1 is no 1, nor
// 2^64 + 1; a refused word leaves the count alone.
TEST(SendInput, CountsWithinTheirRangeOnEveryPlatform) {
    int64_t count = 0;
    EXPECT_TRUE(ParseCount("0", 0, 10, &count));
    EXPECT_TRUE(ParseCount("1000000000", 0, 1000000000, &count));
    EXPECT_EQ(count, 1000000000);
    count = 7;
    EXPECT_FALSE(ParseCount("11", 0, 10, &count));
    for (const char* bad : {"1000000001", "4294967296", "4294967297", "18446744073709551617",
                            "99999999999999999999999", "-1", ""})
        EXPECT_FALSE(ParseCount(bad, 0, 1000000000, &count)) << bad;
    EXPECT_EQ(count, 7);
    EXPECT_TRUE(ParseCount("9223372036854775807", 0, INT64_MAX, &count));
    EXPECT_EQ(count, INT64_MAX);
    EXPECT_FALSE(ParseCount("9223372036854775808", 0, INT64_MAX, &count));
}

TEST(SendInput, FrameLinesNameTheWordTheyCannotRead) {
    Frame frame{};
    std::string bad;
    EXPECT_EQ(ParseFrameLine("  0xA5   250  # lamps", &frame, &bad), FrameLine::FRAME);
    EXPECT_EQ(frame.pattern, Pattern{0xA5});
    EXPECT_DOUBLE_EQ(frame.holdMs, 250);
    EXPECT_EQ(ParseFrameLine("3", &frame, &bad), FrameLine::FRAME);
    EXPECT_LT(frame.holdMs, 0);
    EXPECT_EQ(ParseFrameLine("   # only a comment", &frame, &bad), FrameLine::EMPTY);
    EXPECT_EQ(ParseFrameLine("\r", &frame, &bad), FrameLine::EMPTY);
    EXPECT_EQ(ParseFrameLine("1 2 3", &frame, &bad), FrameLine::BAD);
    EXPECT_EQ(bad, "3");
    EXPECT_EQ(ParseFrameLine("lamp 2", &frame, &bad), FrameLine::BAD);
    EXPECT_EQ(bad, "lamp");
    EXPECT_EQ(ParseFrameLine("1 -5", &frame, &bad), FrameLine::BAD);
    EXPECT_EQ(bad, "-5");
}

// A bad word is quoted short, with nothing a terminal would act on.
TEST(SendInput, BadWordsAreQuotedShortAndEscaped) {
    EXPECT_EQ(QuotedWord("0x1FF"), "'0x1FF'");
    EXPECT_EQ(QuotedWord("\x1b[2J\t\x7f\xc2\x9b"), "'\\x1b[2J\\x09\\x7f\\xc2\\x9b'");
    EXPECT_EQ(QuotedWord(std::string(100000, '7')), "'" + std::string(24, '7') + "'...");
}

// Standard input in 4096-byte reads: a line of the longest length is a
// frame; one longer is refused once it is past the bound, without reading
// on to its end (which comes after 256 KiB, in case it would).
static int g_reads = 0;
static std::string g_input;
static InputRead ReadEndlessly(char* buffer, size_t size, size_t* got, int32_t*) {
    if (++g_reads > 64) return InputRead::END;
    *got = std::min(size, g_input.size());
    if (*got == 0) {
        *got = size;
        std::fill(buffer, buffer + size, '1');
        return InputRead::DATA;
    }
    g_input.copy(buffer, *got);
    g_input.erase(0, *got);
    return InputRead::DATA;
}

TEST(SendInput, ALineIsBoundedWhateverFollows) {
    g_input = std::string(MAX_LINE_BYTES - 1, ' ') + "7\n";
    g_reads = 0;
    FrameStream stream(1, ReadEndlessly);
    Frame frame{};
    std::string problem;
    ASSERT_EQ(stream.Next(&frame, &problem), FrameSource::FRAME);
    EXPECT_EQ(frame.pattern, Pattern{7});
    EXPECT_EQ(stream.Next(&frame, &problem), FrameSource::BAD);
    EXPECT_LE(g_reads, 4);
    EXPECT_NE(problem.find("line 2: longer than 4096 bytes"), std::string::npos) << problem;
    EXPECT_LT(problem.size(), 200u);
}

// A frame's plan carried out on paper: the steps one step apart from the
// time the frame is due, the hold its own or the run's, and the next frame
// due where the last step ends.
TEST(SendPlan, ADryRunPrintsThePlanAtItsTimes) {
    FramePlan first = PlanSend(Frame{{0xA5}, -1}, false, 0.5, 3, nullptr, true);
    EXPECT_EQ(first.steps.size(), 19u);
    EXPECT_EQ(first.holdNs, 3000000);
    // One line a step: data moves twice (0xA5 left LED 1's bit up).
    const Pattern before{0xA5};
    FramePlan next = PlanSend(Frame{{0x01}, 7.25}, false, 0.5, 3, &before, false);
    EXPECT_EQ(next.steps.size(), 20u);
    EXPECT_EQ(next.holdNs, 7250000);

    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    DryRunner dry(out);
    Trace none;
    EXPECT_EQ(dry.Run(first, 2000000, &none), 11500000);
    std::rewind(out);
    char line[128] = {};
    std::vector<std::string> lines;
    while (std::fgets(line, sizeof line, out)) lines.push_back(line);
    std::fclose(out);
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[0], "# frame 1: 0xa5\n");
    EXPECT_EQ(lines[1], "2.000 TXD_BREAK=0\n");
    EXPECT_EQ(lines[2], "2.500 DTR=0 RTS=1\n");
    EXPECT_EQ(lines[19], "11.000 TXD_BREAK=0\n");
}

// Frames after frames, as a chain of registers sees them (a rising clock
// shifts the data in, a rising latch shows it; an inverting stage
// complements every line): each latch shows its frame, a frame after the
// first costs 16N + 2 requests, plus one a change of data where each line
// is its own request, and the run's end leaves the clock and latch idle.
TEST(SendPlan, EveryFrameLatchesWholeAtTheFewestRequests) {
    std::srand(27);
    for (int round = 0; round < 200; ++round) {
        const bool invert = round % 2, together = round % 4 >= 2;
        const size_t registers = 1 + std::rand() % 3;
        const int32_t idle = IdleLevels(invert);
        int32_t lines = std::rand() & (LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD);  // as the open left them
        std::vector<uint8_t> shift(registers * 8), outputs;
        auto apply = [&](const LineStep& step) {
            const int32_t next = (lines & ~step.mask) | (step.levels & step.mask);
            const int32_t rose = ~(lines ^ idle) & (next ^ idle);
            if (rose & LINE_BIT_DTR) {
                shift.insert(shift.begin(), ((next ^ idle) & LINE_BIT_RTS) ? 1 : 0);
                shift.pop_back();
            }
            if (rose & LINE_BIT_TXD) outputs = shift;
            lines = next;
        };
        Pattern previous;
        for (int frame = 0; frame < 4; ++frame) {
            Pattern pattern(registers);
            for (uint8_t& byte : pattern) byte = static_cast<uint8_t>(std::rand() % 4 ? std::rand() : 0xFF);
            const FramePlan plan = PlanSend(Frame{pattern, -1}, invert, 0, 0, frame ? &previous : nullptr, together);
            size_t changes = 0;
            for (size_t led = 8 * registers; led > 1; --led)
                changes += DataLevel(pattern, led, invert) != DataLevel(pattern, led - 1, invert);
            if (frame) {
                changes += DataLevel(previous, 1, invert) != DataLevel(pattern, 8 * registers, invert);
                EXPECT_EQ(plan.steps.size(), 16 * registers + 2 + (together ? 0 : changes)) << round;
            }
            for (const LineStep& step : plan.steps) apply(step);
            for (size_t led = 1; led <= 8 * registers; ++led)
                ASSERT_EQ(outputs[led - 1], (pattern[(led - 1) / 8] >> ((led - 1) % 8)) & 1) << round << " LED " << led;
            previous = pattern;
        }
        const std::vector<uint8_t> shown = outputs;
        for (const LineStep& step : PlanEnd(invert, 0).steps) apply(step);
        // DTR and the break end clear: idle, or under invert the levels a
        // closing driver leaves as they are.
        EXPECT_EQ(lines & (LINE_BIT_DTR | LINE_BIT_TXD), 0) << round;
        EXPECT_EQ(outputs, shown) << round;
    }
}

// What --check makes of a series of change times: the median, not the
// mean (one slow USB frame must not move it), and the frame rate it gives.
TEST(PortCheck, TimingIsTheMedianAndTheFrameRateFollows) {
    std::vector<int64_t> times(19, 2000000);
    times.push_back(90000000);
    std::string text = TimingFinding(times, 19);
    EXPECT_NE(text.find("2.000 ms median of 20 changes, 90.000 ms the slowest"), std::string::npos) << text;
    EXPECT_NE(text.find("takes at least 38.000 ms, about 26 frames a second at --step-ms 0, 4.4 at the default"),
              std::string::npos)
        << text;
    EXPECT_NE(TimingFinding({3000, 1000}, 19).find("0.002 ms median of 2"), std::string::npos);
}

// Windows names a USB adapter's ids inside its hardware id, in either of
// the two spellings drivers use.
TEST(PortNames, UsbIdsFromWindowsHardwareIds) {
    EXPECT_EQ(UsbIdsOfHardwareId("USB\\VID_1A86&PID_7523&REV_0264"), "1a86:7523");
    EXPECT_EQ(UsbIdsOfHardwareId("FTDIBUS\\COMPORT&VID_0403&PID_6001"), "0403:6001");
    EXPECT_EQ(UsbIdsOfHardwareId("ACPI\\PNP0501"), "");
    EXPECT_EQ(UsbIdsOfHardwareId("USB\\VID_12"), "");
}

// Quirks by vendor:product and by driver, as the platform names the driver
// (Linux's module, Windows' service in any case); an adapter without one
// has none.
TEST(PortCheck, QuirksByIdsAndByDriver) {
    PortEntry ch340;
    ch340.usb = "1a86:7523";
    ASSERT_EQ(QuirkFindings(ch340).size(), 1u);
    EXPECT_NE(QuirkFindings(ch340)[0].find("imitates a break"), std::string::npos);
    PortEntry acm;
    acm.usb = "2341:0043";
#ifdef _WIN32
    acm.driver = "UsbSer";
    const char* otherPlatforms = "cdc_acm";
#else
    acm.driver = "cdc_acm";
    const char* otherPlatforms = "usbser";
#endif
    ASSERT_EQ(QuirkFindings(acm).size(), 1u);
    EXPECT_NE(QuirkFindings(acm)[0].find("CDC-ACM"), std::string::npos);
    acm.driver = otherPlatforms;
    EXPECT_TRUE(QuirkFindings(acm).empty());
    PortEntry ftdi;
    ftdi.usb = "0403:6001";
    EXPECT_TRUE(QuirkFindings(ftdi).empty());
}

#ifndef _WIN32
// A sysfs, a console list and /dev as Linux lays them out for a USB adapter,
// a CDC-ACM device given a console, a built-in port carrying the console,
// the 8250 driver's placeholders (before and from Linux 6.5), a real port of
// the same driver and a virtual console.
class PortList : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/shiftlamp-ports.XXXXXX";
        root_ = mkdtemp(pattern);
        Make("sys/devices/usb1/1-2/idVendor", "0403");
        Make("sys/devices/usb1/1-2/idProduct", "6001");
        Make("sys/devices/usb1/1-2/manufacturer", "FTDI");
        Make("sys/devices/usb1/1-2/product", "FT232R USB UART");
        Make("sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/x", "");
        Make("sys/bus/usb-serial/drivers/ftdi_sio/x", "");
        Link("../../../../../bus/usb-serial/drivers/ftdi_sio", "sys/devices/usb1/1-2/1-2:1.0/ttyUSB0/driver");
        Link("../../../devices/usb1/1-2/1-2:1.0/ttyUSB0", "sys/class/tty/ttyUSB0/device");
        Make("sys/devices/usb1/1-3/idVendor", "2341");
        Make("sys/devices/usb1/1-3/idProduct", "0043");
        Make("sys/devices/usb1/1-3/1-3:1.0/x", "");
        Link("../../../devices/usb1/1-3/1-3:1.0", "sys/class/tty/ttyACM0/device");
        Make("sys/devices/pnp0/00:01/x", "");
        Link("../../../devices/pnp0/00:01", "sys/class/tty/ttyS0/device");
        Make("sys/class/tty/ttyS0/console", "Y");
        Make("sys/devices/platform/serial8250/x", "");
        Link("../../../devices/platform/serial8250", "sys/class/tty/ttyS1/device");
        for (const char* n : {"2", "3"}) {
            Make(std::string("sys/devices/platform/serial8250/serial8250:0/serial8250:0.") + n + "/x", "");
            Link(std::string("../../../devices/platform/serial8250/serial8250:0/serial8250:0.") + n,
                 std::string("sys/class/tty/ttyS") + n + "/device");
        }
        Make("sys/class/tty/ttyS2/type", "0");
        Make("sys/class/tty/ttyS3/type", "4");
        Make("consoles", "ttyACM0              -W- (E  p a)  166:0");
        Make("sys/class/tty/tty1/dev", "4:1");
        Make("dev/ttyUSB0", "");
        Link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
    KernelTtyRoots Roots() const { return KernelTtyRoots{root_ + "/sys", root_ + "/consoles"}; }

    void Make(const std::string& path, const std::string& text) {
        std::string full = root_ + "/" + path;
        std::system(("mkdir -p '" + full.substr(0, full.rfind('/')) + "'").c_str());
        std::ofstream(full) << text << "\n";
    }
    void Link(const std::string& target, const std::string& path) {
        std::string full = root_ + "/" + path;
        std::system(("mkdir -p '" + full.substr(0, full.rfind('/')) + "'").c_str());
        ASSERT_EQ(symlink(target.c_str(), full.c_str()), 0) << path;
    }

    std::string root_;
};

TEST_F(PortList, ListsRealPortsWithTheirNamesAndLeavesTheRestOut) {
    std::vector<PortEntry> ports = ListSysfsPorts(Roots(), root_ + "/dev");
    ASSERT_EQ(ports.size(), 4u);
    const std::string dev = root_ + "/dev";
    const std::string byId = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    EXPECT_EQ(PortEntryText(ports[0]), dev + "/ttyACM0  usb 2341:0043  console");
    EXPECT_EQ(PortEntryText(ports[1]), dev + "/ttyS0  console");
    EXPECT_EQ(PortEntryText(ports[2]), dev + "/ttyS3");
    EXPECT_EQ(PortEntryText(ports[3]), dev + "/ttyUSB0  usb 0403:6001  FTDI FT232R USB UART  ftdi_sio  " + byId);
    // For scripts: nine fields, the device first, "-" for none.
    EXPECT_EQ(PortEntryTsv(ports[3]), dev + "/ttyUSB0\t" + byId + "\t0403:6001\tFTDI\tFT232R USB UART\tftdi_sio\t-\t-\t-");
    EXPECT_EQ(PortEntryTsv(ports[1]), dev + "/ttyS0\t-\t-\t-\t-\t-\t-\t-\tconsole");
}

// --check on the made-up tree: the adapter named as --list names it, then
// its device (here a plain file) is no serial port: 69, as a transfer.
TEST_F(PortList, CheckNamesTheAdapterAndFindsNoSerialPortBehindAFile) {
    std::vector<PortEntry> ports = ListSysfsPorts(Roots(), root_ + "/dev");
    ASSERT_EQ(ports.size(), 4u);
    Process.mainHeap = OsHeapCreate(4096);
    ASSERT_TRUE(Process.mainHeap && SerialPortInit());
    std::u16string path;
    ASSERT_TRUE(Utf8ToUtf16(ports[3].device, &path));
    PortCheck check = CheckPort(ports[3], path, CheckSettings{});
    SerialPortEnd();
    OsHeapDestroy(Process.mainHeap);
    Process.mainHeap = nullptr;
    std::string text;
    for (const std::string& line : check.findings) text += line + "\n";
    const std::string dev = root_ + "/dev";
    EXPECT_NE(text.find("  device      " + dev + "/ttyUSB0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  by-id       " + dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"),
              std::string::npos) << text;
    EXPECT_NE(text.find("  usb         0403:6001, FTDI FT232R USB UART\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  driver      ftdi_sio\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  open        not a serial port\n"), std::string::npos) << text;
    EXPECT_EQ(check.status, EXIT_NO_PORT);
    EXPECT_EQ(check.verdict, "not usable: not a serial port");
}

// Who holds a busy port: a child with the terminal open and locked, found
// by its descriptor and its lock; this process's own descriptor is no
// holder.
TEST(PortHolders, AProcessThatOpensAndLocksThePortIsNamed) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Not the master: whoever holds that is the terminal's other end.
        close(master);
        int fd = open(name, O_RDWR | O_NOCTTY);
        char byte = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? '1' : '0';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, '1');
    std::vector<PortHolder> holders;
    EXPECT_TRUE(CliPortHolders(name, &holders));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    for (int fd : {master, slave, ready[0], ready[1]}) close(fd);
    ASSERT_EQ(holders.size(), 1u) << name;
    EXPECT_EQ(holders[0].pid, static_cast<long>(child));
    EXPECT_TRUE(holders[0].hasOpen);
    EXPECT_TRUE(holders[0].locks);
    EXPECT_FALSE(holders[0].name.empty());
}

#endif

}  // namespace
