// The five gadget kinds under Wine: what each control is made as, what the
// program reads back, and the events real clicks raise.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "gadget_test_support.h"
#include "platform/startup_win32.h"

using namespace gadget_test;

namespace {

constexpr intptr_t kCombo = 1;
constexpr intptr_t kCheck = 2;
constexpr intptr_t kContainer = 3;
constexpr intptr_t kText = 4;
constexpr intptr_t kButton = 5;

std::u16string ItemText(intptr_t number, int32_t index) {
    return Text(G(number)->kind->GetItemText(G(number), index));
}

void FillPorts(intptr_t number) {
    for (int port = 1; port <= 10; ++port) {
        const std::u16string text = u"COM" + (port == 10 ? std::u16string(u"10") : std::u16string(1, u'0' + port));
        EXPECT_EQ(GadgetAddItem(number, -1, text.c_str()), 1);
    }
}

// ---------------------------------------------------------------- combo box

class ComboBoxTest : public GadgetWindowTest {};

TEST_F(ComboBoxTest, PlainBoxIsADropDownListExactlyAsTallAsAsked) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 20));
    ASSERT_NE(combo, nullptr);
    const LONG style = GetWindowLongW(combo, GWL_STYLE);
    EXPECT_EQ(style & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(style & WS_TABSTOP);
    EXPECT_EQ(WindowHeight(combo), 20);
    EXPECT_GT(ComboBoxFrameOverhead, 0);
    // Unthemed, the control is made 350 high, which leaves room for a list
    // of several items below the closed box (the exact list height is the
    // control's own arithmetic); made only 30 higher, as for themed controls
    // that size their list themselves, the list would have no room.
    EXPECT_NE(CommonControlsVersion, 0);
    if (!VisualStylesActive) {
        RECT dropped{};
        SendMessageW(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
        EXPECT_GT(dropped.bottom - dropped.top, 20 + 30 + 100);
    }

    HWND taller = reinterpret_cast<HWND>(GadgetCreateComboBox(6, 10, 40, 150, 31));
    EXPECT_EQ(WindowHeight(taller), 31);
    // A height below the frame still leaves a working box.
    HWND tiny = reinterpret_cast<HWND>(GadgetCreateComboBox(7, 10, 80, 150, 2));
    ASSERT_NE(tiny, nullptr);
    EXPECT_GT(WindowHeight(tiny), 0);
}

TEST_F(ComboBoxTest, ItemsKeepTheirOrderAndProgramChangesRaiseNoEvent) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    TakeEvents();
    FillPorts(kCombo);
    GadgetSetState(kCombo, 0);
    EXPECT_EQ(CountGadgetEvents(TakeEvents()), 0);

    ASSERT_EQ(G(kCombo)->kind->CountItems(G(kCombo)), 10);
    EXPECT_EQ(ItemText(kCombo, 0), u"COM1");
    EXPECT_EQ(ItemText(kCombo, 4), u"COM5");
    EXPECT_EQ(ItemText(kCombo, 9), u"COM10");
    EXPECT_EQ(ItemText(kCombo, 10), u"");
    EXPECT_EQ(ItemText(kCombo, -1), u"");
    EXPECT_EQ(GadgetGetState(kCombo), 0);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"COM1");

    // A text result stands at the caller's position and ends it on its
    // terminator.
    const int32_t mark = TextScratch().position;
    const char16_t* text = GadgetGetText(kCombo);
    EXPECT_EQ(text, TextScratchAt(mark));
    EXPECT_EQ(TextScratch().position, mark + 2 * 4);
    TextScratchSetPosition(mark);
}

TEST_F(ComboBoxTest, ChoosingAnItemWithTheMouseRaisesOneChangeEvent) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 20));
    ASSERT_NE(combo, nullptr);
    FillPorts(kCombo);
    GadgetSetState(kCombo, 0);
    Pump(50);
    TakeEvents();

    ClickCentre(combo);
    ASSERT_TRUE(PumpUntil([&] { return SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0; }));
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetComboBoxInfo(combo, &info));
    RECT item{};
    ASSERT_NE(SendMessageW(info.hwndList, LB_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&item)), LB_ERR);
    MapWindowPoints(info.hwndList, nullptr, reinterpret_cast<POINT*>(&item), 2);
    ClickAt((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    ASSERT_TRUE(PumpUntil([&] { return SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) == 0; }));
    Pump(50);

    EXPECT_EQ(GadgetGetState(kCombo), 3);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"COM4");
    const std::vector<SeenEvent> events = TakeEvents();
    const std::vector<SeenEvent> ofCombo = GadgetEventsOf(events, kCombo);
    ASSERT_EQ(ofCombo.size(), 1u);
    EXPECT_EQ(ofCombo[0].type, EVENT_TYPE_CHANGE);
    EXPECT_EQ(ofCombo[0].window, kWindow);
    // The box's own notifications (focus, drop-down, close-up, end of
    // selection) never become events of any gadget.
    EXPECT_EQ(CountGadgetEvents(events), 1);
}

TEST_F(ComboBoxTest, SetTextSelectsOnlyAnExistingItem) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    FillPorts(kCombo);
    Gadget* combo = G(kCombo);
    combo->kind->SetText(combo, u"COM7");
    EXPECT_EQ(GadgetGetState(kCombo), 6);
    combo->kind->SetText(combo, u"COM77");
    EXPECT_EQ(GadgetGetState(kCombo), 6);
    combo->kind->SetText(combo, u"");
    EXPECT_EQ(GadgetGetState(kCombo), -1);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"");
    combo->kind->SetText(combo, nullptr);
    EXPECT_EQ(GadgetGetState(kCombo), -1);
}

TEST_F(ComboBoxTest, PositionsBelowMinusOneAddNothingButStillAnswerOne) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    EXPECT_EQ(GadgetAddItem(kCombo, -1, u"b"), 1);
    EXPECT_EQ(GadgetAddItem(kCombo, 0, u"a"), 1);
    EXPECT_EQ(GadgetAddItem(kCombo, -2, u"never"), 1);
    EXPECT_EQ(GadgetAddItem(kCombo, 1, nullptr), 1);
    ASSERT_EQ(G(kCombo)->kind->CountItems(G(kCombo)), 3);
    EXPECT_EQ(ItemText(kCombo, 0), u"a");
    EXPECT_EQ(ItemText(kCombo, 1), u"");
    EXPECT_EQ(ItemText(kCombo, 2), u"b");
}

TEST_F(ComboBoxTest, SetItemTextKeepsDataAndSelection) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    FillPorts(kCombo);
    Gadget* combo = G(kCombo);
    combo->kind->SetItemData(combo, 9, 1234);
    combo->kind->SetItemData(combo, 3, 77);
    GadgetSetState(kCombo, 9);

    combo->kind->SetItemText(combo, 9, u"last", 0);
    combo->kind->SetItemText(combo, 3, u"fourth", 0);
    combo->kind->SetItemText(combo, 10, u"past the end", 0);

    EXPECT_EQ(combo->kind->CountItems(combo), 10);
    EXPECT_EQ(ItemText(kCombo, 9), u"last");
    EXPECT_EQ(ItemText(kCombo, 3), u"fourth");
    EXPECT_EQ(ItemText(kCombo, 4), u"COM5");
    EXPECT_EQ(combo->kind->GetItemData(combo, 9), 1234);
    EXPECT_EQ(combo->kind->GetItemData(combo, 3), 77);
    EXPECT_EQ(GadgetGetState(kCombo), 9);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"last");
}

TEST_F(ComboBoxTest, RemoveAndClearItems) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    FillPorts(kCombo);
    Gadget* combo = G(kCombo);
    combo->kind->RemoveItem(combo, 0);
    combo->kind->RemoveItem(combo, 42);
    EXPECT_EQ(combo->kind->CountItems(combo), 9);
    EXPECT_EQ(ItemText(kCombo, 0), u"COM2");
    combo->kind->ClearItems(combo);
    EXPECT_EQ(combo->kind->CountItems(combo), 0);
    EXPECT_EQ(GadgetGetState(kCombo), -1);
}

TEST_F(ComboBoxTest, ResizeAndNewFontKeepTheClosedHeightAndSelection) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 20));
    FillPorts(kCombo);
    GadgetSetState(kCombo, 2);
    Gadget* gadget = G(kCombo);

    gadget->kind->Resize(gadget, 20, 30, 180, 26);
    EXPECT_EQ(WindowHeight(combo), 26);
    EXPECT_EQ(GadgetGetState(kCombo), 2);
    RECT rectangle{};
    GetWindowRect(combo, &rectangle);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rectangle), 2);
    EXPECT_EQ(rectangle.left, 20);
    EXPECT_EQ(rectangle.top, 30);
    EXPECT_EQ(rectangle.right - rectangle.left, 180);

    gadget->kind->Resize(gadget, IgnoreValue, IgnoreValue, 120, IgnoreValue);
    EXPECT_EQ(WindowHeight(combo), 26);

    HFONT big = CreateFontW(-30, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma");
    gadget->kind->SetFont(gadget, big);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0)), big);
    EXPECT_EQ(WindowHeight(combo), 26);
    gadget->kind->SetFont(gadget, reinterpret_cast<HFONT>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(combo, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(WindowHeight(combo), 26);
    EXPECT_EQ(GadgetGetState(kCombo), 2);
    DeleteObject(big);
}

TEST_F(ComboBoxTest, RequiredSizeIsSquareAndAtLeast21) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    Gadget* combo = G(kCombo);
    int32_t width = 0, height = 0;
    combo->kind->RequiredSize(combo, &width, &height);
    EXPECT_GE(height, 21);
    EXPECT_EQ(width, height);

    HFONT big = CreateFontW(-40, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma");
    combo->kind->SetFont(combo, big);
    combo->kind->RequiredSize(combo, &width, &height);
    EXPECT_GE(height, 48);
    EXPECT_EQ(width, height);
    combo->kind->SetFont(combo, reinterpret_cast<HFONT>(static_cast<intptr_t>(-1)));
    DeleteObject(big);
}

TEST_F(ComboBoxTest, EditableBoxReportsEditsAndFocus) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 20, COMBOBOX_EDITABLE));
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(GetWindowLongW(combo, GWL_STYLE) & 3, CBS_DROPDOWN);
    HWND edit = GetWindow(combo, GW_CHILD);
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & WS_TABSTOP);
    EXPECT_EQ(WindowHeight(combo), 20);
    FillPorts(kCombo);
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(kButton, 10, 200, 80, 24, u"other"));
    TakeEvents();

    SetFocus(edit);
    std::vector<SeenEvent> events = GadgetEventsOf(TakeEvents(), kCombo);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENT_TYPE_FOCUS);

    SendMessageW(edit, WM_CHAR, 'x', 0);
    events = GadgetEventsOf(TakeEvents(), kCombo);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENT_TYPE_CHANGE);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"x");

    SetFocus(button);
    events = GadgetEventsOf(TakeEvents(), kCombo);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENT_TYPE_LOST_FOCUS);

    // An editable box takes any text as its edited text.
    G(kCombo)->kind->SetText(G(kCombo), u"typed");
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"typed");
    EXPECT_EQ(GadgetGetState(kCombo), -1);
}

TEST_F(ComboBoxTest, DropDownListFocusRaisesNoEvent) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 20));
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(kButton, 10, 200, 80, 24, u"other"));
    TakeEvents();
    SetFocus(combo);
    SetFocus(button);
    EXPECT_EQ(CountGadgetEvents(TakeEvents()), 0);
}

// A 16 x 16 bitmap of one colour.
HBITMAP SolidBitmap(COLORREF colour, int size = 16) {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(colour);
    RECT all{0, 0, size, size};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

int ImageOf(HWND combo, int index) {
    COMBOBOXEXITEMW item{};
    item.mask = CBEIF_IMAGE;
    item.iItem = index;
    if (!SendMessageW(combo, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return -100;
    return item.iImage;
}

TEST_F(ComboBoxTest, ExtendedVariantHoldsTextsAndImages) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 22, COMBOBOX_EXTENDED));
    ASSERT_NE(combo, nullptr);
    wchar_t className[32] = L"";
    GetClassNameW(combo, className, 32);
    EXPECT_STREQ(className, L"ComboBoxEx32");
    EXPECT_EQ(WindowHeight(combo), 22);

    Gadget* gadget = G(kCombo);
    HBITMAP red = SolidBitmap(RGB(255, 0, 0));
    HBITMAP green = SolidBitmap(RGB(0, 255, 0), 32);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"plain", 0), 1);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"red", reinterpret_cast<intptr_t>(red)), 1);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -5, u"green", reinterpret_cast<intptr_t>(green)), 1);
    EXPECT_EQ(gadget->kind->AddItem(gadget, 0, u"first", 0), 1);
    EXPECT_EQ(WindowHeight(combo), 22);
    ASSERT_EQ(gadget->kind->CountItems(gadget), 4);
    EXPECT_EQ(ItemText(kCombo, 0), u"first");
    EXPECT_EQ(ItemText(kCombo, 2), u"red");
    EXPECT_EQ(ItemText(kCombo, 3), u"green");
    ASSERT_NE(gadget->kindFields[1], 0);
    const HIMAGELIST images = reinterpret_cast<HIMAGELIST>(SendMessageW(combo, CBEM_GETIMAGELIST, 0, 0));
    EXPECT_NE(images, nullptr);
    EXPECT_EQ(ImageOf(combo, 2), 1);
    EXPECT_EQ(ImageOf(combo, 3), 2);

    // A drop-down list's text is its selected item's.
    GadgetSetState(kCombo, 2);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"red");
    gadget->kind->SetItemText(gadget, 2, u"crimson", 0);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"crimson");
    GadgetSetState(kCombo, -1);
    EXPECT_EQ(Text(GadgetGetText(kCombo)), u"");

    // A removed item's image entry is reused; the placeholder never is.
    gadget->kind->RemoveItem(gadget, 2);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"red again", reinterpret_cast<intptr_t>(red)), 1);
    EXPECT_EQ(ImageOf(combo, 3), 1);
    gadget->kind->SetItemImage(gadget, 3, 0);
    EXPECT_EQ(ImageOf(combo, 3), 0);
    gadget->kind->SetItemImage(gadget, 0, reinterpret_cast<intptr_t>(green));
    EXPECT_EQ(ImageOf(combo, 0), 1);
    // Not an image at all: the item shows none.
    gadget->kind->SetItemImage(gadget, 1, 12345);
    EXPECT_EQ(ImageOf(combo, 1), 0);

    gadget->kind->ClearItems(gadget);
    EXPECT_EQ(gadget->kind->CountItems(gadget), 0);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"after clearing", reinterpret_cast<intptr_t>(green)), 1);
    EXPECT_EQ(ImageOf(combo, 0), 1);

    GadgetFree(kCombo);
    EXPECT_EQ(G(kCombo), nullptr);
    DeleteObject(red);
    DeleteObject(green);
}

TEST_F(ComboBoxTest, ExtendedVariantGivesBackWhatItHolds) {
    HWND combo = reinterpret_cast<HWND>(GadgetCreateComboBox(kCombo, 10, 10, 150, 22, COMBOBOX_EXTENDED));
    ASSERT_NE(combo, nullptr);
    Gadget* gadget = G(kCombo);
    HBITMAP red = SolidBitmap(RGB(255, 0, 0));
    // Both counts with an empty event queue, whenever the window system
    // happens to send a repaint.
    TakeEvents();
    const long blocks = OsHeapBlockCount(Process.mainHeap);

    // An item that cannot be inserted leaves no image entry in use.
    EXPECT_EQ(gadget->kind->AddItem(gadget, 99, u"nowhere", reinterpret_cast<intptr_t>(red)), 1);
    EXPECT_EQ(gadget->kind->CountItems(gadget), 0);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"red", reinterpret_cast<intptr_t>(red)), 1);
    EXPECT_EQ(ImageOf(combo, 0), 1);
    // Removing an item that does not exist releases nothing.
    gadget->kind->RemoveItem(gadget, 5);
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"red too", reinterpret_cast<intptr_t>(red)), 1);
    EXPECT_EQ(ImageOf(combo, 1), 2);

    // Destroying the box frees its image list.
    EXPECT_GT(OsHeapBlockCount(Process.mainHeap), blocks);
    GadgetFree(kCombo);
    TakeEvents();  // events queued meanwhile hold nodes of the event layer
    EXPECT_EQ(OsHeapBlockCount(Process.mainHeap), blocks);
    DeleteObject(red);
}

TEST_F(ComboBoxTest, PlainVariantIgnoresImages) {
    ASSERT_NE(GadgetCreateComboBox(kCombo, 10, 10, 150, 20), 0);
    Gadget* gadget = G(kCombo);
    HBITMAP red = SolidBitmap(RGB(255, 0, 0));
    EXPECT_EQ(gadget->kind->AddItem(gadget, -1, u"one", reinterpret_cast<intptr_t>(red)), 1);
    gadget->kind->SetItemImage(gadget, 0, reinterpret_cast<intptr_t>(red));
    EXPECT_EQ(gadget->kindFields[1], 0);
    EXPECT_EQ(ItemText(kCombo, 0), u"one");
    DeleteObject(red);
}

// ---------------------------------------------------------------- check box

class CheckBoxTest : public GadgetWindowTest {};

TEST_F(CheckBoxTest, TwoStateBoxTakesMinusOneAsTicked) {
    HWND box = reinterpret_cast<HWND>(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"Led 1"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindowLongW(box, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    GadgetSetState(kCheck, -1);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(GadgetGetState(kCheck), 1);
    GadgetSetState(kCheck, 0);
    EXPECT_EQ(GadgetGetState(kCheck), 0);
    GadgetSetState(kCheck, 7);
    EXPECT_EQ(GadgetGetState(kCheck), 1);
    EXPECT_EQ(CountGadgetEvents(TakeEvents()), 0);
    EXPECT_EQ(Text(GadgetGetText(kCheck)), u"Led 1");
}

TEST_F(CheckBoxTest, EveryClickOnATwoStateBoxTogglesItAndRaisesAnEvent) {
    HWND box = reinterpret_cast<HWND>(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"Led 1"));
    Pump(50);
    TakeEvents();
    for (int expected : {1, 0, 1}) {
        ClickCentre(box);
        ASSERT_TRUE(PumpUntil([&] { return GadgetGetState(kCheck) == expected; }));
        Pump(20);
        const std::vector<SeenEvent> events = GadgetEventsOf(TakeEvents(), kCheck);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, 0);
        EXPECT_EQ(events[0].window, kWindow);
    }
}

TEST_F(CheckBoxTest, ClicksOnAThreeStateBoxAlternateBetweenTickedAndClear) {
    HWND box = reinterpret_cast<HWND>(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"three", CHECKBOX_THREE_STATE));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindowLongW(box, GWL_STYLE) & BS_TYPEMASK, BS_3STATE);
    GadgetSetState(kCheck, -1);
    EXPECT_EQ(GadgetGetState(kCheck), -1);
    Pump(50);
    TakeEvents();

    for (int expected : {1, 0, 1}) {
        ClickCentre(box);
        ASSERT_TRUE(PumpUntil([&] { return GadgetGetState(kCheck) == expected; }));
        Pump(20);
        const std::vector<SeenEvent> events = GadgetEventsOf(TakeEvents(), kCheck);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, 0);
    }
}

TEST_F(CheckBoxTest, OtherButtonTypeBitsStillMakeACheckBox) {
    HWND automatic = reinterpret_cast<HWND>(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"a", BS_AUTO3STATE));
    HWND radio = reinterpret_cast<HWND>(GadgetCreateCheckBox(6, 10, 40, 120, 20, u"b", BS_RADIOBUTTON | BS_LEFTTEXT));
    HWND group = reinterpret_cast<HWND>(GadgetCreateCheckBox(7, 10, 70, 120, 20, u"c", BS_GROUPBOX));
    EXPECT_EQ(GetWindowLongW(automatic, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_EQ(GetWindowLongW(radio, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_TRUE(GetWindowLongW(radio, GWL_STYLE) & BS_LEFTTEXT);
    EXPECT_EQ(GetWindowLongW(group, GWL_STYLE) & BS_TYPEMASK, BS_3STATE);
}

TEST_F(CheckBoxTest, RequiredSizeFitsTheTextAndIsAtLeast20High) {
    ASSERT_NE(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"Инвертировать"), 0);
    ASSERT_NE(GadgetCreateCheckBox(6, 10, 40, 120, 20, u""), 0);
    int32_t width = 0, height = 0;
    G(kCheck)->kind->RequiredSize(G(kCheck), &width, &height);
    EXPECT_GE(height, 20);
    EXPECT_GT(width, 20 + 40);
    G(6)->kind->RequiredSize(G(6), &width, &height);
    EXPECT_EQ(width, 20);
    EXPECT_EQ(height, 20);
    EXPECT_EQ(TextScratch().position, 0);
}

// ---------------------------------------------------------------- container

class ContainerTest : public GadgetWindowTest {};

TEST_F(ContainerTest, AnnouncesItsCreationSizeWithIdentifierMinusOneEvenWhenSuppressed) {
    EventSuppressBegin();
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 10, 10, 200, 120));
    EventSuppressEnd();
    ASSERT_NE(container, nullptr);
    GadgetListClose();
    const std::vector<SeenEvent> events = TakeEvents();
    const std::vector<SeenEvent> creation = GadgetEventsOf(events, -1);
    ASSERT_GE(creation.size(), 1u);
    EXPECT_EQ(creation[0].window, kWindow);
    EXPECT_EQ(creation[0].type, 0);
    EXPECT_TRUE(GadgetEventsOf(events, kContainer).empty());

    EventSuppressBegin();
    MoveWindow(container, 10, 10, 220, 130, TRUE);
    EventSuppressEnd();
    const std::vector<SeenEvent> resized = GadgetEventsOf(TakeEvents(), kContainer);
    ASSERT_EQ(resized.size(), 1u);
    EXPECT_EQ(resized[0].window, kWindow);
    EXPECT_EQ(resized[0].type, 0);
}

TEST_F(ContainerTest, CheckBoxClickInsideAContainerNamesTheWindow) {
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 10, 10, 300, 200));
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(GadgetListStateGet()->current, container);
    HWND box = reinterpret_cast<HWND>(GadgetCreateCheckBox(kCheck, 10, 10, 120, 20, u"Led 1"));
    GadgetListClose();
    EXPECT_EQ(GadgetListStateGet()->current, window_);
    ASSERT_EQ(GetParent(box), container);
    Pump(50);
    TakeEvents();

    ClickCentre(box);
    ASSERT_TRUE(PumpUntil([&] { return GadgetGetState(kCheck) == 1; }));
    Pump(20);
    std::vector<SeenEvent> events = GadgetEventsOf(TakeEvents(), kCheck);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].window, kWindow);
    EXPECT_EQ(events[0].type, 0);
}

TEST_F(ContainerTest, ButtonClickInsideAContainerNamesTheWindow) {
    ASSERT_NE(GadgetCreateContainer(kContainer, 10, 10, 300, 200), 0);
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(kButton, 10, 60, 100, 24, u"Отправить"));
    GadgetListClose();
    Pump(50);
    TakeEvents();
    std::vector<SeenEvent> events;
    ClickCentre(button);
    ASSERT_TRUE(PumpUntil([&] {
        for (const SeenEvent& event : TakeEvents()) events.push_back(event);
        return !GadgetEventsOf(events, kButton).empty();
    }));
    const std::vector<SeenEvent> ofButton = GadgetEventsOf(events, kButton);
    ASSERT_EQ(ofButton.size(), 1u);
    EXPECT_EQ(ofButton[0].window, kWindow);
    EXPECT_EQ(ofButton[0].type, 0);
}

TEST_F(ContainerTest, BorderFlagsFirstMatchWins) {
    HWND border = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 0, 0, 50, 50, CONTAINER_BORDER | 8));
    GadgetListClose();
    HWND frame = reinterpret_cast<HWND>(GadgetCreateContainer(6, 60, 0, 50, 50, CONTAINER_DIALOG_FRAME | 4));
    GadgetListClose();
    HWND staticEdge = reinterpret_cast<HWND>(GadgetCreateContainer(7, 120, 0, 50, 50, CONTAINER_STATIC_EDGE | 8));
    GadgetListClose();
    HWND clientEdge = reinterpret_cast<HWND>(GadgetCreateContainer(8, 180, 0, 50, 50, CONTAINER_CLIENT_EDGE));
    GadgetListClose();
    EXPECT_TRUE(GetWindowLongW(border, GWL_STYLE) & WS_BORDER);
    EXPECT_FALSE(GetWindowLongW(border, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(GetWindowLongW(frame, GWL_STYLE) & WS_CAPTION, WS_DLGFRAME);
    EXPECT_FALSE(GetWindowLongW(frame, GWL_EXSTYLE) & WS_EX_STATICEDGE);
    EXPECT_TRUE(GetWindowLongW(staticEdge, GWL_EXSTYLE) & WS_EX_STATICEDGE);
    EXPECT_FALSE(GetWindowLongW(staticEdge, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_TRUE(GetWindowLongW(clientEdge, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    wchar_t className[32] = L"";
    GetClassNameW(border, className, 32);
    EXPECT_STREQ(className, L"VelaContainer");
}

TEST_F(ContainerTest, OpenListMakesItCurrentAgain) {
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 0, 0, 200, 200));
    GadgetListClose();
    G(kContainer)->kind->OpenList(G(kContainer), 0);
    EXPECT_EQ(GadgetListStateGet()->current, container);
    HWND inside = reinterpret_cast<HWND>(GadgetCreateText(kText, 0, 0, 50, 20, u"inside"));
    EXPECT_EQ(GetParent(inside), container);
    GadgetListClose();
    EXPECT_EQ(GadgetListStateGet()->current, window_);
}

// COLORREF of the pixel a WM_ERASEBKGND of the window paints.
COLORREF ErasedColour(HWND window) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 8, 8);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const COLORREF colour = GetPixel(dc, 2, 2);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return colour;
}

TEST_F(ContainerTest, BackColourIsPaintedWithTheSharedBrush) {
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 0, 0, 200, 200));
    GadgetListClose();
    Gadget* gadget = G(kContainer);
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_BACK), -1);
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_FRONT), -1);
    EXPECT_EQ(GetWindowLongPtrW(container, 0), 0);
    EXPECT_EQ(ErasedColour(container), GetSysColor(COLOR_BTNFACE));

    const COLORREF teal = RGB(0, 128, 128);
    gadget->kind->SetColour(gadget, COLOUR_BACK, static_cast<int32_t>(teal));
    gadget->kind->SetColour(gadget, COLOUR_FRONT, static_cast<int32_t>(RGB(1, 2, 3)));
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_BACK), static_cast<int32_t>(teal));
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_FRONT), -1);
    EXPECT_NE(GetWindowLongPtrW(container, 0), 0);
    EXPECT_EQ(ErasedColour(container), teal);

    gadget->kind->SetColour(gadget, COLOUR_BACK, -1);
    EXPECT_EQ(GetWindowLongPtrW(container, 0), 0);
    EXPECT_EQ(ErasedColour(container), GetSysColor(COLOR_BTNFACE));
}

TEST_F(ContainerTest, ReadsBackNoStateAndNoText) {
    ASSERT_NE(GadgetCreateContainer(kContainer, 0, 0, 200, 200), 0);
    GadgetListClose();
    GadgetSetState(kContainer, 5);
    EXPECT_EQ(GadgetGetState(kContainer), 0);
    EXPECT_EQ(Text(GadgetGetText(kContainer)), u"");
    EXPECT_EQ(GadgetAddItem(kContainer, -1, u"x"), 0);
}

// ---------------------------------------------------------------- text

class TextTest : public GadgetWindowTest {};

TEST_F(TextTest, PlainTextShowsAmpersandsAndReadsBackItsText) {
    HWND text = reinterpret_cast<HWND>(GadgetCreateText(kText, 10, 10, 100, 20, u"Port & speed"));
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(GetWindowLongW(text, GWL_STYLE) & SS_NOPREFIX);
    EXPECT_FALSE(GetWindowLongW(text, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(Text(GadgetGetText(kText)), u"Port & speed");
    GadgetSetState(kText, 1);
    EXPECT_EQ(GadgetGetState(kText), 0);

    HWND edged = reinterpret_cast<HWND>(GadgetCreateText(6, 10, 40, 100, 20, nullptr, TEXT_CLIENT_EDGE));
    EXPECT_TRUE(GetWindowLongW(edged, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(Text(GadgetGetText(6)), u"");
}

TEST_F(TextTest, RequiredSizeMeasuresTheTextAsShownPlusTheBorder) {
    ASSERT_NE(GadgetCreateText(kText, 10, 10, 100, 20, u"AB"), 0);
    ASSERT_NE(GadgetCreateText(6, 10, 40, 100, 20, u"A&B"), 0);
    ASSERT_NE(GadgetCreateText(7, 10, 70, 100, 20, u"AB", TEXT_CLIENT_EDGE), 0);
    ASSERT_NE(GadgetCreateText(8, 10, 100, 100, 40, u"AB\nAB"), 0);
    int32_t plainWidth = 0, plainHeight = 0, ampWidth = 0, ampHeight = 0, edgeWidth = 0, edgeHeight = 0;
    int32_t twoWidth = 0, twoHeight = 0;
    G(kText)->kind->RequiredSize(G(kText), &plainWidth, &plainHeight);
    G(6)->kind->RequiredSize(G(6), &ampWidth, &ampHeight);
    G(7)->kind->RequiredSize(G(7), &edgeWidth, &edgeHeight);
    G(8)->kind->RequiredSize(G(8), &twoWidth, &twoHeight);
    EXPECT_GT(plainWidth, 2);
    EXPECT_GT(plainHeight, 2);
    // The ampersand is shown, so it is measured.
    EXPECT_GT(ampWidth, plainWidth);
    EXPECT_EQ(edgeWidth, plainWidth - 2 + 2 * GetSystemMetrics(SM_CXEDGE));
    EXPECT_EQ(edgeHeight, plainHeight - 2 + 2 * GetSystemMetrics(SM_CYEDGE));
    EXPECT_EQ(twoWidth, plainWidth);
    EXPECT_EQ(twoHeight - 2, 2 * (plainHeight - 2));
    EXPECT_EQ(TextScratch().position, 0);
}

// The answer of window 0 to WM_CTLCOLORSTATIC for a control, with the colours
// it left in the device context.
struct ColourAnswer {
    LRESULT brush;
    COLORREF text;
    COLORREF back;
};
ColourAnswer AskColours(HWND parent, HWND control) {
    HDC dc = GetDC(control);
    SetTextColor(dc, RGB(9, 9, 9));
    SetBkColor(dc, RGB(8, 8, 8));
    ColourAnswer answer{};
    answer.brush = SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
    answer.text = GetTextColor(dc);
    answer.back = GetBkColor(dc);
    ReleaseDC(control, dc);
    return answer;
}

TEST_F(TextTest, ColoursAnswerTheControlsColourMessage) {
    HWND text = reinterpret_cast<HWND>(GadgetCreateText(kText, 10, 10, 100, 20, u"coloured"));
    Gadget* gadget = G(kText);
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_FRONT), -1);
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_BACK), -1);
    EXPECT_EQ(gadget->kind->GetColour(gadget, 7), -1);
    EXPECT_EQ(gadget->kind->ParentMessage(gadget, window_, WM_CTLCOLORSTATIC, 0, 0), NOT_HANDLED);
    EXPECT_EQ(gadget->kind->ParentMessage(gadget, window_, WM_COMMAND, 0, 0), NOT_HANDLED);

    const COLORREF red = RGB(200, 0, 0);
    gadget->kind->SetColour(gadget, COLOUR_FRONT, static_cast<int32_t>(red));
    ColourAnswer answer = AskColours(window_, text);
    EXPECT_EQ(answer.brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
    EXPECT_EQ(answer.text, red);
    EXPECT_EQ(answer.back, GetSysColor(COLOR_BTNFACE));

    const COLORREF yellow = RGB(250, 240, 0);
    gadget->kind->SetColour(gadget, COLOUR_BACK, static_cast<int32_t>(yellow));
    EXPECT_EQ(gadget->kind->GetColour(gadget, COLOUR_BACK), static_cast<int32_t>(yellow));
    answer = AskColours(window_, text);
    ASSERT_NE(gadget->kindFields[2], 0);
    EXPECT_EQ(answer.brush, gadget->kindFields[2]);
    EXPECT_EQ(answer.text, red);
    EXPECT_EQ(answer.back, yellow);

    gadget->kind->SetColour(gadget, COLOUR_FRONT, -1);
    answer = AskColours(window_, text);
    EXPECT_EQ(answer.brush, gadget->kindFields[2]);
    EXPECT_EQ(answer.text, RGB(9, 9, 9));
    EXPECT_EQ(answer.back, yellow);

    gadget->kind->SetColour(gadget, COLOUR_BACK, -1);
    EXPECT_EQ(gadget->kindFields[2], 0);
    EXPECT_EQ(gadget->kind->ParentMessage(gadget, window_, WM_CTLCOLORSTATIC, 0, 0), NOT_HANDLED);
}

TEST_F(TextTest, TextsAndContainersOfOneColourShareOneBrushUntilTheLastGoes) {
    const COLORREF colour = RGB(12, 34, 56);
    ASSERT_NE(GadgetCreateText(kText, 10, 10, 100, 20, u"one"), 0);
    ASSERT_NE(GadgetCreateText(6, 10, 40, 100, 20, u"two"), 0);
    HWND container = reinterpret_cast<HWND>(GadgetCreateContainer(kContainer, 10, 80, 100, 100));
    GadgetListClose();
    G(kText)->kind->SetColour(G(kText), COLOUR_BACK, static_cast<int32_t>(colour));
    G(6)->kind->SetColour(G(6), COLOUR_BACK, static_cast<int32_t>(colour));
    G(kContainer)->kind->SetColour(G(kContainer), COLOUR_BACK, static_cast<int32_t>(colour));
    const HBRUSH brush = reinterpret_cast<HBRUSH>(G(kText)->kindFields[2]);
    ASSERT_NE(brush, nullptr);
    EXPECT_EQ(G(6)->kindFields[2], reinterpret_cast<intptr_t>(brush));
    EXPECT_EQ(GetWindowLongPtrW(container, 0), reinterpret_cast<LONG_PTR>(brush));

    GadgetFree(kText);
    G(6)->kind->SetColour(G(6), COLOUR_BACK, static_cast<int32_t>(RGB(1, 1, 1)));
    EXPECT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));
    GadgetFree(kContainer);
    EXPECT_EQ(GetObjectType(brush), 0u);
}

// ---------------------------------------------------------------- button

class ButtonTest : public GadgetWindowTest {};

TEST_F(ButtonTest, PushButtonHasNoStateAndRaisesAnEventPerClick) {
    HWND button = reinterpret_cast<HWND>(GadgetCreateButton(kButton, 10, 10, 100, 24, u"Отправить"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
    EXPECT_TRUE(GetWindowLongW(button, GWL_STYLE) & WS_TABSTOP);
    GadgetSetState(kButton, 1);
    EXPECT_EQ(GadgetGetState(kButton), 0);
    EXPECT_EQ(Text(GadgetGetText(kButton)), u"Отправить");
    Pump(50);
    TakeEvents();

    std::vector<SeenEvent> events;
    ClickCentre(button);
    ASSERT_TRUE(PumpUntil([&] {
        for (const SeenEvent& event : TakeEvents()) events.push_back(event);
        return !GadgetEventsOf(events, kButton).empty();
    }));
    const std::vector<SeenEvent> ofButton = GadgetEventsOf(events, kButton);
    ASSERT_EQ(ofButton.size(), 1u);
    EXPECT_EQ(ofButton[0].window, kWindow);
    EXPECT_EQ(ofButton[0].type, 0);
}

TEST_F(ButtonTest, CheckStyledButtonKeepsItsState) {
    ASSERT_NE(GadgetCreateButton(kButton, 10, 10, 100, 24, u"toggle", BS_AUTOCHECKBOX), 0);
    GadgetSetState(kButton, 5);
    EXPECT_EQ(GadgetGetState(kButton), 1);
    GadgetSetState(kButton, 0);
    EXPECT_EQ(GadgetGetState(kButton), 0);
}

TEST_F(ButtonTest, RequiredSizeFitsTheTextAndIsAtLeast24High) {
    ASSERT_NE(GadgetCreateButton(kButton, 10, 10, 100, 24, u"Отправить"), 0);
    ASSERT_NE(GadgetCreateButton(6, 10, 40, 100, 24, u""), 0);
    int32_t width = 0, height = 0;
    G(kButton)->kind->RequiredSize(G(kButton), &width, &height);
    EXPECT_GE(height, 24);
    EXPECT_GT(width, 2 * GetSystemMetrics(SM_CXEDGE) + 10 + 20);
    G(6)->kind->RequiredSize(G(6), &width, &height);
    EXPECT_EQ(width, 2 * GetSystemMetrics(SM_CXEDGE) + 10);
    EXPECT_EQ(height, 24);
}

}  // namespace
