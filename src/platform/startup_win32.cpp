#include "platform/startup_win32.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlwapi.h>

#include "runtime/process_values.h"

uint32_t TlsSlot;
void* SpareHeap;
void* StateBlock;
ObjectTable* ImageTable;
void* AlphaBlendProc;
int32_t NativeAlphaImages;
int32_t CommonControlsVersion;
int32_t VisualStylesActive;

namespace {

// The image record. Only the handle is used; the rest belongs to image
// creation, which this program does not have.
struct ImageRecord {
    intptr_t handle;  // HBITMAP or HICON; 0 while absent
    int32_t reserved[4];
};
static_assert(sizeof(void*) != 4 || sizeof(ImageRecord) == 20, "image records are 20 bytes");

HMODULE g_msimg32;
HMODULE g_uxtheme;  // kept by CommonControlsVersionProbe, never unloaded

using IsAppThemedFn = BOOL(WINAPI*)();

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// DllGetVersion of a loaded common-controls library: true and major << 16 |
// minor when the library answers, false when it refuses.
bool AskVersion(DLLGETVERSIONPROC getVersion, int32_t* version) {
    DLLVERSIONINFO info{};
    info.cbSize = 20;
    if (getVersion(&info) < 0) return false;
    *version = static_cast<int32_t>(((info.dwMajorVersion & 0xFFFFu) << 16) | (info.dwMinorVersion & 0xFFFFu));
    return true;
}

}  // namespace

void TlsSlotInit() { TlsSlot = TlsAlloc(); }

void SpareHeapInit() { SpareHeap = HeapCreate(0, 4096, 0); }

void SpareHeapEnd() {
    if (SpareHeap) HeapDestroy(SpareHeap);
    SpareHeap = nullptr;
}

void StateBlockInit() { StateBlock = StateRecordCreate(76, nullptr); }

void ImageInit() { ImageTable = ObjectTableCreate(sizeof(ImageRecord), 16, ImageFree); }

void ImageEnd() {
    if (ImageTable) ObjectTableFreeAll(ImageTable);
}

void ImageFree(intptr_t number) {
    if (!ImageTable) return;
    if (number == AnyNumber) {
        ObjectTableFreeAll(ImageTable);
        return;
    }
    auto* image = static_cast<ImageRecord*>(ObjectTableLookup(ImageTable, number));
    if (!image) return;
    auto handle = reinterpret_cast<HGDIOBJ>(image->handle);
    if (GetObjectType(handle) == OBJ_BITMAP)
        DeleteObject(handle);
    else
        DestroyIcon(reinterpret_cast<HICON>(handle));
    ObjectTableFreeObject(ImageTable, number);
}

void PlatformProbeInit() {
    g_msimg32 = LoadLibraryW(L"msimg32.dll");
    if (g_msimg32) AlphaBlendProc = reinterpret_cast<void*>(GetProcAddress(g_msimg32, "AlphaBlend"));

    NativeAlphaImages = 1;
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = 276;
    if (GetVersionExW(&version)) {
        // Windows 9x, NT before 5.0 and 5.0 itself draw no alpha of their
        // own; only the version numbers decide there.
        if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            NativeAlphaImages = 0;
            return;
        }
        if (version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
            (version.dwMajorVersion < 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion == 0))) {
            NativeAlphaImages = 0;
            return;
        }
    }
    NativeAlphaImages = ThemeProbe();
}

void PlatformProbeEnd() {
    if (g_msimg32) FreeLibrary(g_msimg32);
    g_msimg32 = nullptr;
    AlphaBlendProc = nullptr;  // its library is gone
}

int32_t ThemeProbe() {
    int32_t version = 1;
    HMODULE comctl32 = LoadLibraryW(L"COMCTL32.DLL");
    if (comctl32) {
        auto getVersion = Resolve<DLLGETVERSIONPROC>(comctl32, "DllGetVersion");
        if (getVersion) AskVersion(getVersion, &version);
        FreeLibrary(comctl32);
    }
    HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll");
    if (!uxtheme) return 0;
    int32_t themed = 0;
    auto isAppThemed = Resolve<IsAppThemedFn>(uxtheme, "IsAppThemed");
    if (isAppThemed) themed = (isAppThemed() && version >= 0x60000) ? 1 : 0;
    FreeLibrary(uxtheme);
    return themed;
}

int32_t CommonControlsVersionProbe() {
    if (CommonControlsVersion != 0) return CommonControlsVersion;
    HMODULE comctl32 = LoadLibraryW(L"COMCTL32.DLL");
    if (comctl32) {
        auto getVersion = Resolve<DLLGETVERSIONPROC>(comctl32, "DllGetVersion");
        if (getVersion)
            AskVersion(getVersion, &CommonControlsVersion);
        else
            CommonControlsVersion = 1;
        FreeLibrary(comctl32);
    }
    if (!g_uxtheme) g_uxtheme = LoadLibraryW(L"uxtheme.dll");
    if (g_uxtheme) {
        auto isAppThemed = Resolve<IsAppThemedFn>(g_uxtheme, "IsAppThemed");
        if (isAppThemed) VisualStylesActive = (isAppThemed() && CommonControlsVersion >= 0x60000) ? 1 : 0;
    }
    return CommonControlsVersion;
}

void CommonControlsInit() {
    INITCOMMONCONTROLSEX classes;
    classes.dwSize = 8;
    classes.dwICC = ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES | ICC_USEREX_CLASSES |
                    ICC_INTERNET_CLASSES;  // 0xB48
    InitCommonControlsEx(&classes);
    CoInitialize(nullptr);
}
