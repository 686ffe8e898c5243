#include "runtime/element_pool.h"

#include <climits>
#include <cstddef>

#include "runtime/process_values.h"

namespace {

// The slot header holds a block address, so it is one pointer wide; slot
// sizes are whole header words, which keeps every element pointer-aligned.
constexpr int32_t kHeader = static_cast<int32_t>(sizeof(void*));

// The registry of shared pools, process-wide and never torn down. Its
// entries, the shared pools and their blocks live on a heap of its own, as
// long as the registry: a main heap destroyed while a shared pool is still
// in use (a map nobody freed) takes none of them along, so the next user of
// the registry never walks freed memory.
OnceWord g_registryOnce = ONCE_IDLE;
OsLock g_registryLock;
PoolRegistryEntry* g_registryHead = nullptr;
OsHeap* g_registryHeap = nullptr;  // null when it could not be had: shared pools then fail

void RegistryInit() {
    OsLockInit(&g_registryLock);
    g_registryHead = nullptr;
    g_registryHeap = OsHeapCreate(4096);
}

void RegistryEnter() {
    RunOnce(&g_registryOnce, RegistryInit);
    OsLockEnter(&g_registryLock);
}

void RegistryLeave() { OsLockLeave(&g_registryLock); }

// Holds a locked pool's lock for the life of the guard; does nothing for an
// unguarded pool.
class PoolGuard {
public:
    explicit PoolGuard(ElementPool* pool) : pool_(pool) {
        if (pool_->locked) OsLockEnter(&pool_->lock);
    }
    ~PoolGuard() {
        if (pool_->locked) OsLockLeave(&pool_->lock);
    }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;

private:
    ElementPool* pool_;
};

void PushFront(PoolBlock** head, PoolBlock* block) {
    block->prev = nullptr;
    block->next = *head;
    if (*head) (*head)->prev = block;
    *head = block;
}

void Unlink(PoolBlock** head, PoolBlock* block) {
    if (block->prev)
        block->prev->next = block->next;
    else
        *head = block->next;
    if (block->next) block->next->prev = block->prev;
}

char* SlotAt(PoolBlock* block, int32_t index, int32_t slotSize) {
    return reinterpret_cast<char*>(block) + sizeof(PoolBlock) + static_cast<size_t>(index) * slotSize;
}

// Bytes of a block of `slots` slots; false when that does not fit a size_t
// (a 32-bit product asking for a huge block), which counts as a failed
// allocation.
bool BlockBytes(int32_t slots, int32_t slotSize, size_t* bytes) {
    size_t room = SIZE_MAX - sizeof(PoolBlock);
    if (static_cast<size_t>(slots) > room / static_cast<size_t>(slotSize)) return false;
    *bytes = sizeof(PoolBlock) + static_cast<size_t>(slots) * static_cast<size_t>(slotSize);
    return true;
}

PoolBlock* AllocBlock(OsHeap* heap, int32_t slots, int32_t slotSize) {
    size_t bytes = 0;
    if (!BlockBytes(slots, slotSize, &bytes)) return nullptr;
    return static_cast<PoolBlock*>(OsHeapAlloc(heap, bytes));
}

// Adds a block sized to the pool and hands out its slot 0; null when not even
// a block of one slot can be had, the pool then unchanged.
PoolBlock* Grow(ElementPool* pool) {
    int32_t slots = (pool->totalSlots / 16) & ~15;
    if (slots < pool->minBlock)
        slots = pool->minBlock;
    else if (slots > pool->maxBlock)
        slots = pool->maxBlock;
    // A block always has room for the slot it is allocated for, whatever the
    // limits the pool was created with.
    if (slots < 1) slots = 1;
    if (slots > INT32_MAX - pool->totalSlots) slots = INT32_MAX - pool->totalSlots;
    if (slots < 1) return nullptr;

    PoolBlock* block = AllocBlock(pool->heap, slots, pool->slotSize);
    if (!block && slots > 1) {
        slots = 1;
        block = AllocBlock(pool->heap, slots, pool->slotSize);
    }
    if (!block) return nullptr;
    block->freeList = nullptr;
    block->capacity = slots;
    block->used = 1;
    block->freeCount = 0;
    pool->totalSlots += slots;
    PushFront(slots > 1 ? &pool->openBlocks : &pool->fullBlocks, block);
    return block;
}

void FreeList(OsHeap* heap, PoolBlock* block) {
    while (block) {
        PoolBlock* next = block->next;
        OsHeapFree(heap, block);
        block = next;
    }
}

ElementPool* CreatePrivate(OsHeap* heap, int32_t slotSize, int32_t minBlock, int32_t maxBlock, int32_t mode) {
    auto* pool = static_cast<ElementPool*>(OsHeapAlloc(heap, sizeof(ElementPool)));
    if (!pool) return nullptr;
    pool->heap = heap;
    pool->fullBlocks = nullptr;
    pool->openBlocks = nullptr;
    pool->registryEntry = nullptr;
    pool->totalSlots = 0;
    pool->slotSize = slotSize;
    pool->minBlock = minBlock;
    pool->maxBlock = maxBlock;
    pool->locked = (mode & 3) == POOL_LOCKED ? 1 : 0;
    if (pool->locked) OsLockInit(&pool->lock);
    return pool;
}

void ReleasePrivate(ElementPool* pool) {
    ElementPoolReset(pool);
    if (pool->locked) OsLockDelete(&pool->lock);
    OsHeapFree(pool->heap, pool);
}

}  // namespace

ElementPool* ElementPoolCreate(int32_t elementSize, int32_t minBlock, int32_t maxBlock, int32_t mode) {
    if (elementSize < 0 || elementSize > INT32_MAX - 2 * kHeader) return nullptr;
    int32_t slotSize = (elementSize + kHeader + kHeader - 1) & ~(kHeader - 1);
    if (!(mode & POOL_SHARED)) return CreatePrivate(Process.mainHeap, slotSize, minBlock, maxBlock, mode);

    RegistryEnter();
    for (PoolRegistryEntry* entry = g_registryHead; entry; entry = entry->next) {
        if (entry->slotSize == slotSize && entry->mode == mode) {
            entry->referenceCount += 1;
            RegistryLeave();
            return entry->pool;
        }
    }
    auto* entry = static_cast<PoolRegistryEntry*>(OsHeapAlloc(g_registryHeap, sizeof(PoolRegistryEntry)));
    ElementPool* pool =
        entry ? CreatePrivate(g_registryHeap, slotSize, minBlock, maxBlock, mode & ~POOL_SHARED) : nullptr;
    if (!pool) {
        OsHeapFree(g_registryHeap, entry);
        RegistryLeave();
        return nullptr;
    }
    pool->registryEntry = entry;
    entry->pool = pool;
    entry->slotSize = slotSize;
    entry->mode = mode;
    entry->referenceCount = 1;
    entry->prev = nullptr;
    entry->next = g_registryHead;
    if (g_registryHead) g_registryHead->prev = entry;
    g_registryHead = entry;
    RegistryLeave();
    return pool;
}

void* ElementPoolAlloc(ElementPool* pool) {
    if (!pool) return nullptr;
    PoolGuard guard(pool);
    PoolBlock* block = pool->openBlocks;
    char* slot = nullptr;
    if (block) {
        if (block->freeCount > 0) {
            slot = static_cast<char*>(block->freeList);
            block->freeList = *reinterpret_cast<void**>(slot);
            block->freeCount -= 1;
        } else {
            slot = SlotAt(block, block->used, pool->slotSize);
            block->used += 1;
        }
        if (block->freeCount == 0 && block->used >= block->capacity) {
            Unlink(&pool->openBlocks, block);
            PushFront(&pool->fullBlocks, block);
        }
    } else {
        block = Grow(pool);
        if (!block) return nullptr;
        slot = SlotAt(block, 0, pool->slotSize);
    }
    *reinterpret_cast<PoolBlock**>(slot) = block;
    return slot + kHeader;
}

void ElementPoolFree(ElementPool* pool, void* element) {
    if (!pool || !element) return;
    PoolGuard guard(pool);
    char* slot = static_cast<char*>(element) - kHeader;
    PoolBlock* block = *reinterpret_cast<PoolBlock**>(slot);
    *reinterpret_cast<void**>(slot) = block->freeList;
    block->freeList = slot;
    block->freeCount += 1;
    // The block had no slot left exactly when this is its first free slot
    // and its never-used part is gone.
    bool wasFull = block->freeCount == 1 && block->used >= block->capacity;
    if (block->freeCount == block->used) {
        Unlink(wasFull ? &pool->fullBlocks : &pool->openBlocks, block);
        pool->totalSlots -= block->capacity;
        OsHeapFree(pool->heap, block);
    } else if (wasFull) {
        Unlink(&pool->fullBlocks, block);
        PushFront(&pool->openBlocks, block);
    }
}

void ElementPoolReset(ElementPool* pool) {
    if (!pool) return;
    PoolGuard guard(pool);
    FreeList(pool->heap, pool->openBlocks);
    FreeList(pool->heap, pool->fullBlocks);
    pool->openBlocks = nullptr;
    pool->fullBlocks = nullptr;
    pool->totalSlots = 0;
}

void ElementPoolRelease(ElementPool* pool) {
    if (!pool) return;
    if (!pool->registryEntry) {
        ReleasePrivate(pool);
        return;
    }
    RegistryEnter();
    PoolRegistryEntry* entry = pool->registryEntry;
    entry->referenceCount -= 1;
    if (entry->referenceCount <= 0) {
        pool->registryEntry = nullptr;
        ReleasePrivate(pool);
        if (entry->prev)
            entry->prev->next = entry->next;
        else
            g_registryHead = entry->next;
        if (entry->next) entry->next->prev = entry->prev;
        OsHeapFree(g_registryHeap, entry);
    }
    RegistryLeave();
}

int32_t PoolRegistryCount() {
    RegistryEnter();
    int32_t count = 0;
    for (PoolRegistryEntry* entry = g_registryHead; entry; entry = entry->next) ++count;
    RegistryLeave();
    return count;
}

long PoolRegistryHeapBlocks() {
    RegistryEnter();
    long count = g_registryHeap ? OsHeapBlockCount(g_registryHeap) : 0;
    RegistryLeave();
    return count;
}
