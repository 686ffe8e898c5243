#include "ui/window/message_box.h"

#include "ui/window/message_box_internal.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts pass to the platform as they are");

ListNode* ModalWindowList = nullptr;

namespace {

constexpr int32_t kRecordNodeSize = static_cast<int32_t>(sizeof(ListNode) + sizeof(ModalWindowRecord));

struct DisableContext {
    DWORD threadId;
    int32_t level;
};

ModalWindowRecord* RecordOf(ListNode* node) { return static_cast<ModalWindowRecord*>(ListNodePayload(node)); }

// One more than the deepest box of this thread that is still up. The records
// carry only a thread id otherwise, and an inner box would then give back the
// windows of the box it was shown from while that box is still waiting.
int32_t NextLevel(DWORD threadId) {
    int32_t deepest = 0;
    for (ListNode* node = ModalWindowList; node; node = node->next) {
        const ModalWindowRecord* record = RecordOf(node);
        if (record->threadId == threadId && record->level > deepest) deepest = record->level;
    }
    return deepest + 1;
}

BOOL CALLBACK DisableOne(HWND window, LPARAM parameter) {
    const auto* context = reinterpret_cast<const DisableContext*>(parameter);
    if (GetWindowThreadProcessId(window, nullptr) != context->threadId || !IsWindowVisible(window)) return TRUE;

    // Recorded first: a window that cannot be recorded could not be given
    // back, so it is not changed either.
    auto* record = static_cast<ModalWindowRecord*>(ListNodeAdd(&ModalWindowList, kRecordNodeSize));
    if (!record) return TRUE;
    record->threadId = context->threadId;
    record->window = window;
    record->level = context->level;

    if (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) record->wasTopmost = 1;
    // The foreground window is left enabled: it owns the box, and the
    // platform disables a box's owner by itself. Asked anew for each window,
    // since disabling one may move the foreground.
    if (window != GetForegroundWindow() && IsWindowEnabled(window)) {
        record->disabledByUs = 1;
        EnableWindow(window, FALSE);
    }
    return TRUE;
}

}  // namespace

int32_t ThreadWindowsDisable() {
    DisableContext context{GetCurrentThreadId(), 0};
    context.level = NextLevel(context.threadId);
    EnumWindows(DisableOne, reinterpret_cast<LPARAM>(&context));

    // Only once the walk is over, so that it sees the z-order as it was.
    for (ListNode* node = ModalWindowList; node; node = node->next) {
        const ModalWindowRecord* record = RecordOf(node);
        if (record->threadId == context.threadId && record->level == context.level && record->wasTopmost)
            SetWindowPos(record->window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    return context.level;
}

HWND MessageBoxOwner() {
    HWND foreground = GetForegroundWindow();
    if (!foreground) return nullptr;
    DWORD processId = 0;
    GetWindowThreadProcessId(foreground, &processId);
    return processId == GetCurrentProcessId() ? foreground : nullptr;
}

void ThreadWindowsRestore(int32_t level) {
    const DWORD threadId = GetCurrentThreadId();
    // From the front, newest first: the records were pushed in z-order from
    // the top, so the lowest topmost window is raised first and the topmost
    // windows end in their old order.
    ListNode* node = ModalWindowList;
    while (node) {
        ListNode* next = node->next;  // saved before the node is released
        ModalWindowRecord* record = RecordOf(node);
        if (record->threadId == threadId && record->level == level) {
            if (record->disabledByUs) EnableWindow(record->window, TRUE);
            if (record->wasTopmost)
                SetWindowPos(record->window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            ListNodeRemove(&ModalWindowList, record);
        }
        node = next;
    }
}

int32_t MessageBoxShow(const char16_t* caption, const char16_t* text, uint32_t flags) {
    const int32_t level = ThreadWindowsDisable();
    HWND owner = MessageBoxOwner();
    int result = MessageBoxW(owner, reinterpret_cast<const wchar_t*>(text), reinterpret_cast<const wchar_t*>(caption),
                             flags);
    ThreadWindowsRestore(level);
    return result;
}
