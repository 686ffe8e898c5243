// shiftlamp-send on POSIX: signals, clock_nanosleep to absolute deadlines,
// device paths, and the port list from sysfs and /dev/serial/by-id.
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/cli_platform.h"
#include "cli/port_list.h"
#include "cli/send_run.h"
#include "cli/text_utf.h"
#include "os/os.h"
#include "serial/serial_port.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
// The handler writes a byte to this pipe, so that a wait for input that
// began just before the signal still ends (the flag alone would be checked
// too early, and the read would then block until the writer writes).
int g_wakeRead = -1, g_wakeWrite = -1;

void OnInterrupt(int) {
    g_interrupted = 1;
    int saved = errno;
    if (g_wakeWrite >= 0) (void)!write(g_wakeWrite, "!", 1);
    errno = saved;
}

}  // namespace

std::vector<std::string> CliArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void CliCatchInterrupts() {
    int wake[2];
    if (pipe(wake) == 0) {
        for (int fd : wake) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        g_wakeRead = wake[0];
        g_wakeWrite = wake[1];
    }
    // Without SA_RESTART: a sleep returns at once, and the program decides
    // whether to finish or stop.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool CliInterrupted() { return g_interrupted != 0; }

InputRead CliReadInput(char* buffer, size_t size, size_t* got, int32_t* errorCode) {
    for (;;) {
        if (g_interrupted) return InputRead::INTERRUPTED;
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wakeRead, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            *errorCode = errno;
            return InputRead::FAILED;
        }
        if (waits[1].revents) return InputRead::INTERRUPTED;
        ssize_t count = read(STDIN_FILENO, buffer, size);
        if (count > 0) {
            *got = static_cast<size_t>(count);
            return InputRead::DATA;
        }
        if (count == 0) return InputRead::END;
        if (errno == EINTR || errno == EAGAIN) continue;
        *errorCode = errno;
        return InputRead::FAILED;
    }
}

bool CliSleepUntil(int64_t deadlineNs, bool interruptible) {
#ifdef __linux__
    // Linux lets a sleep end up to 50 us late by default, to group wake-ups;
    // a step of a fraction of a millisecond wants its deadline kept.
    static bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = true;
    }
    // Where the user may, a real-time priority lets the wake-up before a
    // step come ahead of ordinary programs; without it the steps are still
    // kept, only less closely on a busy machine. Only for steps: the
    // program never runs for long between them, while at step 0 it would
    // keep a processor busy for the whole run.
    static bool priorityAsked = false;
    if (!interruptible && !priorityAsked) {
        priorityAsked = true;
        sched_param priority{};
        priority.sched_priority = 1;
        sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority);
    }
#endif
    // A wake-up from sleep comes tens of microseconds after its time, more
    // on a busy machine: the sleep ends this much early and the rest is
    // waited out awake, reading the clock.
    constexpr int64_t AWAKE_NS = 250000;
    // The same clock as OsMonotonicNs.
    int64_t wakeNs = deadlineNs - AWAKE_NS;
    timespec wake{};
    wake.tv_sec = static_cast<time_t>(wakeNs / 1000000000);
    wake.tv_nsec = static_cast<long>(wakeNs % 1000000000);
    while (OsMonotonicNs() < wakeNs) {
        if (interruptible && g_interrupted) return false;
        int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        if (result != 0 && result != EINTR) break;
    }
    while (OsMonotonicNs() < deadlineNs) {
        if (interruptible && g_interrupted) return false;
    }
    return !(interruptible && g_interrupted);
}

bool CliDevicePath(const std::string& port, std::u16string* path, std::string* problem) {
    std::string absolute = port;
    if (port.empty()) {
        *problem = "the port name is empty";
        return false;
    }
    if (port[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            *problem = port + ": the current folder cannot be read to make the path absolute";
            return false;
        }
        absolute = std::string(cwd) + "/" + port;
    }
    if (!Utf8ToUtf16(absolute, path)) {
        *problem = "the port name '" + port + "' is not UTF-8";
        return false;
    }
    return true;
}

std::string CliSystemErrorText(int32_t code) { return std::strerror(code); }

std::string CliPermissionText(const std::string& port) {
    struct stat info {};
    if (stat(port.c_str(), &info) != 0) return "permission denied";
    const group* owner = getgrgid(info.st_gid);
    std::string group = owner ? owner->gr_name : std::to_string(info.st_gid);
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || group == "root")
        return "permission denied: only its owner may open it";
    return "permission denied: the device belongs to group " + group + "; add yourself with: sudo usermod -aG " +
           group + " $USER, then log in again";
}

int CliListPorts(std::FILE* out) {
    std::vector<PortEntry> ports = ListSysfsPorts("/sys/class/tty", "/dev");
    for (PortEntry& port : ports) {
        std::u16string path;
        if (Utf8ToUtf16(port.device, &path)) {
            // What the device is, without the advice.
            std::string text = RefusalText(SerialPortRefusal(path.c_str()));
            if (SerialPortRefusal(path.c_str())) port.refused = "never opened: " + text.substr(0, text.find(';'));
        }
        std::fprintf(out, "%s\n", PortEntryText(port).c_str());
    }
    return static_cast<int>(ports.size());
}
