#include "platform/delay.h"

#include "os/os.h"

namespace {
// Tested and set without a lock: delays are taken on the GUI thread only.
int TimerPeriodSet = 0;
}  // namespace

void DelayPrepare() {
    if (TimerPeriodSet == 0) {
        OsTimerPeriod1ms();
        // Set even if the request was refused: it is not worth repeating.
        TimerPeriodSet = 1;
    }
}

void DelayMs(int32_t milliseconds) {
    DelayPrepare();
    OsSleepMs(milliseconds);
}

int DelayTimerPeriodSet() { return TimerPeriodSet; }
