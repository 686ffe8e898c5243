// Numbered object tables, the runtime's doubly linked list and per-layer
// state records.
//
// Every layer addresses its objects by a number the caller chooses (0 and up)
// or, with AnyNumber, by a handle the table hands out: the address of an
// unnumbered object. An object is a zero-filled block whose first field, an
// intptr_t, holds the layer's platform handle and is non-zero while the object
// is live. All memory comes from the main heap.
//
// A value that is neither a slot number nor the handle of an unnumbered
// object of the table (a number never created beyond the slots, a negative
// number, a handle already freed) is no object: lookups return null and frees
// do nothing. Such a value is never dereferenced.
#pragma once

#include <cstdint>

constexpr intptr_t AnyNumber = -1;

// Destroys one object given its number or handle; given AnyNumber, all of
// them. Each layer's public free or close operation serves as its callback.
using FreeCallback = void (*)(intptr_t number);

// Header of a list node; the caller's payload follows it.
struct ListNode {
    ListNode* next;      // the following, older node; null at the end
    ListNode* previous;  // the preceding, newer node; null at the front
};

struct ObjectTable {
    int32_t objectSize;         // bytes of one object, at least one intptr_t
    int32_t growStep;           // initial slot count, and the margin past a number that grows the array
    int32_t capacity;           // slot count; 0 .. capacity - 1 are slot numbers
    void** slots;               // slot n: the block of number n, or null if n was never used
    ListNode* anyList;          // unnumbered objects, newest first
    FreeCallback freeCallback;  // may be null
    int32_t iterIndex;          // next slot the cursor examines
    ListNode* iterNode;         // next unnumbered node the cursor returns; null when done
};

// A new table of `growStep` empty slots, or null when memory is exhausted.
ObjectTable* ObjectTableCreate(int32_t objectSize, int32_t growStep, FreeCallback freeCallback);

// The object for `number` (0 or more, or AnyNumber), created if needed. A
// block already in the slot is handed to the FreeCallback first (which
// destroys a live object and zeroes it) and then returned as it is. Null when
// memory is exhausted or the number cannot be a slot; the table is then
// unchanged.
void* ObjectTableGetOrCreate(ObjectTable* table, intptr_t number);

// The slot array never grows past this many bytes, on every target: its
// size then fits a 32-bit size_t with room to spare, and a number whose
// array no 32-bit process could allocate is refused before any work.
constexpr int64_t OBJECT_TABLE_MAX_SLOT_BYTES = int64_t{1} << 28;

// The largest number a table growing by `growStep` can hold where a slot
// (a pointer) takes `slotSize` bytes; negative when it can hold none.
constexpr int64_t ObjectTableLargestNumber(int32_t growStep, int32_t slotSize) {
    return OBJECT_TABLE_MAX_SLOT_BYTES / slotSize - growStep;
}

// Non-zero when `number` is AnyNumber or a number GetOrCreate can make a slot
// for (memory permitting); callers check it before work that a refusal
// would waste or undo.
int32_t ObjectTableCanHold(const ObjectTable* table, intptr_t number);

// The live object of a number or handle, or null.
void* ObjectTableLookup(ObjectTable* table, intptr_t number);

// Makes an object absent: a numbered block is zeroed and stays in its slot,
// an unnumbered object is unlinked and released. Never calls the FreeCallback.
void ObjectTableFreeObject(ObjectTable* table, intptr_t number);

// Calls the FreeCallback once for each live object: numbered objects by
// ascending number, then unnumbered ones from the oldest to the newest. The
// callback may free the object it is given. Must not be re-entered on the
// same table from its own callback.
void ObjectTableFreeAll(ObjectTable* table);

// Iteration over live objects. The cursor moves past an object before
// returning it, so the caller may free the object it was just given; one
// iteration per table at a time.
void ObjectTableIterBegin(ObjectTable* table);
// The next object, or null at the end; writes its number or handle to *id.
void* ObjectTableIterNext(ObjectTable* table, intptr_t* id);

// Pushes a zero-filled node of `nodeSize` bytes in all (header included) at
// the front of the list and returns its payload, or null with the list
// unchanged.
void* ListNodeAdd(ListNode** head, int32_t nodeSize);
// Unlinks the node that carries `payload` and releases it.
void ListNodeRemove(ListNode** head, void* payload);

// The payload address of a list node, and back.
inline void* ListNodePayload(ListNode* node) { return node + 1; }
inline ListNode* ListNodeOf(void* payload) { return static_cast<ListNode*>(payload) - 1; }

// A layer's state record: a zero-filled block on which `initialiser` (if
// given) has run once. It lives until the process ends. The handle is the
// record itself.
using StateInitialiser = void (*)(void* record);
void* StateRecordCreate(int32_t size, StateInitialiser initialiser);
void* StateRecordGet(void* stateHandle);
