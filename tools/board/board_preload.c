/* The simulated register board as an LD_PRELOAD library for the Wine
 * process: it gives one pseudo-terminal the modem-control lines a
 * pseudo-terminal lacks, feeds every change to the 74HC595 model and records
 * it in a trace file.
 *
 * Wine's Unix side drives DTR and RTS with TIOCMGET followed by TIOCMSET and
 * the break with TIOCSBRK / TIOCCBRK. On a 32-bit C library built for 64-bit
 * time those calls reach the symbol __ioctl_time64 instead of ioctl, so both
 * are defined here. Only those requests (and TIOCMBIS / TIOCMBIC), and only
 * on a descriptor whose device is the configured one, are answered here;
 * everything else goes to the real function unchanged. The library opens
 * nothing but its trace file.
 *
 * Settings, read from the environment at the first modem-control request:
 *   SHIFTLAMP_BOARD_DEVICE      path of the board's pseudo-terminal (a link
 *                               to it will do); unset: the library is inert
 *   SHIFTLAMP_BOARD_TRACE       file the trace lines are appended to; unset:
 *                               no trace
 *   SHIFTLAMP_BOARD_INVERT      1: an inverter between every line and the
 *                               register
 *   SHIFTLAMP_BOARD_OPEN_DTR    0 or 1: the level a driver gives DTR each
 *   SHIFTLAMP_BOARD_OPEN_RTS    time the port opens (a driver raising DTR on
 *   SHIFTLAMP_BOARD_OPEN_BREAK  open, say); unset: opening leaves it alone
 *   SHIFTLAMP_BOARD_CLOSE       keep (the default): lines stay as they are
 *                               when the port closes; drop: DTR and RTS go
 *                               clear, then the break, as with a driver
 *                               that hangs up on close
 *   SHIFTLAMP_BOARD_FAIL_AT     N: the Nth request that sets lines (TIOCMSET,
 *                               TIOCMBIS, TIOCMBIC, TIOCSBRK, TIOCCBRK;
 *                               counted from 1 in each process) and every
 *                               one after it fail with EIO and change
 *                               nothing, as with an adapter unplugged in the
 *                               middle of a transfer
 *   SHIFTLAMP_BOARD_LINE_US     N: every request that sets lines takes N
 *                               microseconds, the lines changing as it
 *                               returns, as a USB adapter's control
 *                               transfer does (about 1000 on full-speed
 *                               chips; one that fails returns at once);
 *                               unset or 0: no time
 *   SHIFTLAMP_BOARD_LINES_FAIL  dtr, rts or dtr,rts: a request that would
 *                               change such a line fails with EPROTO and
 *                               changes nothing, as with a driver that
 *                               cannot drive it
 *   SHIFTLAMP_BOARD_LINES_STUCK dtr, rts or dtr,rts: a request that would
 *                               change such a line succeeds, but the line
 *                               stays where it is and TIOCMGET reports it
 *                               there, as RTS does while hardware flow
 *                               control owns it
 *   SHIFTLAMP_BOARD_BREAK_FAILS 1: TIOCSBRK and TIOCCBRK fail with
 *                               EOPNOTSUPP and change nothing, as with an
 *                               adapter that has no break
 *
 * The board lives in the process that loaded the library: each process
 * starts with every line clear and both registers zero. A port "opens" when
 * a descriptor of the device is first used for a modem-control request and
 * "closes" when the last such descriptor is closed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "board_register.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*CloseFunction)(int);

enum { MAX_OPEN_FDS = 32, PATH_SIZE = 4096 };

struct Settings {
    char device[PATH_SIZE]; /* empty: no board */
    char trace[PATH_SIZE];  /* empty: no trace */
    int invert;
    unsigned openMask;   /* lines that opening sets to a level */
    unsigned openLevels; /* the levels, for the lines in openMask */
    int dropAtClose;
    long failAt; /* 0: never */
    long lineUs; /* how long a request that sets lines takes; 0: no time */
    unsigned failingLines; /* BOARD_DTR, BOARD_RTS: requests changing them fail */
    unsigned stuckLines;   /* BOARD_DTR, BOARD_RTS: requests leave them alone */
    int breakFails;
};

static pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
static int Configured;
static struct Settings Config;
static struct BoardState Board;

/* Descriptors of the board's device seen since they were opened. */
static int OpenFds[MAX_OPEN_FDS];
static int OpenFdCount; /* read without the lock by close() as a quick test */

static long SetRequests; /* requests that set lines, for failAt */
static int TraceFd = -1;
static dev_t TraceDev;
static ino_t TraceIno;
static int HeaderWritten;

static void* NextSymbol(const char* name) { return dlsym(RTLD_NEXT, name); }

static IoctlFunction RealIoctl(void) {
    static IoctlFunction function;
    if (!function) function = (IoctlFunction)NextSymbol("ioctl");
    return function;
}

/* Absent from 64-bit C libraries; there ioctl is the only entry. */
static IoctlFunction RealIoctlTime64(void) {
    static IoctlFunction function;
    if (!function) function = (IoctlFunction)NextSymbol("__ioctl_time64");
    return function ? function : RealIoctl();
}

static CloseFunction RealClose(void) {
    static CloseFunction function;
    if (!function) function = (CloseFunction)NextSymbol("close");
    return function;
}

/* ---- settings ---- */

static void CopyVariable(char* target, const char* name) {
    const char* value = getenv(name);
    target[0] = 0;
    if (value && strlen(value) < PATH_SIZE) strcpy(target, value);
}

/* 1 or 0 for "1" or "0"; -1 for anything else or nothing. */
static int LevelVariable(const char* name) {
    const char* value = getenv(name);
    if (value && strcmp(value, "1") == 0) return 1;
    if (value && strcmp(value, "0") == 0) return 0;
    return -1;
}

static void OpenLevel(const char* name, unsigned line) {
    int level = LevelVariable(name);
    if (level < 0) return;
    Config.openMask |= line;
    if (level) Config.openLevels |= line;
}

/* "dtr", "rts", "dtr,rts" (any order, any case) as BOARD_DTR | BOARD_RTS. */
static unsigned LinesVariable(const char* name) {
    const char* value = getenv(name);
    unsigned lines = 0;
    if (!value) return 0;
    if (strcasestr(value, "dtr")) lines |= BOARD_DTR;
    if (strcasestr(value, "rts")) lines |= BOARD_RTS;
    return lines;
}

static void Configure(void) {
    const char* closeSetting;
    const char* failSetting;
    const char* lineSetting;
    if (Configured) return;
    Configured = 1;
    CopyVariable(Config.device, "SHIFTLAMP_BOARD_DEVICE");
    CopyVariable(Config.trace, "SHIFTLAMP_BOARD_TRACE");
    Config.invert = LevelVariable("SHIFTLAMP_BOARD_INVERT") == 1;
    OpenLevel("SHIFTLAMP_BOARD_OPEN_DTR", BOARD_DTR);
    OpenLevel("SHIFTLAMP_BOARD_OPEN_RTS", BOARD_RTS);
    OpenLevel("SHIFTLAMP_BOARD_OPEN_BREAK", BOARD_BREAK);
    closeSetting = getenv("SHIFTLAMP_BOARD_CLOSE");
    Config.dropAtClose = closeSetting && strcmp(closeSetting, "drop") == 0;
    failSetting = getenv("SHIFTLAMP_BOARD_FAIL_AT");
    Config.failAt = failSetting ? strtol(failSetting, NULL, 10) : 0;
    if (Config.failAt < 0) Config.failAt = 0;
    lineSetting = getenv("SHIFTLAMP_BOARD_LINE_US");
    Config.lineUs = lineSetting ? strtol(lineSetting, NULL, 10) : 0;
    if (Config.lineUs < 0 || Config.lineUs > 10000000) Config.lineUs = 0;
    Config.failingLines = LinesVariable("SHIFTLAMP_BOARD_LINES_FAIL");
    Config.stuckLines = LinesVariable("SHIFTLAMP_BOARD_LINES_STUCK");
    Config.breakFails = LevelVariable("SHIFTLAMP_BOARD_BREAK_FAILS") == 1;
    BoardInit(&Board, Config.invert);
}

/* The device is looked up on every request, not once: a pseudo-terminal
 * made after the process started is still found. */
static int IsBoard(int fd) {
    struct stat device, file;
    if (!Config.device[0]) return 0;
    if (stat(Config.device, &device) != 0 || !S_ISCHR(device.st_mode)) return 0;
    if (fstat(fd, &file) != 0 || !S_ISCHR(file.st_mode)) return 0;
    return file.st_rdev == device.st_rdev;
}

/* ---- trace ---- */

static uint64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

/* The trace descriptor, opened on first use. Checked against the file it was
 * opened on before each write: should the program ever close it and reuse
 * the number, the lines must not land in the program's file. */
static int TraceDescriptor(void) {
    struct stat file;
    if (!Config.trace[0]) return -1;
    if (TraceFd >= 0 && fstat(TraceFd, &file) == 0 && file.st_dev == TraceDev && file.st_ino == TraceIno)
        return TraceFd;
    TraceFd = open(Config.trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (TraceFd < 0) return -1;
    if (fstat(TraceFd, &file) != 0) {
        RealClose()(TraceFd);
        TraceFd = -1;
        return -1;
    }
    TraceDev = file.st_dev;
    TraceIno = file.st_ino;
    return TraceFd;
}

/* One write per line: with O_APPEND, lines of several processes never mix. */
static void WriteTrace(const char* text, size_t length) {
    int fd = TraceDescriptor();
    while (fd >= 0 && length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= (size_t)written;
    }
}

static void WriteHeader(void) {
    char header[PATH_SIZE + 256];
    char openText[64] = "";
    static const unsigned lines[] = {BOARD_DTR, BOARD_RTS, BOARD_BREAK};
    size_t i, used = 0;
    int length;
    struct timespec wall;
    uint64_t now;
    if (HeaderWritten) return;
    HeaderWritten = 1;
    for (i = 0; i < 3; ++i) {
        if (!(Config.openMask & lines[i])) continue;
        used += (size_t)snprintf(openText + used, sizeof openText - used, "%s%s=%d", used ? "," : "",
                                 BoardLineName(lines[i]), (Config.openLevels & lines[i]) ? 1 : 0);
    }
    /* Both clocks read together: a viewer turns trace times into times of
     * day with them. */
    clock_gettime(CLOCK_REALTIME, &wall);
    now = NowNs();
    length = snprintf(header, sizeof header,
                      "# board pid=%ld device=%s invert=%d open=%s close=%s monotonic_ns=%llu realtime_ns=%llu\n",
                      (long)getpid(), Config.device, Config.invert, used ? openText : "-",
                      Config.dropAtClose ? "drop" : "keep", (unsigned long long)now,
                      (unsigned long long)wall.tv_sec * 1000000000ull + (unsigned long long)wall.tv_nsec);
    if (length > 0 && (size_t)length < sizeof header) WriteTrace(header, (size_t)length);
}

static void TraceEvent(uint64_t timeNs, const char* event, int level) {
    char line[160];
    size_t length;
    if (!Config.trace[0]) return;
    WriteHeader();
    length = BoardFormatEvent(line, sizeof line, timeNs, event, level, &Board, (long)getpid());
    if (length) WriteTrace(line, length);
}

/* Sets the lines, then records one trace line per line that changed. */
static void SetLines(unsigned lines) {
    static const unsigned order[] = {BOARD_DTR, BOARD_RTS, BOARD_BREAK};
    uint64_t now = NowNs();
    unsigned changed = BoardSetLines(&Board, lines);
    size_t i;
    for (i = 0; i < 3; ++i)
        if (changed & order[i]) TraceEvent(now, BoardLineName(order[i]), (Board.lines & order[i]) ? 1 : 0);
}

/* ---- open and close ---- */

static int FindOpenFd(int fd) {
    int i;
    for (i = 0; i < OpenFdCount; ++i)
        if (OpenFds[i] == fd) return i;
    return -1;
}

/* A descriptor not seen before means the port was opened (again). */
static void NoteUse(int fd) {
    if (FindOpenFd(fd) >= 0) return;
    if (OpenFdCount == 0) {
        TraceEvent(NowNs(), "open", -1);
        SetLines((Board.lines & ~Config.openMask) | Config.openLevels);
    }
    if (OpenFdCount == MAX_OPEN_FDS) return;
    OpenFds[OpenFdCount] = fd;
    __atomic_store_n(&OpenFdCount, OpenFdCount + 1, __ATOMIC_RELEASE);
}

/* The descriptor was the board's when it was seen; closing the last one
 * closes the port. */
static void NoteClose(int fd) {
    int index = FindOpenFd(fd);
    if (index < 0) return;
    OpenFds[index] = OpenFds[OpenFdCount - 1];
    __atomic_store_n(&OpenFdCount, OpenFdCount - 1, __ATOMIC_RELEASE);
    if (OpenFdCount > 0) return;
    if (Config.dropAtClose) {
        /* In the order Linux hangs up: DTR and RTS, then the break. */
        SetLines(Board.lines & BOARD_BREAK);
        SetLines(0);
    }
    TraceEvent(NowNs(), "close", -1);
}

/* ---- the modem-control requests ---- */

static int IsModemRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCSBRK || request == TIOCCBRK;
}

static unsigned FromModemBits(int bits) {
    return ((bits & TIOCM_DTR) ? BOARD_DTR : 0u) | ((bits & TIOCM_RTS) ? BOARD_RTS : 0u);
}

static int ToModemBits(unsigned lines) {
    return ((lines & BOARD_DTR) ? TIOCM_DTR : 0) | ((lines & BOARD_RTS) ? TIOCM_RTS : 0);
}

/* Waits `us` microseconds from `start`, to the deadline whatever signal
 * comes. */
static void TakeTime(uint64_t start, long us) {
    uint64_t deadline = start + (uint64_t)us * 1000u;
    struct timespec until;
    until.tv_sec = (time_t)(deadline / 1000000000u);
    until.tv_nsec = (long)(deadline % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

/* The lines a set request asks for, from the board's lines now. */
static unsigned Requested(unsigned long request, const int* bits) {
    const unsigned modem = BOARD_DTR | BOARD_RTS;
    if (request == TIOCMSET) return (Board.lines & ~modem) | FromModemBits(*bits);
    if (request == TIOCMBIS) return Board.lines | FromModemBits(*bits);
    if (request == TIOCMBIC) return Board.lines & ~FromModemBits(*bits);
    if (request == TIOCSBRK) return Board.lines | BOARD_BREAK;
    return Board.lines & ~BOARD_BREAK;
}

/* Answers the request when `fd` is the board; returns 0 when it is not (the
 * caller then forwards it). Errors are reported as the kernel would. */
static int Emulate(int fd, unsigned long request, void* argument, int* result) {
    int* bits = (int*)argument;
    int savedErrno = errno;
    int error = 0;
    int isBreak = request == TIOCSBRK || request == TIOCCBRK;
    uint64_t start = NowNs();

    pthread_mutex_lock(&Lock);
    Configure();
    if (!IsBoard(fd)) {
        pthread_mutex_unlock(&Lock);
        errno = savedErrno;
        return 0;
    }
    NoteUse(fd);
    if (request != TIOCMGET && Config.failAt > 0 && ++SetRequests >= Config.failAt) {
        error = EIO;
    } else if (!isBreak && !bits) {
        error = EFAULT;
    } else if (request == TIOCMGET) {
        *bits = ToModemBits(Board.lines);
    } else if (isBreak && Config.breakFails) {
        error = EOPNOTSUPP;
    } else {
        unsigned wanted = Requested(request, bits);
        if ((wanted ^ Board.lines) & Config.failingLines) {
            error = EPROTO;
        } else {
            /* A stuck line keeps its level; the others change. */
            wanted = (wanted & ~Config.stuckLines) | (Board.lines & Config.stuckLines);
            if (Config.lineUs > 0) TakeTime(start, Config.lineUs);
            SetLines(wanted);
        }
    }
    pthread_mutex_unlock(&Lock);

    errno = error ? error : savedErrno;
    *result = error ? -1 : 0;
    return 1;
}

static int Dispatch(IoctlFunction real, int fd, unsigned long request, void* argument) {
    int result;
    if (IsModemRequest(request) && Emulate(fd, request, argument, &result)) return result;
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, argument);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    void* argument;
    va_start(arguments, request);
    argument = va_arg(arguments, void*);
    va_end(arguments);
    return Dispatch(RealIoctl(), fd, request, argument);
}

EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list arguments;
    void* argument;
    va_start(arguments, request);
    argument = va_arg(arguments, void*);
    va_end(arguments);
    return Dispatch(RealIoctlTime64(), fd, request, argument);
}

EXPORT int close(int fd) {
    CloseFunction real = RealClose();
    if (__atomic_load_n(&OpenFdCount, __ATOMIC_ACQUIRE) > 0) {
        int savedErrno = errno;
        pthread_mutex_lock(&Lock);
        NoteClose(fd);
        pthread_mutex_unlock(&Lock);
        errno = savedErrno;
    }
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd);
}
