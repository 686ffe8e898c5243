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

// What the last error of an open means. A port another program holds
// answers "access denied": on a COM port that is the usual meaning.
int32_t OpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST: return SERIAL_ERROR_NOT_FOUND;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY: return SERIAL_ERROR_BUSY;
        default: return SERIAL_ERROR_OTHER;
    }
}

// What the last error of a call on an open port means. A device that was
// unplugged answers with one of the "gone" codes until it is closed.
int32_t PortError(DWORD error, int32_t unsupported) {
    switch (error) {
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_PARAMETER: return unsupported;
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_ACCESS_DENIED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_FILE_NOT_FOUND: return SERIAL_ERROR_GONE;
        default: return SERIAL_ERROR_OTHER;
    }
}

class Win32CommDevice : public CommDevice {
public:
    intptr_t Open(const char16_t* path) override {
        HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            Failed(OpenError(GetLastError()));
            return COMM_INVALID_HANDLE;
        }
        return reinterpret_cast<intptr_t>(handle);
    }

    int32_t Setup(intptr_t handle, int32_t inQueueSize, int32_t outQueueSize) override {
        return SetupComm(AsHandle(handle), static_cast<DWORD>(inQueueSize), static_cast<DWORD>(outQueueSize));
    }

    int32_t GetState(intptr_t handle, CommState* state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(AsHandle(handle), &dcb)) return Failed(PortError(GetLastError(), SERIAL_ERROR_NOT_SERIAL));
        FromDcb(dcb, state);
        return 1;
    }

    int32_t SetState(intptr_t handle, const CommState* state) override {
        DCB dcb{};
        ToDcb(*state, &dcb);
        if (!SetCommState(AsHandle(handle), &dcb)) return Failed(PortError(GetLastError(), SERIAL_ERROR_NOT_SERIAL));
        return 1;
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
        if (!EscapeCommFunction(AsHandle(handle), static_cast<DWORD>(function)))
            return Failed(PortError(GetLastError(), SERIAL_ERROR_NO_MODEM_LINES));
        return 1;
    }

    // The serial driver's own record of the two lines it drives; drivers
    // that keep none refuse the request.
    int32_t GetModemLines(intptr_t handle, int32_t* dtr, int32_t* rts) override {
        constexpr DWORD GET_DTRRTS = 0x1b0078;  // IOCTL_SERIAL_GET_DTRRTS
        ULONG state = 0;
        DWORD got = 0;
        if (!DeviceIoControl(AsHandle(handle), GET_DTRRTS, nullptr, 0, &state, sizeof state, &got, nullptr) ||
            got < sizeof state)
            return Failed(PortError(GetLastError(), SERIAL_ERROR_NO_MODEM_LINES));
        *dtr = (state & 1) != 0;  // SERIAL_DTR_STATE
        *rts = (state & 2) != 0;  // SERIAL_RTS_STATE
        return 1;
    }

    int32_t GetInputLines(intptr_t handle, int32_t* lines) override {
        DWORD status = 0;
        if (!GetCommModemStatus(AsHandle(handle), &status))
            return Failed(PortError(GetLastError(), SERIAL_ERROR_NO_MODEM_LINES));
        *lines = ((status & MS_CTS_ON) ? INPUT_BIT_CTS : 0) | ((status & MS_DSR_ON) ? INPUT_BIT_DSR : 0) |
                 ((status & MS_RLSD_ON) ? INPUT_BIT_DCD : 0) | ((status & MS_RING_ON) ? INPUT_BIT_RI : 0);
        return 1;
    }

    int32_t Close(intptr_t handle) override { return CloseHandle(AsHandle(handle)); }

    int32_t LastError(int32_t* systemCode) override {
        if (systemCode) *systemCode = static_cast<int32_t>(errorCode_);
        return error_;
    }

private:
    int32_t Failed(int32_t error) {
        error_ = error;
        errorCode_ = GetLastError();
        return 0;
    }

    int32_t error_ = SERIAL_ERROR_NONE;
    DWORD errorCode_ = 0;
};

// At namespace scope: a function-local instance would need a thread-safe
// initialisation guard. Its only state is the reason of the last failure,
// kept for LastError.
Win32CommDevice g_device;

}  // namespace

CommDevice* CommDevicePlatform() { return &g_device; }
