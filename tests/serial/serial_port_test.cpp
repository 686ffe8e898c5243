// The serial-port layer over the recording comm device: what reaches the
// device, in which order, and what the caller gets back.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/object_table.h"
#include "serial/comm_device_fake.h"
#include "support/main_heap.h"

namespace {

const std::u16string PREFIX = u"\\\\.\\";

// Every field, so that a failing comparison shows which one differs.
std::string Describe(const CommState& s) {
    std::ostringstream out;
    out << "baud " << s.baudRate << " binary " << s.fBinary << " fParity " << s.fParity << " cts "
        << s.fOutxCtsFlow << " dsr " << s.fOutxDsrFlow << " dtrControl " << s.fDtrControl << " dsrSens "
        << s.fDsrSensitivity << " txContinue " << s.fTXContinueOnXoff << " outX " << s.fOutX << " inX " << s.fInX
        << " errorCharOn " << s.fErrorChar << " null " << s.fNull << " rtsControl " << s.fRtsControl
        << " abort " << s.fAbortOnError << " xonLim " << s.xonLim << " xoffLim " << s.xoffLim << " size "
        << int(s.byteSize) << " parity " << int(s.parity) << " stop " << int(s.stopBits) << " xon "
        << int(s.xonChar) << " xoff " << int(s.xoffChar) << " error " << int(s.errorChar) << " eof "
        << int(s.eofChar) << " evt " << int(s.evtChar);
    return out.str();
}

// A driver state in which every field differs from what any mode writes, so
// a field that is kept is seen to be kept.
CommState Distinctive() {
    CommState s{};
    s.baudRate = 300;
    s.fBinary = 1;
    s.fOutxCtsFlow = 1;
    s.fOutxDsrFlow = 1;
    s.fDtrControl = 2;
    s.fDsrSensitivity = 1;
    s.fTXContinueOnXoff = 1;
    s.fOutX = 1;
    s.fInX = 1;
    s.fErrorChar = 1;
    s.fNull = 1;
    s.fRtsControl = 3;
    s.fAbortOnError = 1;
    s.xonLim = 1234;
    s.xoffLim = 4321;
    s.byteSize = 5;
    s.parity = 4;
    s.stopBits = 2;
    s.xonChar = 0x21;
    s.xoffChar = 0x23;
    s.errorChar = 0x3F;
    s.eofChar = 0x1A;
    s.evtChar = 0x0D;
    return s;
}

class SerialPortTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        ASSERT_TRUE(SerialPortInit());
        SerialPortUseDevice(&device);
    }
    void TearDown() override {
        SerialPortUseDevice(nullptr);
        MainHeapTest::TearDown();
    }

    // The application's own call unless a test says otherwise.
    intptr_t Open(intptr_t number, const char16_t* name, int32_t handshake = HANDSHAKE_NONE, float stops = 1.0f,
                  int32_t inQueue = 255, int32_t outQueue = 255) {
        return SerialPortOpen(number, name, 9600, 0, 8, stops, handshake, inQueue, outQueue);
    }

    std::vector<CommCall> Calls(size_t from = 0) const {
        std::vector<CommCall> calls;
        for (size_t i = from; i < device.calls.size(); ++i) calls.push_back(device.calls[i].call);
        return calls;
    }
    std::vector<intptr_t> Closed() const {
        std::vector<intptr_t> handles;
        for (const CommCallRecord& record : device.calls) {
            if (record.call == CommCall::Close) handles.push_back(record.handle);
        }
        return handles;
    }
    const CommCallRecord* LastOf(CommCall call) const {
        for (auto it = device.calls.rbegin(); it != device.calls.rend(); ++it) {
            if (it->call == call) return &*it;
        }
        return nullptr;
    }
    // The state the last open wrote.
    CommState Written() const {
        const CommCallRecord* record = LastOf(CommCall::SetState);
        return record ? record->state : CommState{};
    }

    FakeCommDevice device;
};

using Seq = std::vector<CommCall>;
constexpr CommCall OPEN = CommCall::Open, SETUP = CommCall::Setup, GET = CommCall::GetState,
                   SET = CommCall::SetState, TIMEOUTS = CommCall::SetTimeouts, ESCAPE = CommCall::Escape,
                   CLOSE = CommCall::Close;

// --- Opening --------------------------------------------------------------

TEST_F(SerialPortTest, OpensConfiguresAndReturnsThePlatformHandle) {
    intptr_t handle = Open(0, u"COM1");
    ASSERT_NE(handle, 0);
    EXPECT_TRUE(device.IsOpen(handle));
    EXPECT_EQ(Calls(), (Seq{OPEN, SETUP, GET, SET, TIMEOUTS}));
    EXPECT_EQ(device.calls[0].path, u"\\\\.\\COM1");
    EXPECT_EQ(device.calls[1].arg1, 255);
    EXPECT_EQ(device.calls[1].arg2, 255);
    const CommTimeouts& t = LastOf(TIMEOUTS)->timeouts;
    EXPECT_EQ(t.readIntervalTimeout, 0u);
    EXPECT_EQ(t.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.readTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.writeTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.writeTotalTimeoutConstant, 10u);
    // Right after the open RTS is off; DTR is wherever the driver keeps it.
    EXPECT_FALSE(device.rts);
    EXPECT_EQ(Written().fDtrControl, device.initialState.fDtrControl);
}

// DTR handshake left on by another program makes DTR unswitchable: without
// handshake it becomes "on"; every other DTR setting is the driver's.
TEST_F(SerialPortTest, NoHandshakeTurnsADtrHandshakeIntoDtrOn) {
    for (uint32_t dtr : {COMM_DTR_CONTROL_DISABLE, COMM_DTR_CONTROL_ENABLE, COMM_DTR_CONTROL_HANDSHAKE}) {
        device.initialState.fDtrControl = dtr;
        for (int32_t mode : {HANDSHAKE_NONE, HANDSHAKE_RTS_CTS}) {
            SerialPortClose(0);
            ASSERT_NE(Open(0, u"COM1", mode), 0);
            uint32_t expected = dtr == COMM_DTR_CONTROL_HANDSHAKE && mode == HANDSHAKE_NONE ? COMM_DTR_CONTROL_ENABLE : dtr;
            EXPECT_EQ(Written().fDtrControl, expected) << "fDtrControl " << dtr << ", mode " << mode;
        }
    }
}

// A number no slot can hold is refused before the device is touched: an
// open alone may move the port's lines.
TEST_F(SerialPortTest, NumbersThatCanNeverBeStoredTouchNoDevice) {
    for (intptr_t number : {static_cast<intptr_t>(INT32_MAX), static_cast<intptr_t>(INT32_MAX) - 15,
                            static_cast<intptr_t>(-2), intptr_t{1} << 29, intptr_t{1} << 30, intptr_t{0x3FFFFFF0}}) {
        EXPECT_EQ(Open(number, u"COM1"), 0) << number;
        EXPECT_EQ(SerialPortOpenPath(number, u"\\\\.\\COM1", 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 0, 0), 0);
    }
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(SerialPortLastError(nullptr), SERIAL_ERROR_OTHER);
}

// Where the device sets one line per call, a set of lines goes out line by
// line in a fixed order, and a line that fails does not stop the others.
TEST_F(SerialPortTest, SetLinesGoesLineByLineAndTriesEveryLine) {
    ASSERT_NE(SerialPortOpenPath(0, u"\\\\.\\COM12", 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255), 0);
    EXPECT_EQ(device.calls[0].path, u"\\\\.\\COM12");
    EXPECT_EQ(SerialPortSetsLinesTogether(), 0);
    size_t before = device.calls.size();
    EXPECT_NE(SerialPortSetLines(0, LINE_BIT_DTR | LINE_BIT_RTS | LINE_BIT_TXD, LINE_BIT_RTS | LINE_BIT_TXD), 0);
    ASSERT_EQ(device.calls.size(), before + 3);
    EXPECT_EQ(device.calls[before].arg1, COMM_CLRDTR);
    EXPECT_EQ(device.calls[before + 1].arg1, COMM_SETRTS);
    EXPECT_EQ(device.calls[before + 2].arg1, COMM_SETBREAK);
    device.failEscape = true;
    EXPECT_EQ(SerialPortSetLines(0, LINE_BIT_DTR | LINE_BIT_TXD, LINE_BIT_DTR), 0);
    EXPECT_EQ(device.calls.size(), before + 5);
}

TEST_F(SerialPortTest, NullNameTouchesNothing) {
    long blocks = HeapBlocks();
    EXPECT_EQ(Open(0, nullptr), 0);
    EXPECT_EQ(Open(AnyNumber, nullptr), 0);
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(HeapBlocks(), blocks);
}

TEST_F(SerialPortTest, NumbersBelowAnyNumberAreRefusedBeforeTheDevice) {
    EXPECT_EQ(Open(-2, u"COM1"), 0);
    EXPECT_EQ(Open(INTPTR_MIN, u"COM1"), 0);
    EXPECT_TRUE(device.calls.empty());
}

TEST_F(SerialPortTest, DevicePathTakesAtMost59CharactersOfTheName) {
    std::u16string name(70, u'x');
    for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(u'A' + i % 26);
    ASSERT_NE(Open(0, name.c_str()), 0);
    EXPECT_EQ(device.calls[0].path, PREFIX + name.substr(0, 59));
    EXPECT_EQ(device.calls[0].path.size(), 63u);

    std::u16string exact = name.substr(1, 59);
    ASSERT_NE(Open(1, exact.c_str()), 0);
    EXPECT_EQ(LastOf(OPEN)->path, PREFIX + exact);
}

TEST_F(SerialPortTest, PrefixIsAddedEvenToANameThatHasIt) {
    Open(0, u"\\\\.\\COM1");
    EXPECT_EQ(device.calls[0].path, u"\\\\.\\\\\\.\\COM1");
}

TEST_F(SerialPortTest, UnnumberedPortIsUsedThroughItsHandle) {
    intptr_t a = Open(AnyNumber, u"COM1");
    intptr_t b = Open(AnyNumber, u"COM2");
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    // The object's handle, not the device's.
    EXPECT_NE(a, device.calls[0].handle);
    EXPECT_NE(a, b);
    EXPECT_TRUE(SerialPortSetLine(b, LINE_DTR, 1));
    EXPECT_EQ(LastOf(ESCAPE)->handle, device.openHandles[1]);
    SerialPortClose(a);
    EXPECT_EQ(Closed(), std::vector<intptr_t>{device.calls[0].handle});
    EXPECT_EQ(SerialPortSetLine(a, LINE_DTR, 1), 0);
    EXPECT_TRUE(SerialPortSetLine(b, LINE_DTR, 0));
}

// --- Settings -------------------------------------------------------------

TEST_F(SerialPortTest, BasicSettingsAreStoredAsGiven) {
    ASSERT_NE(SerialPortOpen(0, u"COM1", 123457, 0x102, 0x107, 2.0f, HANDSHAKE_NONE, 255, 255), 0);
    CommState s = Written();
    EXPECT_EQ(s.baudRate, 123457u);
    EXPECT_EQ(s.parity, 2);    // low byte
    EXPECT_EQ(s.byteSize, 7);  // low byte
    EXPECT_EQ(s.stopBits, 2);
}

TEST_F(SerialPortTest, StopBitsOnlyExactOneAndTwoAreNamedOthersAreOneAndAHalf) {
    struct Case {
        float stops;
        int code;
    };
    const Case cases[] = {{1.0f, 0}, {2.0f, 2}, {1.5f, 1}, {0.0f, 1}, {3.0f, 1}, {-1.0f, 1},
                          {std::nextafter(1.0f, 2.0f), 1}, {std::nextafter(2.0f, 1.0f), 1}, {NAN, 1}};
    for (const Case& c : cases) {
        SerialPortClose(0);
        ASSERT_NE(Open(0, u"COM1", HANDSHAKE_NONE, c.stops), 0);
        EXPECT_EQ(Written().stopBits, c.code) << c.stops;
    }
}

// Each mode writes its own fields and keeps every other one as the driver
// reported it; the parity flag is set whatever the parity.
TEST_F(SerialPortTest, HandshakeModesChangeOnlyTheirFields) {
    device.initialState = Distinctive();
    auto expected = [](int32_t mode) {
        CommState s = Distinctive();
        s.baudRate = 9600;
        s.parity = 0;
        s.byteSize = 8;
        s.stopBits = 0;
        s.fParity = 1;
        switch (mode) {
            case HANDSHAKE_NONE: s.fOutxCtsFlow = 0; s.fRtsControl = 0; s.fDtrControl = 1; break;
            case HANDSHAKE_RTS: s.fOutxCtsFlow = 0; s.fRtsControl = 1; break;
            case HANDSHAKE_RTS_CTS: s.fOutxCtsFlow = 1; s.fRtsControl = 2; break;
            case HANDSHAKE_XON_XOFF:
                s.fOutX = 1; s.fInX = 1; s.xonChar = 0x11; s.xoffChar = 0x13; s.xonLim = 25; s.xoffLim = 175;
                break;
            default: break;
        }
        return s;
    };
    for (int32_t mode : {0, 1, 2, 3, 4, -1, 100}) {
        SerialPortClose(0);
        ASSERT_NE(Open(0, u"COM1", mode), 0) << mode;
        EXPECT_EQ(Describe(Written()), Describe(expected(mode))) << "mode " << mode;
    }
    // Modes without software flow control leave it off when it was off.
    device.initialState.fOutX = 0;
    device.initialState.fInX = 0;
    SerialPortClose(0);
    Open(0, u"COM1", HANDSHAKE_RTS_CTS);
    EXPECT_EQ(Written().fOutX, 0u);
    EXPECT_EQ(Written().fInX, 0u);
}

TEST_F(SerialPortTest, XonXoffLimitsComeFromTheInputQueueTruncated) {
    struct Case {
        int32_t inQueue;
        uint16_t xonLim, xoffLim;
    };
    const Case cases[] = {{255, 25, 175}, {19, 1, 7}, {9, 0, 0}, {1001, 100, 700},
                          {100000, 10000, static_cast<uint16_t>(70000)}, {0, 0, 0}};
    for (const Case& c : cases) {
        SerialPortClose(0);
        ASSERT_NE(Open(0, u"COM1", HANDSHAKE_XON_XOFF, 1.0f, c.inQueue, 64), 0);
        EXPECT_EQ(Written().xonLim, c.xonLim) << c.inQueue;
        EXPECT_EQ(Written().xoffLim, c.xoffLim) << c.inQueue;
    }
}

TEST_F(SerialPortTest, QueueSizesAreSetOnlyWhenBothArePositive) {
    const int32_t sizes[][2] = {{255, 0}, {0, 255}, {-1, 255}, {255, -1}, {0, 0}, {INT32_MIN, INT32_MIN}};
    for (const auto& size : sizes) {
        SerialPortClose(0);
        size_t before = device.calls.size();
        ASSERT_NE(Open(0, u"COM1", HANDSHAKE_NONE, 1.0f, size[0], size[1]), 0);
        EXPECT_EQ(Calls(before), (Seq{OPEN, GET, SET, TIMEOUTS})) << size[0] << "," << size[1];
    }
    SerialPortClose(0);
    Open(0, u"COM1", HANDSHAKE_NONE, 1.0f, 1, 1);
    EXPECT_EQ(LastOf(SETUP)->arg1, 1);
}

TEST_F(SerialPortTest, QueueAndTimeoutRefusalsDoNotFailTheOpen) {
    device.failSetup = true;
    device.failSetTimeouts = true;
    intptr_t handle = Open(0, u"COM1");
    ASSERT_NE(handle, 0);
    EXPECT_TRUE(device.IsOpen(handle));
    EXPECT_EQ(LastOf(SETUP)->result, 0);
    EXPECT_EQ(LastOf(TIMEOUTS)->result, 0);
}

// --- Failures -------------------------------------------------------------

TEST_F(SerialPortTest, FailuresReturnZeroAndLeaveNoDeviceOpen) {
    device.failOpen = true;
    EXPECT_EQ(Open(0, u"COM1"), 0);
    EXPECT_EQ(Calls(), Seq{OPEN});
    device.failOpen = false;

    device.failGetState = true;
    size_t before = device.calls.size();
    EXPECT_EQ(Open(0, u"COM1"), 0);
    EXPECT_EQ(Calls(before), (Seq{OPEN, SETUP, GET, CLOSE}));
    device.failGetState = false;

    device.failSetState = true;
    before = device.calls.size();
    EXPECT_EQ(Open(AnyNumber, u"COM1"), 0);
    EXPECT_EQ(Calls(before), (Seq{OPEN, SETUP, GET, SET, CLOSE}));

    EXPECT_TRUE(device.openHandles.empty());
    EXPECT_EQ(SerialPortSetLine(0, LINE_DTR, 1), 0);
}

TEST_F(SerialPortTest, NoMemoryForTheObjectClosesTheNewDevice) {
    long blocks = HeapBlocks();
    // Number 0 needs its block; AnyNumber a list node; number 40 a block and
    // a larger slot array, the second of which fails here.
    const std::pair<intptr_t, long> cases[] = {{0, 1}, {AnyNumber, 1}, {40, 2}};
    for (const auto& [number, failAt] : cases) {
        size_t before = device.calls.size();
        OsAllocFailAt(failAt);
        EXPECT_EQ(Open(number, u"COM1"), 0) << number;
        EXPECT_EQ(Calls(before), (Seq{OPEN, SETUP, GET, SET, TIMEOUTS, CLOSE})) << number;
        EXPECT_TRUE(device.openHandles.empty());
        EXPECT_EQ(HeapBlocks(), blocks);
    }
    // Nothing is left half made: the numbers open normally afterwards.
    EXPECT_NE(Open(40, u"COM1"), 0);
    EXPECT_TRUE(SerialPortSetLine(40, LINE_RTS, 1));
}

// --- A number that already holds a port -----------------------------------

TEST_F(SerialPortTest, ReopeningANumberClosesTheOldPortOnlyAfterTheNewOneIsReady) {
    intptr_t first = Open(0, u"COM1");
    size_t before = device.calls.size();
    intptr_t second = Open(0, u"COM2");
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(Calls(before), (Seq{OPEN, SETUP, GET, SET, TIMEOUTS, CLOSE}));
    EXPECT_EQ(device.calls.back().handle, first);
    EXPECT_EQ(device.openHandles, std::vector<intptr_t>{second});
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 1));
    EXPECT_EQ(LastOf(ESCAPE)->handle, second);
}

TEST_F(SerialPortTest, FailedReopenLeavesTheOldPortOpenAndUsable) {
    intptr_t first = Open(0, u"COM1");
    ASSERT_NE(first, 0);

    device.failOpenPath = u"\\\\.\\COM2";
    EXPECT_EQ(Open(0, u"COM2"), 0);
    device.failGetState = true;
    EXPECT_EQ(Open(0, u"COM3"), 0);
    device.failGetState = false;
    device.failSetState = true;
    EXPECT_EQ(Open(0, u"COM4"), 0);
    device.failSetState = false;

    // Only the new devices were closed.
    std::vector<intptr_t> closed = Closed();
    EXPECT_EQ(std::count(closed.begin(), closed.end(), first), 0);
    EXPECT_EQ(device.openHandles, std::vector<intptr_t>{first});
    EXPECT_TRUE(SerialPortSetLine(0, LINE_DTR, 1));
    EXPECT_EQ(LastOf(ESCAPE)->handle, first);
}

TEST_F(SerialPortTest, TheSameDeviceCannotBeOpenedTwice) {
    intptr_t first = Open(0, u"COM1");
    ASSERT_NE(first, 0);
    EXPECT_EQ(Open(0, u"COM1"), 0);
    EXPECT_EQ(Open(1, u"COM1"), 0);
    EXPECT_EQ(Open(AnyNumber, u"COM1"), 0);
    EXPECT_TRUE(Closed().empty());
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 1));
    EXPECT_TRUE(device.breakState);
    EXPECT_EQ(SerialPortSetLine(1, LINE_TXD, 1), 0);
}

// --- Lines ----------------------------------------------------------------

TEST_F(SerialPortTest, LineCodesSwitchTheirLineByNonZeroValue) {
    ASSERT_NE(Open(0, u"COM1"), 0);
    const int32_t cases[][3] = {{LINE_DTR, 1, COMM_SETDTR},    {LINE_DTR, 0, COMM_CLRDTR},
                                {LINE_RTS, -7, COMM_SETRTS},   {LINE_RTS, 0, COMM_CLRRTS},
                                {LINE_TXD, 0x100, COMM_SETBREAK}, {LINE_TXD, 0, COMM_CLRBREAK}};
    for (const auto& c : cases) {
        EXPECT_TRUE(SerialPortSetLine(0, c[0], c[1]));
        EXPECT_EQ(LastOf(ESCAPE)->arg1, c[2]) << c[0] << " " << c[1];
    }
    SerialPortSetLine(0, LINE_TXD, 1);
    EXPECT_TRUE(device.breakState);
    SerialPortSetLine(0, LINE_TXD, 0);
    EXPECT_FALSE(device.breakState);

    device.failEscape = true;
    EXPECT_EQ(SerialPortSetLine(0, LINE_DTR, 1), 0);
}

TEST_F(SerialPortTest, InvalidLineCodesDoNothing) {
    ASSERT_NE(Open(0, u"COM1"), 0);
    size_t before = device.calls.size();
    for (int32_t code : {0, 4, 5, 6, 7, 10, -1, 0x103}) EXPECT_EQ(SerialPortSetLine(0, code, 1), 0) << code;
    EXPECT_EQ(device.calls.size(), before);
}

TEST_F(SerialPortTest, FlowCharactersTakeTheLowByteAndKeepTheRest) {
    ASSERT_NE(Open(0, u"COM1"), 0);
    CommState opened = Written();
    size_t before = device.calls.size();
    EXPECT_TRUE(SerialPortSetLine(0, LINE_XON_CHAR, 0x141));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_XOFF_CHAR, 0xFF));
    EXPECT_EQ(Calls(before), (Seq{GET, SET, GET, SET}));
    CommState expected = opened;
    expected.xonChar = 0x41;
    expected.xoffChar = static_cast<char>(0xFF);
    EXPECT_EQ(Describe(Written()), Describe(expected));

    device.failSetState = true;
    EXPECT_EQ(SerialPortSetLine(0, LINE_XON_CHAR, 1), 0);
    device.failGetState = true;
    before = device.calls.size();
    EXPECT_EQ(SerialPortSetLine(0, LINE_XOFF_CHAR, 1), 0);
    EXPECT_EQ(Calls(before), Seq{GET});
}

// Numbers that were never opened, freed handles, made-up values: no port,
// nothing reaches the device.
TEST_F(SerialPortTest, ValuesThatAreNoPortDoNothing) {
    intptr_t stale = Open(AnyNumber, u"COM1");
    SerialPortClose(stale);
    Open(2, u"COM2");
    SerialPortClose(2);
    intptr_t local = 0x100;
    size_t before = device.calls.size();
    const intptr_t values[] = {stale, 0, 2, 15, 16, 1000, -2, INTPTR_MIN, INTPTR_MAX,
                               reinterpret_cast<intptr_t>(&local)};
    for (intptr_t value : values) {
        EXPECT_EQ(SerialPortSetLine(value, LINE_DTR, 1), 0) << value;
        EXPECT_EQ(SerialPortSetLine(value, LINE_XON_CHAR, 1), 0) << value;
        SerialPortClose(value);
    }
    EXPECT_EQ(device.calls.size(), before);
    EXPECT_EQ(local, 0x100);
}

// --- Closing --------------------------------------------------------------

TEST_F(SerialPortTest, CloseAllGoesByNumberThenUnnumberedOldestFirst) {
    SerialPortClose(AnyNumber);
    SerialPortEnd();
    EXPECT_TRUE(device.calls.empty());

    long blocks = HeapBlocks();
    intptr_t three = Open(3, u"COM3");
    intptr_t a = Open(AnyNumber, u"COM5");
    intptr_t zero = Open(0, u"COM1");
    intptr_t b = Open(AnyNumber, u"COM6");
    ASSERT_TRUE(three && a && zero && b);
    intptr_t deviceA = device.openHandles[1], deviceB = device.openHandles[3];
    SerialPortEnd();
    EXPECT_EQ(Closed(), (std::vector<intptr_t>{zero, three, deviceA, deviceB}));
    EXPECT_TRUE(device.openHandles.empty());
    for (intptr_t port : {intptr_t{0}, intptr_t{3}, a, b}) EXPECT_EQ(SerialPortSetLine(port, LINE_DTR, 1), 0);
    // Unnumbered objects are released; numbered blocks stay for reuse.
    EXPECT_EQ(HeapBlocks(), blocks + 2);

    size_t before = device.calls.size();
    SerialPortClose(AnyNumber);
    EXPECT_EQ(device.calls.size(), before);
    EXPECT_NE(Open(3, u"COM3"), 0);
}

TEST_F(SerialPortTest, ClosingAPortTwiceClosesItsDeviceOnce) {
    intptr_t handle = Open(0, u"COM1");
    SerialPortClose(0);
    SerialPortClose(0);
    EXPECT_EQ(Closed(), std::vector<intptr_t>{handle});
    EXPECT_EQ(SerialPortSetLine(0, LINE_DTR, 1), 0);
}

}  // namespace
