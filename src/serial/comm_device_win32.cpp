// The Win32 comm device: each call forwards to the one system call of the
// same purpose and decides nothing. Handles are HANDLE values as intptr_t.
#include <windows.h>

#include "serial/comm_device.h"

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void FromDcb(const DCB& dcb, CommState* state) {
    state->baudRate = dcb.BaudRate;
    state->fBinary = dcb.fBinary;
    state->fParity = dcb.fParity;
    state->fOutxCtsFlow = dcb.fOutxCtsFlow;
    state->fOutxDsrFlow = dcb.fOutxDsrFlow;
    state->fDtrControl = dcb.fDtrControl;
    state->fDsrSensitivity = dcb.fDsrSensitivity;
    state->fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    state->fOutX = dcb.fOutX;
    state->fInX = dcb.fInX;
    state->fErrorChar = dcb.fErrorChar;
    state->fNull = dcb.fNull;
    state->fRtsControl = dcb.fRtsControl;
    state->fAbortOnError = dcb.fAbortOnError;
    state->fDummy2 = dcb.fDummy2;
    state->wReserved = dcb.wReserved;
    state->xonLim = dcb.XonLim;
    state->xoffLim = dcb.XoffLim;
    state->byteSize = dcb.ByteSize;
    state->parity = dcb.Parity;
    state->stopBits = dcb.StopBits;
    state->xonChar = dcb.XonChar;
    state->xoffChar = dcb.XoffChar;
    state->errorChar = dcb.ErrorChar;
    state->eofChar = dcb.EofChar;
    state->evtChar = dcb.EvtChar;
    state->wReserved1 = dcb.wReserved1;
}

void ToDcb(const CommState& state, DCB* dcb) {
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = state.baudRate;
    dcb->fBinary = state.fBinary;
    dcb->fParity = state.fParity;
    dcb->fOutxCtsFlow = state.fOutxCtsFlow;
    dcb->fOutxDsrFlow = state.fOutxDsrFlow;
    dcb->fDtrControl = state.fDtrControl;
    dcb->fDsrSensitivity = state.fDsrSensitivity;
    dcb->fTXContinueOnXoff = state.fTXContinueOnXoff;
    dcb->fOutX = state.fOutX;
    dcb->fInX = state.fInX;
    dcb->fErrorChar = state.fErrorChar;
    dcb->fNull = state.fNull;
    dcb->fRtsControl = state.fRtsControl;
    dcb->fAbortOnError = state.fAbortOnError;
    dcb->fDummy2 = state.fDummy2;
    dcb->wReserved = state.wReserved;
    dcb->XonLim = state.xonLim;
    dcb->XoffLim = state.xoffLim;
    dcb->ByteSize = state.byteSize;
    dcb->Parity = state.parity;
    dcb->StopBits = state.stopBits;
    dcb->XonChar = state.xonChar;
    dcb->XoffChar = state.xoffChar;
    dcb->ErrorChar = state.errorChar;
    dcb->EofChar = state.eofChar;
    dcb->EvtChar = state.evtChar;
    dcb->wReserved1 = state.wReserved1;
}

class Win32CommDevice : public CommDevice {
public:
    intptr_t Open(const char16_t* path) override {
        HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return COMM_INVALID_HANDLE;
        return reinterpret_cast<intptr_t>(handle);
    }

    int32_t Setup(intptr_t handle, int32_t inQueueSize, int32_t outQueueSize) override {
        return SetupComm(AsHandle(handle), static_cast<DWORD>(inQueueSize), static_cast<DWORD>(outQueueSize));
    }

    int32_t GetState(intptr_t handle, CommState* state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(AsHandle(handle), &dcb)) return 0;
        FromDcb(dcb, state);
        return 1;
    }

    int32_t SetState(intptr_t handle, const CommState* state) override {
        DCB dcb{};
        ToDcb(*state, &dcb);
        return SetCommState(AsHandle(handle), &dcb);
    }

    int32_t SetTimeouts(intptr_t handle, const CommTimeouts* timeouts) override {
        COMMTIMEOUTS native{};
        native.ReadIntervalTimeout = timeouts->readIntervalTimeout;
        native.ReadTotalTimeoutMultiplier = timeouts->readTotalTimeoutMultiplier;
        native.ReadTotalTimeoutConstant = timeouts->readTotalTimeoutConstant;
        native.WriteTotalTimeoutMultiplier = timeouts->writeTotalTimeoutMultiplier;
        native.WriteTotalTimeoutConstant = timeouts->writeTotalTimeoutConstant;
        return SetCommTimeouts(AsHandle(handle), &native);
    }

    int32_t Escape(intptr_t handle, int32_t function) override {
        return EscapeCommFunction(AsHandle(handle), static_cast<DWORD>(function));
    }

    int32_t Close(intptr_t handle) override { return CloseHandle(AsHandle(handle)); }
};

// At namespace scope: it has no state, and a function-local instance would
// need a thread-safe initialisation guard.
Win32CommDevice g_device;

}  // namespace

CommDevice* CommDevicePlatform() { return &g_device; }
