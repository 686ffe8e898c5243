// The extended combo box's image list over a common-controls image list.
#include "ui/gadget/gadget_image_list.h"

#include "os/os.h"
#include "runtime/process_values.h"

namespace {

constexpr int32_t kMarkStep = 8;

// A cx x cy bitmap of one colour, compatible with the screen (or
// monochrome), not selected into any device context; null on failure.
HBITMAP FilledBitmap(int32_t cx, int32_t cy, bool monochrome, COLORREF colour) {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = monochrome ? CreateBitmap(cx, cy, 1, 1, nullptr) : CreateCompatibleBitmap(screen, cx, cy);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!bitmap || !dc) {
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
        return nullptr;
    }
    HGDIOBJ previous = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(colour);
    RECT all{0, 0, cx, cy};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    SelectObject(dc, previous);
    DeleteDC(dc);
    return bitmap;
}

// A copy of a bitmap scaled to cx x cy; null on failure.
HBITMAP ScaledCopy(HBITMAP source, int32_t cx, int32_t cy) {
    BITMAP info{};
    if (!GetObjectW(source, sizeof info, &info) || info.bmWidth <= 0 || info.bmHeight == 0) return nullptr;
    HBITMAP copy = FilledBitmap(cx, cy, false, RGB(0, 0, 0));
    if (!copy) return nullptr;
    HDC screen = GetDC(nullptr);
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    bool copied = false;
    if (from && to) {
        HGDIOBJ oldFrom = SelectObject(from, source);
        HGDIOBJ oldTo = SelectObject(to, copy);
        SetStretchBltMode(to, HALFTONE);
        SetBrushOrgEx(to, 0, 0, nullptr);
        const int32_t height = info.bmHeight < 0 ? -info.bmHeight : info.bmHeight;
        copied = StretchBlt(to, 0, 0, cx, cy, from, 0, 0, info.bmWidth, height, SRCCOPY) != FALSE;
        SelectObject(from, oldFrom);
        SelectObject(to, oldTo);
    }
    if (from) DeleteDC(from);
    if (to) DeleteDC(to);
    if (!copied) {
        DeleteObject(copy);
        return nullptr;
    }
    return copy;
}

// Room for one more mark; false (nothing changed) when it cannot be had.
bool ReserveMark(GadgetImageList* list) {
    if (list->count < list->capacity) return true;
    const int32_t capacity = list->capacity + kMarkStep;
    void* marks = list->inUse ? OsHeapReAlloc(Process.mainHeap, list->inUse, static_cast<size_t>(capacity))
                              : OsHeapAlloc(Process.mainHeap, static_cast<size_t>(capacity));
    if (!marks) return false;
    list->inUse = static_cast<uint8_t*>(marks);
    list->capacity = capacity;
    return true;
}

// Entry 0: a blank, fully transparent image.
bool AddPlaceholder(GadgetImageList* list) {
    if (!ReserveMark(list)) return false;
    int32_t cx = 0, cy = 0;
    ImageList_GetIconSize(list->handle, &cx, &cy);
    HBITMAP image = FilledBitmap(cx, cy, false, RGB(0, 0, 0));
    HBITMAP mask = FilledBitmap(cx, cy, true, RGB(255, 255, 255));
    const int32_t index = (image && mask) ? ImageList_Add(list->handle, image, mask) : -1;
    if (image) DeleteObject(image);
    if (mask) DeleteObject(mask);
    if (index != 0) {
        if (index > 0) ImageList_Remove(list->handle, index);
        return false;
    }
    list->inUse[0] = 1;
    list->count = 1;
    return true;
}

}  // namespace

GadgetImageList* GadgetImageListCreate() {
    auto* list = static_cast<GadgetImageList*>(OsHeapAlloc(Process.mainHeap, sizeof(GadgetImageList)));
    if (!list) return nullptr;
    list->handle = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                    ILC_COLOR32 | ILC_MASK, 4, 4);
    if (!list->handle || !AddPlaceholder(list)) {
        GadgetImageListFree(list);
        return nullptr;
    }
    return list;
}

int32_t GadgetImageListAdd(GadgetImageList* list, intptr_t image) {
    if (!list || !image) return -1;
    if (list->count == 0 && !AddPlaceholder(list)) return -1;
    int32_t reuse = -1;
    for (int32_t index = 1; index < list->count; ++index) {
        if (!list->inUse[index]) {
            reuse = index;
            break;
        }
    }
    if (reuse < 0 && !ReserveMark(list)) return -1;

    int32_t index = -1;
    if (GetObjectType(reinterpret_cast<HGDIOBJ>(image)) == OBJ_BITMAP) {
        int32_t cx = 0, cy = 0;
        ImageList_GetIconSize(list->handle, &cx, &cy);
        HBITMAP copy = ScaledCopy(reinterpret_cast<HBITMAP>(image), cx, cy);
        if (copy) {
            if (reuse > 0)
                index = ImageList_Replace(list->handle, reuse, copy, nullptr) ? reuse : -1;
            else
                index = ImageList_Add(list->handle, copy, nullptr);
            DeleteObject(copy);
        }
    } else {
        // Anything else must be an icon; a handle that is not one fails here.
        index = ImageList_ReplaceIcon(list->handle, reuse, reinterpret_cast<HICON>(image));
    }
    if (index < 1) return -1;
    if (index == list->count) ++list->count;
    list->inUse[index] = 1;
    return index;
}

void GadgetImageListRelease(GadgetImageList* list, int32_t index) {
    if (!list || index < 1 || index >= list->count) return;
    list->inUse[index] = 0;
}

void GadgetImageListEmpty(GadgetImageList* list) {
    if (!list) return;
    ImageList_RemoveAll(list->handle);
    list->count = 0;
    AddPlaceholder(list);  // failing, it is tried again by the next add
}

void GadgetImageListFree(GadgetImageList* list) {
    if (!list) return;
    if (list->handle) ImageList_Destroy(list->handle);
    if (list->inUse) OsHeapFree(Process.mainHeap, list->inUse);
    OsHeapFree(Process.mainHeap, list);
}
