// The comm-device interface: the few OS calls through which the serial layer
// drives a port. Each implementation forwards to its platform and decides
// nothing; the serial layer's logic lives once, above it.
//
// Implementations: Win32 (CreateFileW, SetupComm, GetCommState, SetCommState,
// SetCommTimeouts, EscapeCommFunction, CloseHandle), POSIX termios, and a
// recording fake for tests. Results follow the Win32 calls: non-zero on
// success, 0 on failure; Open returns COMM_INVALID_HANDLE on failure.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"  // SerialError: the devices give their reasons in the layer's own numbers

constexpr intptr_t COMM_INVALID_HANDLE = -1;

// Function codes of Escape, as the Win32 EscapeCommFunction numbers them.
enum CommFunction : int32_t {
    COMM_SETRTS = 3,
    COMM_CLRRTS = 4,
    COMM_SETDTR = 5,
    COMM_CLRDTR = 6,
    COMM_SETBREAK = 8,
    COMM_CLRBREAK = 9,
};

// A portable copy of every field of the Win32 DCB, so that a read-modify-
// write keeps the fields the serial layer does not set.
struct CommState {
    uint32_t baudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t xonLim;
    uint16_t xoffLim;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t stopBits;  // 0: one, 1: one and a half, 2: two
    char xonChar;
    char xoffChar;
    char errorChar;
    char eofChar;
    char evtChar;
    uint16_t wReserved1;
};

constexpr uint32_t COMM_DTR_CONTROL_DISABLE = 0;
constexpr uint32_t COMM_DTR_CONTROL_ENABLE = 1;
constexpr uint32_t COMM_DTR_CONTROL_HANDSHAKE = 2;

constexpr uint32_t COMM_RTS_CONTROL_DISABLE = 0;
constexpr uint32_t COMM_RTS_CONTROL_ENABLE = 1;
constexpr uint32_t COMM_RTS_CONTROL_HANDSHAKE = 2;


struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

class CommDevice {
public:
    virtual ~CommDevice() = default;
    // Opens `path` ("\\.\COM1") for exclusive, synchronous read and write.
    virtual intptr_t Open(const char16_t* path) = 0;
    virtual int32_t Setup(intptr_t handle, int32_t inQueueSize, int32_t outQueueSize) = 0;
    virtual int32_t GetState(intptr_t handle, CommState* state) = 0;
    virtual int32_t SetState(intptr_t handle, const CommState* state) = 0;
    virtual int32_t SetTimeouts(intptr_t handle, const CommTimeouts* timeouts) = 0;
    virtual int32_t Escape(intptr_t handle, int32_t function) = 0;
    virtual int32_t Close(intptr_t handle) = 0;

    // DTR and RTS in one call, where the platform can. Devices that set one
    // line per call keep the default, which refuses.
    virtual int32_t SetModemLines(intptr_t, int32_t /*dtr*/, int32_t /*rts*/) { return 0; }
    virtual int32_t SetsModemLinesTogether() const { return 0; }

    // The levels of DTR and RTS as the driver reports them back, where it
    // does (0 where it cannot say: then `dtr` and `rts` are untouched).
    virtual int32_t GetModemLines(intptr_t, int32_t* /*dtr*/, int32_t* /*rts*/) { return 0; }

    // The input lines as INPUT_BIT_* (serial_port.h), where the device
    // reports them (0 where it cannot).
    virtual int32_t GetInputLines(intptr_t, int32_t* /*lines*/) { return 0; }

    // Which of the device's own rules refuses `path` (a SerialRefusal),
    // opening nothing; Open fails with SERIAL_ERROR_REFUSED for such a path.
    // Devices without rules keep the default.
    virtual int32_t Refusal(const char16_t* /*path*/) { return SERIAL_REFUSAL_NONE; }

    // Why the last failing call of this thread failed, as a SerialError;
    // `systemCode` (may be null) receives the platform's own number for it,
    // 0 if there is none.
    virtual int32_t LastError(int32_t* systemCode) {
        if (systemCode) *systemCode = 0;
        return SERIAL_ERROR_OTHER;
    }
};

// The platform's device: Win32 in the product, termios in the native build.
CommDevice* CommDevicePlatform();
