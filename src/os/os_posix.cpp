// POSIX implementation of the OS seam. A heap keeps its blocks on a list of
// its own so that destroying it releases everything, as a Win32 private heap
// does; a mutex per heap matches the serialised Win32 heap.
#include "os/os.h"
#include "os/os_common.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct alignas(16) BlockHeader {
    BlockHeader* next;
    BlockHeader* previous;
    size_t size;
};

}  // namespace

struct OsHeap {
    pthread_mutex_t mutex;
    BlockHeader* blocks;  // every live block, newest first
};

namespace {

void Link(OsHeap* heap, BlockHeader* header) {
    header->previous = nullptr;
    header->next = heap->blocks;
    if (heap->blocks) heap->blocks->previous = header;
    heap->blocks = header;
}

void Unlink(OsHeap* heap, BlockHeader* header) {
    if (header->previous)
        header->previous->next = header->next;
    else
        heap->blocks = header->next;
    if (header->next) header->next->previous = header->previous;
}

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

// A block of `size` bytes with its header, or null when the total does not
// fit a size_t (it would wrap to a small block) or memory is exhausted.
BlockHeader* NewBlock(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    return static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + size));
}

}  // namespace

OsHeap* OsHeapCreate(size_t) {
    auto* heap = static_cast<OsHeap*>(std::calloc(1, sizeof(OsHeap)));
    if (!heap) return nullptr;
    pthread_mutex_init(&heap->mutex, nullptr);
    return heap;
}

void OsHeapDestroy(OsHeap* heap) {
    if (!heap) return;
    BlockHeader* header = heap->blocks;
    while (header) {
        BlockHeader* next = header->next;
        std::free(header);
        header = next;
    }
    pthread_mutex_destroy(&heap->mutex);
    std::free(heap);
}

void* OsHeapAlloc(OsHeap* heap, size_t size) {
    if (!heap || OsAllocShouldFail()) return nullptr;
    BlockHeader* header = NewBlock(size);
    if (!header) return nullptr;
    header->size = size;
    pthread_mutex_lock(&heap->mutex);
    Link(heap, header);
    pthread_mutex_unlock(&heap->mutex);
    return header + 1;
}

void* OsHeapReAlloc(OsHeap* heap, void* block, size_t size) {
    if (!heap) return nullptr;
    if (!block) return OsHeapAlloc(heap, size);
    if (OsAllocShouldFail()) return nullptr;
    BlockHeader* old = HeaderOf(block);
    // A fresh block rather than realloc: on failure the old block must stay
    // exactly where it is, and the new tail must be zero.
    BlockHeader* header = NewBlock(size);
    if (!header) return nullptr;
    std::memcpy(header + 1, block, old->size < size ? old->size : size);
    header->size = size;
    pthread_mutex_lock(&heap->mutex);
    Unlink(heap, old);
    Link(heap, header);
    pthread_mutex_unlock(&heap->mutex);
    std::free(old);
    return header + 1;
}

void OsHeapFree(OsHeap* heap, void* block) {
    if (!heap || !block) return;
    BlockHeader* header = HeaderOf(block);
    pthread_mutex_lock(&heap->mutex);
    Unlink(heap, header);
    pthread_mutex_unlock(&heap->mutex);
    std::free(header);
}

long OsHeapBlockCount(OsHeap* heap) {
    long count = 0;
    pthread_mutex_lock(&heap->mutex);
    for (BlockHeader* header = heap->blocks; header; header = header->next) ++count;
    pthread_mutex_unlock(&heap->mutex);
    return count;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(OsLock::opaque), "OsLock too small");

void OsLockInit(OsLock* lock) { new (lock->opaque) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }
void OsLockEnter(OsLock* lock) { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(lock->opaque)); }
void OsLockLeave(OsLock* lock) { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(lock->opaque)); }
void OsLockDelete(OsLock* lock) { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(lock->opaque)); }

void OsSleepMs(int32_t milliseconds) {
    if (milliseconds <= 0) {
        sched_yield();
        return;
    }
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    // An absolute deadline keeps the wait whole across signal interruptions.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void RunOnce(OnceWord* word, void (*procedure)()) { RunOnceFallback(word, procedure); }

// Linux timers already have sub-millisecond resolution.
void OsTimerPeriod1ms() {}

int64_t OsMonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
