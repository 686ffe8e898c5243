#include "runtime/object_table.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "os/os.h"
#include "runtime/process_values.h"

ProcessValues Process;

namespace {

bool IsSlotNumber(const ObjectTable* table, intptr_t number) {
    return number >= 0 && number < table->capacity;
}

// The unnumbered object whose handle is `number`, found by membership so
// that a stale or made-up value is never taken for an address.
ListNode* FindAnyNode(const ObjectTable* table, intptr_t number) {
    for (ListNode* node = table->anyList; node; node = node->next) {
        if (reinterpret_cast<intptr_t>(ListNodePayload(node)) == number) return node;
    }
    return nullptr;
}

bool IsLive(const void* object) { return *static_cast<const intptr_t*>(object) != 0; }

}  // namespace

static_assert(OBJECT_TABLE_MAX_SLOT_BYTES <= static_cast<int64_t>(SIZE_MAX / 2) &&
                  OBJECT_TABLE_MAX_SLOT_BYTES <= INT32_MAX,
              "a slot array of the largest size must fit size_t and a slot count int32_t without wrapping");

namespace {

constexpr int32_t SLOT_SIZE = static_cast<int32_t>(sizeof(void*));

}  // namespace

ObjectTable* ObjectTableCreate(int32_t objectSize, int32_t growStep, FreeCallback freeCallback) {
    if (objectSize < static_cast<int32_t>(sizeof(intptr_t)) || growStep < 1 ||
        ObjectTableLargestNumber(growStep, SLOT_SIZE) < 0)
        return nullptr;
    auto* table = static_cast<ObjectTable*>(OsHeapAlloc(Process.mainHeap, sizeof(ObjectTable)));
    if (!table) return nullptr;
    auto* slots = static_cast<void**>(OsHeapAlloc(Process.mainHeap, sizeof(void*) * growStep));
    if (!slots) {
        OsHeapFree(Process.mainHeap, table);
        return nullptr;
    }
    table->objectSize = objectSize;
    table->growStep = growStep;
    table->capacity = growStep;
    table->slots = slots;
    table->freeCallback = freeCallback;
    return table;
}

int32_t ObjectTableCanHold(const ObjectTable* table, intptr_t number) {
    return number == AnyNumber ||
           (number >= 0 && static_cast<int64_t>(number) <= ObjectTableLargestNumber(table->growStep, SLOT_SIZE));
}

void* ObjectTableGetOrCreate(ObjectTable* table, intptr_t number) {
    if (number == AnyNumber) {
        return ListNodeAdd(&table->anyList, static_cast<int32_t>(sizeof(ListNode)) + table->objectSize);
    }
    if (!ObjectTableCanHold(table, number)) return nullptr;

    if (number < table->capacity && table->slots[number]) {
        if (table->freeCallback) table->freeCallback(number);
        return table->slots[number];
    }

    // The block first, then the array: a failure of either leaves the table
    // exactly as it was.
    void* block = OsHeapAlloc(Process.mainHeap, table->objectSize);
    if (!block) return nullptr;
    if (number >= table->capacity) {
        // Not doubled: the array ends growStep entries past the number asked for.
        int32_t capacity = static_cast<int32_t>(number) + table->growStep;
        auto* slots = static_cast<void**>(
            OsHeapReAlloc(Process.mainHeap, table->slots, sizeof(void*) * static_cast<size_t>(capacity)));
        if (!slots) {
            OsHeapFree(Process.mainHeap, block);
            return nullptr;
        }
        table->slots = slots;
        table->capacity = capacity;
    }
    table->slots[number] = block;
    return block;
}

void* ObjectTableLookup(ObjectTable* table, intptr_t number) {
    void* object = nullptr;
    if (IsSlotNumber(table, number)) {
        object = table->slots[number];
    } else if (ListNode* node = FindAnyNode(table, number)) {
        object = ListNodePayload(node);
    }
    return object && IsLive(object) ? object : nullptr;
}

void ObjectTableFreeObject(ObjectTable* table, intptr_t number) {
    if (IsSlotNumber(table, number)) {
        if (table->slots[number]) std::memset(table->slots[number], 0, table->objectSize);
        return;
    }
    if (ListNode* node = FindAnyNode(table, number)) {
        if (table->iterNode == node) table->iterNode = node->previous;
        ListNodeRemove(&table->anyList, ListNodePayload(node));
    }
}

void ObjectTableIterBegin(ObjectTable* table) {
    table->iterIndex = 0;
    ListNode* oldest = table->anyList;
    while (oldest && oldest->next) oldest = oldest->next;
    table->iterNode = oldest;
}

void* ObjectTableIterNext(ObjectTable* table, intptr_t* id) {
    while (table->iterIndex < table->capacity) {
        int32_t index = table->iterIndex++;
        void* block = table->slots[index];
        if (block && IsLive(block)) {
            *id = index;
            return block;
        }
    }
    if (ListNode* node = table->iterNode) {
        table->iterNode = node->previous;
        void* payload = ListNodePayload(node);
        *id = reinterpret_cast<intptr_t>(payload);
        return payload;
    }
    return nullptr;
}

void ObjectTableFreeAll(ObjectTable* table) {
    if (!table->freeCallback) return;
    ObjectTableIterBegin(table);
    intptr_t id = 0;
    while (ObjectTableIterNext(table, &id)) table->freeCallback(id);
}

void* ListNodeAdd(ListNode** head, int32_t nodeSize) {
    if (nodeSize < static_cast<int32_t>(sizeof(ListNode))) return nullptr;
    auto* node = static_cast<ListNode*>(OsHeapAlloc(Process.mainHeap, nodeSize));
    if (!node) return nullptr;
    if (*head) {
        (*head)->previous = node;
        node->next = *head;
    }
    *head = node;
    return ListNodePayload(node);
}

void ListNodeRemove(ListNode** head, void* payload) {
    ListNode* node = ListNodeOf(payload);
    if (node == *head) {
        *head = node->next;
        if (*head) (*head)->previous = nullptr;
    } else {
        node->previous->next = node->next;
        if (node->next) node->next->previous = node->previous;
    }
    OsHeapFree(Process.mainHeap, node);
}

void* StateRecordCreate(int32_t size, StateInitialiser initialiser) {
    void* record = OsHeapAlloc(Process.mainHeap, size);
    if (record && initialiser) initialiser(record);
    return record;
}

void* StateRecordGet(void* stateHandle) { return stateHandle; }
