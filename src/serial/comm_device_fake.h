// A recording comm device for tests: every call is kept with its arguments
// and a monotonic time stamp, results can be scripted, and the modem lines
// it was told to drive are tracked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/comm_device.h"

enum class CommCall { Open, Setup, GetState, SetState, SetTimeouts, Escape, Close };

struct CommCallRecord {
    CommCall call;
    int64_t timeNs;        // OsMonotonicNs when the call was made
    intptr_t handle;       // the handle passed, or returned by Open
    std::u16string path;   // Open
    int32_t arg1 = 0;      // Setup: in queue; Escape: function
    int32_t arg2 = 0;      // Setup: out queue
    CommState state{};     // GetState (as returned) and SetState (as given)
    CommTimeouts timeouts{};  // SetTimeouts
    int32_t result = 0;    // what the call returned (Open: 1 or 0)
};

class FakeCommDevice : public CommDevice {
public:
    FakeCommDevice();

    intptr_t Open(const char16_t* path) override;
    int32_t Setup(intptr_t handle, int32_t inQueueSize, int32_t outQueueSize) override;
    int32_t GetState(intptr_t handle, CommState* state) override;
    int32_t SetState(intptr_t handle, const CommState* state) override;
    int32_t SetTimeouts(intptr_t handle, const CommTimeouts* timeouts) override;
    int32_t Escape(intptr_t handle, int32_t function) override;
    int32_t Close(intptr_t handle) override;

    // Scripted behaviour.
    bool failOpen = false;          // every Open fails
    std::u16string failOpenPath;    // Open of this exact path fails
    bool failGetState = false;
    bool failSetState = false;
    bool failSetup = false;
    bool failSetTimeouts = false;
    bool failEscape = false;        // every Escape fails (the line still records nothing)
    CommState initialState{};       // what GetState reports for a freshly opened device
    // Line levels a freshly opened device starts with (a driver that raises DTR
    // on open, say).
    bool dtrAtOpen = false;
    bool rtsAtOpen = false;
    bool breakAtOpen = false;

    // What happened.
    std::vector<CommCallRecord> calls;
    // Handles currently open, and the paths they were opened with.
    std::vector<intptr_t> openHandles;
    bool IsOpen(intptr_t handle) const;
    // Current line levels of a handle's device, as driven so far.
    bool dtr = false, rts = false, breakState = false;

private:
    intptr_t nextHandle_ = 0x100;
    std::vector<std::u16string> openPaths_;
    std::vector<CommState> states_;
};
