// shiftlamp-send on POSIX: signals, sleeps to absolute deadlines,
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
#include <set>
#include <sstream>

#include "cli/cli_platform.h"
#include "cli/port_list.h"
#include "cli/text_utf.h"
#include "os/os.h"
#include "os/posix_files.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
// The handler writes a byte to this pipe, which stays readable from then
// on, so that a wait for input or for the end of a hold that began just
// before the signal still ends at once (the flag alone would be checked
// too early, and the wait would then run its full length).
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
    // A hang-up (the terminal closed, an ssh session dropped) stops a run
    // as Ctrl+C does: killed, it would leave the register mid-frame.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
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

namespace {

// A real-time priority lets the wake-up before a step come ahead of
// ordinary programs, where the user may have one; without it the steps are
// still kept, only less closely on a busy machine. It is held only across a
// sleep: the wait awake at the end of one, or a step so short that the
// program never sleeps, would keep a processor from everything else.
void RealTime(bool on) {
#ifdef __linux__
    static enum { UNTRIED, REFUSED, ORDINARY, REAL_TIME } state = UNTRIED;
    if (state == REFUSED || on == (state == REAL_TIME) || (!on && state == UNTRIED)) return;
    sched_param priority{};
    priority.sched_priority = on ? 1 : 0;
    if (sched_setscheduler(0, (on ? SCHED_FIFO : SCHED_OTHER) | SCHED_RESET_ON_FORK, &priority) == 0)
        state = on ? REAL_TIME : ORDINARY;
    else if (on)
        state = REFUSED;
#else
    (void)on;
#endif
}

timespec TimeOf(int64_t ns) {
    timespec time{};
    time.tv_sec = static_cast<time_t>(ns / 1000000000);
    time.tv_nsec = static_cast<long>(ns % 1000000000);
    return time;
}

}  // namespace

const int64_t CLI_SLEEP_LATE_NS = 250000;

void CliSleepAbout(int64_t untilNs, bool interruptible) {
#ifdef __linux__
    // Linux lets a sleep end up to 50 us late by default, to group wake-ups;
    // a step of a fraction of a millisecond wants its deadline kept.
    static bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = true;
    }
#endif
    // OsMonotonicNs reads CLOCK_MONOTONIC.
    if (interruptible) {
        // On the wake pipe, so that a signal that came after the check of
        // the flag still ends the wait.
        for (int64_t left; !g_interrupted && (left = untilNs - OsMonotonicNs()) > 0;) {
            pollfd wake{g_wakeRead, POLLIN, 0};
            timespec timeout = TimeOf(left);
            if (ppoll(&wake, g_wakeRead >= 0 ? 1 : 0, &timeout, nullptr) > 0) return;
        }
    } else if (OsMonotonicNs() < untilNs) {
        RealTime(true);
        timespec wake = TimeOf(untilNs);
        while (OsMonotonicNs() < untilNs) {
            int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
            if (result != 0 && result != EINTR) break;
        }
        RealTime(false);
    }
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

std::vector<PortEntry> CliPlatformPorts() { return ListSysfsPorts(KernelTtyRoots{}, "/dev"); }

namespace {

// The process ids under /proc.
std::vector<long> Processes() {
    std::vector<long> pids;
    for (const std::string& name : FolderEntries("/proc")) {
        char* end = nullptr;
        long pid = std::strtol(name.c_str(), &end, 10);
        if (pid > 0 && end && *end == 0) pids.push_back(pid);
    }
    return pids;
}

std::string ProcessName(long pid) { return FirstLine("/proc/" + std::to_string(pid) + "/comm"); }

// The pseudo-terminal a master descriptor serves, from its fdinfo; -1 if
// it does not say.
long PtyIndexOf(const std::string& fdinfo) {
    std::ifstream file(fdinfo);
    std::string key;
    long index = -1;
    while (file >> key) {
        if (key == "tty-index:" && file >> index) return index;
    }
    return -1;
}

}  // namespace

bool CliSamePort(const std::string& port, const PortEntry& entry) {
    if (entry.device == port || entry.byId == port) return true;
    const std::string target = ResolvedPath(port);
    return !target.empty() && ResolvedPath(entry.device) == target;
}

bool CliPortHolders(const std::string& port, std::vector<PortHolder>* found) {
    struct stat device {};
    if (stat(port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return true;
    std::map<long, PortHolder> holders;
    std::set<long> otherEnd;
    const long self = static_cast<long>(getpid());
    // A pseudo-terminal's number, as its master's fdinfo gives it
    // ("tty-index:"); -1 for any other device.
    const unsigned deviceMajor = major(device.st_rdev);
    const long ptyIndex = deviceMajor >= 136 && deviceMajor <= 143
                              ? static_cast<long>((deviceMajor - 136) * 256 + minor(device.st_rdev))
                              : -1;
    // Descriptors: a link in /proc/PID/fd that leads to the same device.
    // The process that holds a pseudo-terminal's master is its other end
    // (the device itself, as far as this program is concerned), whether or
    // not it keeps the terminal side open too.
    for (long pid : Processes()) {
        if (pid == self) continue;
        std::string folder = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        while (dirent* entry = readdir(dir)) {
            struct stat file {};
            if (entry->d_name[0] == '.' || stat((folder + "/" + entry->d_name).c_str(), &file) != 0) continue;
            if (!S_ISCHR(file.st_mode)) continue;
            if (ptyIndex >= 0 && file.st_rdev == makedev(5, 2) &&
                PtyIndexOf("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name) == ptyIndex)
                otherEnd.insert(pid);
            if (file.st_rdev != device.st_rdev) continue;
            PortHolder& holder = holders[pid];
            holder.pid = pid;
            holder.hasOpen = true;
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
        if (otherEnd.count(entry.first)) continue;
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
