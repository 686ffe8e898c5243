#include "app/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "app/transfer_testing.h"
#include "platform/delay.h"
#include "serial/comm_device_fake.h"
#include "serial/serial_port.h"
#include "support/main_heap.h"

namespace {

// A 74HC595 on the port: RTS drives SER, DTR drives SRCLK, the break state of
// TXD drives RCLK. The invert option exists for wiring with an inverting
// stage between the port and the register, so with invert on the model sees
// the complement of every port line, as the register would.
class Register595 {
public:
    // Port lines as they stand when the port has just opened; the registers
    // start with `powerUp`, whatever the chip happened to hold.
    Register595(bool inverted, bool rts, bool dtr, bool brk, uint8_t powerUp)
        : inverted_(inverted), rts_(rts), dtr_(dtr), break_(brk), shift_(powerUp), storage_(powerUp) {}

    // One successful line change on the port (an Escape function code).
    void Drive(int32_t function) {
        switch (function) {
            case COMM_SETRTS: rts_ = true; break;
            case COMM_CLRRTS: rts_ = false; break;
            case COMM_SETDTR: SetClock(true); break;
            case COMM_CLRDTR: SetClock(false); break;
            case COMM_SETBREAK: SetLatch(true); break;
            case COMM_CLRBREAK: SetLatch(false); break;
        }
    }

    // Bit k-1 is output k: QA is bit 0, QH bit 7.
    uint8_t Outputs() const { return storage_; }

private:
    bool Pin(bool line) const { return line != inverted_; }
    void SetClock(bool line) {
        // SER is sampled on the rising edge; QA takes it, the rest move on.
        if (!Pin(dtr_) && Pin(line)) shift_ = static_cast<uint8_t>(shift_ << 1 | Pin(rts_));
        dtr_ = line;
    }
    void SetLatch(bool line) {
        if (!Pin(break_) && Pin(line)) storage_ = shift_;
        break_ = line;
    }

    bool inverted_;
    bool rts_, dtr_, break_;
    uint8_t shift_, storage_;
};

// What the transfer asks for: LED k's state, and when it asked.
struct Leds {
    int32_t state[9] = {};
    const FakeCommDevice* fake = nullptr;
    std::vector<int32_t> order;           // LED numbers in the order asked
    std::vector<size_t> escapesWhenAsked;  // line changes made by then

    static int32_t Ask(int32_t led, void* context) {
        auto* leds = static_cast<Leds*>(context);
        leds->order.push_back(led);
        size_t escapes = 0;
        for (const CommCallRecord& call : leds->fake->calls) escapes += call.call == CommCall::Escape;
        leds->escapesWhenAsked.push_back(escapes);
        return leds->state[led];
    }
};

std::vector<int32_t> Escapes(const FakeCommDevice& fake) {
    std::vector<int32_t> functions;
    for (const CommCallRecord& call : fake.calls)
        if (call.call == CommCall::Escape) functions.push_back(call.arg1);
    return functions;
}

// Waits are recorded, not taken, unless a test restores DelayMs: a wait
// remembers how many device calls had been made before it.
struct Wait {
    int32_t ms;
    size_t callsBefore;
    int periodSet;  // whether the 1 ms timer period was in force
};
const FakeCommDevice* WaitDevice = nullptr;
std::vector<Wait> Waits;
void RecordWait(int32_t ms) { Waits.push_back({ms, WaitDevice->calls.size(), DelayTimerPeriodSet()}); }

class TransferTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        ASSERT_NE(SerialPortInit(), 0);
        SerialPortUseDevice(&fake);
        WaitDevice = &fake;
        Waits.clear();
        TransferUseDelay(RecordWait);
        leds.fake = &fake;
    }
    void TearDown() override {
        TransferUseDelay(nullptr);
        SerialPortUseDevice(nullptr);
        MainHeapTest::TearDown();
    }
    int32_t Transfer(int32_t invert, const char16_t* port = u"COM1") {
        return TransferToRegister(port, invert, Leds::Ask, &leds);
    }
    // Sets LED k (1..8) from bit k-1 of `pattern`.
    void SetPattern(unsigned pattern) {
        for (int led = 1; led <= 8; ++led) leds.state[led] = (pattern >> (led - 1)) & 1;
    }

    FakeCommDevice fake;
    Leds leds;
};

// invert, DTR set at open, break set at open
class TransferSweep : public TransferTest,
                      public ::testing::WithParamInterface<std::tuple<bool, bool, bool>> {};

TEST_P(TransferSweep, EveryPatternReachesTheOutputs) {
    auto [invert, dtrAtOpen, breakAtOpen] = GetParam();
    fake.dtrAtOpen = dtrAtOpen;
    fake.breakAtOpen = breakAtOpen;
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        SCOPED_TRACE(::testing::Message() << "pattern " << pattern);
        SetPattern(pattern);
        fake.calls.clear();
        ASSERT_NE(Transfer(invert), 0);

        Register595 chip(invert, fake.rtsAtOpen, dtrAtOpen, breakAtOpen, static_cast<uint8_t>(~pattern));
        for (const CommCallRecord& call : fake.calls)
            if (call.call == CommCall::Escape && call.result) chip.Drive(call.arg1);
        EXPECT_EQ(chip.Outputs(), pattern);
        EXPECT_TRUE(fake.openHandles.empty());
        // A driver may clear any of the lines once the port is closed, in any
        // order: the outputs keep the frame all the same.
        int32_t clears[] = {COMM_CLRBREAK, COMM_CLRDTR, COMM_CLRRTS};
        std::sort(clears, clears + 3);
        do {
            for (size_t cleared = 1; cleared <= 3; ++cleared) {
                Register595 closed = chip;
                for (size_t i = 0; i < cleared; ++i) closed.Drive(clears[i]);
                ASSERT_EQ(closed.Outputs(), pattern) << "clearing " << cleared << " lines from " << clears[0];
            }
        } while (std::next_permutation(clears, clears + 3));
    }
}

INSTANTIATE_TEST_SUITE_P(InvertAndLinesAtOpen, TransferSweep,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Bool()));

int32_t Complement(int32_t function) {
    switch (function) {
        case COMM_SETRTS: return COMM_CLRRTS;
        case COMM_CLRRTS: return COMM_SETRTS;
        case COMM_SETDTR: return COMM_CLRDTR;
        case COMM_CLRDTR: return COMM_SETDTR;
        case COMM_SETBREAK: return COMM_CLRBREAK;
        default: return COMM_SETBREAK;
    }
}

// LEDs 1, 3, 4 and 8 on.
const unsigned SAMPLE = 0x8D;
// With invert off: clock and latch idled, LED 8 first, latch pulse.
const std::vector<int32_t> SAMPLE_LINES = {
    COMM_CLRDTR, COMM_CLRBREAK,
    COMM_SETRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 8
    COMM_CLRRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 7
    COMM_CLRRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 6
    COMM_CLRRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 5
    COMM_SETRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 4
    COMM_SETRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 3
    COMM_CLRRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 2
    COMM_SETRTS, COMM_SETDTR, COMM_CLRDTR,  // LED 1
    COMM_SETBREAK, COMM_CLRBREAK,
};

// The device as the transfer meets it, noting whether the 1 ms timer period
// was in force when the port opened and at the first line change.
class PeriodWatchingDevice : public FakeCommDevice {
public:
    int periodAtOpen = -1, periodAtFirstChange = -1;
    intptr_t Open(const char16_t* path) override {
        if (periodAtOpen < 0) periodAtOpen = DelayTimerPeriodSet();
        return FakeCommDevice::Open(path);
    }
    int32_t Escape(intptr_t handle, int32_t function) override {
        if (periodAtFirstChange < 0) periodAtFirstChange = DelayTimerPeriodSet();
        return FakeCommDevice::Escape(handle, function);
    }
};

// The period is asked for once per process and never given back, so the
// transfer runs in a process of its own (the test program started again for
// this test alone), where no other test can have asked for it first.
TEST_F(TransferTest, TheTimerPeriodIsInForceBeforeTheFirstLineChange) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PeriodWatchingDevice device;
            SerialPortUseDevice(&device);
            WaitDevice = &device;
            const int before = DelayTimerPeriodSet();
            const int32_t result = Transfer(0);
            std::fprintf(stderr, "period set before=%d at open=%d at first change=%d; result %d\n", before,
                         device.periodAtOpen, device.periodAtFirstChange, result);
            const bool held = before == 0 && device.periodAtOpen == 1 && device.periodAtFirstChange == 1;
            std::_Exit(result && held ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TransferTest, DrivesTheLinesInOrderWithEveryLevelComplementedByInvert) {
    for (int32_t invert : {0, 1}) {
        SCOPED_TRACE(::testing::Message() << "invert " << invert);
        SetPattern(SAMPLE);
        fake.calls.clear();
        ASSERT_NE(Transfer(invert), 0);
        std::vector<int32_t> expected = SAMPLE_LINES;
        if (invert) {
            for (int32_t& function : expected) function = Complement(function);
            // Then the latch and the clock rest clear, as a closing driver
            // leaves them: the latch first.
            expected.push_back(COMM_CLRBREAK);
            expected.push_back(COMM_CLRDTR);
        }
        EXPECT_EQ(Escapes(fake), expected);
    }
}

TEST_F(TransferTest, WaitsTenMillisecondsAfterEveryLineChangeAndClosesAfterTheLast) {
    for (int32_t invert : {0, 1}) {
        SCOPED_TRACE(::testing::Message() << "invert " << invert);
        SetPattern(SAMPLE);
        fake.calls.clear();
        Waits.clear();
        ASSERT_NE(Transfer(invert), 0);
        const size_t steps = invert ? 30u : 28u;
        ASSERT_EQ(Waits.size(), steps);
        size_t escapes = 0;
        size_t wait = 0;
        for (size_t i = 0; i < fake.calls.size(); ++i) {
            if (fake.calls[i].call != CommCall::Escape) continue;
            ++escapes;
            // The next wait comes right after this change, before any other call.
            ASSERT_LT(wait, Waits.size());
            EXPECT_EQ(Waits[wait].ms, 10);
            EXPECT_EQ(Waits[wait].callsBefore, i + 1) << "line change " << escapes;
            ++wait;
        }
        EXPECT_EQ(escapes, steps);
        ASSERT_EQ(fake.calls.back().call, CommCall::Close);
        EXPECT_EQ(Waits.back().callsBefore, fake.calls.size() - 1);
    }
}

// Real delays: consecutive line changes, and the close after the last one,
// are never closer than the 10 ms the register's wiring is given. Lateness
// is measured by the benchmark, not asserted here.
TEST_F(TransferTest, LineChangesAreAtLeastTenMillisecondsApart) {
    TransferUseDelay(nullptr);
    const int64_t minimumNs = 10 * 1000000LL - 100000;
    for (int32_t invert : {0, 1}) {
        SCOPED_TRACE(::testing::Message() << "invert " << invert);
        SetPattern(SAMPLE);
        fake.calls.clear();
        ASSERT_NE(Transfer(invert), 0);
        int64_t previous = -1;
        int changes = 0;
        for (const CommCallRecord& call : fake.calls) {
            if (call.call != CommCall::Escape && call.call != CommCall::Close) continue;
            if (previous >= 0) {
                EXPECT_GE(call.timeNs - previous, minimumNs) << "after change " << changes;
            }
            previous = call.timeNs;
            changes += call.call == CommCall::Escape;
        }
        EXPECT_EQ(changes, invert ? 30 : 28);
        EXPECT_EQ(fake.calls.back().call, CommCall::Close);
    }
}

TEST_F(TransferTest, OnlyBitZeroOfAStateCounts) {
    for (int32_t invert : {0, 1}) {
        SCOPED_TRACE(::testing::Message() << "invert " << invert);
        int32_t states[9] = {0, -1, 3, 2, 0, 1, -2, 5, 4};
        std::copy(states, states + 9, leds.state);
        fake.calls.clear();
        ASSERT_NE(Transfer(invert), 0);
        Register595 chip(invert, false, false, false, 0x00);
        for (const CommCallRecord& call : fake.calls)
            if (call.call == CommCall::Escape) chip.Drive(call.arg1);
        // On: LEDs 1 (-1), 2 (3), 5 (1), 7 (5).
        EXPECT_EQ(chip.Outputs(), 0x53);
    }
}

TEST_F(TransferTest, NoSourceOfStatesSendsEveryLedOff) {
    for (int32_t invert : {0, 1}) {
        fake.calls.clear();
        ASSERT_NE(TransferToRegister(u"COM1", invert, nullptr, nullptr), 0);
        Register595 chip(invert, false, false, false, 0xFF);
        for (const CommCallRecord& call : fake.calls)
            if (call.call == CommCall::Escape) chip.Drive(call.arg1);
        EXPECT_EQ(chip.Outputs(), 0x00) << "invert " << invert;
    }
}

TEST_F(TransferTest, AsksForEachStateJustBeforeItsBitGoesOut) {
    ASSERT_NE(Transfer(0), 0);
    EXPECT_EQ(leds.order, (std::vector<int32_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    // Two idling changes, then three changes per bit; the data line is next.
    EXPECT_EQ(leds.escapesWhenAsked, (std::vector<size_t>{2, 5, 8, 11, 14, 17, 20, 23}));
}

TEST_F(TransferTest, APortThatCannotOpenTouchesNoLine) {
    fake.failOpen = true;
    EXPECT_EQ(Transfer(0), 0);
    EXPECT_TRUE(Escapes(fake).empty());
    EXPECT_TRUE(leds.order.empty());
    EXPECT_TRUE(Waits.empty());

    fake.failOpen = false;
    fake.failSetState = true;
    EXPECT_EQ(Transfer(1), 0);
    EXPECT_TRUE(Escapes(fake).empty());
    EXPECT_TRUE(leds.order.empty());
    EXPECT_TRUE(fake.openHandles.empty());
}

TEST_F(TransferTest, FailingLineChangesDoNotStopTheSequenceOrTheClose) {
    fake.failEscape = true;
    EXPECT_NE(Transfer(0), 0);
    EXPECT_EQ(Escapes(fake).size(), 28u);
    EXPECT_EQ(leds.order.size(), 8u);
    EXPECT_EQ(Waits.size(), 28u);
    EXPECT_EQ(fake.calls.back().call, CommCall::Close);
    EXPECT_TRUE(fake.openHandles.empty());
}

TEST_F(TransferTest, OpensTheChosenPortWithFixedSettings) {
    ASSERT_NE(Transfer(0, u"COM10"), 0);
    ASSERT_FALSE(fake.calls.empty());
    EXPECT_EQ(fake.calls.front().path, u"\\\\.\\COM10");
    bool configured = false;
    for (const CommCallRecord& call : fake.calls) {
        if (call.call == CommCall::Setup) {
            EXPECT_EQ(call.arg1, 255);
            EXPECT_EQ(call.arg2, 255);
        }
        if (call.call != CommCall::SetState) continue;
        configured = true;
        EXPECT_EQ(call.state.baudRate, 9600u);
        EXPECT_EQ(call.state.parity, 0);
        EXPECT_EQ(call.state.byteSize, 8);
        EXPECT_EQ(call.state.stopBits, 0);
        EXPECT_EQ(call.state.fRtsControl, COMM_RTS_CONTROL_DISABLE);
        EXPECT_EQ(call.state.fOutxCtsFlow, 0u);
    }
    EXPECT_TRUE(configured);
}

// Transfers follow one another on the same object number without leaving a
// port open in between.
TEST_F(TransferTest, ReusesPortZeroAndLeavesNothingOpen) {
    ASSERT_NE(Transfer(0, u"COM3"), 0);
    ASSERT_NE(Transfer(1, u"COM3"), 0);
    EXPECT_TRUE(fake.openHandles.empty());
    EXPECT_EQ(SerialPortSetLine(0, LINE_DTR, 1), 0);
}

}  // namespace
