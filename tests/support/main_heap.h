// A fresh main heap for each test, destroyed afterwards with whatever is left
// on it; allocation-failure injection is always switched off again.
#pragma once

#include <gtest/gtest.h>

#include "os/os.h"
#include "runtime/process_values.h"

class MainHeapTest : public ::testing::Test {
protected:
    void SetUp() override {
        Process.mainHeap = OsHeapCreate(4096);
        ASSERT_NE(Process.mainHeap, nullptr);
    }
    void TearDown() override {
        OsAllocFailAt(0);
        OsHeapDestroy(Process.mainHeap);
        Process.mainHeap = nullptr;
    }
    long HeapBlocks() const { return OsHeapBlockCount(Process.mainHeap); }
};
