// Element pools: fixed-size slots carved out of larger blocks, so that many
// small records do not each cost a heap allocation. A private pool's memory
// comes from the main heap; the shared pools live on the registry's own heap
// (below).
//
// A slot is one header word followed by the element. While the slot is handed
// out the header names its block; while it is free it links the block's free
// list. The header is pointer-sized: 32 bits in the product, 64 natively.
//
// Blocks grow with the pool: a new block holds about a sixteenth of the slots
// the pool already has, rounded down to a multiple of 16 and kept within
// minBlock and maxBlock. When that block cannot be had the pool falls back to
// a block of one slot. A block is released as soon as every slot it has
// handed out is back.
//
// Pools created with POOL_SHARED are shared, reference-counted, by every
// caller asking for the same slot size and mode; the registry that finds them
// has its own lock. A shared pool itself is unguarded unless POOL_LOCKED is
// part of the mode. The registry is process-wide and never torn down, so its
// entries and shared pools live on a heap of its own that lasts as long:
// destroying the main heap with a shared pool still in use leaves the
// registry whole.
#pragma once

#include <cstdint>

#include "os/os.h"

// Mode bits of ElementPoolCreate. The low two bits equal to POOL_LOCKED give
// the pool a lock of its own (any other value there leaves it unguarded);
// POOL_SHARED takes the pool from the registry.
constexpr int32_t POOL_LOCKED = 1;
constexpr int32_t POOL_SHARED = 4;

struct PoolBlock {
    PoolBlock* next;   // next block in the same list, null at the end
    PoolBlock* prev;   // previous block in the same list, null at the head
    void* freeList;    // first free slot; each free slot's header holds the next one
    int32_t capacity;  // slots in the block, at least 1
    int32_t used;      // slots 0 .. used - 1 have been handed out at least once; used <= capacity
    int32_t freeCount; // slots on freeList; 0 <= freeCount < used while the block exists
};

struct PoolRegistryEntry;

struct ElementPool {
    PoolBlock* fullBlocks;            // blocks with no slot left: freeCount = 0 and used = capacity
    PoolBlock* openBlocks;            // blocks with at least one slot left; allocation serves from the first
    PoolRegistryEntry* registryEntry; // the registry entry of a shared pool, else null
    int32_t totalSlots;               // sum of the capacities of all blocks; 0 for a new pool
    int32_t slotSize;                 // element size plus the header, rounded up to a whole header word
    int32_t minBlock;                 // fewest slots a new block gets (a failing block falls back to 1)
    int32_t maxBlock;                 // most slots a new block gets
    int32_t locked;                   // 1 when `lock` guards allocation, release and reset
    OsLock lock;                      // initialised only when locked = 1
    OsHeap* heap;                     // holds the record and its blocks: the main heap, or the registry's
};

struct PoolRegistryEntry {
    PoolRegistryEntry* next;  // next entry, null at the end
    PoolRegistryEntry* prev;  // previous entry, null at the head
    ElementPool* pool;        // the shared pool; its registryEntry points back here
    int32_t slotSize;         // the pool's slot size, the first half of the key
    int32_t mode;             // the whole mode value asked for, POOL_SHARED included
    int32_t referenceCount;   // users of the pool; the entry and pool go when it drops to 0
};

// A pool of elements of `elementSize` bytes, or null when memory is exhausted
// or the size is negative or too large. With POOL_SHARED an existing pool of
// the same slot size and mode is returned with one more reference; its own
// minBlock and maxBlock stay as they were.
ElementPool* ElementPoolCreate(int32_t elementSize, int32_t minBlock, int32_t maxBlock, int32_t mode);

// An uninitialised element, or null when no block could be had.
void* ElementPoolAlloc(ElementPool* pool);

// Gives an element back to the pool it came from; null is ignored.
void ElementPoolFree(ElementPool* pool, void* element);

// Releases every block at once; every element of the pool becomes invalid,
// for every user of a shared pool.
void ElementPoolReset(ElementPool* pool);

// Drops one reference to a shared pool, releasing it with its blocks when
// none is left; releases a private pool at once. Null is ignored.
void ElementPoolRelease(ElementPool* pool);

// How many shared pools are registered now.
int32_t PoolRegistryCount();
// How many blocks the registry's heap holds (entries, shared pools and their
// blocks); tests use it to find leaks.
long PoolRegistryHeapBlocks();
