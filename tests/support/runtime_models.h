// Model checks of the runtime containers, shared by the randomised tests, the
// allocation-failure tests and the fuzz targets. Each harness reads
// operations from a byte string, runs them on the real structure and on a
// standard-library model side by side, and after every step checks that the
// two agree, that the structure's invariants hold and that the main heap
// holds exactly the blocks the structure should. At the end it frees
// everything and checks the heap is back where it started.
//
// An operation that reports failure must coincide with an injected
// allocation failure and leave the structure as it was. No test framework
// here: a harness returns the first disagreement as a message, or the empty
// text. Each needs Process.mainHeap and no shared pool registered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct HarnessOptions {
    long failAt = 0;              // the n-th allocation of the run fails (0: none)
    bool scriptedFailures = false; // the script may arm failures itself
    long allocations = 0;         // out: allocations the run made
    long failuresReported = 0;    // out: operations that reported an injected failure
};

// A reproducible script of `size` bytes.
std::vector<uint8_t> RandomScript(uint32_t seed, size_t size);

std::string RunElementPoolScript(const uint8_t* data, size_t size, HarnessOptions* options);
std::string RunKeyedMapScript(const uint8_t* data, size_t size, HarnessOptions* options);
std::string RunObjectTableScript(const uint8_t* data, size_t size, HarnessOptions* options);
