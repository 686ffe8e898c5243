// The product itself, started as a process in the test prefix: it opens its
// window and ends with exit code 0 whichever way the user closes it, and it
// carries the common-controls manifest as its one resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_test_support.h"

using namespace app_test;

namespace {

// The executable's Windows path: Wine shows the Unix root as drive Z.
std::wstring ProgramPath() {
    std::wstring path = L"Z:";
    for (const char* c = SHIFTLAMP_EXE; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

struct ProcessWindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchMainWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ProcessWindowSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || ClassOf(window) != L"WindowClass_0" || !IsWindowVisible(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

// One run of the program, ended by the test or, failing that, terminated.
class RunningProgram {
public:
    RunningProgram() {
        std::wstring commandLine = L"\"" + ProgramPath() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        started_ = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process_) != 0;
        if (!started_) return;
        WaitForInputIdle(process_.hProcess, 20000);
        for (int tries = 0; tries < 400 && !window_; ++tries) {
            ProcessWindowSearch search{process_.dwProcessId, nullptr};
            EnumWindows(MatchMainWindow, reinterpret_cast<LPARAM>(&search));
            window_ = search.found;
            if (!window_) Sleep(50);
        }
        // Let the program settle in its loop before any input arrives.
        WaitForInputIdle(process_.hProcess, 5000);
    }
    ~RunningProgram() {
        if (!started_) return;
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }

    bool started() const { return started_; }
    HWND window() const { return window_; }

    // The exit code once the process has ended, or STILL_ACTIVE.
    DWORD ExitCode(DWORD waitMs = 15000) const {
        WaitForSingleObject(process_.hProcess, waitMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
    HWND window_ = nullptr;
};

// The screen point of the title bar's close button, found by asking the
// window what lies where; false when it has no such button on screen.
bool CloseButtonPoint(HWND window, POINT* point) {
    RECT outer{};
    GetWindowRect(window, &outer);
    for (int y = outer.top; y < outer.top + 40; y += 2) {
        for (int x = outer.right - 1; x > outer.right - 60; x -= 2) {
            const LRESULT hit = SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y));
            if (hit == HTCLOSE) {
                *point = POINT{x, y};
                return true;
            }
        }
    }
    return false;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(program_.started());
        ASSERT_NE(program_.window(), nullptr) << "no window \"Shiftlamp\" appeared";
        EXPECT_EQ(TextOf(program_.window()), L"Shiftlamp");
        SetForegroundWindow(program_.window());
    }
    void TearDown() override { MoveMouseAway(); }

    RunningProgram program_;
};

TEST_F(ProgramTest, TheTitleBarCloseButtonEndsItWithExitCodeZero) {
    // Without a window manager Wine draws the title bar itself (the program
    // runs unmanaged in the test prefix), so the button is there to click.
    POINT button{};
    ASSERT_TRUE(CloseButtonPoint(program_.window(), &button));
    ClickAt(button.x, button.y);
    EXPECT_EQ(program_.ExitCode(), 0u);
}

TEST_F(ProgramTest, TheCloseCommandTheButtonSendsEndsItWithExitCodeZero) {
    PostMessageW(program_.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(program_.ExitCode(), 0u);
}

TEST_F(ProgramTest, AltF4EndsItWithExitCodeZero) {
    PressKeys({VK_MENU, VK_F4});
    EXPECT_EQ(program_.ExitCode(), 0u);
}

TEST_F(ProgramTest, TheSystemMenuCloseEndsItWithExitCodeZero) {
    // Alt+Space opens the system menu; its Close item has the mnemonic C.
    PressKeys({VK_MENU, VK_SPACE});
    PressKeys({'C'});
    EXPECT_EQ(program_.ExitCode(), 0u);
}

TEST_F(ProgramTest, ClicksElsewhereLeaveItRunning) {
    // The invert box, an LED box and the text: no action beyond the box's
    // own, and no box to answer.
    POINT origin{0, 0};
    ClientToScreen(program_.window(), &origin);
    ClickAt(origin.x + 14, origin.y + 40);   // "Инвертировать"
    ClickAt(origin.x + 14, origin.y + 68);   // "Led 1"
    ClickAt(origin.x + 20, origin.y + 20);   // "Порт"
    EXPECT_EQ(program_.ExitCode(500), static_cast<DWORD>(STILL_ACTIVE));
    // The clicks did land: the boxes took them. A message sent from here is
    // answered before input still queued for the program, so a slow machine
    // (an emulated one) is given time to get to the clicks.
    HWND window = program_.window();
    const auto checkedSoon = [](HWND box) {
        for (int tries = 0; tries < 200; ++tries) {
            if (SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED) return true;
            Sleep(50);
        }
        return false;
    };
    EXPECT_TRUE(checkedSoon(GetDlgItem(window, 2)));
    EXPECT_TRUE(checkedSoon(GetDlgItem(GetDlgItem(window, 3), 4)));
    PostMessageW(program_.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(program_.ExitCode(), 0u);
}

// The executable's resources, read as data.
class ProgramResources {
public:
    ProgramResources() { module_ = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE); }
    ~ProgramResources() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE module() const { return module_; }

    std::vector<uintptr_t> Types() const {
        std::vector<uintptr_t> types;
        EnumResourceTypesW(module_, AddType, reinterpret_cast<LONG_PTR>(&types));
        return types;
    }
    std::vector<uintptr_t> Names(uintptr_t type) const {
        std::vector<uintptr_t> names;
        EnumResourceNamesW(module_, MAKEINTRESOURCEW(type), AddName, reinterpret_cast<LONG_PTR>(&names));
        return names;
    }

private:
    // Named (string) entries are kept as 0: the program has none.
    static BOOL CALLBACK AddType(HMODULE, LPWSTR type, LONG_PTR list) {
        reinterpret_cast<std::vector<uintptr_t>*>(list)->push_back(IS_INTRESOURCE(type) ? reinterpret_cast<uintptr_t>(type) : 0);
        return TRUE;
    }
    static BOOL CALLBACK AddName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) {
        reinterpret_cast<std::vector<uintptr_t>*>(list)->push_back(IS_INTRESOURCE(name) ? reinterpret_cast<uintptr_t>(name) : 0);
        return TRUE;
    }

    HMODULE module_ = nullptr;
};

TEST(ProgramFileTest, ItsOnlyResourceIsTheCommonControlsManifest) {
    ProgramResources resources;
    ASSERT_NE(resources.module(), nullptr);
    EXPECT_EQ(resources.Types(), std::vector<uintptr_t>{24});  // RT_MANIFEST: no icon, nothing else
    ASSERT_EQ(resources.Names(24), std::vector<uintptr_t>{1});  // the process's own manifest

    HRSRC found = FindResourceW(resources.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(resources.module(), found)));
    const std::string manifest(data, SizeofResource(resources.module(), found));
    const size_t identity = manifest.find("<assemblyIdentity");
    ASSERT_NE(identity, std::string::npos);
    const std::string element = manifest.substr(identity, manifest.find("/>", identity) - identity);
    // The controls of the program's own processor: a 64-bit program is not
    // lent the x86 ones.
#ifdef _WIN64
    const char* architecture = "processorArchitecture=\"amd64\"";
#else
    const char* architecture = "processorArchitecture=\"x86\"";
#endif
    for (const char* attribute :
         {"type=\"win32\"", "name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"", architecture,
          "publicKeyToken=\"6595b64144ccf1df\"", "language=\"*\""})
        EXPECT_NE(element.find(attribute), std::string::npos) << attribute;
    EXPECT_NE(manifest.find("<dependentAssembly>"), std::string::npos);
    // Nothing else is asked for: one identity, the dependency's.
    EXPECT_EQ(manifest.find("<assemblyIdentity", identity + 1), std::string::npos);
}

}  // namespace
