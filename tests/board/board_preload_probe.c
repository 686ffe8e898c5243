/* The board's preload library in a plain Linux process of the word size of
 * the Wine it serves, without Wine: the process loads it through LD_PRELOAD
 * (set by the test), makes its own pseudo-terminals, names one of them as
 * the board and then checks what the modem-control requests do on it and on
 * the other one, against the kernel's own answers (a raw system call, which
 * no library can intercept).
 *
 * Usage: board_preload_probe CASE TRACE_FILE
 * Exit status 0 when every check held; each failed check prints one line. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

/* The entry a 32-bit C library built for 64-bit time calls; defined by the
 * board. A 64-bit C library has no such entry: there only the preloaded
 * board provides it, so the reference is weak for the link. */
int __ioctl_time64(int fd, unsigned long request, ...) __attribute__((weak));

static int Failures;

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) {                                                      \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++Failures;                                                          \
        }                                                                        \
    } while (0)

struct Pty {
    int master;
    char path[64];
};

static struct Pty MakePty(void) {
    struct Pty pty = {-1, ""};
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        perror("posix_openpt");
        exit(2);
    }
    snprintf(pty.path, sizeof pty.path, "%s", ptsname(pty.master));
    return pty;
}

static int OpenPath(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(path);
        exit(2);
    }
    return fd;
}

static int Modem(int fd) {
    int bits = -1;
    CHECK(ioctl(fd, TIOCMGET, &bits) == 0);
    return bits & (TIOCM_DTR | TIOCM_RTS);
}

/* What the kernel itself answers, past any library. */
static int Kernel(int fd, unsigned long request, void* argument, int* error) {
    long result = syscall(SYS_ioctl, fd, request, argument);
    *error = result < 0 ? errno : 0;
    return (int)result;
}

/* The events of the trace (second field of each line), space separated. */
static void TraceEvents(const char* path, char* events, size_t size) {
    char line[512];
    FILE* file = fopen(path, "r");
    events[0] = 0;
    if (!file) return;
    while (fgets(line, sizeof line, file)) {
        char event[16];
        if (line[0] == '#' || sscanf(line, "%*s %15s", event) != 1) continue;
        if (events[0]) strncat(events, " ", size - strlen(events) - 1);
        strncat(events, event, size - strlen(events) - 1);
    }
    fclose(file);
}

static int CountLines(const char* path, char first) {
    char line[512];
    int count = 0;
    FILE* file = fopen(path, "r");
    if (!file) return 0;
    while (fgets(line, sizeof line, file)) count += line[0] == first;
    fclose(file);
    return count;
}

static void UseBoard(const struct Pty* board, const char* trace) {
    setenv("SHIFTLAMP_BOARD_DEVICE", board->path, 1);
    if (trace) setenv("SHIFTLAMP_BOARD_TRACE", trace, 1);
}

/* Every request on the board through both entries; the other terminal and
 * every other request reach the kernel unchanged. */
static void Lines(const char* trace) {
    struct Pty board = MakePty(), other = MakePty();
    char events[512];
    int boardFd, otherFd, bits, error, kernelError, kernelResult, result, queued;
    static const unsigned long requests[] = {TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCCBRK};
    size_t i;

    UseBoard(&board, trace);
    boardFd = OpenPath(board.path);
    otherFd = OpenPath(other.path);

    CHECK(Modem(boardFd) == 0);
    bits = TIOCM_DTR;
    CHECK(ioctl(boardFd, TIOCMBIS, &bits) == 0);
    CHECK(Modem(boardFd) == TIOCM_DTR);
    bits = TIOCM_RTS | TIOCM_CTS;
    CHECK(__ioctl_time64(boardFd, TIOCMSET, &bits) == 0);
    CHECK(Modem(boardFd) == TIOCM_RTS);
    bits = TIOCM_RTS;
    CHECK(__ioctl_time64(boardFd, TIOCMBIC, &bits) == 0);
    bits = -1;
    CHECK(__ioctl_time64(boardFd, TIOCMGET, &bits) == 0 && bits == 0);
    CHECK(ioctl(boardFd, TIOCSBRK) == 0);
    CHECK(ioctl(boardFd, TIOCCBRK) == 0);
    CHECK(__ioctl_time64(boardFd, TIOCSBRK) == 0);
    CHECK(__ioctl_time64(boardFd, TIOCCBRK) == 0);

    /* Success leaves errno alone; a null argument is refused. */
    errno = 4242;
    CHECK(ioctl(boardFd, TIOCMGET, &bits) == 0 && errno == 4242);
    CHECK(ioctl(boardFd, TIOCMGET, NULL) == -1 && errno == EFAULT);

    /* The device itself was never asked: its own lines still do not exist. */
    CHECK(Kernel(boardFd, TIOCMGET, &bits, &error) == -1 && error != 0);
    /* Other requests on the board pass through. */
    CHECK(ioctl(boardFd, FIONREAD, &queued) == 0 && queued == 0);
    {
        struct termios mode;
        CHECK(ioctl(boardFd, TCGETS, &mode) == 0);
    }

    /* The other terminal answers exactly as the kernel does. */
    for (i = 0; i < sizeof requests / sizeof requests[0]; ++i) {
        bits = TIOCM_DTR;
        kernelResult = Kernel(otherFd, requests[i], &bits, &kernelError);
        bits = TIOCM_DTR;
        errno = 0;
        result = ioctl(otherFd, requests[i], &bits);
        CHECK(result == kernelResult && errno == kernelError);
        bits = TIOCM_DTR;
        errno = 0;
        result = __ioctl_time64(otherFd, requests[i], &bits);
        CHECK(result == kernelResult && errno == kernelError);
    }
    /* So does the board's master side, which is another device. */
    kernelResult = Kernel(board.master, TIOCMGET, &bits, &kernelError);
    errno = 0;
    CHECK(ioctl(board.master, TIOCMGET, &bits) == kernelResult && errno == kernelError);

    close(otherFd);
    CHECK(close(boardFd) == 0);
    TraceEvents(trace, events, sizeof events);
    CHECK(strcmp(events, "open DTR DTR RTS RTS BREAK BREAK BREAK BREAK close") == 0);
    if (strcmp(events, "open DTR DTR RTS RTS BREAK BREAK BREAK BREAK close") != 0) printf("trace: %s\n", events);
    CHECK(CountLines(trace, '#') == 1);
}

/* A driver that raises DTR raises it on every open; closing keeps the lines
 * as they are or drops them all. */
static void Reopen(const char* trace, int drop) {
    struct Pty board = MakePty();
    char events[512];
    int fd, bits;
    const char* expected = drop ? "open DTR DTR RTS RTS close open DTR DTR close"
                                : "open DTR DTR RTS close open DTR close";

    UseBoard(&board, trace);
    setenv("SHIFTLAMP_BOARD_OPEN_DTR", "1", 1);
    if (drop) setenv("SHIFTLAMP_BOARD_CLOSE", "drop", 1);
    fd = OpenPath(board.path);
    CHECK(Modem(fd) == TIOCM_DTR);
    bits = TIOCM_DTR;
    CHECK(ioctl(fd, TIOCMBIC, &bits) == 0);
    bits = TIOCM_RTS;
    CHECK(ioctl(fd, TIOCMBIS, &bits) == 0);
    close(fd);

    fd = OpenPath(board.path);
    CHECK(Modem(fd) == (drop ? TIOCM_DTR : (TIOCM_DTR | TIOCM_RTS)));
    close(fd);

    TraceEvents(trace, events, sizeof events);
    CHECK(strcmp(events, expected) == 0);
    if (strcmp(events, expected) != 0) printf("trace: %s\n", events);
}

/* The trace's last "shift=0xHH outputs=0xHH", as one number: shift << 8 | outputs. */
static unsigned LastRegisters(const char* path) {
    char line[512];
    unsigned shift = 0, outputs = 0;
    FILE* file = fopen(path, "r");
    if (!file) return 0xFFFFFFFFu;
    while (fgets(line, sizeof line, file)) {
        const char* field = strstr(line, "shift=");
        if (line[0] != '#' && field) sscanf(field, "shift=%x outputs=%x", &shift, &outputs);
    }
    fclose(file);
    return shift << 8 | outputs;
}

/* An inverting board left with 0x01 shifted, nothing latched and every line
 * set (the register sees the clock, the data and the latch low) meets the
 * driver's close: the lines it clears, in its order, are the edges the
 * register sees. `failAt` 1 past the requests made: the device has gone. */
static void CloseOrder(const char* trace, const char* setting, int gone, const char* expected, unsigned registers) {
    struct Pty board = MakePty();
    char events[512];
    int fd, bits = TIOCM_DTR;
    UseBoard(&board, trace);
    setenv("SHIFTLAMP_BOARD_INVERT", "1", 1);
    setenv("SHIFTLAMP_BOARD_CLOSE", setting, 1);
    if (gone) setenv("SHIFTLAMP_BOARD_FAIL_AT", "6", 1);
    fd = OpenPath(board.path);
    CHECK(ioctl(fd, TIOCMBIS, &bits) == 0);
    CHECK(ioctl(fd, TIOCMBIC, &bits) == 0);
    CHECK(ioctl(fd, TIOCMBIS, &bits) == 0);
    bits = TIOCM_RTS;
    CHECK(ioctl(fd, TIOCMBIS, &bits) == 0);
    CHECK(ioctl(fd, TIOCSBRK) == 0);
    CHECK(LastRegisters(trace) == 0x0100);
    if (gone) CHECK(ioctl(fd, TIOCCBRK) == -1 && errno == EIO);
    close(fd);
    TraceEvents(trace, events, sizeof events);
    CHECK(strcmp(events, expected) == 0);
    CHECK(LastRegisters(trace) == registers);
    if (strcmp(events, expected) != 0 || LastRegisters(trace) != registers)
        printf("trace: %s; shift and outputs 0x%04x\n", events, LastRegisters(trace));
}

static int HeaderHas(const char* path, const char* text) {
    char line[8192];
    int found = 0;
    FILE* file = fopen(path, "r");
    if (!file) return 0;
    while (!found && fgets(line, sizeof line, file)) found = line[0] == '#' && strstr(line, text);
    fclose(file);
    return found;
}

/* Two registers whose stage 15 is stuck at 1: one clock brings the 1 to
 * QH', which the input line `name` (TIOCM bit `line`) reports, through an
 * inverter or not; no other input line ever shows. With `lineUs` the
 * report comes that long after the clock's request returned. */
static void Loopback(const char* trace, const char* name, int line, int invert, const char* lineUs) {
    struct Pty board = MakePty();
    const int inputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
    const int before = invert ? line : 0, after = invert ? 0 : line;
    int fd, bits = 0, polls;
    char header[96];
    UseBoard(&board, trace);
    setenv("SHIFTLAMP_BOARD_REGISTERS", "2", 1);
    setenv("SHIFTLAMP_BOARD_STUCK", "15:1", 1);
    setenv("SHIFTLAMP_BOARD_QH", name, 1);
    if (invert) setenv("SHIFTLAMP_BOARD_QH_INVERT", "1", 1);
    if (lineUs) setenv("SHIFTLAMP_BOARD_LINE_US", lineUs, 1);
    fd = OpenPath(board.path);
    CHECK(ioctl(fd, TIOCMGET, &bits) == 0 && (bits & inputs) == before);
    bits = TIOCM_DTR;
    CHECK(ioctl(fd, TIOCMBIS, &bits) == 0);
    if (lineUs) CHECK(ioctl(fd, TIOCMGET, &bits) == 0 && (bits & inputs) == before);
    for (polls = 0; polls < 1000 && ioctl(fd, TIOCMGET, &bits) == 0 && (bits & inputs) != after; ++polls)
        usleep(5000);
    CHECK((bits & inputs) == after && (bits & TIOCM_DTR));
    close(fd);
    CHECK(LastRegisters(trace) == 0xc00000u);
    snprintf(header, sizeof header, " registers=2 qh=%s qh_invert=%d stuck=15:1 ", name, invert);
    CHECK(HeaderHas(trace, header));
}

/* Without a device named, the library changes nothing and writes nothing. */
static void Inert(const char* trace) {
    struct Pty pty = MakePty();
    int fd = OpenPath(pty.path), bits = 0, kernelError, kernelResult;
    struct stat file;
    setenv("SHIFTLAMP_BOARD_TRACE", trace, 1);
    kernelResult = Kernel(fd, TIOCMGET, &bits, &kernelError);
    errno = 0;
    CHECK(ioctl(fd, TIOCMGET, &bits) == kernelResult && errno == kernelError);
    CHECK(kernelResult == -1);
    close(fd);
    CHECK(stat(trace, &file) != 0);
}

/* Without a trace file the board still works. */
static void NoTrace(const char* trace) {
    struct Pty board = MakePty();
    int fd, bits = TIOCM_RTS;
    struct stat file;
    UseBoard(&board, NULL);
    fd = OpenPath(board.path);
    CHECK(ioctl(fd, TIOCMSET, &bits) == 0);
    CHECK(Modem(fd) == TIOCM_RTS);
    close(fd);
    CHECK(stat(trace, &file) != 0);
}

int main(int argc, char** argv) {
    const char* name = argc == 3 ? argv[1] : "";
    const char* trace = argc == 3 ? argv[2] : "";
    static const char* const settings[] = {
        "SHIFTLAMP_BOARD_DEVICE",   "SHIFTLAMP_BOARD_TRACE",    "SHIFTLAMP_BOARD_INVERT",
        "SHIFTLAMP_BOARD_OPEN_DTR", "SHIFTLAMP_BOARD_OPEN_RTS", "SHIFTLAMP_BOARD_OPEN_BREAK",
        "SHIFTLAMP_BOARD_CLOSE",    "SHIFTLAMP_BOARD_FAIL_AT",  "SHIFTLAMP_BOARD_REGISTERS",
        "SHIFTLAMP_BOARD_STUCK",    "SHIFTLAMP_BOARD_QH",       "SHIFTLAMP_BOARD_QH_INVERT",
        "SHIFTLAMP_BOARD_LINE_US"};
    size_t i;
    /* Each case sets what it needs before its first modem-control request,
     * which is when the library reads them. */
    for (i = 0; i < sizeof settings / sizeof settings[0]; ++i) unsetenv(settings[i]);
    unlink(trace);
    if (strcmp(name, "lines") == 0) {
        Lines(trace);
    } else if (strcmp(name, "reopen-keep") == 0) {
        Reopen(trace, 0);
    } else if (strcmp(name, "reopen-drop") == 0) {
        Reopen(trace, 1);
    } else if (strcmp(name, "close-drop") == 0) {
        /* DTR and RTS together shift a 0 in; the break then latches it. */
        CloseOrder(trace, "drop", 0, "open DTR DTR DTR RTS BREAK DTR RTS BREAK close", 0x0202);
    } else if (strcmp(name, "close-break-first") == 0) {
        /* The latch keeps what was shifted before the clock moves it on. */
        CloseOrder(trace, "BREAK,dtr,rts", 0, "open DTR DTR DTR RTS BREAK BREAK DTR RTS close", 0x0201);
    } else if (strcmp(name, "close-hupcl") == 0) {
        /* Only a shift: nothing reaches the outputs. */
        CloseOrder(trace, "dtr,rts", 0, "open DTR DTR DTR RTS BREAK DTR RTS close", 0x0200);
    } else if (strcmp(name, "close-data-first") == 0) {
        /* The data line is high again when the clock shifts it in. */
        CloseOrder(trace, "rts,break,dtr,rts", 0, "open DTR DTR DTR RTS BREAK RTS BREAK DTR close", 0x0301);
    } else if (strcmp(name, "close-gone") == 0) {
        CloseOrder(trace, "drop", 1, "open DTR DTR DTR RTS BREAK close", 0x0100);
    } else if (strcmp(name, "loopback-cts-late") == 0) {
        /* Long enough that the read right after the clock comes first. */
        Loopback(trace, "cts", TIOCM_CTS, 0, "300000");
    } else if (strcmp(name, "loopback-dsr") == 0) {
        Loopback(trace, "dsr", TIOCM_DSR, 0, NULL);
    } else if (strcmp(name, "loopback-dcd-inverted") == 0) {
        Loopback(trace, "dcd", TIOCM_CAR, 1, NULL);
    } else if (strcmp(name, "loopback-ri") == 0) {
        Loopback(trace, "ri", TIOCM_RNG, 0, NULL);
    } else if (strcmp(name, "inert") == 0) {
        Inert(trace);
    } else if (strcmp(name, "no-trace") == 0) {
        NoTrace(trace);
    } else {
        fprintf(stderr,
                "usage: %s lines|reopen-keep|reopen-drop|close-drop|close-break-first|close-hupcl|"
                "close-data-first|close-gone|loopback-cts-late|loopback-dsr|"
                "loopback-dcd-inverted|loopback-ri|inert|no-trace TRACE_FILE\n",
                argv[0]);
        return 2;
    }
    if (Failures == 0) printf("%s: all checks held\n", name);
    return Failures ? 1 : 0;
}
