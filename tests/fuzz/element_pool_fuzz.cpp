// Runs the fuzzer's bytes as a script against the ElementPool model check, with
// allocation failures the script itself may arm; any disagreement aborts.
#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "runtime/process_values.h"
#include "support/runtime_models.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process.mainHeap = OsHeapCreate(4096);
    HarnessOptions options;
    options.scriptedFailures = true;
    std::string failure = RunElementPoolScript(data, size, &options);
    OsAllocFailAt(0);
    OsHeapDestroy(Process.mainHeap);
    Process.mainHeap = nullptr;
    if (!failure.empty()) {
        std::fprintf(stderr, "ElementPool: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
