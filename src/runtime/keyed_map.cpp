#include "runtime/keyed_map.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "os/os.h"
#include "runtime/element_pool.h"
#include "runtime/process_values.h"

ContainerHooks RuntimeHooks;

namespace {

constexpr int32_t kNodeHeader = static_cast<int32_t>(sizeof(KeyedMapNode));
constexpr char16_t kEmptyKey[] = u"";

void* Payload(KeyedMapNode* node) { return reinterpret_cast<char*>(node) + kNodeHeader; }

uint32_t Bucket(const KeyedMap* map, uint32_t hash) { return hash % static_cast<uint32_t>(map->bucketCount); }

// Puts a node, its hash set, at the head of its bucket's chain (newest
// first) and the cursor on it.
void LinkNewest(KeyedMap* map, KeyedMapNode* node) {
    int32_t bucket = static_cast<int32_t>(Bucket(map, node->hash));
    node->next = map->buckets[bucket];
    map->buckets[bucket] = node;
    map->count += 1;
    map->current = node;
    map->bucketIndex = bucket;
    map->previous = nullptr;
    map->savedBucketIndex = -1;
}

size_t Length(const char16_t* key) {
    size_t length = 0;
    while (key[length]) ++length;
    return length;
}

// The key's private copy, or null.
const char16_t* CopyKey(const char16_t* key, size_t length) {
    if (length > SIZE_MAX / sizeof(char16_t) - 1) return nullptr;
    size_t bytes = (length + 1) * sizeof(char16_t);
    auto* copy = static_cast<char16_t*>(OsHeapAlloc(Process.mainHeap, bytes));
    if (copy) std::memcpy(copy, key, bytes);
    return copy;
}

void FreeKey(const char16_t* key) { OsHeapFree(Process.mainHeap, const_cast<char16_t*>(key)); }

void FreeNode(KeyedMap* map, KeyedMapNode* node) {
    FreeKey(node->key);
    ElementPoolFree(map->pool, node);
}

bool SameKey(const char16_t* stored, const char16_t* key) {
    for (;; ++stored, ++key) {
        if (*stored != *key) return false;
        if (!*key) return true;
    }
}

bool SameKey(const char16_t* stored, const char* key) {
    for (;; ++stored, ++key) {
        if (*stored != static_cast<unsigned char>(*key)) return false;
        if (!*key) return true;
    }
}

// The lookup shared by both key widths. Only a match touches the cursor: a
// miss must leave a deletion that follows it deleting the right node.
template <typename Char>
void* Find(KeyedMap* map, const Char* key, uint32_t hash) {
    int32_t bucket = static_cast<int32_t>(Bucket(map, hash));
    KeyedMapNode* before = nullptr;
    for (KeyedMapNode* node = map->buckets[bucket]; node; before = node, node = node->next) {
        if (node->hash == hash && SameKey(node->key, key)) {
            map->current = node;
            map->bucketIndex = bucket;
            // A chain predecessor is also the cursor's; a bucket head's is
            // found when a deletion needs it.
            map->previous = before;
            map->savedBucketIndex = bucket;
            return Payload(node);
        }
    }
    return nullptr;
}

// The node the cursor visits just before `node` of bucket `bucket`: its
// chain predecessor, or the last node of the nearest non-empty bucket below.
void FindPredecessor(const KeyedMap* map, KeyedMapNode* node, int32_t bucket, KeyedMapNode** before,
                     int32_t* beforeBucket) {
    KeyedMapNode* walk = map->buckets[bucket];
    if (walk != node) {
        while (walk->next != node) walk = walk->next;
        *before = walk;
        *beforeBucket = bucket;
        return;
    }
    for (int32_t index = bucket - 1; index >= 0; --index) {
        if ((walk = map->buckets[index])) {
            while (walk->next) walk = walk->next;
            *before = walk;
            *beforeBucket = index;
            return;
        }
    }
    *before = nullptr;
    *beforeBucket = -1;
}

void ResetCursor(KeyedMap* map) {
    map->current = nullptr;
    map->previous = nullptr;
    map->bucketIndex = -1;
    map->savedBucketIndex = -1;
}

}  // namespace

uint32_t KeyedMapHash(const char16_t* key) {
    uint32_t hash = 0;
    if (key) {
        for (; *key; ++key) hash = hash * 65599u + static_cast<uint32_t>(*key);
    }
    return hash;
}

uint32_t KeyedMapHashAnsi(const char* key) {
    uint32_t hash = 0;
    if (key) {
        for (; *key; ++key) hash = hash * 65599u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*key)));
    }
    return hash;
}

KeyedMap* KeyedMapCreate(int32_t elementSize, int32_t elementKind, const void* layout, KeyedMap** owner,
                         int32_t bucketCount) {
    if (owner) KeyedMapFree(*owner);
    if (elementSize < 0 || elementSize > INT32_MAX - 64 - kNodeHeader) return nullptr;
    if (bucketCount <= 0) bucketCount = 1;
    if (static_cast<size_t>(bucketCount) > SIZE_MAX / sizeof(KeyedMapNode*)) return nullptr;

    auto* map = static_cast<KeyedMap*>(OsHeapAlloc(Process.mainHeap, sizeof(KeyedMap)));
    if (!map) return nullptr;
    map->buckets = static_cast<KeyedMapNode**>(
        OsHeapAlloc(Process.mainHeap, sizeof(KeyedMapNode*) * static_cast<size_t>(bucketCount)));
    map->pool = map->buckets ? ElementPoolCreate(kNodeHeader + elementSize, 16, 65536, POOL_SHARED) : nullptr;
    map->spare = map->pool ? static_cast<KeyedMapNode*>(OsHeapAlloc(Process.mainHeap, kNodeHeader + elementSize))
                           : nullptr;
    if (!map->spare) {
        ElementPoolRelease(map->pool);
        OsHeapFree(Process.mainHeap, map->buckets);
        OsHeapFree(Process.mainHeap, map);
        return nullptr;
    }
    map->spare->key = kEmptyKey;
    map->spare->hash = 0;
    map->layout = layout;
    map->elementSize = elementSize;
    map->elementKind = elementKind;
    map->bucketCount = bucketCount;
    map->count = 0;
    map->flags = 0;
    map->owner = owner;
    map->extraBlocks = nullptr;
    ResetCursor(map);
    if (owner) *owner = map;
    return map;
}

void* KeyedMapAdd(KeyedMap* map, const char16_t* key, int32_t reuse) {
    if (!map) return nullptr;
    if (!key) key = kEmptyKey;
    uint32_t hash = KeyedMapHash(key);
    if (reuse) {
        if (void* element = Find(map, key, hash)) {
            std::memset(element, 0, static_cast<size_t>(map->elementSize));
            return element;
        }
    }
    // The key copy first, then the node: a failure of either leaves the map
    // and its pool as they were.
    const char16_t* copy = CopyKey(key, Length(key));
    if (!copy) return nullptr;
    auto* node = static_cast<KeyedMapNode*>(ElementPoolAlloc(map->pool));
    if (!node) {
        FreeKey(copy);
        return nullptr;
    }
    node->key = copy;
    node->hash = hash;
    LinkNewest(map, node);
    void* element = Payload(node);
    std::memset(element, 0, static_cast<size_t>(map->elementSize));
    return element;
}

void* KeyedMapFind(KeyedMap* map, const char16_t* key) {
    if (!map) return nullptr;
    if (!key) key = kEmptyKey;
    return Find(map, key, KeyedMapHash(key));
}

void* KeyedMapFindAnsi(KeyedMap* map, const char* key) {
    if (!map) return nullptr;
    if (!key) key = "";
    uint32_t hash = 0;
    for (const char* c = key; *c; ++c) {
        if (static_cast<unsigned char>(*c) > 0x7F) return nullptr;
        hash = hash * 65599u + static_cast<uint32_t>(*c);
    }
    return Find(map, key, hash);
}

void KeyedMapIterReset(KeyedMap* map) {
    if (map) ResetCursor(map);
}

void* KeyedMapIterNext(KeyedMap* map) {
    if (!map) return nullptr;
    map->previous = map->current;
    map->savedBucketIndex = map->bucketIndex;
    int32_t start = 0;
    if (map->current) {
        map->current = map->current->next;
        if (map->current) return Payload(map->current);
        start = map->bucketIndex + 1;
    } else if (map->bucketIndex != -1) {
        return nullptr;
    }
    for (int32_t bucket = start; bucket < map->bucketCount; ++bucket) {
        if (map->buckets[bucket]) {
            map->bucketIndex = bucket;
            map->current = map->buckets[bucket];
            return Payload(map->current);
        }
    }
    // Past the last element; bucketIndex stays off -1 so that later calls
    // keep returning null.
    map->bucketIndex = start;
    return nullptr;
}

void* KeyedMapDeleteCurrent(KeyedMap* map) {
    if (!map || !map->current) return nullptr;
    KeyedMapNode* node = map->current;
    int32_t bucket = map->bucketIndex;
    KeyedMapNode* before = map->previous;
    int32_t beforeBucket = map->savedBucketIndex;
    if (!before) FindPredecessor(map, node, bucket, &before, &beforeBucket);

    if (map->buckets[bucket] == node)
        map->buckets[bucket] = node->next;
    else
        before->next = node->next;
    map->count -= 1;
    map->current = before;
    map->bucketIndex = beforeBucket;
    // The new current's own predecessor is not known; a second deletion in a
    // row finds it.
    map->previous = nullptr;
    map->savedBucketIndex = -1;
    FreeNode(map, node);
    return before ? Payload(before) : nullptr;
}

void KeyedMapClear(KeyedMap* map) {
    if (!map) return;
    ResetCursor(map);
    while (KeyedMapIterNext(map)) {
        KeyedMapNode* node = map->current;
        // The cursor moves onto the spare, which leads on along the chain
        // once the node is gone.
        map->spare->next = node->next;
        map->current = map->spare;
        FreeNode(map, node);
    }
    map->spare->next = nullptr;
    std::memset(map->buckets, 0, sizeof(KeyedMapNode*) * static_cast<size_t>(map->bucketCount));
    ResetCursor(map);
    map->count = 0;
}

void KeyedMapFree(KeyedMap* map) {
    if (!map) return;
    KeyedMapClear(map);
    ElementPoolRelease(map->pool);
    OsHeapFree(Process.mainHeap, map->buckets);
    OsHeapFree(Process.mainHeap, map->spare);
    for (void* block = map->extraBlocks; block;) {
        void* next = *static_cast<void**>(block);
        OsHeapFree(Process.mainHeap, block);
        block = next;
    }
    // The variable may hold another map by now; that one is not ours to drop.
    if (map->owner && *map->owner == map) *map->owner = nullptr;
    OsHeapFree(Process.mainHeap, map);
}

int32_t KeyedMapCopy(KeyedMap* source, KeyedMap* target, int32_t clearFirst) {
    if (!source || !target || source->elementSize != target->elementSize) return 0;

    // Every copy is made before the target changes, so that running out of
    // memory half-way leaves the target as it was, and a map copied onto
    // itself does not see its own copies. They are chained against the
    // source's order and each is linked at the front of its chain, so that
    // elements under one key keep their order: the copy finds the element
    // the source finds.
    KeyedMapNode* copies = nullptr;
    bool failed = false;
    for (int32_t bucket = 0; bucket < source->bucketCount && !failed; ++bucket) {
        for (KeyedMapNode* node = source->buckets[bucket]; node; node = node->next) {
            const char16_t* key = CopyKey(node->key, Length(node->key));
            auto* copy = key ? static_cast<KeyedMapNode*>(ElementPoolAlloc(target->pool)) : nullptr;
            if (!copy) {
                if (key) FreeKey(key);
                failed = true;
                break;
            }
            copy->key = key;
            copy->hash = node->hash;
            std::memcpy(Payload(copy), Payload(node), static_cast<size_t>(source->elementSize));
            copy->next = copies;
            copies = copy;
        }
    }
    if (failed) {
        while (copies) {
            KeyedMapNode* next = copies->next;
            FreeNode(target, copies);
            copies = next;
        }
        return 0;
    }

    if (clearFirst) KeyedMapClear(target);
    while (copies) {
        KeyedMapNode* copy = copies;
        copies = copy->next;
        LinkNewest(target, copy);
    }
    return 1;
}

void MapHooksInit() {
    RuntimeHooks.mapCreate = KeyedMapCreate;
    RuntimeHooks.mapCopy = KeyedMapCopy;
    RuntimeHooks.mapFree = KeyedMapFree;
}
