/* The simulated register board as an LD_PRELOAD library for the Wine
 * process: it gives one pseudo-terminal the modem-control lines a
 * pseudo-terminal lacks, feeds every change to the 74HC595 model and records
 * it in a trace file. With a loopback wired, TIOCMGET also reports the
 * chain's last QH' on one of the port's input lines.
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
 *   SHIFTLAMP_BOARD_CLOSE       what the driver does to the lines at the
 *                               last close: keep (the default) leaves them
 *                               as they are; drop clears DTR and RTS
 *                               together, then the break; a comma-separated
 *                               list of dtr, rts and break clears those
 *                               lines one after the other in that order
 *                               (break,dtr,rts: the break first; dtr,rts:
 *                               Linux's HUPCL, the break left as it is). A
 *                               device that has gone (FAIL_AT reached)
 *                               changes nothing at close either
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
 *   SHIFTLAMP_BOARD_REGISTERS   N, 1 to 128: a chain of N registers, QH' of
 *                               each into SER of the next (outputs 1 to 8N,
 *                               the first register's QA output 1); the
 *                               trace's shift= and outputs= then have 2N
 *                               hexadecimal digits; unset or out of range:
 *                               one register. A chain of another length
 *                               than the program is told is just this
 *                               setting differing from it
 *   SHIFTLAMP_BOARD_QH          cts, dsr, dcd or ri: the last register's
 *                               QH' is wired back to that input line, which
 *                               TIOCMGET reports set while QH' is high
 *                               (TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG;
 *                               through Wine GetCommModemStatus's MS_CTS_ON,
 *                               MS_DSR_ON, MS_RLSD_ON, MS_RING_ON); unset:
 *                               no input line is ever reported set. With
 *                               SHIFTLAMP_BOARD_LINE_US N a change of QH'
 *                               shows in TIOCMGET N microseconds after the
 *                               request that caused it returned, as a USB
 *                               adapter reports its status with a later
 *                               packet; TIOCMGET itself takes no time
 *   SHIFTLAMP_BOARD_QH_INVERT   1: through an inverter (the line is reported
 *                               set while QH' is low), as a two-way level
 *                               shifter may wire it
 *   SHIFTLAMP_BOARD_STUCK       K:0 or K:1: stage K of the chain (1 to 8N,
 *                               as the outputs count) stuck at that level
 *                               from power-up on: it passes that level on
 *                               to every stage after it, QH' included, so a
 *                               latched frame shows it on outputs K to 8N
 *                               (board_register.h says what a loopback can
 *                               tell of it); a K outside the chain or
 *                               another form: no fault
 *
 * The board lives in the process that loaded the library: each process
 * starts with every line clear and every stage and output zero (a stuck
 * stage at its level). The trace's header line names the board:
 *   "# board pid=P device=D invert=0|1 open=O close=C registers=N qh=Q
 *    qh_invert=0|1 stuck=K:L monotonic_ns=M realtime_ns=R" (one line; Q
 *    and K:L are "-" when not set). A port "opens" when a descriptor of the
 * device is first used for a modem-control request and "closes" when the
 * last such descriptor is closed. */
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
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "board_register.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*CloseFunction)(int);

enum { MAX_OPEN_FDS = 32, PATH_SIZE = 4096, MAX_CLOSE_STEPS = 3, QH_CHANGES = 64 };

struct Settings {
    char device[PATH_SIZE]; /* empty: no board */
    char trace[PATH_SIZE];  /* empty: no trace */
    int invert;
    unsigned openMask;   /* lines that opening sets to a level */
    unsigned openLevels; /* the levels, for the lines in openMask */
    /* The lines the last close clears, one group after the other; a
     * group of 0 ends the list before MAX_CLOSE_STEPS. */
    unsigned closeSteps[MAX_CLOSE_STEPS];
    char closeText[32]; /* the setting as the trace header names it */
    long failAt; /* 0: never */
    long lineUs; /* how long a request that sets lines takes; 0: no time */
    unsigned failingLines; /* BOARD_DTR, BOARD_RTS: requests changing them fail */
    unsigned stuckLines;   /* BOARD_DTR, BOARD_RTS: requests leave them alone */
    int breakFails;
    unsigned registers;
    int qhBit;           /* TIOCM_* the loopback is wired to; 0: none */
    const char* qhName;  /* the setting as the trace header names it */
    int qhInvert;
    unsigned stuckStage; /* 0: none */
    int stuckLevel;
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

/* The loopback line's level as wired (QH' through the inverter, if any)
 * after each of its latest changes, for reports that come late. */
static struct {
    uint64_t timeNs;
    int level;
} QhChanges[QH_CHANGES];
static unsigned QhFirst, QhCount;
static int QhBefore; /* the level before QhChanges[QhFirst] */

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

/* keep, drop or a list such as "break,dtr,rts" as closeSteps. A word that
 * is none of dtr, rts and break (or a line named twice) is left out. */
static void CloseSetting(void) {
    static const unsigned lines[] = {BOARD_DTR, BOARD_RTS, BOARD_BREAK};
    static const char* const names[] = {"dtr", "rts", "break"};
    const char* value = getenv("SHIFTLAMP_BOARD_CLOSE");
    unsigned seen = 0;
    size_t steps = 0, used = 0, i;
    memset(Config.closeSteps, 0, sizeof Config.closeSteps);
    strcpy(Config.closeText, "keep");
    if (!value) return;
    if (strcmp(value, "drop") == 0) {
        /* A driver that hangs up at close: DTR and RTS together, then the
         * break as the UART shuts down. */
        Config.closeSteps[0] = BOARD_DTR | BOARD_RTS;
        Config.closeSteps[1] = BOARD_BREAK;
        strcpy(Config.closeText, "drop");
        return;
    }
    while (*value) {
        size_t length = strcspn(value, ",");
        for (i = 0; i < 3; ++i) {
            if (length != strlen(names[i]) || strncasecmp(value, names[i], length) != 0 || (seen & lines[i]))
                continue;
            seen |= lines[i];
            Config.closeSteps[steps++] = lines[i];
            used += (size_t)snprintf(Config.closeText + used, sizeof Config.closeText - used, "%s%s",
                                     steps > 1 ? "," : "", names[i]);
        }
        value += length;
        if (*value == ',') ++value;
    }
    if (steps == 0) strcpy(Config.closeText, "keep");
}

/* "cts", "dsr", "dcd" or "ri" (any case) as its TIOCM_* bit; 0 for
 * anything else. */
static int InputLine(const char* value, const char** name) {
    static const char* const names[] = {"cts", "dsr", "dcd", "ri"};
    static const int bits[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG};
    size_t i;
    *name = "-";
    for (i = 0; value && i < 4; ++i) {
        if (strcasecmp(value, names[i]) != 0) continue;
        *name = names[i];
        return bits[i];
    }
    return 0;
}

/* The chain, its loopback and its stuck stage; powers the board up. */
static void ChainSettings(void) {
    const char* registers = getenv("SHIFTLAMP_BOARD_REGISTERS");
    const char* stuck = getenv("SHIFTLAMP_BOARD_STUCK");
    char* end = NULL;
    long count = registers ? strtol(registers, &end, 10) : 1;
    unsigned long stage;
    if (!registers || *end || end == registers || count < 1 || count > BOARD_MAX_REGISTERS) count = 1;
    Config.registers = (unsigned)count;
    Config.qhBit = InputLine(getenv("SHIFTLAMP_BOARD_QH"), &Config.qhName);
    Config.qhInvert = LevelVariable("SHIFTLAMP_BOARD_QH_INVERT") == 1;
    BoardInitChain(&Board, Config.invert, Config.registers);
    if (stuck && stuck[0] >= '1' && stuck[0] <= '9') {
        stage = strtoul(stuck, &end, 10);
        if (end[0] == ':' && (end[1] == '0' || end[1] == '1') && !end[2] && stage <= 8u * Config.registers &&
            BoardStickStage(&Board, (unsigned)stage, end[1] == '1')) {
            Config.stuckStage = (unsigned)stage;
            Config.stuckLevel = end[1] == '1';
        }
    }
    QhBefore = BoardQh(&Board) ^ Config.qhInvert;
}

static void Configure(void) {
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
    CloseSetting();
    failSetting = getenv("SHIFTLAMP_BOARD_FAIL_AT");
    Config.failAt = failSetting ? strtol(failSetting, NULL, 10) : 0;
    if (Config.failAt < 0) Config.failAt = 0;
    lineSetting = getenv("SHIFTLAMP_BOARD_LINE_US");
    Config.lineUs = lineSetting ? strtol(lineSetting, NULL, 10) : 0;
    if (Config.lineUs < 0 || Config.lineUs > 10000000) Config.lineUs = 0;
    Config.failingLines = LinesVariable("SHIFTLAMP_BOARD_LINES_FAIL");
    Config.stuckLines = LinesVariable("SHIFTLAMP_BOARD_LINES_STUCK");
    Config.breakFails = LevelVariable("SHIFTLAMP_BOARD_BREAK_FAILS") == 1;
    ChainSettings();
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
    char header[PATH_SIZE + 384];
    char stuckText[32] = "-";
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
    if (Config.stuckStage) snprintf(stuckText, sizeof stuckText, "%u:%d", Config.stuckStage, Config.stuckLevel);
    /* Both clocks read together: a viewer turns trace times into times of
     * day with them. */
    clock_gettime(CLOCK_REALTIME, &wall);
    now = NowNs();
    length = snprintf(header, sizeof header,
                      "# board pid=%ld device=%s invert=%d open=%s close=%s registers=%u qh=%s qh_invert=%d stuck=%s "
                      "monotonic_ns=%llu realtime_ns=%llu\n",
                      (long)getpid(), Config.device, Config.invert, used ? openText : "-", Config.closeText,
                      Config.registers, Config.qhName, Config.qhInvert, stuckText, (unsigned long long)now,
                      (unsigned long long)wall.tv_sec * 1000000000ull + (unsigned long long)wall.tv_nsec);
    if (length > 0 && (size_t)length < sizeof header) WriteTrace(header, (size_t)length);
}

static void TraceEvent(uint64_t timeNs, const char* event, int level) {
    char line[BOARD_EVENT_SIZE];
    size_t length;
    if (!Config.trace[0]) return;
    WriteHeader();
    length = BoardFormatEvent(line, sizeof line, timeNs, event, level, &Board, (long)getpid());
    if (length) WriteTrace(line, length);
}

/* Notes the loopback line's level at `now` when it changed. */
static void NoteQh(uint64_t now) {
    const int level = BoardQh(&Board) ^ Config.qhInvert;
    const int last = QhCount ? QhChanges[(QhFirst + QhCount - 1) % QH_CHANGES].level : QhBefore;
    if (level == last) return;
    if (QhCount == QH_CHANGES) {
        QhBefore = QhChanges[QhFirst].level;
        QhFirst = (QhFirst + 1) % QH_CHANGES;
        --QhCount;
    }
    QhChanges[(QhFirst + QhCount) % QH_CHANGES].timeNs = now;
    QhChanges[(QhFirst + QhCount) % QH_CHANGES].level = level;
    ++QhCount;
}

/* The loopback line as a report at `now` shows it: as it was lineUs ago. */
static int ReportedQh(uint64_t now) {
    const uint64_t delay = (uint64_t)Config.lineUs * 1000u;
    unsigned i;
    for (i = QhCount; i-- > 0;) {
        const unsigned at = (QhFirst + i) % QH_CHANGES;
        if (QhChanges[at].timeNs + delay <= now) return QhChanges[at].level;
    }
    return QhBefore;
}

/* Sets the lines, then records one trace line per line that changed. */
static void SetLines(unsigned lines) {
    static const unsigned order[] = {BOARD_DTR, BOARD_RTS, BOARD_BREAK};
    uint64_t now = NowNs();
    unsigned changed = BoardSetLines(&Board, lines);
    size_t i;
    NoteQh(now);
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
    size_t i;
    if (index < 0) return;
    OpenFds[index] = OpenFds[OpenFdCount - 1];
    __atomic_store_n(&OpenFdCount, OpenFdCount - 1, __ATOMIC_RELEASE);
    if (OpenFdCount > 0) return;
    /* A device that has gone answers nothing, its close included. */
    if (!(Config.failAt > 0 && SetRequests >= Config.failAt))
        for (i = 0; i < MAX_CLOSE_STEPS && Config.closeSteps[i]; ++i) SetLines(Board.lines & ~Config.closeSteps[i]);
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
        *bits = ToModemBits(Board.lines) | (Config.qhBit && ReportedQh(start) ? Config.qhBit : 0);
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
