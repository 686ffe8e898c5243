// How long the product takes from process creation to an idle main window,
// under the system it runs on (Wine, for the project's own runs), against two
// yardsticks on the same system: the same window written directly in Win32
// (win32_window) and a program that only opens one window (minimal_window).
// Each is started twice a round: once timed until the process first waits
// for input (nothing else asked of the system meanwhile), once until its
// window is on the screen (looked for every millisecond); each time it is
// closed again with the close command and the system given a moment to tidy
// up. A round starts the three in turn, so that all see the same
// conditions, and each round begins with the next program: a start right
// after another program's exit would pay for what is left of that exit, and
// no program should always be the one that does. The ratios are taken per
// round and their median reported.
// Also the executables' sizes on disk.
//
// Usage: bench_startup [rounds]   (default 10)
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Program {
    const char* name;
    const char* unixPath;
    const wchar_t* className;
    const wchar_t* title;
    std::vector<double> windowMs, idleMs;
    int idleBeforeWindow;
};

// The Windows path of a Unix path: Wine shows the Unix root as drive Z.
std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

struct Search {
    DWORD processId;
    const Program* program;
    HWND found;
};

BOOL CALLBACK FindMainWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    // Each question about another process's window goes to the window
    // system; the process is asked first, so that the looking costs the
    // starting program as little as can be.
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId) return TRUE;
    wchar_t className[32] = L"", title[32] = L"";
    GetClassNameW(window, className, 32);
    GetWindowTextW(window, title, 32);
    if (std::wstring(className) != search->program->className || std::wstring(title) != search->program->title ||
        !IsWindowVisible(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

// After a program has ended, the window system is still tidying up after it
// for a while; the next start waits that out so that it does not pay for it.
constexpr DWORD kSettleMs = 150;

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One start, timed to the window's existence (`watch`, looking for it every
// millisecond) or else to the process's first idle moment only: the looking
// costs the window system work while the program starts, and would weigh on
// a program in proportion to how much it asks of the system itself. False
// when the program did not come up within 30 s or did not close.
bool StartOnce(Program* program, bool watch) {
    std::wstring commandLine = L"\"" + WindowsPath(program->unixPath) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER begin, windowAt{}, idleAt{};
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    Search search{process.dwProcessId, program, nullptr};
    const DWORD deadline = GetTickCount() + 30000;
    auto look = [&] {
        while (!search.found && static_cast<int32_t>(deadline - GetTickCount()) > 0) {
            EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
            if (!search.found) Sleep(1);
        }
    };
    if (watch) {
        look();
        QueryPerformanceCounter(&windowAt);
    } else {
        WaitForInputIdle(process.hProcess, 30000);
        QueryPerformanceCounter(&idleAt);
        // A process idle before its window is up would make this no
        // measure of the window's start-up: counted, and said.
        EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
        if (!search.found) ++program->idleBeforeWindow;
        look();  // to close it
    }

    bool ok = search.found != nullptr;
    if (ok) PostMessageW(search.found, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        ok = false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Sleep(kSettleMs);
    if (watch)
        program->windowMs.push_back(Milliseconds(begin, windowAt));
    else
        program->idleMs.push_back(Milliseconds(begin, idleAt));
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median over the rounds of the product's time divided by the other's.
double MedianRatio(const std::vector<double>& product, const std::vector<double>& other) {
    std::vector<double> ratios;
    for (size_t i = 0; i < product.size() && i < other.size(); ++i) ratios.push_back(product[i] / other[i]);
    return Median(ratios);
}

void Report(const Program& program) {
    if (program.idleBeforeWindow)
        std::printf("%s went idle before its window was up in %d starts\n", program.name, program.idleBeforeWindow);
    std::vector<double> window = program.windowMs, idle = program.idleMs;
    std::sort(window.begin(), window.end());
    std::sort(idle.begin(), idle.end());
    std::printf("%-22s window exists     %8.1f %8.1f %8.1f\n", program.name, window.front(), Median(window),
                window.back());
    std::printf("%-22s idle with window  %8.1f %8.1f %8.1f\n", program.name, idle.front(), Median(idle),
                idle.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    Program programs[] = {
        {"shiftlamp.exe", SHIFTLAMP_EXE, L"WindowClass_0", L"Shiftlamp", {}, {}, 0},
        {"same window in Win32", WIN32_WINDOW_EXE, L"Win32Window", L"Shiftlamp", {}, {}, 0},
        {"minimal window", MINIMAL_EXE, L"MinimalWindow", L"Minimal", {}, {}, 0},
    };

    for (const Program& program : programs) {
        WIN32_FILE_ATTRIBUTE_DATA file{};
        if (GetFileAttributesExW(WindowsPath(program.unixPath).c_str(), GetFileExInfoStandard, &file))
            std::printf("%s: %lu bytes\n", program.name, file.nFileSizeLow);
    }
    // One start of each first, not counted: the first start of a program
    // loads its files from disk.
    for (Program& program : programs) {
        if (!StartOnce(&program, true)) {
            std::printf("%s did not come up and close\n", program.name);
            return 1;
        }
        program.windowMs.clear();
        program.idleMs.clear();
    }
    constexpr int kPrograms = static_cast<int>(sizeof(programs) / sizeof(programs[0]));
    for (int run = 0; run < runs; ++run) {
        for (bool watch : {false, true}) {
            for (int turn = 0; turn < kPrograms; ++turn) {
                Program& program = programs[(run + turn) % kPrograms];
                if (!StartOnce(&program, watch)) {
                    std::printf("%s, run %d: the program did not come up and close\n", program.name, run + 1);
                    return 1;
                }
            }
        }
    }
    std::printf("%d rounds, ms from process creation     %8s %8s %8s\n", runs, "min", "median", "max");
    for (const Program& program : programs) Report(program);
    for (int other = 1; other <= 2; ++other) {
        std::printf("median ratio per round, shiftlamp.exe / %s: window exists %.2f, idle %.2f\n",
                    programs[other].name, MedianRatio(programs[0].windowMs, programs[other].windowMs),
                    MedianRatio(programs[0].idleMs, programs[other].idleMs));
    }
    return 0;
}
