// Element pools against malloc and free, and keyed map lookups with the
// event layer's 8-bit keys.
//
// The pool benchmarks hold N elements live and then, per iteration, give
// back the oldest and take a new one, as a queue does; malloc and free run
// the same pattern. The map benchmarks look up "%d:%d:%d:%d" keys in a map of
// 1024 buckets holding N elements, found and not found.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/os.h"
#include "runtime/element_pool.h"
#include "runtime/keyed_map.h"
#include "runtime/process_values.h"

namespace {

constexpr int32_t kElementSize = 32;

// A fresh main heap for one benchmark run.
struct MainHeap {
    MainHeap() { Process.mainHeap = OsHeapCreate(1 << 20); }
    ~MainHeap() {
        OsHeapDestroy(Process.mainHeap);
        Process.mainHeap = nullptr;
    }
};

void BM_ElementPoolAllocFree(benchmark::State& state) {
    MainHeap heap;
    const size_t live = static_cast<size_t>(state.range(0));
    ElementPool* pool = ElementPoolCreate(kElementSize, 16, 256, 2);
    std::vector<void*> elements(live);
    for (void*& element : elements) element = ElementPoolAlloc(pool);
    size_t oldest = 0;
    for (auto _ : state) {
        ElementPoolFree(pool, elements[oldest]);
        void* element = ElementPoolAlloc(pool);
        benchmark::DoNotOptimize(element);
        elements[oldest] = element;
        if (++oldest == live) oldest = 0;
    }
    for (void* element : elements) ElementPoolFree(pool, element);
    ElementPoolRelease(pool);
}

void BM_MallocFree(benchmark::State& state) {
    const size_t live = static_cast<size_t>(state.range(0));
    std::vector<void*> elements(live);
    for (void*& element : elements) element = std::malloc(kElementSize);
    size_t oldest = 0;
    for (auto _ : state) {
        std::free(elements[oldest]);
        void* element = std::malloc(kElementSize);
        benchmark::DoNotOptimize(element);
        elements[oldest] = element;
        if (++oldest == live) oldest = 0;
    }
    for (void* element : elements) std::free(element);
}

BENCHMARK(BM_ElementPoolAllocFree)->RangeMultiplier(8)->Range(16, 1 << 20)->Arg(1000000);
BENCHMARK(BM_MallocFree)->RangeMultiplier(8)->Range(16, 1 << 20)->Arg(1000000);

std::string EventKey(int event, int window, int gadget, int type) {
    char text[64];
    std::snprintf(text, sizeof text, "%d:%d:%d:%d", event, window, gadget, type);
    return text;
}

// A map of N bindings and the keys to look up: present ones, or keys that
// differ only in their last field (same kind of chain walk, no match).
void LookUp(benchmark::State& state, bool hits) {
    MainHeap heap;
    const int count = static_cast<int>(state.range(0));
    KeyedMap* map = nullptr;
    KeyedMapCreate(8, 7, nullptr, &map, 1024);
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) {
        std::string key = EventKey(13100 + i % 19, i / 19 % 64, i / (19 * 64), 0);
        KeyedMapAdd(map, std::u16string(key.begin(), key.end()).c_str(), 0);
        keys.push_back(hits ? key : EventKey(13100 + i % 19, i / 19 % 64, i / (19 * 64), 1));
    }
    size_t next = 0;
    for (auto _ : state) {
        void* element = KeyedMapFindAnsi(map, keys[next].c_str());
        benchmark::DoNotOptimize(element);
        if (++next == keys.size()) next = 0;
    }
    KeyedMapFree(map);
}

void BM_KeyedMapFindAnsiHit(benchmark::State& state) { LookUp(state, true); }
void BM_KeyedMapFindAnsiMiss(benchmark::State& state) { LookUp(state, false); }

BENCHMARK(BM_KeyedMapFindAnsiHit)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_KeyedMapFindAnsiMiss)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
