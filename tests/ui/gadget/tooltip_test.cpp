// Tooltips under Wine: one shared tooltip control, one tool per control,
// read back from the control itself.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "gadget_test_support.h"

using namespace gadget_test;

namespace {

BOOL CALLBACK CountToolTips(HWND window, LPARAM count) {
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    if (lstrcmpiW(className, TOOLTIPS_CLASSW) == 0) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Tooltip controls of this thread, wherever they come from.
int ToolTipWindows() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountToolTips, reinterpret_cast<LPARAM>(&count));
    return count;
}

HWND SharedToolTip() { return GadgetListStateGet()->toolTip; }

int ToolCount() { return static_cast<int>(SendMessageW(SharedToolTip(), TTM_GETTOOLCOUNT, 0, 0)); }

// The tool of a control as the tooltip control holds it: its text, and the
// window it was registered under. False when there is no such tool. (A tool
// identified by its window handle is found by the handle alone.)
bool FindTool(HWND control, std::u16string* text, HWND* parent = nullptr, UINT* flags = nullptr) {
    wchar_t buffer[256] = L"";
    TOOLINFOW info{};
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    info.hwnd = GetParent(control);
    info.uId = reinterpret_cast<UINT_PTR>(control);
    info.lpszText = buffer;
    if (!SendMessageW(SharedToolTip(), TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&info))) return false;
    if (parent) *parent = info.hwnd;
    if (flags) *flags = info.uFlags;
    *text = reinterpret_cast<const char16_t*>(buffer);
    return true;
}

class ToolTipTest : public GadgetWindowTest {
protected:
    void SetUp() override {
        GadgetToolTipEnd();
        GadgetWindowTest::SetUp();
    }
    void TearDown() override {
        GadgetWindowTest::TearDown();
        GadgetToolTipEnd();
    }
};

TEST_F(ToolTipTest, ANumberNeverCreatedMakesNoControl) {
    ASSERT_EQ(SharedToolTip(), nullptr);
    GadgetSetToolTip(999, u"nobody");
    GadgetSetToolTip(AnyNumber, u"nobody");
    EXPECT_EQ(SharedToolTip(), nullptr);
    EXPECT_EQ(ToolTipWindows(), 0);
}

TEST_F(ToolTipTest, OneControlServesEveryGadgetOfEveryWindow) {
    HWND text = reinterpret_cast<HWND>(GadgetCreateText(1, 10, 10, 100, 20, u"port"));
    HWND box = reinterpret_cast<HWND>(GadgetCreateCheckBox(2, 10, 40, 100, 20, u"Led 1"));
    GadgetSetToolTip(1, u"the port");
    HWND toolTip = SharedToolTip();
    ASSERT_NE(toolTip, nullptr);
    EXPECT_EQ(ToolTipWindows(), 1);
    EXPECT_TRUE(GetWindowLongW(toolTip, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindowLongW(toolTip, GWL_STYLE) & (TTS_NOPREFIX | TTS_ALWAYSTIP), TTS_NOPREFIX | TTS_ALWAYSTIP);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(toolTip, GWLP_WNDPROC)), ToolTipWindowProc);
    EXPECT_NE(GetWindowLongPtrW(toolTip, GWLP_USERDATA), 0);
    GadgetSetToolTip(2, u"first LED");

    ASSERT_NE(WindowOpen(1, 300, 300, 200, 100, u"second", 0), 0);
    HWND other = reinterpret_cast<HWND>(GadgetCreateButton(3, 10, 10, 80, 24, u"other"));
    GadgetSetToolTip(3, u"in another window");
    EXPECT_EQ(SharedToolTip(), toolTip);
    EXPECT_EQ(ToolTipWindows(), 1);
    EXPECT_EQ(ToolCount(), 3);

    std::u16string tip;
    HWND parent = nullptr;
    UINT flags = 0;
    ASSERT_TRUE(FindTool(text, &tip, &parent, &flags));
    EXPECT_EQ(tip, u"the port");
    EXPECT_EQ(parent, window_);
    EXPECT_EQ(flags & (TTF_IDISHWND | TTF_SUBCLASS), static_cast<UINT>(TTF_IDISHWND | TTF_SUBCLASS));
    ASSERT_TRUE(FindTool(box, &tip));
    EXPECT_EQ(tip, u"first LED");
    ASSERT_TRUE(FindTool(other, &tip, &parent));
    EXPECT_EQ(tip, u"in another window");
    EXPECT_EQ(parent, reinterpret_cast<HWND>(WindowLookup(1)->handle));
    WindowClose(1);
}

TEST_F(ToolTipTest, SettingATipTwiceLeavesOneToolWithTheSecondText) {
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(1, 10, 10, 80, 24, u"Отправить"));
    GadgetSetToolTip(1, u"first");
    GadgetSetToolTip(1, u"Отправить на порт");
    EXPECT_EQ(ToolCount(), 1);
    std::u16string tip;
    ASSERT_TRUE(FindTool(button, &tip));
    EXPECT_EQ(tip, u"Отправить на порт");
}

TEST_F(ToolTipTest, NullTextRegistersTheEmptyText) {
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(1, 10, 10, 80, 24, u"go"));
    GadgetSetToolTip(1, nullptr);
    EXPECT_EQ(ToolCount(), 1);
    std::u16string tip = u"not read";
    ASSERT_TRUE(FindTool(button, &tip));
    EXPECT_EQ(tip, u"");
}

TEST_F(ToolTipTest, ATipInsideAContainerNamesTheContainerAsTheToolsWindow) {
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(1, 10, 10, 200, 100));
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(2, 10, 10, 80, 24, u"Отправить"));
    GadgetListClose();
    GadgetSetToolTip(2, u"send");
    std::u16string tip;
    HWND parent = nullptr;
    ASSERT_TRUE(FindTool(button, &tip, &parent));
    EXPECT_EQ(tip, u"send");
    EXPECT_EQ(parent, container);
}

TEST_F(ToolTipTest, AnEditableComboBoxRegistersItsEditFieldToo) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(1, 10, 10, 150, 20, COMBOBOX_EDITABLE));
    HWND edit = GetWindow(combo, GW_CHILD);
    ASSERT_NE(edit, nullptr);
    GadgetSetToolTip(1, u"port");
    EXPECT_EQ(ToolCount(), 2);
    std::u16string tip;
    HWND parent = nullptr;
    ASSERT_TRUE(FindTool(combo, &tip, &parent));
    EXPECT_EQ(tip, u"port");
    EXPECT_EQ(parent, window_);
    ASSERT_TRUE(FindTool(edit, &tip, &parent));
    EXPECT_EQ(tip, u"port");
    EXPECT_EQ(parent, combo);
    GadgetSetToolTip(1, u"COM port");
    EXPECT_EQ(ToolCount(), 2);
    ASSERT_TRUE(FindTool(edit, &tip));
    EXPECT_EQ(tip, u"COM port");
}

TEST_F(ToolTipTest, TheTipShowsWhileTheMouseRestsOnTheControl) {
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(1, 10, 10, 120, 30, u"Отправить"));
    GadgetSetToolTip(1, u"send the LEDs");
    HWND toolTip = SharedToolTip();
    Pump(50);
    RECT rectangle{};
    GetWindowRect(button, &rectangle);
    MoveMouseTo(rectangle.left + 5, rectangle.top + 5);
    Pump(20);
    MoveMouseTo(rectangle.left + 10, rectangle.top + 10);
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(toolTip) != FALSE; }, 5000));
    wchar_t shown[64] = L"";
    GetWindowTextW(toolTip, shown, 64);
    EXPECT_STREQ(shown, L"send the LEDs");
}

// A tool in a window not yet on the screen is registered at once and
// watched from the first idle moment on: then the tip shows on hover as any.
TEST_F(ToolTipTest, ATipSetBeforeItsWindowShowsIsWatchedOnceIdle) {
    WindowBuildBegin();
    auto window = reinterpret_cast<HWND>(WindowOpen(1, 40, 40, 300, 200, u"later", 0));
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(5, 10, 10, 120, 30, u"go"));
    GadgetSetToolTip(5, u"watched later");
    std::u16string tip;
    UINT flags = 0;
    ASSERT_TRUE(FindTool(button, &tip, nullptr, &flags));
    EXPECT_EQ(tip, u"watched later");
    EXPECT_EQ(flags & TTF_SUBCLASS, 0u);
    WindowBuildEnd();
    ASSERT_TRUE(IsWindowVisible(window));
    Pump(100);
    ASSERT_TRUE(FindTool(button, &tip, nullptr, &flags));
    EXPECT_EQ(tip, u"watched later");
    EXPECT_EQ(flags & TTF_SUBCLASS, static_cast<UINT>(TTF_SUBCLASS));
    EXPECT_EQ(ToolCount(), 1);

    RECT rectangle{};
    GetWindowRect(button, &rectangle);
    MoveMouseTo(rectangle.left + 5, rectangle.top + 5);
    Pump(20);
    MoveMouseTo(rectangle.left + 10, rectangle.top + 10);
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(SharedToolTip()) != FALSE; }, 5000));
    wchar_t shown[64] = L"";
    GetWindowTextW(SharedToolTip(), shown, 64);
    EXPECT_STREQ(shown, L"watched later");
    WindowClose(1);
}

TEST_F(ToolTipTest, EndDestroysTheControlAndALaterTipMakesANewOne) {
    ASSERT_NE(GadgetCreateButton(1, 10, 10, 80, 24, u"go"), 0);
    GadgetSetToolTip(1, u"go");
    HWND first = SharedToolTip();
    ASSERT_NE(first, nullptr);
    GadgetToolTipEnd();
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(SharedToolTip(), nullptr);
    GadgetToolTipEnd();
    GadgetSetToolTip(1, u"again");
    EXPECT_NE(SharedToolTip(), nullptr);
    EXPECT_EQ(ToolTipWindows(), 1);
    EXPECT_EQ(ToolCount(), 1);
}

}  // namespace
