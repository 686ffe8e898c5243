#include "support/runtime_models.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "os/os.h"
#include "runtime/element_pool.h"
#include "runtime/keyed_map.h"
#include "runtime/object_table.h"
#include "runtime/process_values.h"

namespace {

constexpr int32_t kWord = static_cast<int32_t>(sizeof(void*));
constexpr long kMaxSteps = 4000;

class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return size_ > 0; }
    uint8_t Byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// Tells whether the armed allocation failure fell within an operation.
class FailureWatch {
public:
    void Arm(long n) {
        OsAllocFailAt(n);
        armedAt_ = n > 0 ? OsAllocCount() + n : 0;
    }
    void Disarm() { Arm(0); }
    void Begin() { start_ = OsAllocCount(); }
    bool Hit() {
        bool hit = armedAt_ != 0 && start_ < armedAt_ && armedAt_ <= OsAllocCount();
        if (hit) armedAt_ = 0;
        return hit;
    }

private:
    long armedAt_ = 0;
    long start_ = 0;
};

class Harness {
protected:
    std::string Failed(const char* what, int line) const {
        return "step " + std::to_string(step_) + " (operation " + std::to_string(op_) + "): " + what + " [line " +
               std::to_string(line) + "]";
    }
    // Blocks of both heaps the runtime allocates from: the main heap and the
    // registry's, which holds the shared pools.
    long HeapBlocks() const { return OsHeapBlockCount(Process.mainHeap) + PoolRegistryHeapBlocks(); }

    // Runs the script's operations one by one, checking the invariants after
    // each, until one fails or the script ends; the empty text when all held.
    template <typename StepFn, typename CheckFn>
    std::string RunSteps(Script& script, StepFn step, CheckFn check) {
        std::string failure;
        while (failure.empty() && script.More() && step_ < kMaxSteps) {
            ++step_;
            failure = step();
            if (failure.empty()) failure = check();
        }
        return failure;
    }

    // Stops failure injection and reports what the run allocated and how
    // many injected failures its operations reported.
    void Finish(HarnessOptions* options, long firstAllocation) {
        watch_.Disarm();
        options->allocations = OsAllocCount() - firstAllocation;
        options->failuresReported = reported_;
    }

    long step_ = 0;
    int op_ = -1;
    long reported_ = 0;  // operations that reported an injected failure
    FailureWatch watch_;
};

#define REQUIRE(condition)                                          \
    do {                                                            \
        if (!(condition)) return Failed(#condition, __LINE__);      \
    } while (0)
#define PASS_ON(call)                                               \
    do {                                                            \
        std::string failure_ = (call);                              \
        if (!failure_.empty()) return failure_;                     \
    } while (0)

PoolBlock* BlockOf(const void* element) {
    PoolBlock* block;
    std::memcpy(&block, static_cast<const char*>(element) - kWord, sizeof block);
    return block;
}

int32_t SlotSizeFor(int32_t elementSize) { return (elementSize + kWord + kWord - 1) / kWord * kWord; }

// The documented growth rule: a sixteenth of the slots held, rounded down to
// a multiple of 16, within the limits, never below one.
int32_t BlockSlotsFor(int32_t totalSlots, int32_t minBlock, int32_t maxBlock) {
    int32_t slots = totalSlots / 16 / 16 * 16;
    if (slots < minBlock)
        slots = minBlock;
    else if (slots > maxBlock)
        slots = maxBlock;
    return slots < 1 ? 1 : slots;
}

// ---------------------------------------------------------------- pools

struct PoolModel {
    int32_t usable = 0;  // bytes of an element the pool's users may write
    int32_t mode = 0;
    int references = 0;
    std::map<char*, uint8_t> live;  // element -> the byte it is filled with
};

class PoolHarness : Harness {
public:
    std::string Run(Script& script, HarnessOptions* options) {
        long baseline = HeapBlocks();
        long firstAllocation = OsAllocCount();
        REQUIRE(PoolRegistryCount() == 0);
        if (options->failAt > 0) watch_.Arm(options->failAt);
        std::string failure = RunSteps(
            script, [&] { return Step(script, options->scriptedFailures); }, [&] { return Check(baseline); });
        Finish(options, firstAllocation);
        for (int h = 0; h < kHandles; ++h) Release(h);
        if (!failure.empty()) return failure;
        REQUIRE(models_.empty());
        REQUIRE(PoolRegistryCount() == 0);
        REQUIRE(HeapBlocks() == baseline);
        return {};
    }

private:
    static constexpr int kHandles = 4;

    std::string Step(Script& script, bool scriptedFailures) {
        op_ = script.Byte() % 8;
        int h = script.Byte() % kHandles;
        switch (op_) {
        case 0: return Create(h, script);
        case 1: return Alloc(h);
        case 2: return Free(h, script.Byte());
        case 3:
            if (handles_[h]) {
                ElementPoolReset(handles_[h]);
                models_[handles_[h]].live.clear();
            }
            return {};
        case 4: Release(h); return {};
        case 5:
            if (scriptedFailures) watch_.Arm(1 + script.Byte() % 4);
            return {};
        case 6:
            for (int n = script.Byte() % 48; n > 0; --n) PASS_ON(Alloc(h));
            return {};
        default:
            for (int n = script.Byte() % 48; n > 0; --n) PASS_ON(Free(h, 0));
            return {};
        }
    }

    std::string Create(int h, Script& script) {
        static const int32_t kModes[] = {0, POOL_LOCKED, 2, 3, POOL_SHARED, POOL_SHARED | POOL_LOCKED, POOL_SHARED | 2};
        Release(h);
        int32_t elementSize = script.Byte() % 41;
        int32_t minBlock = script.Byte() % 40 - 4;
        int32_t maxBlock = script.Byte() % 200 - 4;
        int32_t mode = kModes[script.Byte() % 7];
        ElementPool* existing = nullptr;
        if (mode & POOL_SHARED) {
            for (auto& [pool, model] : models_) {
                if (model.mode == mode && pool->slotSize == SlotSizeFor(elementSize)) existing = pool;
            }
        }
        watch_.Begin();
        ElementPool* pool = ElementPoolCreate(elementSize, minBlock, maxBlock, mode);
        bool injected = watch_.Hit();
        if (!pool) {
            REQUIRE(injected && !existing);
            ++reported_;
            return {};
        }
        REQUIRE(!injected);
        if (existing) {
            REQUIRE(pool == existing);
        } else {
            REQUIRE(models_.count(pool) == 0);
            REQUIRE(pool->totalSlots == 0 && !pool->openBlocks && !pool->fullBlocks);
            REQUIRE(pool->minBlock == minBlock && pool->maxBlock == maxBlock);
            REQUIRE(pool->locked == ((mode & 3) == POOL_LOCKED ? 1 : 0));
            REQUIRE(pool->slotSize == SlotSizeFor(elementSize));
            models_[pool].usable = pool->slotSize - kWord;
            models_[pool].mode = mode;
        }
        models_[pool].references += 1;
        handles_[h] = pool;
        return {};
    }

    void Release(int h) {
        ElementPool* pool = handles_[h];
        if (!pool) return;
        ElementPoolRelease(pool);
        handles_[h] = nullptr;
        if (--models_[pool].references == 0) models_.erase(pool);
    }

    std::string Alloc(int h) {
        ElementPool* pool = handles_[h];
        if (!pool) return {};
        PoolModel& model = models_[pool];
        if (model.live.size() >= 3000) return {};
        int32_t totalBefore = pool->totalSlots;
        watch_.Begin();
        auto* element = static_cast<char*>(ElementPoolAlloc(pool));
        bool injected = watch_.Hit();
        if (!element) {
            REQUIRE(injected);
            REQUIRE(pool->totalSlots == totalBefore);
            ++reported_;
            return {};
        }
        REQUIRE(reinterpret_cast<uintptr_t>(element) % kWord == 0);
        REQUIRE(model.live.count(element) == 0);
        // Slots, header included, must not overlap their neighbours.
        auto next = model.live.upper_bound(element);
        if (next != model.live.end()) REQUIRE(element + pool->slotSize <= next->first);
        if (next != model.live.begin()) REQUIRE(std::prev(next)->first + pool->slotSize <= element);
        PoolBlock* block = BlockOf(element);
        if (pool->totalSlots != totalBefore) {
            REQUIRE(block->capacity == pool->totalSlots - totalBefore);
            REQUIRE(block->capacity == BlockSlotsFor(totalBefore, pool->minBlock, pool->maxBlock) ||
                    (block->capacity == 1 && injected));
            REQUIRE(element == reinterpret_cast<char*>(block) + sizeof(PoolBlock) + kWord);
        } else {
            REQUIRE(!injected);
        }
        uint8_t fill = ++nextFill_;
        std::memset(element, fill, static_cast<size_t>(model.usable));
        model.live[element] = fill;
        return {};
    }

    std::string Free(int h, uint8_t which) {
        ElementPool* pool = handles_[h];
        if (!pool || models_[pool].live.empty()) return {};
        PoolModel& model = models_[pool];
        auto it = model.live.begin();
        std::advance(it, which % model.live.size());
        ElementPoolFree(pool, it->first);
        model.live.erase(it);
        return {};
    }

    std::string Check(long baseline) {
        long expectedHeap = baseline;
        int32_t shared = 0;
        for (auto& [pool, model] : models_) {
            if (model.mode & POOL_SHARED) {
                ++shared;
                ++expectedHeap;
                PoolRegistryEntry* entry = pool->registryEntry;
                REQUIRE(entry && entry->pool == pool && entry->mode == model.mode);
                REQUIRE(entry->slotSize == pool->slotSize && entry->referenceCount == model.references);
            } else {
                REQUIRE(pool->registryEntry == nullptr);
            }
            std::set<PoolBlock*> blocks;
            long total = 0;
            size_t handedOut = 0;
            for (int list = 0; list < 2; ++list) {
                PoolBlock* previous = nullptr;
                for (PoolBlock* block = list ? pool->fullBlocks : pool->openBlocks; block; block = block->next) {
                    REQUIRE(block->prev == previous);
                    REQUIRE(blocks.insert(block).second);
                    REQUIRE(block->capacity >= 1 && block->used >= 1 && block->used <= block->capacity);
                    REQUIRE(block->freeCount >= 0 && block->freeCount < block->used);
                    if (list)
                        REQUIRE(block->freeCount == 0 && block->used == block->capacity);
                    else
                        REQUIRE(block->freeCount > 0 || block->used < block->capacity);
                    char* first = reinterpret_cast<char*>(block) + sizeof(PoolBlock);
                    int32_t onFreeList = 0;
                    for (void* slot = block->freeList; slot; std::memcpy(&slot, slot, sizeof slot)) {
                        REQUIRE(++onFreeList <= block->freeCount);
                        auto offset = static_cast<char*>(slot) - first;
                        REQUIRE(offset >= 0 && offset < static_cast<long>(block->used) * pool->slotSize);
                        REQUIRE(offset % pool->slotSize == 0);
                    }
                    REQUIRE(onFreeList == block->freeCount);
                    total += block->capacity;
                    handedOut += static_cast<size_t>(block->used - block->freeCount);
                    previous = block;
                }
            }
            REQUIRE(total == pool->totalSlots);
            REQUIRE(handedOut == model.live.size());
            for (auto& [element, fill] : model.live) {
                REQUIRE(blocks.count(BlockOf(element)) == 1);
                for (int32_t i = 0; i < model.usable; ++i) REQUIRE(static_cast<uint8_t>(element[i]) == fill);
            }
            expectedHeap += 1 + static_cast<long>(blocks.size());
        }
        REQUIRE(PoolRegistryCount() == shared);
        REQUIRE(HeapBlocks() == expectedHeap);
        return {};
    }

    ElementPool* handles_[kHandles] = {};
    std::map<ElementPool*, PoolModel> models_;
    uint8_t nextFill_ = 0;
};

// ---------------------------------------------------------------- maps

constexpr int32_t kNodeHeader = static_cast<int32_t>(sizeof(KeyedMapNode));

uint32_t ModelHash(const std::u16string& key) {
    uint32_t hash = 0;
    for (char16_t unit : key) hash = hash * 65599u + unit;
    return hash;
}

char* PayloadOf(KeyedMapNode* node) { return reinterpret_cast<char*>(node) + kNodeHeader; }

// Element contents derived from one value, word by word, so that a copy, a
// clear or a stray write shows.
void WriteValue(char* element, int32_t size, uint32_t value) {
    for (int32_t i = 0; i + 4 <= size; i += 4) {
        uint32_t word = value ^ (static_cast<uint32_t>(i) * 0x9E3779B9u);
        std::memcpy(element + i, &word, 4);
    }
}

bool HoldsValue(const char* element, int32_t size, uint32_t value) {
    for (int32_t i = 0; i + 4 <= size; i += 4) {
        uint32_t word;
        std::memcpy(&word, element + i, 4);
        if (word != (value ^ (static_cast<uint32_t>(i) * 0x9E3779B9u))) return false;
    }
    return true;
}

bool AllZero(const char* element, int32_t size) {
    for (int32_t i = 0; i < size; ++i)
        if (element[i]) return false;
    return true;
}

struct MapEntry {
    std::u16string key;
    uint32_t value;
    uint64_t seq;   // insertion order; unique
    char* element;  // null until first seen (copies)
};

enum class Cursor { kBefore, kOn, kPast };

struct MapModel {
    KeyedMap* map = nullptr;  // the owner variable
    int32_t bucketCount = 1;
    int32_t elementSize = 8;
    std::vector<MapEntry> entries;
    Cursor cursor = Cursor::kBefore;
    uint64_t cursorSeq = 0;

    int32_t BucketOf(const std::u16string& key) const {
        return static_cast<int32_t>(ModelHash(key) % static_cast<uint32_t>(bucketCount));
    }
    // Iteration order: buckets ascending, newest first within one.
    std::vector<MapEntry*> Order() {
        std::vector<MapEntry*> order;
        for (MapEntry& entry : entries) order.push_back(&entry);
        std::sort(order.begin(), order.end(), [this](const MapEntry* a, const MapEntry* b) {
            int32_t ba = BucketOf(a->key), bb = BucketOf(b->key);
            return ba != bb ? ba < bb : a->seq > b->seq;
        });
        return order;
    }
    MapEntry* Newest(const std::u16string& key) {
        MapEntry* newest = nullptr;
        for (MapEntry& entry : entries)
            if (entry.key == key && (!newest || entry.seq > newest->seq)) newest = &entry;
        return newest;
    }
    void Erase(uint64_t seq) {
        entries.erase(std::find_if(entries.begin(), entries.end(), [seq](const MapEntry& e) { return e.seq == seq; }));
    }
    void Reset() {
        entries.clear();
        cursor = Cursor::kBefore;
    }
};

class MapHarness : Harness {
public:
    std::string Run(Script& script, HarnessOptions* options) {
        long baseline = HeapBlocks();
        long firstAllocation = OsAllocCount();
        REQUIRE(PoolRegistryCount() == 0);
        if (options->failAt > 0) watch_.Arm(options->failAt);
        std::string failure = RunSteps(
            script, [&] { return Step(script, options->scriptedFailures); }, [&] { return Check(baseline); });
        Finish(options, firstAllocation);
        for (MapModel& model : models_) KeyedMapFree(model.map);
        if (!failure.empty()) return failure;
        for (MapModel& model : models_) REQUIRE(model.map == nullptr);
        REQUIRE(PoolRegistryCount() == 0);
        REQUIRE(HeapBlocks() == baseline);
        return {};
    }

private:
    static constexpr int kMaps = 3;

    std::u16string Key(Script& script) {
        static const char16_t kUnits[] = {u'a', u'b', u'c', u':', u'1', u'0', 0x00E9, 0x0416};
        std::u16string key;
        for (int n = script.Byte() % 4; n > 0; --n) key += kUnits[script.Byte() % 8];
        return key;
    }

    std::string Step(Script& script, bool scriptedFailures) {
        op_ = script.Byte() % 14;
        MapModel& model = models_[script.Byte() % kMaps];
        switch (op_) {
        case 0:
        case 1: {
            std::u16string key = Key(script);
            bool nullKey = key.empty() && (script.Byte() & 1);
            return Add(model, key, nullKey, op_);
        }
        case 2: return Find(model, Key(script), false);
        case 3: return Find(model, Key(script), true);
        case 4:
            KeyedMapIterReset(model.map);
            if (model.map) model.cursor = Cursor::kBefore;
            return {};
        case 5: return Next(model);
        case 6: return DeleteCurrent(model);
        case 7: {
            uint32_t modulus = 2 + script.Byte() % 3;
            return Purge(model, modulus, script.Byte());
        }
        case 8:
            KeyedMapClear(model.map);
            if (model.map) model.Reset();
            return {};
        case 9: {
            MapModel& target = models_[script.Byte() % kMaps];
            return Copy(model, target, script.Byte() & 1);
        }
        case 10: return Create(model, script.Byte());
        case 11:
            KeyedMapFree(model.map);
            REQUIRE(model.map == nullptr);
            model.Reset();
            return {};
        case 12:
            if (scriptedFailures) watch_.Arm(1 + script.Byte() % 4);
            return {};
        default: {
            // Many keys at once, for long chains and several pool blocks.
            for (int n = script.Byte() % 32; n > 0; --n) {
                std::string text = std::to_string(script.Byte()) + ":" + std::to_string(step_ % 7);
                PASS_ON(Add(model, std::u16string(text.begin(), text.end()), false, 0));
            }
            return {};
        }
        }
    }

    std::string Create(MapModel& model, uint8_t choice) {
        static const int32_t kBuckets[] = {0, -5, 1, 2, 7, 1024};
        int32_t buckets = kBuckets[choice % 6];
        int32_t elementSize = (choice & 0x80) ? 12 : 8;
        watch_.Begin();
        KeyedMap* map = KeyedMapCreate(elementSize, 7, nullptr, &model.map, buckets);
        bool injected = watch_.Hit();
        model.Reset();
        if (!map) {
            REQUIRE(injected);
            REQUIRE(model.map == nullptr);
            ++reported_;
            return {};
        }
        REQUIRE(!injected);
        REQUIRE(model.map == map);
        REQUIRE(map->bucketCount == std::max(buckets, 1));
        REQUIRE(map->elementSize == elementSize && map->elementKind == 7 && map->owner == &model.map);
        model.bucketCount = map->bucketCount;
        model.elementSize = elementSize;
        return {};
    }

    std::string Add(MapModel& model, const std::u16string& key, bool nullKey, int reuse) {
        if (!model.map || model.entries.size() >= 600) return {};
        MapEntry* hit = reuse ? model.Newest(key) : nullptr;
        watch_.Begin();
        auto* element = static_cast<char*>(KeyedMapAdd(model.map, nullKey ? nullptr : key.c_str(), reuse));
        bool injected = watch_.Hit();
        if (hit) {
            REQUIRE(element == hit->element);
            REQUIRE(!injected);
            REQUIRE(AllZero(element, model.elementSize));
        } else if (!element) {
            REQUIRE(injected);
            ++reported_;
            return {};
        } else {
            REQUIRE(AllZero(element, model.elementSize));
            // An injected failure inside a successful add can only have been
            // the pool's full block, replaced by a block of one slot.
            if (injected) REQUIRE(BlockOf(element - kNodeHeader)->capacity == 1);
            model.entries.push_back({key, 0, ++seq_, element});
            hit = &model.entries.back();
        }
        hit->value = ++nextValue_;
        WriteValue(element, model.elementSize, hit->value);
        model.cursor = Cursor::kOn;
        model.cursorSeq = hit->seq;
        return {};
    }

    std::string Find(MapModel& model, const std::u16string& key, bool ansi) {
        if (!model.map) return {};
        MapEntry* expected = model.Newest(key);
        void* found = nullptr;
        if (ansi) {
            std::string narrow;
            bool ascii = true;
            for (char16_t unit : key) {
                ascii = ascii && unit < 0x80;
                narrow += unit < 0x80 ? static_cast<char>(unit) : '\xE9';
            }
            if (!ascii) expected = nullptr;
            found = KeyedMapFindAnsi(model.map, narrow.empty() && (step_ & 1) ? nullptr : narrow.c_str());
        } else {
            found = KeyedMapFind(model.map, key.empty() && (step_ & 1) ? nullptr : key.c_str());
        }
        REQUIRE(found == (expected ? expected->element : nullptr));
        if (expected) {
            model.cursor = Cursor::kOn;
            model.cursorSeq = expected->seq;
        }
        return {};
    }

    // Where the cursor stands in the iteration order; -1 before the first.
    long Position(MapModel& model, const std::vector<MapEntry*>& order) {
        if (model.cursor != Cursor::kOn) return -1;
        for (size_t i = 0; i < order.size(); ++i)
            if (order[i]->seq == model.cursorSeq) return static_cast<long>(i);
        return -2;
    }

    std::string Next(MapModel& model) {
        if (!model.map) return {};
        std::vector<MapEntry*> order = model.Order();
        MapEntry* next = nullptr;
        if (model.cursor == Cursor::kBefore && !order.empty()) next = order[0];
        if (model.cursor == Cursor::kOn) {
            long at = Position(model, order);
            REQUIRE(at >= 0);
            if (static_cast<size_t>(at) + 1 < order.size()) next = order[at + 1];
        }
        void* returned = KeyedMapIterNext(model.map);
        REQUIRE(returned == (next ? next->element : nullptr));
        model.cursor = next ? Cursor::kOn : Cursor::kPast;
        if (next) model.cursorSeq = next->seq;
        return {};
    }

    std::string DeleteCurrent(MapModel& model) {
        if (!model.map) return {};
        if (model.cursor != Cursor::kOn) {
            REQUIRE(KeyedMapDeleteCurrent(model.map) == nullptr);
            return {};
        }
        std::vector<MapEntry*> order = model.Order();
        long at = Position(model, order);
        REQUIRE(at >= 0);
        MapEntry* before = at > 0 ? order[at - 1] : nullptr;
        char* expected = before ? before->element : nullptr;
        uint64_t beforeSeq = before ? before->seq : 0;
        REQUIRE(KeyedMapDeleteCurrent(model.map) == expected);
        model.Erase(order[at]->seq);
        model.cursor = expected ? Cursor::kOn : Cursor::kBefore;
        model.cursorSeq = beforeSeq;
        return {};
    }

    // The purge of the event layer: delete the matching elements during one
    // pass; every element must be visited exactly once.
    std::string Purge(MapModel& model, uint32_t modulus, uint32_t remainder) {
        if (!model.map) return {};
        struct Seen {
            uint64_t seq;
            char* element;
            uint32_t value;
        };
        std::vector<Seen> expected;
        for (MapEntry* entry : model.Order()) expected.push_back({entry->seq, entry->element, entry->value});
        size_t visited = 0;
        KeyedMapIterReset(model.map);
        while (void* element = KeyedMapIterNext(model.map)) {
            REQUIRE(visited < expected.size());
            REQUIRE(element == expected[visited].element);
            if (expected[visited].value % modulus == remainder % modulus) {
                KeyedMapDeleteCurrent(model.map);
                model.Erase(expected[visited].seq);
            }
            ++visited;
        }
        REQUIRE(visited == expected.size());
        model.cursor = Cursor::kPast;
        return {};
    }

    std::string Copy(MapModel& source, MapModel& target, int clearFirst) {
        if (!source.map || !target.map || source.elementSize != target.elementSize) {
            REQUIRE(KeyedMapCopy(source.map, target.map, clearFirst) == 0);
            return {};
        }
        std::vector<MapEntry> copies;
        // Linked last to first: the first in the source's order is the newest.
        for (MapEntry* entry : source.Order()) copies.insert(copies.begin(), {entry->key, entry->value, 0, nullptr});
        watch_.Begin();
        int32_t result = KeyedMapCopy(source.map, target.map, clearFirst);
        bool injected = watch_.Hit();
        if (result == 0) {
            REQUIRE(injected);
            ++reported_;
            return {};
        }
        REQUIRE(result == 1);
        if (clearFirst) target.Reset();
        for (MapEntry& copy : copies) {
            copy.seq = ++seq_;
            target.entries.push_back(copy);
        }
        if (!copies.empty()) {
            target.cursor = Cursor::kOn;
            target.cursorSeq = seq_;
        }
        return {};
    }

    std::string Check(long baseline) {
        long expectedHeap = baseline;
        std::map<ElementPool*, int32_t> poolUsers;
        std::map<ElementPool*, long> poolElements;
        for (MapModel& model : models_) {
            KeyedMap* map = model.map;
            if (!map) continue;
            REQUIRE(map->owner == &model.map);
            REQUIRE(map->bucketCount == model.bucketCount && map->elementSize == model.elementSize);
            REQUIRE(map->count == static_cast<int32_t>(model.entries.size()));
            REQUIRE(map->spare && map->spare->next == nullptr && map->spare->key[0] == 0);
            std::vector<KeyedMapNode*> walk;
            for (int32_t bucket = 0; bucket < map->bucketCount; ++bucket) {
                for (KeyedMapNode* node = map->buckets[bucket]; node; node = node->next) {
                    REQUIRE(walk.size() < model.entries.size());
                    REQUIRE(model.BucketOf(node->key) == bucket);
                    REQUIRE(node->hash == ModelHash(node->key));
                    walk.push_back(node);
                }
            }
            std::vector<MapEntry*> order = model.Order();
            REQUIRE(walk.size() == order.size());
            for (size_t i = 0; i < walk.size(); ++i) {
                REQUIRE(walk[i]->key == order[i]->key);
                if (!order[i]->element) order[i]->element = PayloadOf(walk[i]);
                REQUIRE(PayloadOf(walk[i]) == order[i]->element);
                REQUIRE(HoldsValue(order[i]->element, model.elementSize, order[i]->value));
            }
            switch (model.cursor) {
            case Cursor::kBefore: REQUIRE(!map->current && map->bucketIndex == -1); break;
            case Cursor::kPast: REQUIRE(!map->current && map->bucketIndex != -1); break;
            case Cursor::kOn: {
                long at = Position(model, order);
                REQUIRE(at >= 0 && map->current && PayloadOf(map->current) == order[at]->element);
                REQUIRE(map->bucketIndex == model.BucketOf(order[at]->key));
                // A remembered predecessor must be the true one.
                if (map->previous) {
                    REQUIRE(at > 0 && PayloadOf(map->previous) == order[at - 1]->element);
                    REQUIRE(map->savedBucketIndex == model.BucketOf(order[at - 1]->key));
                }
                break;
            }
            }
            expectedHeap += 3 + map->count;
            poolUsers[map->pool] += 1;
            poolElements[map->pool] += map->count;
        }
        for (auto& [pool, users] : poolUsers) {
            REQUIRE(pool->registryEntry && pool->registryEntry->referenceCount == users);
            long blocks = 0, handedOut = 0;
            for (PoolBlock* list : {pool->openBlocks, pool->fullBlocks}) {
                for (PoolBlock* block = list; block; block = block->next) {
                    ++blocks;
                    handedOut += block->used - block->freeCount;
                }
            }
            REQUIRE(handedOut == poolElements[pool]);
            expectedHeap += 2 + blocks;
        }
        REQUIRE(PoolRegistryCount() == static_cast<int32_t>(poolUsers.size()));
        REQUIRE(HeapBlocks() == expectedHeap);
        return {};
    }

    MapModel models_[kMaps];
    uint64_t seq_ = 0;
    uint32_t nextValue_ = 0;
};

// ---------------------------------------------------------------- tables

struct TableObject {
    intptr_t handle;  // live mark
    uint32_t value;
};

ObjectTable* g_harnessTable = nullptr;
std::vector<intptr_t> g_harnessFreed;

void HarnessFreeCallback(intptr_t number) {
    if (number == AnyNumber) {
        ObjectTableFreeAll(g_harnessTable);
        return;
    }
    g_harnessFreed.push_back(number);
    if (ObjectTableLookup(g_harnessTable, number)) ObjectTableFreeObject(g_harnessTable, number);
}

struct TableEntry {
    TableObject* object;
    intptr_t handle;  // 0: absent
    uint32_t value;
};

class TableHarness : Harness {
public:
    std::string Run(Script& script, HarnessOptions* options) {
        long baseline = HeapBlocks();
        long firstAllocation = OsAllocCount();
        if (options->failAt > 0) watch_.Arm(options->failAt);
        growStep_ = 1 + script.Byte() % 8;
        watch_.Begin();
        table_ = g_harnessTable = ObjectTableCreate(sizeof(TableObject), growStep_, HarnessFreeCallback);
        bool injected = watch_.Hit();
        std::string failure;
        if (!table_) {
            failure = injected ? std::string() : Failed("table not created", __LINE__);
            reported_ += injected ? 1 : 0;
        } else {
            capacity_ = growStep_;
            failure = RunSteps(
                script, [&] { return Step(script, options->scriptedFailures); }, [&] { return Check(baseline); });
        }
        Finish(options, firstAllocation);
        if (table_) {
            // Tables live as long as the process; take this one apart by hand.
            for (TableEntry& entry : any_) ObjectTableFreeObject(table_, reinterpret_cast<intptr_t>(entry.object));
            for (int32_t n = 0; n < table_->capacity; ++n) OsHeapFree(Process.mainHeap, table_->slots[n]);
            OsHeapFree(Process.mainHeap, table_->slots);
            OsHeapFree(Process.mainHeap, table_);
        }
        g_harnessTable = nullptr;
        if (!failure.empty()) return failure;
        REQUIRE(HeapBlocks() == baseline);
        return {};
    }

private:
    std::string Step(Script& script, bool scriptedFailures) {
        op_ = script.Byte() % 8;
        uint8_t choice = script.Byte();
        switch (op_) {
        case 0: return Create(choice % 48, script.Byte());
        case 1: return Create(AnyNumber, script.Byte());
        case 2: return Lookup(PickValue(choice));
        case 3: return Free(PickValue(choice));
        case 4: return FreeAll();
        case 5: return Iterate();
        case 6:
            if (scriptedFailures) watch_.Arm(1 + choice % 3);
            return {};
        default: return Toggle(choice);
        }
    }

    // A number or handle to look up or free: slot numbers, numbers beyond
    // the slots, live and stale handles, and values that are no object.
    intptr_t PickValue(uint8_t choice) {
        switch (choice % 5) {
        case 0:
        case 1: return choice % 48;
        case 2:
            if (!any_.empty()) return reinterpret_cast<intptr_t>(any_[choice % any_.size()].object);
            return choice;
        case 3:
            if (!stale_.empty()) return stale_[choice % stale_.size()];
            return -2;
        default: {
            static const intptr_t kJunk[] = {-2, INTPTR_MIN, INTPTR_MAX, 1000000, 0x10};
            return kJunk[choice % 5];
        }
        }
    }

    TableEntry* Find(intptr_t value) {
        if (value >= 0 && value < capacity_) {
            auto it = numbered_.find(value);
            return it == numbered_.end() ? nullptr : &it->second;
        }
        for (TableEntry& entry : any_)
            if (reinterpret_cast<intptr_t>(entry.object) == value) return &entry;
        return nullptr;
    }

    std::string Create(intptr_t number, uint8_t fill) {
        g_harnessFreed.clear();
        int32_t capacity = table_->capacity;
        watch_.Begin();
        auto* object = static_cast<TableObject*>(ObjectTableGetOrCreate(table_, number));
        bool injected = watch_.Hit();
        TableEntry* existing = number == AnyNumber ? nullptr : Find(number);
        if (existing) {
            // The callback destroys a live object; an absent one comes back
            // as it is, not cleared.
            REQUIRE(object == existing->object && !injected);
            REQUIRE(g_harnessFreed == std::vector<intptr_t>{number});
            if (existing->handle) existing->handle = existing->value = 0;
        } else {
            REQUIRE(g_harnessFreed.empty());
            if (!object) {
                REQUIRE(injected);
                REQUIRE(table_->capacity == capacity);
                ++reported_;
                return {};
            }
            REQUIRE(!injected);
            if (number == AnyNumber) {
                any_.push_back({object, 0, 0});
                existing = &any_.back();
                stale_.erase(std::remove(stale_.begin(), stale_.end(), reinterpret_cast<intptr_t>(object)),
                             stale_.end());
            } else {
                if (number >= capacity_) capacity_ = static_cast<int32_t>(number) + growStep_;
                existing = &numbered_[number];
                existing->object = object;
            }
        }
        REQUIRE(object->handle == 0 && object->value == existing->value);
        if (fill & 3) {
            existing->handle = object->handle = ++nextHandle_;
            existing->value = object->value = fill;
        }
        return {};
    }

    std::string Lookup(intptr_t value) {
        TableEntry* entry = Find(value);
        void* expected = entry && entry->handle ? entry->object : nullptr;
        REQUIRE(ObjectTableLookup(table_, value) == expected);
        return {};
    }

    std::string Free(intptr_t value) {
        TableEntry* entry = Find(value);
        ObjectTableFreeObject(table_, value);
        if (!entry) return {};
        if (value >= 0 && value < capacity_) {
            entry->handle = 0;
            entry->value = 0;
        } else {
            stale_.push_back(value);
            any_.erase(any_.begin() + (entry - any_.data()));
        }
        return {};
    }

    // Live numbered objects ascending, then every unnumbered one oldest first.
    std::vector<intptr_t> ExpectedVisits() {
        std::vector<intptr_t> visits;
        for (auto& [number, entry] : numbered_)
            if (entry.handle) visits.push_back(number);
        for (TableEntry& entry : any_) visits.push_back(reinterpret_cast<intptr_t>(entry.object));
        return visits;
    }

    std::string FreeAll() {
        std::vector<intptr_t> expected = ExpectedVisits();
        g_harnessFreed.clear();
        ObjectTableFreeAll(table_);
        REQUIRE(g_harnessFreed == expected);
        for (auto& [number, entry] : numbered_)
            if (entry.handle) entry.handle = entry.value = 0;
        // The callback frees only what it can look up: live objects.
        std::vector<TableEntry> kept;
        for (TableEntry& entry : any_) {
            if (entry.handle)
                stale_.push_back(reinterpret_cast<intptr_t>(entry.object));
            else
                kept.push_back(entry);
        }
        any_ = kept;
        return {};
    }

    std::string Iterate() {
        std::vector<intptr_t> expected = ExpectedVisits();
        std::vector<intptr_t> visited;
        ObjectTableIterBegin(table_);
        intptr_t id = 0;
        while (void* object = ObjectTableIterNext(table_, &id)) {
            REQUIRE(visited.size() < expected.size());
            REQUIRE(object == Find(id)->object);
            visited.push_back(id);
        }
        REQUIRE(visited == expected);
        return {};
    }

    std::string Toggle(uint8_t choice) {
        TableEntry* entry = Find(PickValue(choice));
        if (!entry) return {};
        entry->handle = entry->handle ? 0 : ++nextHandle_;
        entry->object->handle = entry->handle;
        return {};
    }

    std::string Check(long baseline) {
        REQUIRE(table_->capacity == capacity_);
        long numberedBlocks = 0;
        for (int32_t n = 0; n < capacity_; ++n) {
            auto it = numbered_.find(n);
            REQUIRE(table_->slots[n] == (it == numbered_.end() ? nullptr : it->second.object));
            if (it == numbered_.end()) continue;
            ++numberedBlocks;
            REQUIRE(it->second.object->handle == it->second.handle && it->second.object->value == it->second.value);
        }
        // The list runs newest first, with consistent back links.
        size_t index = any_.size();
        ListNode* previous = nullptr;
        for (ListNode* node = table_->anyList; node; node = node->next) {
            REQUIRE(index > 0);
            REQUIRE(ListNodePayload(node) == any_[--index].object);
            REQUIRE(node->previous == previous);
            previous = node;
        }
        REQUIRE(index == 0);
        REQUIRE(HeapBlocks() == baseline + 2 + numberedBlocks + static_cast<long>(any_.size()));
        return {};
    }

    ObjectTable* table_ = nullptr;
    int32_t growStep_ = 1;
    int32_t capacity_ = 0;
    std::map<intptr_t, TableEntry> numbered_;
    std::vector<TableEntry> any_;  // oldest first
    std::vector<intptr_t> stale_;  // handles of freed unnumbered objects
    intptr_t nextHandle_ = 0;
};

}  // namespace

std::vector<uint8_t> RandomScript(uint32_t seed, size_t size) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> script(size);
    for (uint8_t& byte : script) byte = static_cast<uint8_t>(generator() >> 24);
    return script;
}

std::string RunElementPoolScript(const uint8_t* data, size_t size, HarnessOptions* options) {
    Script script(data, size);
    return PoolHarness().Run(script, options);
}

std::string RunKeyedMapScript(const uint8_t* data, size_t size, HarnessOptions* options) {
    Script script(data, size);
    return MapHarness().Run(script, options);
}

std::string RunObjectTableScript(const uint8_t* data, size_t size, HarnessOptions* options) {
    Script script(data, size);
    return TableHarness().Run(script, options);
}
