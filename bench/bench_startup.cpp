// How long the product takes from process creation to an idle main window,
// under the system it runs on (Wine, for the project's own runs): the
// program is started, the time taken until its window "Shiftlamp" exists and
// the process waits for input is measured, and the program is closed again
// with the close command. Also the executable's size on disk.
//
// Usage: bench_startup [runs]   (default 5)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring ProgramPath() {
    std::wstring path = L"Z:";
    for (const char* c = SHIFTLAMP_EXE; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindMainWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[32] = L"", title[32] = L"";
    GetClassNameW(window, className, 32);
    GetWindowTextW(window, title, 32);
    if (processId != search->processId || std::wstring(className) != L"WindowClass_0" ||
        std::wstring(title) != L"Shiftlamp" || !IsWindowVisible(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One start: milliseconds until the window exists and until the process is
// idle with it; negative when the program did not come up within 30 s.
bool StartOnce(double* windowMs, double* idleMs) {
    std::wstring commandLine = L"\"" + ProgramPath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER begin, windowAt, idleAt;
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    Search search{process.dwProcessId, nullptr};
    const DWORD deadline = GetTickCount() + 30000;
    while (!search.found && static_cast<int32_t>(deadline - GetTickCount()) > 0) {
        EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(1);
    }
    QueryPerformanceCounter(&windowAt);
    WaitForInputIdle(process.hProcess, 30000);
    QueryPerformanceCounter(&idleAt);

    bool ok = search.found != nullptr;
    if (ok) PostMessageW(search.found, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        ok = false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    *windowMs = Milliseconds(begin, windowAt);
    *idleMs = Milliseconds(begin, idleAt);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (GetFileAttributesExW(ProgramPath().c_str(), GetFileExInfoStandard, &file))
        std::printf("shiftlamp.exe: %lu bytes\n", file.nFileSizeLow);

    std::vector<double> window, idle;
    for (int run = 0; run < runs; ++run) {
        double windowMs = 0, idleMs = 0;
        if (!StartOnce(&windowMs, &idleMs)) {
            std::printf("run %d: the program did not come up and close\n", run + 1);
            return 1;
        }
        window.push_back(windowMs);
        idle.push_back(idleMs);
    }
    std::sort(window.begin(), window.end());
    std::sort(idle.begin(), idle.end());
    std::printf("%d starts, ms       %9s %9s %9s\n", runs, "min", "median", "max");
    std::printf("window exists       %9.1f %9.1f %9.1f\n", window.front(), window[window.size() / 2], window.back());
    std::printf("idle with window    %9.1f %9.1f %9.1f\n", idle.front(), idle[idle.size() / 2], idle.back());
    return 0;
}
