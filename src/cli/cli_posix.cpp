// shiftlamp-send on POSIX: signals, clock_nanosleep to absolute deadlines,
// device paths, the port list from sysfs and /dev/serial/by-id, and the
// processes that hold a port from /proc.
#include <dirent.h>
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
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

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

std::vector<PortEntry> CliPorts() {
    std::vector<PortEntry> ports = ListSysfsPorts("/sys/class/tty", "/dev");
    for (PortEntry& port : ports) {
        std::u16string path;
        if (!Utf8ToUtf16(port.device, &path)) continue;
        // What the device is, without the advice.
        if (int32_t refusal = SerialPortRefusal(path.c_str())) {
            std::string text = RefusalText(refusal);
            port.refused = "never opened: " + text.substr(0, text.find(';'));
        }
    }
    return ports;
}

namespace {

std::string Resolved(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The process ids under /proc.
std::vector<long> Processes() {
    std::vector<long> pids;
    if (DIR* dir = opendir("/proc")) {
        while (dirent* entry = readdir(dir)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && end && *end == 0) pids.push_back(pid);
        }
        closedir(dir);
    }
    return pids;
}

std::string ProcessName(long pid) { return FirstLine("/proc/" + std::to_string(pid) + "/comm"); }

}  // namespace

PortEntry CliIdentifyPort(const std::string& port) {
    std::string target = Resolved(port);
    for (const PortEntry& entry : CliPorts()) {
        if (entry.device == port || entry.byId == port || (!target.empty() && Resolved(entry.device) == target))
            return entry;
    }
    PortEntry entry;
    entry.device = port;
    return entry;
}

bool CliPortHolders(const std::string& port, std::vector<PortHolder>* found) {
    struct stat device {};
    if (stat(port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return true;
    std::map<long, PortHolder> holders;
    const long self = static_cast<long>(getpid());
    // Descriptors: a link in /proc/PID/fd that leads to the same device.
    for (long pid : Processes()) {
        if (pid == self) continue;
        std::string folder = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        while (dirent* entry = readdir(dir)) {
            struct stat file {};
            if (entry->d_name[0] == '.' || stat((folder + "/" + entry->d_name).c_str(), &file) != 0) continue;
            if (!S_ISCHR(file.st_mode) || file.st_rdev != device.st_rdev) continue;
            PortHolder& holder = holders[pid];
            holder.pid = pid;
            holder.hasOpen = true;
            break;
        }
        closedir(dir);
    }
    // Locks: /proc/locks names the file by its file system's device
    // (MAJOR:MINOR, in hex) and inode, "1: FLOCK ADVISORY WRITE 4242 00:05:17 0 EOF".
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(words >> number >> kind)) continue;
        if (kind == "->") continue;  // a waiter, listed under the holder
        if (!(words >> mode >> access >> pid >> file) || pid <= 0 || pid == self) continue;
        unsigned int fileMajor = 0, fileMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &fileMajor, &fileMinor, &inode) != 3) continue;
        if (fileMajor != major(device.st_dev) || fileMinor != minor(device.st_dev) || inode != device.st_ino) continue;
        PortHolder& holder = holders[pid];
        holder.pid = pid;
        holder.locks = true;
    }
    for (auto& entry : holders) {
        entry.second.name = ProcessName(entry.first);
        found->push_back(entry.second);
    }
    return true;
}

std::vector<PortHolder> CliPortGrabbers() {
    static const char* const SERVICES[] = {"ModemManager", "brltty"};
    std::vector<PortHolder> found;
    for (long pid : Processes()) {
        std::string name = ProcessName(pid);
        for (const char* service : SERVICES) {
            if (name == service) found.push_back(PortHolder{pid, name, false, false});
        }
    }
    return found;
}
