// Cost of one TextScratchAppendNumber, with the position set back after
// each call as every caller does, on both of its paths.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "platform/text_scratch.h"

namespace {

void AppendNumber(benchmark::State& state, int64_t value) {
    TextScratchInit();
    int32_t mark = TextScratch().position;
    for (auto _ : state) {
        TextScratchAppendNumber(value);
        benchmark::DoNotOptimize(*TextScratchAt(mark));
        TextScratchSetPosition(mark);
    }
    TextScratchEnd();
}

// Many numbers into one text: the buffer grows as it goes.
void AppendManyNumbers(benchmark::State& state) {
    for (auto _ : state) {
        TextScratchInit();
        for (int32_t i = 0; i < 10000; ++i) TextScratchAppendNumber(i * 7919);
        benchmark::DoNotOptimize(*TextScratchAt(0));
        TextScratchEnd();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}

}  // namespace

BENCHMARK_CAPTURE(AppendNumber, one_digit, 7);
BENCHMARK_CAPTURE(AppendNumber, int32_max, INT32_MAX);
BENCHMARK_CAPTURE(AppendNumber, int32_min, INT32_MIN);
BENCHMARK_CAPTURE(AppendNumber, int64_min, INT64_MIN);
BENCHMARK_CAPTURE(AppendNumber, int64_max, INT64_MAX);
BENCHMARK(AppendManyNumbers);

BENCHMARK_MAIN();
