// Win32 implementation of the OS seam: private heaps, critical sections,
// Sleep, the multimedia timer period and the performance counter.
#include "os/os.h"
#include "os/os_common.h"

#include <windows.h>

#include <new>

OsHeap* OsHeapCreate(size_t initialSize) {
    return reinterpret_cast<OsHeap*>(HeapCreate(0, initialSize, 0));
}

void OsHeapDestroy(OsHeap* heap) {
    if (heap) HeapDestroy(reinterpret_cast<HANDLE>(heap));
}

void* OsHeapAlloc(OsHeap* heap, size_t size) {
    if (!heap || OsAllocShouldFail()) return nullptr;
    return HeapAlloc(reinterpret_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, size);
}

void* OsHeapReAlloc(OsHeap* heap, void* block, size_t size) {
    if (!heap) return nullptr;
    if (!block) return OsHeapAlloc(heap, size);
    if (OsAllocShouldFail()) return nullptr;
    return HeapReAlloc(reinterpret_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, block, size);
}

void OsHeapFree(OsHeap* heap, void* block) {
    if (heap && block) HeapFree(reinterpret_cast<HANDLE>(heap), 0, block);
}

long OsHeapBlockCount(OsHeap* heap) {
    HANDLE handle = reinterpret_cast<HANDLE>(heap);
    long count = 0;
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(handle);
    while (HeapWalk(handle, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++count;
    }
    HeapUnlock(handle);
    return count;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(OsLock::opaque), "OsLock too small");

void OsLockInit(OsLock* lock) {
    InitializeCriticalSection(new (lock->opaque) CRITICAL_SECTION);
}
void OsLockEnter(OsLock* lock) { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(lock->opaque)); }
void OsLockLeave(OsLock* lock) { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(lock->opaque)); }
void OsLockDelete(OsLock* lock) { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(lock->opaque)); }

namespace {

using InitOnceExecuteOnceFn = BOOL(WINAPI*)(PINIT_ONCE, PINIT_ONCE_FN, PVOID, LPVOID*);

BOOL CALLBACK RunOnceProcedure(PINIT_ONCE, PVOID parameter, PVOID*) {
    reinterpret_cast<void (*)()>(parameter)();
    return TRUE;
}

}  // namespace

// InitOnceExecuteOnce is looked up at every call, so that the program still
// starts on systems that lack it; there the word follows the fallback
// protocol instead.
void RunOnce(OnceWord* word, void (*procedure)()) {
    static_assert(sizeof(OnceWord) == sizeof(INIT_ONCE), "the once-word is the INIT_ONCE");
    HMODULE kernel = LoadLibraryA("Kernel32.dll");
    if (kernel) {
        auto execute = reinterpret_cast<InitOnceExecuteOnceFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "InitOnceExecuteOnce")));
        if (execute) {
            LPVOID context = nullptr;
            execute(reinterpret_cast<PINIT_ONCE>(word), RunOnceProcedure, reinterpret_cast<PVOID>(procedure),
                    &context);
            FreeLibrary(kernel);
            return;
        }
        FreeLibrary(kernel);
    }
    RunOnceFallback(word, procedure);
}

void OsSleepMs(int32_t milliseconds) { Sleep(static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds)); }

// The multimedia library is loaded only when a period is first asked for
// (the first transfer), not with the program: it has nothing else to do.
void OsTimerPeriod1ms() {
    using TimeBeginPeriodFn = UINT(WINAPI*)(UINT);
    HMODULE winmm = LoadLibraryW(L"winmm.dll");
    if (!winmm) return;
    auto begin = reinterpret_cast<TimeBeginPeriodFn>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
    if (begin) begin(1);
}

int64_t OsMonotonicNs() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<int64_t>(now.QuadPart / frequency.QuadPart) * 1000000000LL +
           static_cast<int64_t>(now.QuadPart % frequency.QuadPart) * 1000000000LL / frequency.QuadPart;
}
