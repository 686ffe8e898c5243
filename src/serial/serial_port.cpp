#include "serial/serial_port.h"

#include "runtime/object_table.h"
#include "serial/comm_device.h"

namespace {

// One serial port: the handle of its open device, non-zero while the port is
// open (which is what makes the object live in the table).
struct SerialPort {
    intptr_t handle;
};

// Device path: the four characters of the device namespace prefix, then at
// most 59 characters of the name; the last character is always the
// terminator.
constexpr int PATH_CAPACITY = 64;
constexpr int NAME_MAX_CHARS = 59;
constexpr char16_t PATH_PREFIX[] = u"\\\\.\\";

constexpr CommTimeouts PORT_TIMEOUTS = {
    0,    // readIntervalTimeout
    0,    // readTotalTimeoutMultiplier: with all read fields 0 a read
    0,    // readTotalTimeoutConstant:   waits for every requested byte
    100,  // writeTotalTimeoutMultiplier: 100 ms per byte written
    10,   // writeTotalTimeoutConstant:   plus 10 ms
};

// The layer's only state. The table lives on the main heap and goes with it.
ObjectTable* g_ports = nullptr;
CommDevice* g_device = nullptr;
int32_t g_error = SERIAL_ERROR_NONE;
int32_t g_systemCode = 0;

CommDevice* Device() {
    if (!g_device) g_device = CommDevicePlatform();
    return g_device;
}

void BuildPath(const char16_t* name, char16_t (&path)[PATH_CAPACITY]) {
    int length = 0;
    for (const char16_t* p = PATH_PREFIX; *p; ++p) path[length++] = *p;
    for (int i = 0; i < NAME_MAX_CHARS && name[i]; ++i) path[length++] = name[i];
    path[length] = 0;
}

// The stop-bit code of the device state. Only the exact values 1.0 and 2.0
// name one and two stop bits; every other value asks for one and a half.
uint8_t StopBitsCode(float stops) {
    if (stops == 1.0f) return 0;
    if (stops == 2.0f) return 2;
    return 1;
}

// Flow control by handshake mode. A mode changes only the fields it names;
// the others keep what the driver reported, so modes 0 to 2 leave software
// flow control as it was, and an unknown mode changes nothing.
void ApplyHandshake(CommState* state, int32_t handshake, int32_t inQueueSize) {
    switch (handshake) {
        case HANDSHAKE_NONE:
            state->fOutxCtsFlow = 0;
            state->fRtsControl = COMM_RTS_CONTROL_DISABLE;
            // DTR handshake left on by another program would make every
            // DTR switch an error; DTR is then simply held on. Every other
            // DTR setting stays as the driver keeps it.
            if (state->fDtrControl == COMM_DTR_CONTROL_HANDSHAKE) state->fDtrControl = COMM_DTR_CONTROL_ENABLE;
            break;
        case HANDSHAKE_RTS:
            state->fOutxCtsFlow = 0;
            state->fRtsControl = COMM_RTS_CONTROL_ENABLE;
            break;
        case HANDSHAKE_RTS_CTS:
            state->fOutxCtsFlow = 1;
            state->fRtsControl = COMM_RTS_CONTROL_HANDSHAKE;
            break;
        case HANDSHAKE_XON_XOFF: {
            state->fOutX = 1;
            state->fInX = 1;
            state->xonChar = 0x11;
            state->xoffChar = 0x13;
            // Truncating division; the limits are 16-bit and take the low bits.
            int32_t tenth = inQueueSize / 10;
            state->xonLim = static_cast<uint16_t>(tenth);
            state->xoffLim = static_cast<uint16_t>(tenth * 7);
            break;
        }
        default:
            break;
    }
}

// Records why the device refused, before anything else can overwrite it.
int32_t DeviceFailed() {
    g_error = Device()->LastError(&g_systemCode);
    if (g_error < SERIAL_ERROR_NOT_FOUND || g_error > SERIAL_ERROR_REFUSED) g_error = SERIAL_ERROR_OTHER;
    return 0;
}

int32_t Refused() {
    g_error = SERIAL_ERROR_OTHER;
    g_systemCode = 0;
    return 0;
}

// Reads the device state, lets `change` alter it and writes it back.
// Non-zero when both calls succeeded.
template <typename Change>
int32_t ChangeState(intptr_t handle, Change change) {
    CommState state{};
    if (!Device()->GetState(handle, &state)) return DeviceFailed();
    change(&state);
    return Device()->SetState(handle, &state) ? 1 : DeviceFailed();
}

intptr_t OpenDevice(intptr_t number, const char16_t* path, int32_t baudRate, int32_t parity, int32_t dataBits,
                    float stops, int32_t handshake, int32_t inQueueSize, int32_t outQueueSize) {
    CommDevice* device = Device();
    intptr_t handle = device->Open(path);
    if (handle == COMM_INVALID_HANDLE) return DeviceFailed();

    // Queue sizes are a wish the driver may refuse; the port works without.
    if (inQueueSize > 0 && outQueueSize > 0) device->Setup(handle, inQueueSize, outQueueSize);

    bool configured = ChangeState(handle, [&](CommState* state) {
        state->baudRate = static_cast<uint32_t>(baudRate);
        state->parity = static_cast<uint8_t>(parity);
        state->byteSize = static_cast<uint8_t>(dataBits);
        state->fParity = 1;
        state->stopBits = StopBitsCode(stops);
        ApplyHandshake(state, handshake, inQueueSize);
    });
    if (configured) {
        device->SetTimeouts(handle, &PORT_TIMEOUTS);
        // Taking the object closes a port still held under this number, so
        // the old device goes only once the new one is open and configured.
        if (auto* port = static_cast<SerialPort*>(ObjectTableGetOrCreate(g_ports, number))) {
            port->handle = handle;
            return number == AnyNumber ? reinterpret_cast<intptr_t>(port) : handle;
        }
        Refused();
    }
    device->Close(handle);
    return 0;
}

// A number that can never name a port is refused before the device is
// touched: merely opening a port may move its lines.
bool CanOpen(intptr_t number) { return g_ports && ObjectTableCanHold(g_ports, number); }

}  // namespace

int32_t SerialPortInit() {
    g_ports = ObjectTableCreate(sizeof(SerialPort), 16, SerialPortClose);
    return g_ports != nullptr;
}

void SerialPortUseDevice(CommDevice* device) { g_device = device; }

intptr_t SerialPortOpen(intptr_t number, const char16_t* name, int32_t baudRate, int32_t parity,
                        int32_t dataBits, float stops, int32_t handshake, int32_t inQueueSize,
                        int32_t outQueueSize) {
    if (!name || !CanOpen(number)) return Refused();
    char16_t path[PATH_CAPACITY];
    BuildPath(name, path);
    return OpenDevice(number, path, baudRate, parity, dataBits, stops, handshake, inQueueSize, outQueueSize);
}

intptr_t SerialPortOpenPath(intptr_t number, const char16_t* path, int32_t baudRate, int32_t parity,
                            int32_t dataBits, float stops, int32_t handshake, int32_t inQueueSize,
                            int32_t outQueueSize) {
    if (!path || !CanOpen(number)) return Refused();
    return OpenDevice(number, path, baudRate, parity, dataBits, stops, handshake, inQueueSize, outQueueSize);
}

int32_t SerialPortSetLine(intptr_t number, int32_t code, int32_t value) {
    if (!g_ports) return 0;
    auto* port = static_cast<SerialPort*>(ObjectTableLookup(g_ports, number));
    if (!port) return Refused();
    switch (code) {
        case LINE_DTR:
            return Device()->Escape(port->handle, value ? COMM_SETDTR : COMM_CLRDTR) ? 1 : DeviceFailed();
        case LINE_RTS:
            return Device()->Escape(port->handle, value ? COMM_SETRTS : COMM_CLRRTS) ? 1 : DeviceFailed();
        case LINE_TXD:
            return Device()->Escape(port->handle, value ? COMM_SETBREAK : COMM_CLRBREAK) ? 1 : DeviceFailed();
        case LINE_XON_CHAR:
            return ChangeState(port->handle,
                               [value](CommState* state) { state->xonChar = static_cast<char>(value & 0xFF); });
        case LINE_XOFF_CHAR:
            return ChangeState(port->handle,
                               [value](CommState* state) { state->xoffChar = static_cast<char>(value & 0xFF); });
        default:
            return Refused();
    }
}

int32_t SerialPortSetLines(intptr_t number, int32_t mask, int32_t levels) {
    if (!g_ports) return 0;
    auto* port = static_cast<SerialPort*>(ObjectTableLookup(g_ports, number));
    if (!port) return Refused();
    // The first failure is the one reported; later ones would overwrite it.
    int32_t firstError = SERIAL_ERROR_NONE, firstCode = 0;
    auto note = [&](bool switched) {
        if (!switched && firstError == SERIAL_ERROR_NONE) firstError = SerialPortLastError(&firstCode);
    };
    constexpr int32_t MODEM = LINE_BIT_DTR | LINE_BIT_RTS;
    if ((mask & MODEM) == MODEM && Device()->SetsModemLinesTogether()) {
        note(Device()->SetModemLines(port->handle, levels & LINE_BIT_DTR, levels & LINE_BIT_RTS) || DeviceFailed());
        mask &= ~MODEM;
    }
    // Otherwise one line per call.
    static constexpr struct {
        int32_t bit;
        int32_t line;
    } ORDER[] = {{LINE_BIT_DTR, LINE_DTR}, {LINE_BIT_RTS, LINE_RTS}, {LINE_BIT_TXD, LINE_TXD}};
    for (const auto& entry : ORDER) {
        if (mask & entry.bit) note(SerialPortSetLine(number, entry.line, levels & entry.bit) != 0);
    }
    if (firstError == SERIAL_ERROR_NONE) return 1;
    g_error = firstError;
    g_systemCode = firstCode;
    return 0;
}

int32_t SerialPortGetLines(intptr_t number, int32_t* levels) {
    if (!g_ports || !levels) return 0;
    auto* port = static_cast<SerialPort*>(ObjectTableLookup(g_ports, number));
    if (!port) return Refused();
    int32_t dtr = 0, rts = 0;
    if (!Device()->GetModemLines(port->handle, &dtr, &rts)) return DeviceFailed();
    *levels = (dtr ? LINE_BIT_DTR : 0) | (rts ? LINE_BIT_RTS : 0);
    return 1;
}

int32_t SerialPortGetInputLines(intptr_t number, int32_t* lines) {
    if (!g_ports || !lines) return 0;
    auto* port = static_cast<SerialPort*>(ObjectTableLookup(g_ports, number));
    if (!port) return Refused();
    if (!Device()->GetInputLines(port->handle, lines)) return DeviceFailed();
    return 1;
}

int32_t SerialPortRefusal(const char16_t* path) { return path ? Device()->Refusal(path) : SERIAL_REFUSAL_NONE; }

int32_t SerialPortSetsLinesTogether() { return Device()->SetsModemLinesTogether(); }

int32_t SerialPortLastError(int32_t* systemCode) {
    if (systemCode) *systemCode = g_systemCode;
    return g_error;
}

void SerialPortClose(intptr_t number) {
    if (!g_ports) return;
    if (number == AnyNumber) {
        ObjectTableFreeAll(g_ports);
        return;
    }
    auto* port = static_cast<SerialPort*>(ObjectTableLookup(g_ports, number));
    if (!port) return;
    Device()->Close(port->handle);
    ObjectTableFreeObject(g_ports, number);
}

void SerialPortEnd() { SerialPortClose(AnyNumber); }
