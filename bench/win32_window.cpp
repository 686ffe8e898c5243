// The product's window written directly in Win32, the yardstick for the
// product's start-up: the same manifest, common-controls and COM
// initialisation, platform probes, window (216 x 228 inside, centred, title
// bar with close and minimise), 13 controls with the same classes, styles,
// font, places and texts, and one tooltip control watching the same three
// tools; no runtime layers, no tables, no events. The controls are made
// before the window is shown, as a Win32 program is usually written.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlwapi.h>

namespace {

HINSTANCE Instance;
HFONT Font;
HWND ToolTip;

// The probes the product runs at start-up: each library loaded, its entry
// point resolved and called, the library released.
void Probes() {
    if (HMODULE msimg32 = LoadLibraryW(L"msimg32.dll")) GetProcAddress(msimg32, "AlphaBlend");
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    for (int round = 0; round < 2; ++round) {
        if (HMODULE comctl32 = LoadLibraryW(L"COMCTL32.DLL")) {
            auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(
                reinterpret_cast<void*>(GetProcAddress(comctl32, "DllGetVersion")));
            DLLVERSIONINFO info{};
            info.cbSize = sizeof(info);
            if (getVersion) getVersion(&info);
            FreeLibrary(comctl32);
        }
        if (HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll")) {
            using IsAppThemedFn = BOOL(WINAPI*)();
            auto isAppThemed =
                reinterpret_cast<IsAppThemedFn>(reinterpret_cast<void*>(GetProcAddress(uxtheme, "IsAppThemed")));
            if (isAppThemed) isAppThemed();
            if (round == 0) FreeLibrary(uxtheme);
        }
    }
}

HWND Control(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height,
             HWND parent, int id) {
    HWND control = CreateWindowExW(0, className, text, style | WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(Font), TRUE);
    return control;
}

void Tip(HWND control, const wchar_t* text) {
    TOOLINFOW info{};
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = GetParent(control);
    info.uId = reinterpret_cast<UINT_PTR>(control);
    info.lpszText = const_cast<wchar_t*>(text);
    SendMessageW(ToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

LRESULT CALLBACK MainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The panel that holds the LED boxes and the button.
LRESULT CALLBACK PanelProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

ATOM Register(const wchar_t* name, WNDPROC procedure, UINT style) {
    WNDCLASSW windowClass{};
    windowClass.style = style;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = Instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    return RegisterClassW(&windowClass);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Instance = instance;
    Probes();
    if (!Register(L"Win32Window", MainProcedure, CS_DBLCLKS) || !Register(L"Win32Panel", PanelProcedure, 0))
        return 1;
    INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES |
                                                      ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&classes);
    CoInitialize(nullptr);
    Font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT outer{0, 0, 216, 228};
    AdjustWindowRectEx(&outer, style, FALSE, 0);
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    HWND window = CreateWindowExW(0, L"Win32Window", L"Shiftlamp", style, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return 1;
    ACCEL tab[2] = {{FVIRTKEY | FNOINVERT, VK_TAB, 64001}, {FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, 64002}};
    HACCEL accelerators = CreateAcceleratorTableW(tab, 2);

    ToolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                              nullptr);
    Control(L"Static", L"Порт", 0, 8, 12, 36, 16, window, 0);
    HWND ports = Control(L"ComboBox", nullptr, CBS_DROPDOWNLIST | WS_BORDER | WS_VSCROLL | WS_GROUP | WS_TABSTOP, 44,
                         8, 92, 350, window, 1);
    Tip(ports, L"COM порт к которому подключено устройство");
    wchar_t name[8] = L"COM";
    for (int port = 1; port <= 10; ++port) {
        wsprintfW(name + 3, L"%d", port);
        SendMessageW(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendMessageW(ports, CB_SETCURSEL, 0, 0);
    SendMessageW(ports, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), 14);
    HWND invert = Control(L"Button", L"Инвертировать", BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP, 8, 32, 108, 16,
                          window, 2);
    Tip(invert, L"Инвертировать состояние выходов порта");
    HWND panel = Control(L"Win32Panel", nullptr, 0, 0, 52, 212, 176, window, 3);
    wchar_t led[8] = L"Led ";
    for (int k = 0; k < 8; ++k) {
        wsprintfW(led + 4, L"%d", k + 1);
        Control(L"Button", led, BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP, 8, 8 + 20 * k, 80, 16, panel, 4 + k);
    }
    HWND send = Control(L"Button", L"Отправить", BS_PUSHBUTTON | WS_GROUP | WS_TABSTOP, 124, 136, 84, 28, panel, 12);
    Tip(send, L"Отправить данные в COM порт");

    ShowWindow(window, SW_SHOWNORMAL);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (TranslateAcceleratorW(window, accelerators, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(ToolTip);
    CoUninitialize();
    return static_cast<int>(message.wParam);
}
