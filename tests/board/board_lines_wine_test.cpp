// The simulated board seen from Windows: the serial layer's real device on a
// COM port that the calling script maps to the board's pseudo-terminal, and
// on a second port mapped to a plain one. Each line change must reach the
// board's trace at once, and only the board's port may gain modem lines.
//
// The script names the ports in SHIFTLAMP_TEST_BOARD_PORT and
// SHIFTLAMP_TEST_OTHER_PORT and the trace file, as a Windows path, in
// SHIFTLAMP_TEST_TRACE; SHIFTLAMP_BOARD_OPEN_DTR=1 is the board's own setting
// for a driver that raises DTR on open. The board's loopback is wired to
// give the modem status SHIFTLAMP_TEST_MODEM_STATUS (a number).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "support/main_heap.h"

namespace {

std::u16string Variable(const wchar_t* name) {
    wchar_t buffer[512] = {};
    DWORD length = GetEnvironmentVariableW(name, buffer, 512);
    if (length == 0 || length >= 512) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

// The trace's event lines ("<t_ns> <event> <level> ..."), comments left out.
std::vector<std::string> TraceEvents(const std::u16string& path) {
    std::vector<std::string> events;
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return events;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string time, event, level;
        fields >> time >> event >> level;
        events.push_back(level == "-" ? event : event + " " + level);
    }
    return events;
}

class BoardLinesWineTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        board = Variable(L"SHIFTLAMP_TEST_BOARD_PORT");
        other = Variable(L"SHIFTLAMP_TEST_OTHER_PORT");
        trace = Variable(L"SHIFTLAMP_TEST_TRACE");
        ASSERT_FALSE(board.empty() || other.empty() || trace.empty()) << "the script sets the ports and the trace";
        ASSERT_TRUE(SerialPortInit());
        SerialPortUseDevice(nullptr);
        seen = TraceEvents(trace).size();
    }
    void TearDown() override {
        SerialPortEnd();
        MainHeapTest::TearDown();
    }
    intptr_t Open(intptr_t number, const std::u16string& name) {
        return SerialPortOpen(number, name.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255);
    }
    // The events written since the last call (or since the test began).
    std::vector<std::string> NewEvents() {
        std::vector<std::string> all = TraceEvents(trace);
        std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen, all.size())), all.end());
        seen = all.size();
        return fresh;
    }
    bool DtrAtOpen() const { return Variable(L"SHIFTLAMP_BOARD_OPEN_DTR") == u"1"; }

    std::u16string board, other, trace;
    size_t seen = 0;
};

using Events = std::vector<std::string>;

// Every change is in the trace by the time the call returns, in order, and
// setting a line to the level it has changes nothing.
TEST_F(BoardLinesWineTest, EveryLineChangeOfTheBoardsPortIsTraced) {
    ASSERT_NE(Open(0, board), 0);
    Events atOpen = DtrAtOpen() ? Events{"open", "DTR 1"} : Events{"open"};
    EXPECT_EQ(NewEvents(), atOpen);

    EXPECT_TRUE(SerialPortSetLine(0, LINE_DTR, 1));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_DTR, 1));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_RTS, 1));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 1));
    EXPECT_EQ(NewEvents(), DtrAtOpen() ? (Events{"RTS 1", "BREAK 1"}) : (Events{"DTR 1", "RTS 1", "BREAK 1"}));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_DTR, 0));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_RTS, 0));
    EXPECT_TRUE(SerialPortSetLine(0, LINE_TXD, 0));
    EXPECT_EQ(NewEvents(), (Events{"DTR 0", "RTS 0", "BREAK 0"}));
    SerialPortClose(0);
    EXPECT_EQ(NewEvents(), Events{"close"});
}

// What Windows reports for a port whose driver raised DTR on open: the
// serial layer leaves that setting alone, so the transfer starts with its
// clock active.
TEST_F(BoardLinesWineTest, TheDriversDtrAtOpenIsWhatTheProgramSees) {
    intptr_t handle = Open(0, board);
    ASSERT_NE(handle, 0);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(reinterpret_cast<HANDLE>(handle), &dcb));
    EXPECT_EQ(dcb.fDtrControl, DtrAtOpen() ? static_cast<DWORD>(DTR_CONTROL_ENABLE) : DTR_CONTROL_DISABLE);
    SerialPortClose(0);
}

// The board's last QH' wired back to an input line shows in the modem
// status Windows reads.
TEST_F(BoardLinesWineTest, TheLoopbackShowsInTheModemStatus) {
    intptr_t handle = Open(0, board);
    ASSERT_NE(handle, 0);
    DWORD status = 0xffffffff;
    EXPECT_TRUE(GetCommModemStatus(reinterpret_cast<HANDLE>(handle), &status));
    const std::u16string wanted = Variable(L"SHIFTLAMP_TEST_MODEM_STATUS");
    EXPECT_EQ(std::to_string(status), std::string(wanted.begin(), wanted.end()));
    SerialPortClose(0);
}

// The other port is a plain pseudo-terminal still: no modem lines, a break
// that works, and nothing of it in the board's trace, also while the board's
// own port is open in the same process.
TEST_F(BoardLinesWineTest, AnotherPortKeepsItsOwnBehaviour) {
    ASSERT_NE(Open(0, board), 0);
    ASSERT_NE(Open(1, other), 0);
    EXPECT_EQ(SerialPortSetLine(1, LINE_DTR, 1), 0);
    EXPECT_EQ(SerialPortSetLine(1, LINE_RTS, 1), 0);
    EXPECT_TRUE(SerialPortSetLine(1, LINE_TXD, 1));
    EXPECT_TRUE(SerialPortSetLine(1, LINE_TXD, 0));
    SerialPortClose(1);
    EXPECT_TRUE(SerialPortSetLine(0, LINE_RTS, 1));
    SerialPortClose(0);
    // DTR, raised or not at open, stands where the last test left it.
    EXPECT_EQ(NewEvents(), (Events{"open", "RTS 1", "close"}));
}

}  // namespace
