// A port's problem in the words of the run and of --check: the same fault,
// from a device that fails as a driver does, is said the same way and ends
// with the same status in both.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/port_check.h"
#include "cli/send_run.h"
#include "serial/comm_device_fake.h"
#include "serial/serial_port.h"
#include "support/main_heap.h"

namespace {

// A recording device whose open, or whose changes of some lines, fail with
// a given reason.
class FailingDevice : public FakeCommDevice {
public:
    int32_t failingLines = 0;  // LINE_BIT_*
    int32_t error = SERIAL_ERROR_OTHER;
    int32_t code = 0;
    int32_t refusal = SERIAL_REFUSAL_NONE;
    int32_t stuckLines = 0;  // DTR, RTS: the change is taken, the line reported where it was (clear)

    int32_t Escape(intptr_t handle, int32_t function) override {
        const int32_t line = function == COMM_SETDTR || function == COMM_CLRDTR     ? LINE_BIT_DTR
                             : function == COMM_SETRTS || function == COMM_CLRRTS   ? LINE_BIT_RTS
                             : function == COMM_SETBREAK || function == COMM_CLRBREAK ? LINE_BIT_TXD
                                                                                      : 0;
        return (failingLines & line) ? 0 : FakeCommDevice::Escape(handle, function);
    }
    int32_t LastError(int32_t* systemCode) override {
        if (systemCode) *systemCode = code;
        return error;
    }
    int32_t Refusal(const char16_t*) override { return refusal; }
    int32_t GetModemLines(intptr_t, int32_t* dtrLevel, int32_t* rtsLevel) override {
        *dtrLevel = dtr && !(stuckLines & LINE_BIT_DTR);
        *rtsLevel = rts && !(stuckLines & LINE_BIT_RTS);
        return 1;
    }
};

struct Fault {
    const char* name;
    bool failOpen;
    int32_t failingLines;
    int32_t error;
    int32_t code;
    int32_t refusal;
    int32_t stuckLines;
};

class PortProblemTest : public MainHeapTest {
protected:
    void SetUp() override {
        MainHeapTest::SetUp();
        ASSERT_TRUE(SerialPortInit());
        SerialPortUseDevice(&device_);
    }
    void TearDown() override {
        SerialPortUseDevice(nullptr);
        MainHeapTest::TearDown();
    }
    void Fail(const Fault& fault) {
        device_.failOpen = fault.failOpen;
        device_.failingLines = fault.failingLines;
        device_.error = fault.error;
        device_.code = fault.code;
        device_.refusal = fault.refusal;
        device_.stuckLines = fault.stuckLines;
    }

    FailingDevice device_;
};

// The run's one line, after the program's name, and its status.
int SendOne(std::string* message) {
    SendSettings settings;
    settings.port = "fake";
    settings.devicePath = u"/fake/port";
    settings.stepMs = 0;
    FrameList frames({Frame{{0xA5}, -1}});
    std::FILE* err = std::tmpfile();
    int status = SendFrames(settings, frames, nullptr, err);
    std::rewind(err);
    char line[1024] = {};
    if (!std::fgets(line, sizeof line, err)) line[0] = 0;
    std::fclose(err);
    *message = line;
    if (!message->empty() && message->back() == '\n') message->pop_back();
    return status;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(PortProblemTest, TheRunAndTheCheckSayTheSameFaultAlike) {
    const Fault faults[] = {
        {"no such port", true, 0, SERIAL_ERROR_NOT_FOUND, 0, 0, 0},
        {"busy", true, 0, SERIAL_ERROR_BUSY, 0, 0, 0},
        {"not serial", true, 0, SERIAL_ERROR_NOT_SERIAL, 0, 0, 0},
        {"open failed", true, 0, SERIAL_ERROR_OTHER, 5, 0, 0},
        {"console", true, 0, SERIAL_ERROR_REFUSED, 0, SERIAL_REFUSAL_KERNEL_CONSOLE, 0},
        {"no modem lines", false, LINE_BIT_DTR | LINE_BIT_RTS, SERIAL_ERROR_NO_MODEM_LINES, 0, 0, 0},
        {"gone", false, LINE_BIT_DTR, SERIAL_ERROR_GONE, 5, 0, 0},
        {"DTR fails", false, LINE_BIT_DTR, SERIAL_ERROR_OTHER, 5, 0, 0},
        {"RTS fails", false, LINE_BIT_RTS, SERIAL_ERROR_OTHER, 5, 0, 0},
        {"no break", false, LINE_BIT_TXD, SERIAL_ERROR_OTHER, 5, 0, 0},
        {"RTS stuck", false, 0, SERIAL_ERROR_NONE, 0, 0, LINE_BIT_RTS},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        Fail(fault);
        std::string message;
        const int runStatus = SendOne(&message);
        PortEntry port;
        port.device = "fake";
        const PortCheck check = CheckPort(port, u"/fake/port", CheckSettings{});
        EXPECT_EQ(runStatus, check.status) << message << "\n" << check.verdict;
        EXPECT_NE(check.status, EXIT_DONE);
        // A finding (past its key) ends the run's message: where the run
        // says "refused", the check says "never opened".
        bool same = false;
        std::string findings;
        for (const std::string& finding : check.findings) {
            findings += finding + "\n";
            std::string text = finding.substr(std::min(finding.size(), size_t{14}));
            if (text.rfind("never opened: ", 0) == 0) text = text.substr(14);
            same = same || (text.size() > 10 && EndsWith(message, text));
        }
        EXPECT_TRUE(same) << message << "\n" << findings;
    }
}

}  // namespace
