// Built twice: with SHIFTLAMP_COMMON_CONTROLS_6 the executable carries the
// program's common-controls 6.0 manifest, without it the system hands out
// the older common controls.
#include "platform/startup_win32.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cwchar>

#include "support/main_heap.h"

namespace {

class StartupTest : public MainHeapTest {};

TEST_F(StartupTest, InertResourcesExist) {
    TlsSlotInit();
    ASSERT_NE(TlsSlot, TLS_OUT_OF_INDEXES);
    EXPECT_TRUE(TlsSetValue(TlsSlot, this));
    EXPECT_EQ(TlsGetValue(TlsSlot), this);

    SpareHeapInit();
    ASSERT_NE(SpareHeap, nullptr);
    EXPECT_TRUE(HeapValidate(SpareHeap, 0, nullptr));
    SpareHeapEnd();
    EXPECT_EQ(SpareHeap, nullptr);

    long blocks = HeapBlocks();
    StateBlockInit();
    ASSERT_NE(StateBlock, nullptr);
    EXPECT_EQ(HeapBlocks(), blocks + 1);
    auto* bytes = static_cast<unsigned char*>(StateBlock);
    for (int i = 0; i < 76; ++i) EXPECT_EQ(bytes[i], 0) << i;
}

HBITMAP MakeBitmap() { return CreateBitmap(4, 4, 1, 32, nullptr); }

HICON MakeIcon() {
    BYTE andMask[32 * 4];
    BYTE xorMask[32 * 4] = {};
    memset(andMask, 0xFF, sizeof andMask);
    return CreateIcon(GetModuleHandleW(nullptr), 32, 32, 1, 1, andMask, xorMask);
}

bool IconAlive(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return false;
    if (info.hbmMask) DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    return true;
}

// Puts an image into the table as an image layer would.
intptr_t AddImage(intptr_t number, void* handle) {
    void* record = ObjectTableGetOrCreate(ImageTable, number);
    *static_cast<intptr_t*>(record) = reinterpret_cast<intptr_t>(handle);
    return number == AnyNumber ? reinterpret_cast<intptr_t>(record) : number;
}

TEST_F(StartupTest, ImageFreeTellsBitmapsFromIcons) {
    ImageInit();
    ASSERT_NE(ImageTable, nullptr);
    HBITMAP bitmap = MakeBitmap();
    HICON icon = MakeIcon();
    ASSERT_EQ(GetObjectType(bitmap), static_cast<DWORD>(OBJ_BITMAP));
    ASSERT_TRUE(IconAlive(icon));
    AddImage(0, bitmap);
    AddImage(1, icon);

    ImageFree(0);
    EXPECT_EQ(GetObjectType(bitmap), 0u);
    EXPECT_EQ(ObjectTableLookup(ImageTable, 0), nullptr);
    EXPECT_TRUE(IconAlive(icon));

    ImageFree(1);
    EXPECT_FALSE(IconAlive(icon));
    EXPECT_EQ(ObjectTableLookup(ImageTable, 1), nullptr);

    ImageFree(1);  // no image there any more
    ImageFree(9);
}

TEST_F(StartupTest, FreeingAnyNumberFreesEveryImage) {
    ImageInit();
    HBITMAP bitmaps[] = {MakeBitmap(), MakeBitmap()};
    HICON icons[] = {MakeIcon(), MakeIcon()};
    AddImage(5, bitmaps[0]);
    AddImage(2, icons[0]);
    intptr_t unnumbered[] = {AddImage(AnyNumber, bitmaps[1]), AddImage(AnyNumber, icons[1])};

    ImageFree(AnyNumber);
    for (HBITMAP bitmap : bitmaps) EXPECT_EQ(GetObjectType(bitmap), 0u);
    for (HICON icon : icons) EXPECT_FALSE(IconAlive(icon));
    EXPECT_EQ(ObjectTableLookup(ImageTable, 5), nullptr);
    EXPECT_EQ(ObjectTableLookup(ImageTable, unnumbered[0]), nullptr);
    ObjectTableIterBegin(ImageTable);
    intptr_t id;
    EXPECT_EQ(ObjectTableIterNext(ImageTable, &id), nullptr);

    // Shutdown does the same.
    HBITMAP late = MakeBitmap();
    AddImage(AnyNumber, late);
    ImageEnd();
    EXPECT_EQ(GetObjectType(late), 0u);
}

// What the system itself says about themes and the common controls.
struct Facts {
    bool themed = false;
    int32_t version = 0;
    bool sideBySide = false;  // the common controls came from the side-by-side store
};

Facts AskTheSystem() {
    Facts facts;
    HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll");
    if (uxtheme) {
        auto isAppThemed = reinterpret_cast<BOOL(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(uxtheme, "IsAppThemed")));
        facts.themed = isAppThemed && isAppThemed();
        FreeLibrary(uxtheme);
    }
    HMODULE comctl32 = LoadLibraryW(L"comctl32.dll");
    auto getVersion = reinterpret_cast<HRESULT(CALLBACK*)(DLLVERSIONINFO*)>(
        reinterpret_cast<void*>(GetProcAddress(comctl32, "DllGetVersion")));
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (getVersion && getVersion(&info) >= 0)
        facts.version = static_cast<int32_t>(info.dwMajorVersion << 16 | info.dwMinorVersion);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(comctl32, path, MAX_PATH);
    CharLowerW(path);
    facts.sideBySide = wcsstr(path, L"\\winsxs\\") != nullptr;
    FreeLibrary(comctl32);
    return facts;
}

TEST(PlatformProbes, AgreeWithTheSystemAndWithEachOther) {
    Facts facts = AskTheSystem();
    // Some systems report an older version number even for the side-by-side
    // common controls; the probes must follow the number they report.
#ifdef SHIFTLAMP_COMMON_CONTROLS_6
    EXPECT_TRUE(facts.sideBySide);
#else
    EXPECT_FALSE(facts.sideBySide);
    EXPECT_GT(facts.version, 0);
    EXPECT_LT(facts.version, 0x60000);
#endif
    bool visualStyles = facts.themed && facts.version >= 0x60000;

    EXPECT_EQ(ThemeProbe(), visualStyles ? 1 : 0);
    EXPECT_EQ(CommonControlsVersionProbe(), facts.version);
    EXPECT_EQ(VisualStylesActive, visualStyles ? 1 : 0);
    // uxtheme stays loaded for the rest of the process.
    EXPECT_NE(GetModuleHandleW(L"uxtheme.dll"), nullptr);
    // Asked once: later calls answer from the stored version.
    EXPECT_EQ(CommonControlsVersionProbe(), facts.version);

    PlatformProbeInit();
    HMODULE msimg32 = GetModuleHandleW(L"msimg32.dll");
    ASSERT_NE(msimg32, nullptr);
    EXPECT_EQ(AlphaBlendProc, reinterpret_cast<void*>(GetProcAddress(msimg32, "AlphaBlend")));
    OSVERSIONINFOW system{};
    system.dwOSVersionInfoSize = sizeof system;
    ASSERT_TRUE(GetVersionExW(&system));
    bool modernNt = system.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                    (system.dwMajorVersion > 5 || (system.dwMajorVersion == 5 && system.dwMinorVersion >= 1));
    EXPECT_EQ(NativeAlphaImages, modernNt && visualStyles ? 1 : 0);
    PlatformProbeEnd();
    EXPECT_EQ(AlphaBlendProc, nullptr);
}

TEST(CommonControls, RegistersTheClassesAndStartsCom) {
    CommonControlsInit();
    WNDCLASSEXW info{};
    info.cbSize = sizeof info;
    for (const wchar_t* name : {L"ComboBoxEx32", L"tooltips_class32", L"SysIPAddress32", L"msctls_hotkey32"}) {
        EXPECT_TRUE(GetClassInfoExW(nullptr, name, &info)) << name;
    }
    // COM is already initialised on this thread.
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
}

}  // namespace
