// board_drive: runs the product's own transfer, through the real Win32
// serial device, from the command line. The simulated board's tests and
// benchmarks use it, and it shows the board working before the application
// exists.
//
// Usage: board_drive PORT INVERT REPEAT PATTERN...
//   PORT     COM1 .. COM10 (any name the serial layer takes)
//   INVERT   0 or 1, the application's invert box
//   REPEAT   how many times the list of patterns is sent
//   PATTERN  the LEDs as a hexadecimal byte: bit k-1 is LED k
// One line per transfer on standard output ("sent", or "line failed" when a
// line refused to switch: the transfer still ran to its end, as the window's
// does); exit status 0 when every transfer switched every line, 1 when a
// port did not open, 2 for bad arguments, 3 when a line failed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/transfer.h"
#include "os/os.h"
#include "runtime/process_values.h"
#include "serial/serial_port.h"

namespace {

int32_t LedFromPattern(int32_t led, void* context) {
    return (*static_cast<const unsigned*>(context) >> (led - 1)) & 1;
}

// A whole-string number in `base` within [low, high], or -1.
long Number(const char* text, int base, long low, long high) {
    char* end = nullptr;
    long value = std::strtol(text, &end, base);
    if (!*text || *end || value < low || value > high) return -1;
    return value;
}

int Usage(const char* program) {
    std::fprintf(stderr, "usage: %s PORT INVERT(0|1) REPEAT PATTERN(hex byte)...\n", program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return Usage(argv[0]);
    std::u16string port;
    for (const char* c = argv[1]; *c; ++c) port.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
    long invert = Number(argv[2], 10, 0, 1);
    long repeat = Number(argv[3], 10, 1, 1000000);
    std::vector<unsigned> patterns;
    for (int i = 4; i < argc; ++i) {
        long pattern = Number(argv[i], 16, 0, 0xFF);
        if (pattern < 0) return Usage(argv[0]);
        patterns.push_back(static_cast<unsigned>(pattern));
    }
    if (port.empty() || invert < 0 || repeat < 0) return Usage(argv[0]);

    Process.mainHeap = OsHeapCreate(4096);
    if (!Process.mainHeap || !SerialPortInit()) {
        std::fprintf(stderr, "%s: out of memory\n", argv[0]);
        return 1;
    }
    int status = 0;
    for (long r = 0; r < repeat; ++r) {
        for (unsigned pattern : patterns) {
            int32_t result = TransferToRegister(port.c_str(), static_cast<int32_t>(invert), LedFromPattern, &pattern);
            if (!result) {
                std::printf("%s: could not be opened\n", argv[1]);
                return 1;
            }
            if (result == TRANSFER_LINE_FAILED) status = 3;
            std::printf("%s invert=%ld pattern=0x%02x %s\n", argv[1], invert, pattern,
                        result == TRANSFER_LINE_FAILED ? "line failed" : "sent");
        }
    }
    std::fflush(stdout);
    SerialPortEnd();
    return status;
}
