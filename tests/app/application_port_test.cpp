// Send through the real Win32 device on a COM port that the test script maps
// to a pseudo-terminal (the port comes in SHIFTLAMP_TEST_PORT). A
// pseudo-terminal has no modem lines, so the line changes fail there: the
// transfer runs to its end, the port closes again, and only then the box
// says that the lines did not switch.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/application.h"
#include "app/main_window.h"
#include "app/send_handler.h"
#include "app_test_support.h"
#include "serial/serial_port.h"

using namespace app_test;

namespace {

class ApplicationOnAPseudoTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        const char* port = std::getenv("SHIFTLAMP_TEST_PORT");
        ASSERT_NE(port, nullptr) << "run by the port test script";
        number_ = std::atoi(port + 3);
        ASSERT_TRUE(number_ >= 1 && number_ <= 10) << port;
        path_ = L"\\\\.\\COM" + std::to_wstring(number_);
        ASSERT_NE(ApplicationInit(), 0);
        SendMessageW(Control(GADGET_PORT), CB_SETCURSEL, number_ - 1, 0);
        for (int gadget : {2, 4, 9})
            SendMessageW(Control(gadget), BM_SETCHECK, BST_CHECKED, 0);
    }
    void TearDown() override { ApplicationEnd(); }

    // Handles of this process that stand for a character device, as an
    // open serial port does. (Wine lets a serial port be opened again while
    // it is open, so trying to open it says nothing about who holds it.)
    static int OpenCharacterDevices() {
        int count = 0;
        for (uintptr_t value = 4; value < 16384; value += 4) {
            auto handle = reinterpret_cast<HANDLE>(value);
            DWORD flags = 0;
            if (GetHandleInformation(handle, &flags) && GetFileType(handle) == FILE_TYPE_CHAR) ++count;
        }
        return count;
    }

    int number_ = 0;
    std::wstring path_;
};

TEST_F(ApplicationOnAPseudoTerminal, SendOpensTheMappedPortClosesItAndSaysTheLinesDidNotSwitch) {
    const int devicesBefore = OpenCharacterDevices();
    // The count sees a port that is open.
    HANDLE port = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenCharacterDevices(), devicesBefore + 1);
    CloseHandle(port);
    BoxWatcher boxes;

    SendHandler();

    // The port opened (no "cannot open" box), the lines did not switch.
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, L"Не удалось переключить линии порта COM" + std::to_wstring(number_));
    EXPECT_EQ(boxes.boxes()[0].caption, L"");
    // Neither the port object nor the device handle outlives the transfer.
    EXPECT_EQ(SerialPortSetLine(0, LINE_RTS, 1), 0);
    EXPECT_EQ(OpenCharacterDevices(), devicesBefore);
}

}  // namespace
