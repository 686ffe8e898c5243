#include "cli/port_problem.h"

#include "cli/cli_platform.h"
#include "cli/frame_plan.h"
#include "serial/serial_port.h"

namespace {

PortProblem Problem(int status, const std::string& text, const std::string& verdict, bool final = false) {
    PortProblem problem;
    problem.status = status;
    problem.text = text;
    problem.detail = text;
    problem.verdict = verdict;
    problem.final = final;
    return problem;
}

std::string SystemText(int32_t code) { return code ? ": " + CliSystemErrorText(code) : std::string(); }

struct RefusalWords {
    int32_t refusal;
    const char* what;  // what the device is
    const char* why;   // why it is never opened
};

constexpr RefusalWords REFUSALS[] = {
    {SERIAL_REFUSAL_KERNEL_CONSOLE, "a serial port the kernel's console runs on",
     "this program never opens one, since opening moves its lines: use another port"},
    {SERIAL_REFUSAL_CONSOLE, "a console or another terminal of the system, not a serial port",
     "this program never opens one"},
};

}  // namespace

bool PortOpenForLines(const std::u16string& devicePath) {
    return SerialPortOpenPath(PORT_NUMBER, devicePath.c_str(), 9600, 0, 8, 1.0f, HANDSHAKE_NONE, 255, 255) != 0;
}

PortProblem PortOpenProblem(const std::string& port, const std::u16string& devicePath) {
    int32_t code = 0;
    switch (SerialPortLastError(&code)) {
        case SERIAL_ERROR_NOT_FOUND: {
            const std::string text = "no such port (shiftlamp-send --list shows the ports there are)";
            return Problem(EXIT_NO_PORT, text, text);
        }
        case SERIAL_ERROR_NOT_SERIAL: return Problem(EXIT_NO_PORT, "not a serial port", "not a serial port");
        case SERIAL_ERROR_BUSY:
            return Problem(EXIT_BUSY, "port busy: another program has it open", "port busy: another program has it open");
        case SERIAL_ERROR_ACCESS: {
            const std::string text = CliPermissionText(port);
            return Problem(EXIT_PERMISSION, text, text);
        }
        case SERIAL_ERROR_REFUSED: return RefusalProblem(SerialPortRefusal(devicePath.c_str()));
        default: {
            const std::string text = "cannot open: " + (code ? CliSystemErrorText(code) : std::string("out of memory"));
            return Problem(EXIT_IO, text, text);
        }
    }
}

PortProblem LineProblem(int32_t lines, int32_t error, int32_t code) {
    const std::string what = LinesText(lines);
    PortProblem problem;
    problem.status = EXIT_IO;
    // A driver that has the modem lines but no break says of the break what
    // one without modem lines says of them: there, it is a missing break.
    if (lines == LINE_BIT_TXD && error == SERIAL_ERROR_NO_MODEM_LINES) error = SERIAL_ERROR_OTHER;
    switch (error) {
        case LINE_STUCK:
            problem.detail = std::string((lines & (lines - 1)) ? "do not switch" : "does not switch") + ": set to " +
                             std::to_string(code) + ", the driver reports " + std::to_string(1 - code) +
                             " (hardware flow control left on by another program, or a driver that ignores the line)";
            problem.verdict = what + ((lines & (lines - 1)) ? " do not switch" : " does not switch");
            break;
        case SERIAL_ERROR_NO_MODEM_LINES:
            problem.detail = "could not be switched: the device has no modem-control lines (a pseudo-terminal, or an "
                             "adapter whose driver does not drive them)";
            problem.verdict = "no modem-control lines";
            problem.final = true;
            break;
        case SERIAL_ERROR_GONE:
            problem.text = problem.detail = problem.verdict =
                "the device stopped answering while setting " + what + " (unplugged?)";
            problem.final = true;
            return problem;
        default:
            problem.detail = "could not be switched" + SystemText(code);
            // Without the break the register never latches, whatever the
            // other lines do.
            if (lines == LINE_BIT_TXD) problem.detail += " (an adapter without a break: the register never latches)";
            problem.verdict = (lines == LINE_BIT_TXD ? std::string("the break") : what) + " does not switch";
            break;
    }
    problem.text = what + " " + problem.detail;
    return problem;
}

namespace {

const RefusalWords& WordsOf(int32_t refusal) {
    static constexpr RefusalWords OTHER = {SERIAL_REFUSAL_NONE, "a device this program never opens",
                                           "this program never opens it"};
    for (const RefusalWords& words : REFUSALS) {
        if (words.refusal == refusal) return words;
    }
    return OTHER;
}

}  // namespace

PortProblem RefusalProblem(int32_t refusal) {
    const RefusalWords& words = WordsOf(refusal);
    const std::string why = std::string(words.what) + "; " + words.why;
    PortProblem problem = Problem(EXIT_PERMISSION, "refused: " + why, "refused: " + std::string(words.what));
    problem.detail = "never opened: " + why;
    return problem;
}

std::string RefusalNote(int32_t refusal) { return "never opened: " + std::string(WordsOf(refusal).what); }

std::string LinesText(int32_t mask) {
    std::string text;
    for (const LineName& line : LINE_NAMES) {
        if (!(mask & line.bit)) continue;
        if (!text.empty()) text += " and ";
        text += line.name;
    }
    return text;
}
