// KeyedMap: a hash map from text keys to fixed-size elements, with a bucket
// count fixed at creation (no rehashing), chains within a bucket (newest
// first) and a built-in cursor for iterating and deleting. Elements are
// addressed by their payload address, which stays valid while the element
// exists. Nodes come from an element pool shared by every map of the same
// element size; the map's private key copies come from the main heap. A map
// has no lock: one thread at a time, and all maps of one element size on one
// thread, since they share an unguarded pool.
//
// Keys are stored as UTF-16. KeyedMapFindAnsi takes ASCII text: each byte
// matches the UTF-16 unit of the same value, and since ASCII hashes alike in
// both widths it finds, with no conversion, what KeyedMapAdd stored under the
// same characters. A byte above 0x7F names no character without a code page
// and matches nothing. A null key is the empty text everywhere.
#pragma once

#include <cstdint>

struct ElementPool;

// One pool element: the header below, then elementSize bytes of payload.
struct KeyedMapNode {
    KeyedMapNode* next;   // the next, older node of the same bucket chain; null at the end
    const char16_t* key;  // the map's private, NUL-terminated copy of the key
    uint32_t hash;        // KeyedMapHash(key): a chain walk compares it before touching the key
};

// Cursor: KeyedMapIterNext visits buckets in ascending order, newest first
// within one; the caller may KeyedMapDeleteCurrent the element just returned,
// and the next KeyedMapIterNext then returns the element that followed it.
struct KeyedMap {
    KeyedMapNode* current;     // node under the cursor; null before the first element or past the last
    KeyedMapNode** buckets;    // bucketCount chain heads
    KeyedMapNode* previous;    // if not null: the node the cursor visits just before current; null: none or not known
    KeyedMapNode* spare;       // a node with the empty key, never in a chain; the cursor stands on it while clearing
    const void* layout;        // element layout; stored only: elements are plain bytes, never deep-copied or released
    int32_t bucketIndex;       // bucket of current; -1: before the first element; past the last otherwise
    int32_t savedBucketIndex;  // bucket of previous while previous is not null
    int32_t elementSize;       // payload bytes per element, 0 or more
    int32_t elementKind;       // caller's kind code, stored only
    int32_t bucketCount;       // at least 1; fixed for the map's life
    int32_t count;             // elements reachable from the buckets
    int32_t flags;             // options word, 0
    KeyedMap** owner;          // the variable that holds the map (may be null); cleared when the map is freed
    void* extraBlocks;         // blocks freed with the map, each starting with the next one's address
    ElementPool* pool;         // where the nodes come from, shared with maps of the same element size
};

// Frees the map the owner variable holds (if any), then creates an empty map
// with max(bucketCount, 1) buckets and stores it there. Null when memory is
// exhausted or elementSize is negative or too large; the owner then holds
// null.
KeyedMap* KeyedMapCreate(int32_t elementSize, int32_t elementKind, const void* layout, KeyedMap** owner,
                         int32_t bucketCount);

// A zero-filled element under `key`. With reuse non-zero an element already
// stored under the key is cleared and returned instead of adding one; with
// reuse 0 a new element always goes in, hiding any older one with the same
// key. The cursor stands on the element afterwards. Null when memory is
// exhausted, the map unchanged.
void* KeyedMapAdd(KeyedMap* map, const char16_t* key, int32_t reuse);

// The newest element under `key`, compared exactly, case-sensitively; the
// cursor moves onto it. Null when absent, the cursor unchanged.
void* KeyedMapFind(KeyedMap* map, const char16_t* key);
void* KeyedMapFindAnsi(KeyedMap* map, const char* key);

// Puts the cursor before the first element.
void KeyedMapIterReset(KeyedMap* map);
// The next element, or null once past the last (and on every later call).
void* KeyedMapIterNext(KeyedMap* map);
// Deletes the element under the cursor and moves the cursor onto the element
// visited before it, which it returns (null when there is none).
void* KeyedMapDeleteCurrent(KeyedMap* map);

// Deletes every element; the map stays usable, its cursor reset.
void KeyedMapClear(KeyedMap* map);
// Deletes the map with its elements and clears its owner variable. Null is
// ignored.
void KeyedMapFree(KeyedMap* map);

// Adds a copy of every element of `source` (in cursor order, as KeyedMapAdd
// with reuse 0 would) to `target`, after clearing it when clearFirst is
// non-zero. All or nothing: 1 on success; 0, with the target unchanged, when
// either map is null, the element sizes differ or memory is exhausted. The
// source's cursor is not moved; the target's ends on the last copy added.
int32_t KeyedMapCopy(KeyedMap* source, KeyedMap* target, int32_t clearFirst);

// h = h * 65599 + c over the key's characters, unsigned 32-bit with
// wrap-around; c is the UTF-16 unit zero-extended, or the byte sign-extended.
uint32_t KeyedMapHash(const char16_t* key);
uint32_t KeyedMapHashAnsi(const char* key);

// The operations through which element fields that are maps themselves are
// created, copied and freed.
struct ContainerHooks {
    KeyedMap* (*mapCreate)(int32_t elementSize, int32_t elementKind, const void* layout, KeyedMap** owner,
                           int32_t bucketCount);
    int32_t (*mapCopy)(KeyedMap* source, KeyedMap* target, int32_t clearFirst);
    void (*mapFree)(KeyedMap* map);
};

// The process's hooks; null until MapHooksInit has run at start-up.
extern ContainerHooks RuntimeHooks;
void MapHooksInit();
