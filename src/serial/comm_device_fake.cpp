#include "serial/comm_device_fake.h"

#include <algorithm>

#include "os/os.h"

FakeCommDevice::FakeCommDevice() {
    // What a typical driver reports for a freshly opened port.
    initialState.baudRate = 1200;
    initialState.fBinary = 1;
    initialState.fDtrControl = 1;
    initialState.fTXContinueOnXoff = 1;
    initialState.xonLim = 2048;
    initialState.xoffLim = 512;
    initialState.byteSize = 7;
    initialState.parity = 2;
    initialState.stopBits = 2;
    initialState.xonChar = 0x11;
    initialState.xoffChar = 0x13;
    initialState.eofChar = 0x1A;
}

namespace {
CommCallRecord Record(CommCall call, intptr_t handle) {
    CommCallRecord record;
    record.call = call;
    record.timeNs = OsMonotonicNs();
    record.handle = handle;
    return record;
}
}  // namespace

bool FakeCommDevice::IsOpen(intptr_t handle) const {
    return std::find(openHandles.begin(), openHandles.end(), handle) != openHandles.end();
}

intptr_t FakeCommDevice::Open(const char16_t* path) {
    CommCallRecord record = Record(CommCall::Open, COMM_INVALID_HANDLE);
    record.path = path;
    // Exclusive, as the real device is: a path already open fails.
    bool busy = std::find(openPaths_.begin(), openPaths_.end(), record.path) != openPaths_.end();
    if (!failOpen && !busy && record.path != failOpenPath) {
        record.handle = nextHandle_;
        nextHandle_ += 4;
        openHandles.push_back(record.handle);
        openPaths_.push_back(record.path);
        states_.push_back(initialState);
        dtr = dtrAtOpen;
        rts = rtsAtOpen;
        breakState = breakAtOpen;
        record.result = 1;
    }
    calls.push_back(record);
    return record.handle;
}

int32_t FakeCommDevice::Setup(intptr_t handle, int32_t inQueueSize, int32_t outQueueSize) {
    CommCallRecord record = Record(CommCall::Setup, handle);
    record.arg1 = inQueueSize;
    record.arg2 = outQueueSize;
    record.result = IsOpen(handle) && !failSetup;
    calls.push_back(record);
    return record.result;
}

int32_t FakeCommDevice::GetState(intptr_t handle, CommState* state) {
    CommCallRecord record = Record(CommCall::GetState, handle);
    auto it = std::find(openHandles.begin(), openHandles.end(), handle);
    if (it != openHandles.end() && !failGetState) {
        *state = states_[it - openHandles.begin()];
        record.state = *state;
        record.result = 1;
    }
    calls.push_back(record);
    return record.result;
}

int32_t FakeCommDevice::SetState(intptr_t handle, const CommState* state) {
    CommCallRecord record = Record(CommCall::SetState, handle);
    record.state = *state;
    auto it = std::find(openHandles.begin(), openHandles.end(), handle);
    if (it != openHandles.end() && !failSetState) {
        states_[it - openHandles.begin()] = *state;
        // As a driver does: the RTS control mode drives the line.
        if (state->fRtsControl == COMM_RTS_CONTROL_DISABLE) rts = false;
        if (state->fRtsControl == COMM_RTS_CONTROL_ENABLE) rts = true;
        record.result = 1;
    }
    calls.push_back(record);
    return record.result;
}

int32_t FakeCommDevice::SetTimeouts(intptr_t handle, const CommTimeouts* timeouts) {
    CommCallRecord record = Record(CommCall::SetTimeouts, handle);
    record.timeouts = *timeouts;
    record.result = IsOpen(handle) && !failSetTimeouts;
    calls.push_back(record);
    return record.result;
}

int32_t FakeCommDevice::Escape(intptr_t handle, int32_t function) {
    CommCallRecord record = Record(CommCall::Escape, handle);
    record.arg1 = function;
    if (IsOpen(handle) && !failEscape) {
        record.result = 1;
        switch (function) {
            case COMM_SETRTS: rts = true; break;
            case COMM_CLRRTS: rts = false; break;
            case COMM_SETDTR: dtr = true; break;
            case COMM_CLRDTR: dtr = false; break;
            case COMM_SETBREAK: breakState = true; break;
            case COMM_CLRBREAK: breakState = false; break;
            default: record.result = 0; break;
        }
    }
    calls.push_back(record);
    return record.result;
}

int32_t FakeCommDevice::Close(intptr_t handle) {
    CommCallRecord record = Record(CommCall::Close, handle);
    auto it = std::find(openHandles.begin(), openHandles.end(), handle);
    if (it != openHandles.end()) {
        size_t index = it - openHandles.begin();
        openHandles.erase(it);
        openPaths_.erase(openPaths_.begin() + index);
        states_.erase(states_.begin() + index);
        record.result = 1;
    }
    calls.push_back(record);
    return record.result;
}
