#include "platform/delay.h"

#include <gtest/gtest.h>

#include "os/os.h"

namespace {

// Runs first in this executable: the period is requested on the first delay,
// not before.
TEST(DelayMs, FirstCallRequestsTheTimerPeriod) {
    EXPECT_EQ(DelayTimerPeriodSet(), 0);
    DelayMs(0);
    EXPECT_EQ(DelayTimerPeriodSet(), 1);
}

TEST(DelayMs, WaitsAtLeastTheTimeAskedFor) {
    for (int i = 0; i < 20; ++i) {
        int64_t start = OsMonotonicNs();
        DelayMs(10);
        int64_t elapsed = OsMonotonicNs() - start;
        // Never early; lateness is measured by the benchmark, not asserted.
        EXPECT_GE(elapsed, 10 * 1000000LL - 100000) << "run " << i;
    }
}

}  // namespace
