// Opening, placing and closing windows, under Wine in Xvfb (no window
// manager: windows sit where they are put).
#include <random>
#include <string>

#include "support/creation_recorder.h"
#include "support/ui_layers.h"
#include "ui/window/window_property.h"

namespace {

using WindowTest = UiLayersTest;

bool ClassExists(const wchar_t* name) {
    WNDCLASSW windowClass{};
    return GetClassInfoW(WindowModule(), name, &windowClass) != 0;
}

BOOL CALLBACK CountWindow(HWND, LPARAM counter) {
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

int ThreadWindowCount() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

RECT RectOf(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

TEST_F(WindowTest, TheApplicationsWindowHasItsInnerSizeAndIsCentredOnTheScreen) {
    CreationRecorder recorder;
    auto window = reinterpret_cast<HWND>(WindowOpen(0, 0, 0, 216, 228, u"Shiftlamp", 0xCA0001));
    ASSERT_NE(window, nullptr);
    const Creation creation = recorder.Of(window);
    EXPECT_EQ(creation.className, L"WindowClass_0");
    EXPECT_EQ(creation.style, 0xCA0000u);
    EXPECT_EQ(creation.exStyle & ~WS_EX_WINDOWEDGE, 0u);

    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 216);
    EXPECT_EQ(client.bottom, 228);
    const RECT outer = RectOf(window);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2);
    EXPECT_EQ(GetPropW(window, L"ZK_WindowID"), reinterpret_cast<HANDLE>(1));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetActiveWindow(), window);
    wchar_t title[32] = L"";
    GetWindowTextW(window, title, 32);
    EXPECT_STREQ(title, L"Shiftlamp");
}

TEST_F(WindowTest, FlagsBecomeStylesAndAShowCommand) {
    struct Case {
        uint32_t flags;
        DWORD style;  // as given to CreateWindowExW
        DWORD exStyle;
        bool visible, active, zoomed, iconic;
    };
    const Case cases[] = {
        {0, WS_CAPTION, 0, true, true, false, false},
        {WINDOW_INVISIBLE, WS_CAPTION, 0, false, false, false, false},
        {WINDOW_TOOL | WS_MAXIMIZE | WS_MINIMIZEBOX | WS_SYSMENU, WS_CAPTION | WS_SYSMENU, WS_EX_TOOLWINDOW, true, true,
         false, false},
        {WS_CAPTION | WS_MAXIMIZE | WINDOW_NO_ACTIVATE, WS_CAPTION | WS_MAXIMIZE, 0, true, false, true, false},
        {WS_CAPTION | WS_MINIMIZE, WS_CAPTION | WS_MINIMIZE, 0, true, true, false, true},
        {WS_CAPTION | WINDOW_NO_GADGET_LIST, WS_CAPTION, 0, true, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        Open(9);  // active before, so that "not activated" shows
        CreationRecorder recorder;
        auto window = reinterpret_cast<HWND>(WindowOpen(1, 30, 50, 200, 100, nullptr, c.flags));
        ASSERT_NE(window, nullptr);
        const Creation creation = recorder.Of(window);
        EXPECT_EQ(creation.style, c.style);
        EXPECT_EQ(creation.exStyle & ~WS_EX_WINDOWEDGE, c.exStyle);
        EXPECT_EQ(IsWindowVisible(window) != 0, c.visible);
        EXPECT_EQ(GetActiveWindow() == window, c.active);
        EXPECT_EQ(IsZoomed(window) != 0, c.zoomed);
        EXPECT_EQ(IsIconic(window) != 0, c.iconic);
        EXPECT_EQ(WindowLookup(1)->minOrMax, c.zoomed || c.iconic ? 1 : 0);
        if (!c.zoomed && !c.iconic) {
            EXPECT_EQ(RectOf(window).left, 30);
            EXPECT_EQ(RectOf(window).top, 50);
        }
        const bool listed = reinterpret_cast<HWND>(GadgetListUse(0)) == window;
        EXPECT_EQ(listed, !(c.flags & WINDOW_NO_GADGET_LIST));
        WindowClose(1);
        WindowClose(9);
    }
}

TEST_F(WindowTest, AToolWindowCanBeMadeOnePixelNarrow) {
    HWND tool = reinterpret_cast<HWND>(WindowOpen(1, 10, 10, 100, 100, nullptr, WINDOW_TOOL));
    HWND plain = Open(2);
    MINMAXINFO info{};
    info.ptMinTrackSize.x = 50;
    SendMessageW(tool, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 1);
    info.ptMinTrackSize.x = 50;
    SendMessageW(plain, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 50);
}

TEST_F(WindowTest, AnIgnoredXLetsTheSystemPlaceTheWindowWhateverY) {
    CreationRecorder recorder;
    auto ignoredX = reinterpret_cast<HWND>(WindowOpen(1, IgnoreValue, 333, 100, 100, nullptr, 0));
    auto ignoredY = reinterpret_cast<HWND>(WindowOpen(2, 333, IgnoreValue, 100, 100, nullptr, 0));
    auto centred = reinterpret_cast<HWND>(WindowOpen(3, 333, IgnoreValue, 100, 100, nullptr, WINDOW_CENTER_SCREEN));
    // Wine resolves CW_USEDEFAULT before the hook sees it, so what shows is
    // that neither the given x nor the given y was used.
    EXPECT_NE(recorder.Of(ignoredX).y, 333);
    EXPECT_NE(recorder.Of(ignoredY).x, 333);
    EXPECT_NE(RectOf(ignoredX).top, 333);
    EXPECT_NE(RectOf(ignoredY).left, 333);
    // Centring places it anyway, so the position is passed on as it is.
    EXPECT_EQ(recorder.Of(centred).x, 333);
    EXPECT_EQ(recorder.Of(centred).y, IgnoreValue);
}

TEST_F(WindowTest, CentringNeverPutsTheWindowOffTheTopLeft) {
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    auto wide = reinterpret_cast<HWND>(WindowOpen(1, 300, 300, screenWidth + 100, 100, nullptr, WINDOW_CENTER_SCREEN));
    ASSERT_GT(RectOf(wide).right - RectOf(wide).left, screenWidth);
    EXPECT_EQ(RectOf(wide).left, 0);

    auto small = reinterpret_cast<HWND>(WindowOpen(2, 0, 0, 60, 40, nullptr, 0));
    auto onSmall = reinterpret_cast<HWND>(WindowOpen(3, 300, 300, 300, 200, nullptr, WINDOW_CENTER_PARENT, small));
    EXPECT_EQ(RectOf(onSmall).left, 0);
    EXPECT_EQ(RectOf(onSmall).top, 0);

    // Without a parent the active window is the reference.
    HWND big = reinterpret_cast<HWND>(WindowOpen(4, 101, 51, 500, 400, nullptr, 0));
    ASSERT_EQ(GetActiveWindow(), big);
    auto onActive = reinterpret_cast<HWND>(WindowOpen(5, 0, 0, 100, 80, nullptr, WINDOW_CENTER_PARENT));
    const RECT around = RectOf(big), inner = RectOf(onActive);
    EXPECT_EQ(inner.left, around.left + ((around.right - around.left) - (inner.right - inner.left)) / 2);
    EXPECT_EQ(inner.top, around.top + ((around.bottom - around.top) - (inner.bottom - inner.top)) / 2);
}

TEST_F(WindowTest, OpeningANumberAgainReplacesTheWindowAndItsClass) {
    HWND first = Open(0);
    HWND second = Open(0);
    EXPECT_FALSE(IsWindow(first));
    ASSERT_TRUE(IsWindow(second));
    EXPECT_EQ(WindowLookup(0)->handle, second);
    EXPECT_EQ(FindWindowW(L"WindowClass_0", nullptr), second);
    EXPECT_EQ(reinterpret_cast<HWND>(GadgetListUse(0)), second);
}

TEST_F(WindowTest, ClosingRemovesTheWindowItsClassAndItsQueuedEvents) {
    HWND window = Open(7);
    Open(8);
    Queued();
    EventPost(EVENT_TIMER, 1, 7, 0);
    EventPost(EVENT_TIMER, 2, 8, 0);
    EXPECT_EQ(WindowClose(7), 1);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(ClassExists(L"WindowClass_7"));
    EXPECT_EQ(WindowLookup(7), nullptr);
    EXPECT_EQ(Only(Queued(), {EVENT_TIMER}), (std::vector<SeenEvent>{{EVENT_TIMER, 2, 8, 0}}));
    EXPECT_EQ(WindowClose(7), 0);

    EXPECT_EQ(WindowClose(AnyNumber), 1);
    EXPECT_EQ(WindowLookup(8), nullptr);
}

TEST_F(WindowTest, ClosingAnOwnedWindowActivatesItsOwner) {
    HWND owner = Open(1, 10, 10);
    auto owned = reinterpret_cast<HWND>(WindowOpen(2, 60, 60, 100, 100, nullptr, 0, owner));
    ASSERT_EQ(GetWindow(owned, GW_OWNER), owner);
    HWND other = Open(3, 400, 10);
    ASSERT_EQ(GetActiveWindow(), other);
    WindowClose(2);
    EXPECT_EQ(GetActiveWindow(), owner);
}

TEST_F(WindowTest, AWindowThatWentWithItsOwnerIsForgottenWithoutTouchingAnother) {
    HWND owner = Open(1, 10, 10);
    ASSERT_NE(WindowOpen(2, 60, 60, 100, 100, nullptr, 0, owner), 0);
    WindowClose(1);  // the system destroys window 2 along with its owner
    Window* stale = WindowLookup(2);
    ASSERT_NE(stale, nullptr);
    // Its handle may since name another window; that one must survive.
    HWND stranger = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(stranger, nullptr);
    stale->handle = stranger;
    EXPECT_EQ(WindowClose(2), 1);
    EXPECT_TRUE(IsWindow(stranger));
    EXPECT_EQ(WindowLookup(2), nullptr);
    EXPECT_FALSE(ClassExists(L"WindowClass_2"));
    DestroyWindow(stranger);
}

TEST_F(WindowTest, AnUnnumberedWindowIsKnownByItsHandle) {
    const intptr_t handle = WindowOpen(AnyNumber, 10, 10, 100, 100, nullptr, 0);
    Window* window = WindowLookup(handle);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetPropW(window->handle, L"ZK_WindowID"), reinterpret_cast<HANDLE>(handle + 1));
    const std::wstring className = L"WindowClass_" + std::to_wstring(handle);
    EXPECT_EQ(FindWindowW(className.c_str(), nullptr), window->handle);
    HWND hwnd = window->handle;
    EXPECT_EQ(WindowClose(handle), 1);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(ClassExists(className.c_str()));
}

TEST_F(WindowTest, AFailedOpeningLeavesNothingBehind) {
    // A parent that is no window makes the creation fail.
    EXPECT_EQ(WindowOpen(4, 10, 10, 100, 100, nullptr, 0, reinterpret_cast<HWND>(0x7777)), 0);
    EXPECT_EQ(WindowLookup(4), nullptr);
    EXPECT_FALSE(ClassExists(L"WindowClass_4"));

    // No memory for the record, then none for the accelerator entries.
    const int windows = ThreadWindowCount();
    for (long failing : {1L, 2L}) {
        SCOPED_TRACE(failing);
        OsAllocFailAt(failing);
        EXPECT_EQ(WindowOpen(AnyNumber, 10, 10, 100, 100, nullptr, 0), 0);
        OsAllocFailAt(0);
        EXPECT_EQ(ThreadWindowCount(), windows);
    }
}

// Built out of sight: shown only at the end, then as WindowOpen would have
// shown it at once (active, its number set, the same events from its first
// showing); a window closed meanwhile stays closed.
TEST_F(WindowTest, AWindowBuiltOutOfSightShowsAtTheEndAsAtOnce) {
    Queued();
    Open(1);
    const std::vector<SeenEvent> atOnce = Queued();
    WindowClose(1);
    Queued();

    WindowBuildBegin();
    HWND window = Open(1);
    HWND gone = Open(2);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(WindowClose(2), 1);
    Queued();
    WindowBuildEnd();
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_FALSE(IsWindow(gone));
    EXPECT_EQ(GetActiveWindow(), window);
    EXPECT_EQ(GetPropW(window, L"ZK_WindowID"), reinterpret_cast<HANDLE>(2));
    EXPECT_EQ(Queued(), atOnce);
    // Afterwards windows show at once again.
    EXPECT_TRUE(IsWindowVisible(Open(3)));
}

// The layers read these properties from their own table: it must answer as
// the window system does through any order of settings and removals, below
// its size (where removals move entries) and past it (where reads of
// windows it does not hold fall back to the system).
TEST_F(WindowTest, NotedPropertiesReadAsTheWindowSystemHasThem) {
    wchar_t names[PROPERTY_KEY_COUNT][40];
    for (int key = 0; key < PROPERTY_KEY_COUNT; ++key) WindowPropertyName(static_cast<WindowPropertyKey>(key), names[key]);
    std::vector<HWND> windows;
    std::mt19937 random(13);
    for (int phase : {200, 300}) {
        while (static_cast<int>(windows.size()) < phase)
            windows.push_back(CreateWindowExW(0, L"Static", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr));
        for (int step = 1; step <= 4000; ++step) {
            HWND window = windows[random() % windows.size()];
            const auto key = static_cast<WindowPropertyKey>(random() % PROPERTY_KEY_COUNT);
            if (random() % 3)
                ASSERT_TRUE(WindowPropertySet(window, key, reinterpret_cast<HANDLE>(intptr_t{step})));
            else
                WindowPropertyRemove(window, key);
        }
        for (HWND window : windows)
            for (int key = 0; key < PROPERTY_KEY_COUNT; ++key)
                ASSERT_EQ(WindowPropertyGet(window, static_cast<WindowPropertyKey>(key)),
                          GetPropW(window, names[key]));
    }
    for (HWND window : windows) {
        WindowPropertiesForget(window);
        DestroyWindow(window);
    }
}

}  // namespace

TEST(WindowNumberedNameTest, WritesTheWholeNumberAsASignedDecimal) {
    wchar_t text[40];
    const std::pair<intptr_t, const wchar_t*> cases[] = {
        {0, L"N_0"}, {-1, L"N_-1"}, {INT32_MAX, L"N_2147483647"}, {INT32_MIN, L"N_-2147483648"},
#ifdef _WIN64
        {INTPTR_MAX, L"N_9223372036854775807"}, {INTPTR_MIN, L"N_-9223372036854775808"},
        {intptr_t{1} << 32, L"N_4294967296"},
#endif
    };
    for (const auto& [number, expected] : cases) {
        WindowNumberedName(text, L"N_", number);
        EXPECT_STREQ(text, expected);
    }
}
