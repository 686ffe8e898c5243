// How long the transfer's steps really take with the real delays: each line
// change should be followed by 10 ms before the next one (or before the close
// after the last), so a transfer takes 280 ms (300 with invert, which has two
// more steps) plus opening and closing. Transfers alternate invert off and
// on. The recording device time-stamps every call; the register and the
// wiring play no part here.
//
// Usage: bench_transfer [transfers]   (default 20)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/transfer.h"
#include "os/os.h"
#include "runtime/process_values.h"
#include "serial/comm_device_fake.h"
#include "serial/serial_port.h"

namespace {

constexpr int STEPS = 28;         // invert off
constexpr int STEPS_INVERTED = 30;  // the latch and the clock left clear at the end

int32_t Alternate(int32_t led, void*) { return led & 1; }

struct Summary {
    double min, median, p99, max;
};

// Nearest-rank statistics in milliseconds.
Summary Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto rank = [&](double fraction) {
        size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
        return values[std::min(values.size(), std::max<size_t>(index, 1)) - 1];
    };
    return {values.front(), rank(0.5), rank(0.99), values.back()};
}

void Print(const char* label, const Summary& s) {
    std::printf("%-14s %9.3f %9.3f %9.3f %9.3f\n", label, s.min, s.median, s.p99, s.max);
}

double Ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    int transfers = argc > 1 ? std::atoi(argv[1]) : 20;
    if (transfers < 1) {
        std::fprintf(stderr, "usage: %s [transfers, at least 1]\n", argv[0]);
        return 2;
    }
    Process.mainHeap = OsHeapCreate(4096);
    if (!Process.mainHeap || !SerialPortInit()) return 1;
    FakeCommDevice fake;
    SerialPortUseDevice(&fake);

    std::vector<std::vector<double>> perStep(STEPS_INVERTED);
    std::vector<double> allSteps, openToClose, wholeCall;
    for (int t = 0; t < transfers; ++t) {
        fake.calls.clear();
        int64_t start = OsMonotonicNs();
        if (!TransferToRegister(u"COM1", t & 1, Alternate, nullptr)) return 1;
        wholeCall.push_back(Ms(OsMonotonicNs() - start));

        // The moments of the line changes and of the close that follows.
        const int steps = (t & 1) ? STEPS_INVERTED : STEPS;
        std::vector<int64_t> moments;
        for (const CommCallRecord& call : fake.calls)
            if (call.call == CommCall::Escape || call.call == CommCall::Close) moments.push_back(call.timeNs);
        if (moments.size() != static_cast<size_t>(steps) + 1) return 1;
        for (int step = 0; step < steps; ++step) {
            double interval = Ms(moments[step + 1] - moments[step]);
            perStep[step].push_back(interval);
            allSteps.push_back(interval);
        }
        openToClose.push_back(Ms(fake.calls.back().timeNs - fake.calls.front().timeNs));
    }

    std::printf("%d transfers, %d steps each (%d with invert), nominal 10 ms per step\n", transfers, STEPS,
                STEPS_INVERTED);
    std::printf("%-14s %9s %9s %9s %9s   (ms)\n", "", "min", "median", "p99", "max");
    Print("every step", Summarise(allSteps));
    for (int step = 0; step < STEPS_INVERTED; ++step) {
        if (perStep[step].empty()) continue;
        char label[16];
        std::snprintf(label, sizeof label, "step %d", step + 1);
        Print(label, Summarise(perStep[step]));
    }
    Print("open..close", Summarise(openToClose));
    Print("whole call", Summarise(wholeCall));

    SerialPortUseDevice(nullptr);
    OsHeapDestroy(Process.mainHeap);
    return 0;
}
