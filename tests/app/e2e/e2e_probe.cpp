// A look at the running program from another process, for the end-to-end
// tests and benchmarks that drive it with real input: where its controls are
// on the screen, what its message box says, which control has the focus and
// what the boxes hold. It never changes the program's state, except through
// `press-send`, which posts the button's own click message for benchmarks.
//
// Usage: e2e_probe COMMAND [ARGUMENT]; answers on standard output, one
// "name value..." line per item, texts in UTF-8. Exit status 0 on success,
// 1 when what was asked for is not there (in time), 2 on bad usage.
//
//   layout           the main window's outer and client rectangles and the
//                    centre of each control: port, invert, led1..led8, send;
//                    the point of the title bar's close button, if it has one
//   list             the open drop-down list: its rectangle, item height and
//                    item count
//   box [WAIT_MS]    the message box (waited for, 5000 ms by default): its
//                    caption, text and each visible button with its centre
//   nobox [WAIT_MS]  succeeds when no message box is up, after waiting up to
//                    WAIT_MS (default 0) for one to go
//   focus            the identifier and class of the control with the focus
//   state            the port's text and the boxes' check states
//   press-send [N]   posts N (1) clicks to the Send button at once
//   resources        the process's GDI and USER object counts
//                    (GetGuiResources; "unavailable" where the system does
//                    not tell), its handle count (GetProcessHandleCount),
//                    the handles it holds counted one by one, and its
//                    windows, top-level and child
//
// Every command first waits up to 20 s for the program's window, the one
// top-level window of class "WindowClass_0" titled "Shiftlamp", and for its
// process to wait for input.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kPort = 1, kInvert = 2, kPanel = 3, kFirstLed = 4, kSend = 12;

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// A window's text asked of the window itself: across processes
// GetWindowTextW returns only the stored caption, which a control such as a
// drop-down list does not keep.
std::wstring AskText(HWND window) {
    wchar_t text[512] = L"";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                             &copied))
        return L"";
    text[511] = 0;
    return text;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return "";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

// Texts go out whole after the name: a line's end is the text's end.
void PrintText(const char* name, const std::wstring& text) {
    std::printf("%s %s\n", name, Utf8(text).c_str());
}

void PrintCentre(const char* name, HWND window) {
    RECT rectangle{};
    GetWindowRect(window, &rectangle);
    std::printf("%s %ld %ld\n", name, (rectangle.left + rectangle.right) / 2, (rectangle.top + rectangle.bottom) / 2);
}

struct ProcessSearch {
    DWORD processId;          // 0: any
    const wchar_t* className;
    const wchar_t* title;     // null: any
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ProcessSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (search->processId && processId != search->processId) return TRUE;
    if (!IsWindowVisible(window) || ClassOf(window) != search->className) return TRUE;
    if (search->title) {
        wchar_t title[64] = L"";
        GetWindowTextW(window, title, 64);
        if (std::wstring(title) != search->title) return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindTopLevel(DWORD processId, const wchar_t* className, const wchar_t* title) {
    ProcessSearch search{processId, className, title, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Polls for a top-level window for up to `waitMs`.
HWND WaitForTopLevel(DWORD processId, const wchar_t* className, const wchar_t* title, DWORD waitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND found = FindTopLevel(processId, className, title)) return found;
        if (GetTickCount() - start >= waitMs) return nullptr;
        Sleep(20);
    }
}

struct Program {
    HWND window = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;
};

bool FindProgram(Program* program) {
    program->window = WaitForTopLevel(0, L"WindowClass_0", L"Shiftlamp", 20000);
    if (!program->window) {
        std::fprintf(stderr, "e2e_probe: no window \"Shiftlamp\"\n");
        return false;
    }
    program->threadId = GetWindowThreadProcessId(program->window, &program->processId);
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, program->processId)) {
        WaitForInputIdle(process, 10000);
        CloseHandle(process);
    }
    return true;
}

HWND Control(const Program& program, int gadget) {
    if (gadget < kFirstLed) return GetDlgItem(program.window, gadget);
    return GetDlgItem(GetDlgItem(program.window, kPanel), gadget);
}

// The screen point of the title bar's close button, found by asking the
// window what lies where.
bool CloseButtonPoint(HWND window, POINT* point) {
    RECT outer{};
    GetWindowRect(window, &outer);
    for (int y = outer.top; y < outer.top + 40; y += 2) {
        for (int x = outer.right - 1; x > outer.right - 60; x -= 2) {
            if (SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) != HTCLOSE) continue;
            // The middle of the run of close-button points on this row.
            int left = x;
            while (left > outer.right - 60 && SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(left - 1, y)) == HTCLOSE)
                --left;
            *point = POINT{(left + x) / 2, y + 3};
            return true;
        }
    }
    return false;
}

int Layout(const Program& program) {
    RECT outer{};
    GetWindowRect(program.window, &outer);
    RECT client{};
    GetClientRect(program.window, &client);
    MapWindowPoints(program.window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    std::printf("window %ld %ld %ld %ld\n", outer.left, outer.top, outer.right, outer.bottom);
    std::printf("client %ld %ld %ld %ld\n", client.left, client.top, client.right, client.bottom);
    PrintCentre("port", Control(program, kPort));
    PrintCentre("invert", Control(program, kInvert));
    for (int k = 1; k <= 8; ++k) {
        char name[8];
        std::snprintf(name, sizeof name, "led%d", k);
        PrintCentre(name, Control(program, kFirstLed + k - 1));
    }
    PrintCentre("send", Control(program, kSend));
    POINT close{};
    if (CloseButtonPoint(program.window, &close)) std::printf("close %ld %ld\n", close.x, close.y);
    return 0;
}

int List(const Program& program) {
    HWND list = WaitForTopLevel(program.processId, L"ComboLBox", nullptr, 5000);
    if (!list) {
        std::fprintf(stderr, "e2e_probe: no open drop-down list\n");
        return 1;
    }
    RECT rectangle{};
    GetWindowRect(list, &rectangle);
    std::printf("list %ld %ld %ld %ld\n", rectangle.left, rectangle.top, rectangle.right, rectangle.bottom);
    std::printf("item_height %ld\n", static_cast<long>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0)));
    std::printf("items %ld\n", static_cast<long>(SendMessageW(list, LB_GETCOUNT, 0, 0)));
    std::printf("top_index %ld\n", static_cast<long>(SendMessageW(list, LB_GETTOPINDEX, 0, 0)));
    return 0;
}

struct BoxChildren {
    std::vector<HWND> statics, buttons;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    auto* children = reinterpret_cast<BoxChildren*>(parameter);
    if (!IsWindowVisible(child)) return TRUE;
    const std::wstring className = ClassOf(child);
    if (className == L"Static") children->statics.push_back(child);
    if (className == L"Button") children->buttons.push_back(child);
    return TRUE;
}

int Box(const Program& program, DWORD waitMs) {
    HWND box = WaitForTopLevel(program.processId, L"#32770", nullptr, waitMs);
    if (!box) {
        std::fprintf(stderr, "e2e_probe: no message box\n");
        return 1;
    }
    PrintText("caption", AskText(box));
    BoxChildren children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    // The icon is a static without text; the message is the one with text.
    for (HWND text : children.statics) {
        const std::wstring value = AskText(text);
        if (!value.empty()) PrintText("text", value);
    }
    for (HWND button : children.buttons) {
        RECT rectangle{};
        GetWindowRect(button, &rectangle);
        std::printf("button %d %ld %ld %s\n", GetDlgCtrlID(button), (rectangle.left + rectangle.right) / 2,
                    (rectangle.top + rectangle.bottom) / 2, Utf8(AskText(button)).c_str());
    }
    std::printf("owner %s\n", GetWindow(box, GW_OWNER) == program.window ? "main" : "other");
    std::printf("main_enabled %d\n", IsWindowEnabled(program.window) ? 1 : 0);
    return 0;
}

int NoBox(const Program& program, DWORD waitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (!FindTopLevel(program.processId, L"#32770", nullptr)) return 0;
        if (GetTickCount() - start >= waitMs) break;
        Sleep(20);
    }
    std::fprintf(stderr, "e2e_probe: a message box is still up\n");
    return 1;
}

int Focus(const Program& program) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(program.threadId, &info) || !info.hwndFocus) {
        std::printf("focus none\n");
        return 0;
    }
    std::printf("focus %d %s\n", GetDlgCtrlID(info.hwndFocus), Utf8(ClassOf(info.hwndFocus)).c_str());
    return 0;
}

int State(const Program& program) {
    PrintText("port", AskText(Control(program, kPort)));
    std::printf("invert %ld\n", static_cast<long>(SendMessageW(Control(program, kInvert), BM_GETCHECK, 0, 0)));
    unsigned leds = 0;
    for (int k = 0; k < 8; ++k)
        if (SendMessageW(Control(program, kFirstLed + k), BM_GETCHECK, 0, 0) == BST_CHECKED) leds |= 1u << k;
    std::printf("leds %02x\n", leds);
    std::printf("enabled %d\n", IsWindowEnabled(program.window) ? 1 : 0);
    return 0;
}

int PressSend(const Program& program, int count) {
    HWND send = Control(program, kSend);
    for (int i = 0; i < count; ++i)
        if (!PostMessageW(send, BM_CLICK, 0, 0)) return 1;
    return 0;
}

BOOL CALLBACK CountChild(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

struct WindowCount {
    DWORD processId;
    int count;
};

BOOL CALLBACK CountTopLevel(HWND window, LPARAM parameter) {
    auto* windows = reinterpret_cast<WindowCount*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == windows->processId) {
        ++windows->count;
        EnumChildWindows(window, CountChild, reinterpret_cast<LPARAM>(&windows->count));
    }
    return TRUE;
}

int Resources(const Program& program) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE, FALSE, program.processId);
    if (!process) {
        std::fprintf(stderr, "e2e_probe: cannot open the program's process (%lu)\n", GetLastError());
        return 1;
    }
    const struct {
        const char* name;
        DWORD flags;
    } kinds[] = {{"gdi", GR_GDIOBJECTS}, {"user", GR_USEROBJECTS}};
    for (const auto& kind : kinds) {
        SetLastError(0);
        const DWORD count = GetGuiResources(process, kind.flags);
        if (count == 0 && GetLastError() != 0)
            std::printf("%s unavailable\n", kind.name);
        else
            std::printf("%s %lu\n", kind.name, count);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles))
        std::printf("handles %lu\n", handles);
    else
        std::printf("handles unavailable\n");
    // Where the count above is not kept (Wine answers 0), every value a
    // handle can take is tried: those that can be duplicated are held.
    int held = 0;
    for (uintptr_t value = 4; value < 16384; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            ++held;
            CloseHandle(copy);
        }
    }
    std::printf("handles_held %d\n", held);
    WindowCount windows{program.processId, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
    std::printf("windows %d\n", windows.count);
    CloseHandle(process);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: e2e_probe layout|list|box [MS]|nobox [MS]|focus|state|press-send [N]|resources\n");
        return 2;
    }
    // Lines end in "\n" alone: the shell reads them.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string command = argv[1];
    const long argument = argc > 2 ? std::strtol(argv[2], nullptr, 10) : -1;
    Program program;
    if (!FindProgram(&program)) return 1;
    int status = 2;
    if (command == "layout") status = Layout(program);
    else if (command == "list") status = List(program);
    else if (command == "box") status = Box(program, argument >= 0 ? static_cast<DWORD>(argument) : 5000);
    else if (command == "nobox") status = NoBox(program, argument >= 0 ? static_cast<DWORD>(argument) : 0);
    else if (command == "focus") status = Focus(program);
    else if (command == "state") status = State(program);
    else if (command == "press-send") status = PressSend(program, argument > 0 ? static_cast<int>(argument) : 1);
    else if (command == "resources") status = Resources(program);
    else std::fprintf(stderr, "e2e_probe: unknown command %s\n", command.c_str());
    std::fflush(stdout);
    return status;
}
