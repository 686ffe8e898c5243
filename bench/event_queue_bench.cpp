// EventPost followed by EventNext with an empty binding map of 1024 buckets:
// one queue round trip plus the five binding lookups every event makes, with
// 0 and with 100,000 events already queued. The cost must not depend on the
// queue's length.
#include <benchmark/benchmark.h>

#include "os/os.h"
#include "runtime/keyed_map.h"
#include "runtime/process_values.h"
#include "ui/window/event_queue.h"

namespace {

void BM_EventPostNext(benchmark::State& state) {
    Process.mainHeap = OsHeapCreate(1 << 20);
    MapHooksInit();
    EventStateInit();
    KeyedMapCreate(sizeof(EventBindingEntry), 7, nullptr, &EventBindingMap, 1024);
    const int64_t queued = state.range(0);
    // Distinct events, so that none merges with its predecessor.
    for (int64_t i = 0; i < queued; ++i) EventPost(EVENT_TIMER, static_cast<intptr_t>(i), 0, 0);
    int32_t gadget = 0;
    for (auto _ : state) {
        // Alternating gadgets keep every post a new node; the oldest goes out.
        EventPost(EVENT_GADGET, gadget ^= 1, 0, 0);
        benchmark::DoNotOptimize(EventNext());
    }
    state.SetItemsProcessed(state.iterations());
    KeyedMapFree(EventBindingMap);
    OsHeapDestroy(Process.mainHeap);
    Process.mainHeap = nullptr;
}
BENCHMARK(BM_EventPostNext)->Arg(0)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
