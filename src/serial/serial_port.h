// Serial port objects: a COM device opened by name, configured in one call,
// used only as three switchable modem-control lines, and closed again.
// Objects are numbered by the caller (0 and up) or AnyNumber, in which case
// the object's handle is returned and serves as its number afterwards.
#pragma once

#include <cstdint>

class CommDevice;

enum SerialHandshake : int32_t {
    HANDSHAKE_NONE = 0,      // no flow control, RTS off
    HANDSHAKE_RTS = 1,       // no flow control, RTS held on
    HANDSHAKE_RTS_CTS = 2,   // hardware flow control
    HANDSHAKE_XON_XOFF = 3,  // software flow control
};

enum SerialLine : int32_t {
    LINE_DTR = 1,        // DTR on / off
    LINE_RTS = 2,        // RTS on / off
    LINE_TXD = 3,        // TXD held in break / released
    LINE_XON_CHAR = 8,   // the XON character := low byte of the value
    LINE_XOFF_CHAR = 9,  // the XOFF character := low byte of the value
};

// Creates the serial-port table. Called once at start-up before any other
// serial operation. Returns 0 when memory is exhausted.
int32_t SerialPortInit();

// Drives every port through `device` from now on (the platform device unless
// a test says otherwise). Only while no port is open.
void SerialPortUseDevice(CommDevice* device);

// Opens "\\.\" + name (at most 59 characters of it) exclusively and applies
// the settings. Returns the platform handle for a numbered object, the
// object's handle for AnyNumber, 0 on any failure (then no device stays open
// and a port held under `number` before is untouched).
intptr_t SerialPortOpen(intptr_t number, const char16_t* name, int32_t baudRate, int32_t parity,
                        int32_t dataBits, float stops, int32_t handshake, int32_t inQueueSize,
                        int32_t outQueueSize);

// As SerialPortOpen, but `path` is the whole device path, used as it is and
// of any length ("\\.\COM12", "/dev/ttyUSB0").
intptr_t SerialPortOpenPath(intptr_t number, const char16_t* path, int32_t baudRate, int32_t parity,
                            int32_t dataBits, float stops, int32_t handshake, int32_t inQueueSize,
                            int32_t outQueueSize);

// Switches one line or sets one flow-control character. Non-zero on success;
// 0 for no such port, an invalid code, or a failing platform call.
int32_t SerialPortSetLine(intptr_t number, int32_t code, int32_t value);

// Bits of a set of lines for SerialPortSetLines.
enum SerialLineBit : int32_t {
    LINE_BIT_DTR = 1,
    LINE_BIT_RTS = 2,
    LINE_BIT_TXD = 4,
};

// Switches the lines in `mask` to the levels of the same bits in `levels`:
// DTR and RTS in one device call where the platform has one, otherwise one
// line after the other (DTR, RTS, TXD). Non-zero when every line switched;
// a line that fails does not keep the others from being tried.
int32_t SerialPortSetLines(intptr_t number, int32_t mask, int32_t levels);

// The levels of DTR and RTS as the driver reports them back, as LINE_BIT_*
// bits in `levels`. 0 when the port is not open or its driver does not
// report them (`levels` is then untouched): a driver's report is its own
// record, which may differ from the wire.
int32_t SerialPortGetLines(intptr_t number, int32_t* levels);

// Bits of the input lines for SerialPortGetInputLines.
enum SerialInputBit : int32_t {
    INPUT_BIT_CTS = 1,
    INPUT_BIT_DSR = 2,
    INPUT_BIT_DCD = 4,
    INPUT_BIT_RI = 8,
};

// The input lines (CTS, DSR, DCD, RI) as the driver last heard of them, as
// INPUT_BIT_* bits in `lines`: set is the line's active level. 0 when the
// port is not open or its driver does not report them.
int32_t SerialPortGetInputLines(intptr_t number, int32_t* lines);

// Non-zero when SerialPortSetLines sets DTR and RTS in one call.
int32_t SerialPortSetsLinesTogether();

// Errors a caller can act on, as SerialPortLastError reports them.
enum SerialError : int32_t {
    SERIAL_ERROR_NONE = 0,
    SERIAL_ERROR_NOT_FOUND = 1,       // no such device
    SERIAL_ERROR_BUSY = 2,            // another open holds it
    SERIAL_ERROR_ACCESS = 3,          // the user may not open it
    SERIAL_ERROR_NOT_SERIAL = 4,      // a device, but no serial port
    SERIAL_ERROR_NO_MODEM_LINES = 5,  // the driver has no modem-control lines
    SERIAL_ERROR_GONE = 6,            // the device stopped answering
    SERIAL_ERROR_OTHER = 7,           // anything else, memory included
    SERIAL_ERROR_REFUSED = 8,         // refused by the layer's own rule, never opened (SerialPortRefusal says why)
};

// Devices the platform's device never opens, whoever asks.
enum SerialRefusal : int32_t {
    SERIAL_REFUSAL_NONE = 0,
    SERIAL_REFUSAL_KERNEL_CONSOLE = 1,  // a serial port the kernel's console runs on
    SERIAL_REFUSAL_CONSOLE = 2,        // a console or another terminal of the system (not a serial port)
};

// Which rule refuses `path` (a whole device path, as SerialPortOpenPath
// takes it), found without opening anything; SERIAL_REFUSAL_NONE when
// none does.
int32_t SerialPortRefusal(const char16_t* path);

// Why the last failing open or line change failed; `systemCode` (may be
// null) receives the platform's number for it (errno, GetLastError), 0 if
// there is none.
int32_t SerialPortLastError(int32_t* systemCode);

// Closes one port; AnyNumber closes every open port (numbered ones by
// ascending number, then unnumbered ones from the oldest).
void SerialPortClose(intptr_t number);

// Closes every port still open; called once at shutdown.
void SerialPortEnd();
