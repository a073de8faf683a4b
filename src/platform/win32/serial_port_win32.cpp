// The serial line over the Win32 communications functions.
//
// A line is opened for overlapped I/O. A handle opened without it serialises every ReadFile and
// WriteFile: a read waiting for input would hold up a sender's write for as long as it waits.
// With overlapped I/O the receiver's wait for input (it looks at the receive queue and takes no
// byte) runs beside the reads and writes made under the instance's port lock, and a sender's
// write goes out at once. Each read and write is started and then waited for to its end
// (GetOverlappedResult), so that to its callers the port behaves as a synchronous one.
//
// The null device is opened without overlapped I/O: it never has input, and its writes end at
// once.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <new>

#include "platform/line_control.h"
#include "platform/port_name.h"
#include "platform/serial_port.h"

namespace kiv::platform {

struct PortObject {
    HANDLE handle;
    bool lineDevice;            // false for the null device
    HANDLE ioEvent;             // the reads and writes, one at a time under the port lock
    HANDLE wakeEvent;           // set by ClosePort: every wait for input ends
    HANDLE noWaiters;           // set while no wait for input holds the port
    CRITICAL_SECTION waitLock;  // guards waiters and closing
    int waiters;
    bool closing;
    int32_t readTimeoutMs;  // the read time-out of ReadBytes and SetReadTimeout
    COMMTIMEOUTS applied;   // the time-outs the line has now
};

namespace {

constexpr DWORD kQueueSize = 1200;
constexpr DWORD kDiscardBlockSize = 512;
constexpr int32_t kDiscardTimeoutUnits = 5;

DWORD DtrControlValue(DtrControl control) {
    switch (control) {
    case DtrControl::Enabled: return DTR_CONTROL_ENABLE;
    case DtrControl::Handshake: return DTR_CONTROL_HANDSHAKE;
    case DtrControl::Disabled: break;
    }
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControlValue(RtsControl control) {
    switch (control) {
    case RtsControl::Enabled: return RTS_CONTROL_ENABLE;
    case RtsControl::Handshake: return RTS_CONTROL_HANDSHAKE;
    case RtsControl::Toggle: return RTS_CONTROL_TOGGLE;
    case RtsControl::Disabled: break;
    }
    return RTS_CONTROL_DISABLE;
}

// The line state read from the device, changed as the settings ask; every other field keeps
// the value read.
void ApplyLineSettings(const LineSettings& settings, uint16_t controlFlags, DCB& dcb) {
    const ModemLineControl control = DecodeControlFlags(controlFlags);
    dcb.BaudRate = settings.baudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DtrControlValue(control.dtr);
    dcb.fRtsControl = RtsControlValue(control.rts);
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits & 0xFFU);
    dcb.Parity = static_cast<BYTE>(settings.parity & 0xFFU);
    dcb.StopBits = static_cast<BYTE>(settings.stopBits & 0xFFU);
}

void SetError(uint32_t* systemError, DWORD code) {
    if (systemError != nullptr) {
        *systemError = code;
    }
}

// Gives the line these read time-outs, where they differ from those it has.
bool ApplyReadTimeouts(PortObject& port, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS& applied = port.applied;
    if (applied.ReadIntervalTimeout == interval &&
        applied.ReadTotalTimeoutMultiplier == multiplier &&
        applied.ReadTotalTimeoutConstant == constant) {
        return true;
    }
    COMMTIMEOUTS wanted = applied;
    wanted.ReadIntervalTimeout = interval;
    wanted.ReadTotalTimeoutMultiplier = multiplier;
    wanted.ReadTotalTimeoutConstant = constant;
    if (SetCommTimeouts(port.handle, &wanted) == 0) {
        return false;
    }
    applied = wanted;
    return true;
}

// Ends a read or write that was started ('started' is what ReadFile or WriteFile returned):
// true with the bytes moved, false with the system's error.
bool Finish(PortObject& port, BOOL started, OVERLAPPED& overlapped, DWORD& moved, DWORD& error) {
    if (!port.lineDevice) {
        error = started != 0 ? 0 : GetLastError();
        return started != 0;
    }
    if (started == 0 && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
        return false;
    }
    if (GetOverlappedResult(port.handle, &overlapped, &moved, TRUE) == 0) {
        error = GetLastError();
        return false;
    }
    return true;
}

// One read of up to 'count' bytes, under the time-outs the line has now.
bool ReadOnce(PortObject& port, void* buffer, DWORD count, DWORD& got, DWORD& error) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = port.ioEvent;
    got = 0;
    const BOOL started =
        ReadFile(port.handle, buffer, count, &got, port.lineDevice ? &overlapped : nullptr);
    return Finish(port, started, overlapped, got, error);
}

PortObject* MakePortObject(HANDLE handle, bool lineDevice) {
    auto* port = new (std::nothrow) PortObject{};
    if (port == nullptr) {
        return nullptr;
    }
    port->handle = handle;
    port->lineDevice = lineDevice;
    port->readTimeoutMs = kOpenReadTimeoutUnits * 10;
    port->applied.ReadTotalTimeoutConstant = static_cast<DWORD>(port->readTimeoutMs);
    port->ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->noWaiters = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (port->ioEvent == nullptr || port->wakeEvent == nullptr || port->noWaiters == nullptr) {
        for (HANDLE event : {port->ioEvent, port->wakeEvent, port->noWaiters}) {
            if (event != nullptr) {
                CloseHandle(event);
            }
        }
        delete port;
        return nullptr;
    }
    InitializeCriticalSection(&port->waitLock);
    return port;
}

void FreePortObject(PortObject* port) {
    for (HANDLE event : {port->ioEvent, port->wakeEvent, port->noWaiters}) {
        CloseHandle(event);
    }
    DeleteCriticalSection(&port->waitLock);
    delete port;
}

// The last step of a wait that touches the port object is the SetEvent, made after the lock is
// left: once noWaiters is set, ClosePort may free the object (and its lock) at once.
void EndInputWait(PortObject& port) {
    EnterCriticalSection(&port.waitLock);
    const bool last = --port.waiters == 0;
    const HANDLE noWaiters = port.noWaiters;
    LeaveCriticalSection(&port.waitLock);
    if (last) {
        SetEvent(noWaiters);
    }
}

// Waits for input on a line: looks at the receive queue (ClearCommError), and between two looks
// waits on the two wake-up events for a slice that grows from 1 ms to 16 ms while the line stays
// quiet. (WaitCommEvent for EV_RXCHAR would wait without looking again, but under Wine its
// overlapped wait on a pseudo-terminal's COM port did not end when a byte came.)
InputWait WaitOnLine(PortObject& port, HANDLE wake, uint32_t timeoutMs, uint32_t* systemError) {
    constexpr DWORD kLongestSliceMs = 16;
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    const HANDLE events[] = {port.wakeEvent, wake};
    DWORD slice = 1;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (ClearCommError(port.handle, &errors, &status) == 0) {
            SetError(systemError, GetLastError());
            return InputWait::kFailed;
        }
        if (status.cbInQue > 0) {
            return InputWait::kReadable;
        }
        const uint64_t now = MonotonicMs();
        if (now >= deadline) {
            return InputWait::kTimedOut;
        }
        const DWORD wait = deadline - now < slice ? static_cast<DWORD>(deadline - now) : slice;
        const DWORD which = WaitForMultipleObjects(wake != nullptr ? 2 : 1, events, FALSE, wait);
        if (which != WAIT_TIMEOUT) {
            return InputWait::kWoken;
        }
        slice = slice < kLongestSliceMs ? slice * 2 : kLongestSliceMs;
    }
}

}  // namespace

std::span<const uint16_t> BaudRates() {
    // The rates Windows names that fit the host's 16 bits (CBR_115200 and above do not).
    static constexpr uint16_t kRates[] = {CBR_110,   CBR_300,   CBR_600,   CBR_1200,
                                          CBR_2400,  CBR_4800,  CBR_9600,  CBR_14400,
                                          CBR_19200, CBR_38400, CBR_56000, CBR_57600};
    return kRates;
}

int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port, uint32_t* systemError) {
    char path[kDevicePathSize];
    if (name == nullptr || !Win32DevicePath(name, path, sizeof path)) {
        SetError(systemError, ERROR_INVALID_NAME);
        return kPortNotOpened;
    }
    const bool lineDevice = !IsNullDeviceName(name);
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                lineDevice ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetError(systemError, GetLastError());
        return kPortNotOpened;
    }
    const auto fail = [&](int32_t result) {
        SetError(systemError, GetLastError());
        CloseHandle(handle);
        return result;
    };
    if (lineDevice) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetCommState(handle, &dcb) == 0) {
            return fail(kPortStateUnreadable);
        }
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kOpenReadTimeoutUnits) * 10U;
        if (SetCommTimeouts(handle, &timeouts) == 0) {
            return fail(kPortNotOpened);
        }
        ApplyLineSettings(settings, controlFlags, dcb);
        if (SetCommState(handle, &dcb) == 0) {
            return fail(kPortStateRefused);
        }
        SetupComm(handle, kQueueSize, kQueueSize);
    }
    PortObject* object = MakePortObject(handle, lineDevice);
    if (object == nullptr) {
        return fail(kPortNotOpened);
    }
    port = object;
    return kPortOk;
}

int32_t SetReadTimeout(PortHandle port, int32_t units) {
    if (port == nullptr || !port->lineDevice) {
        return 0;
    }
    constexpr int32_t kLongest = INT32_MAX / 10;
    const int32_t previous = port->readTimeoutMs;
    port->readTimeoutMs = (units < 0 ? 0 : units > kLongest ? kLongest : units) * 10;
    return previous / 10;
}

int32_t ReadBytes(PortHandle port, void* buffer, size_t count, size_t* received) {
    size_t got = 0;
    int32_t result = kPortIoFailed;
    if (port != nullptr && port->lineDevice &&
        ApplyReadTimeouts(*port, 0, 0, static_cast<DWORD>(port->readTimeoutMs))) {
        result = kPortOk;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (result == kPortOk && got < count) {
        DWORD n = 0;
        DWORD error = 0;
        const bool ok = ReadOnce(*port, bytes + got, static_cast<DWORD>(count - got), n, error);
        got += n;
        if (!ok || n == 0) {
            result = kPortIoFailed;  // failed, or nothing within the read time-out
        }
    }
    if (received != nullptr) {
        *received = got;
    }
    return result;
}

int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written,
                   uint32_t* systemError) {
    written = 0;
    if (port == nullptr) {
        SetError(systemError, ERROR_INVALID_HANDLE);
        return kPortIoFailed;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = port->ioEvent;
    DWORD n = 0;
    DWORD error = 0;
    const BOOL started = WriteFile(port->handle, bytes, static_cast<DWORD>(count), &n,
                                   port->lineDevice ? &overlapped : nullptr);
    const bool ok = Finish(*port, started, overlapped, n, error);
    written = n;
    if (!ok) {
        SetError(systemError, error);
        return kPortIoFailed;
    }
    return written == count ? kPortOk : kPortShortWrite;
}

ReadOutcome ReadAvailable(PortHandle port, void* buffer, size_t size, uint32_t timeoutMs) {
    if (port == nullptr) {
        return {kPortIoFailed, 0, ERROR_INVALID_HANDLE};
    }
    if (!port->lineDevice || size == 0) {
        return {kPortOk, 0, 0};
    }
    // The bytes the queue holds are read with a plain total time-out, which ends as soon as they
    // are all there. (The "return at once" time-outs, MAXDWORD and 0, left an overlapped read
    // pending for ever under Wine.)
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(port->handle, &errors, &status) == 0) {
        return {kPortIoFailed, 0, GetLastError()};
    }
    DWORD want = status.cbInQue < size ? status.cbInQue : static_cast<DWORD>(size);
    if (want == 0 && timeoutMs == 0) {
        return {kPortOk, 0, 0};
    }
    const DWORD wait = want > 0 ? static_cast<DWORD>(port->readTimeoutMs) + 1 : timeoutMs;
    want = want > 0 ? want : 1;
    if (!ApplyReadTimeouts(*port, 0, 0, wait)) {
        return {kPortIoFailed, 0, GetLastError()};
    }
    DWORD got = 0;
    DWORD error = 0;
    if (!ReadOnce(*port, buffer, want, got, error)) {
        return {kPortIoFailed, got, error};
    }
    return {kPortOk, got, 0};
}

int32_t DiscardInput(PortHandle port) {
    if (port == nullptr) {
        return kPortNotOpened;
    }
    if (!port->lineDevice) {
        return kPortOk;
    }
    DWORD errors = 0;
    COMSTAT status{};
    // A failed query only forces the reading.
    const bool askFailed = ClearCommError(port->handle, &errors, &status) == 0;
    if (!askFailed && errors == 0 && status.cbInQue == 0) {
        return kPortOk;
    }
    const int32_t previous = SetReadTimeout(port, kDiscardTimeoutUnits);
    bool lastReadFailed = !ApplyReadTimeouts(*port, 0, 0, static_cast<DWORD>(port->readTimeoutMs));
    unsigned char block[kDiscardBlockSize];
    while (!lastReadFailed) {
        DWORD n = 0;
        DWORD error = 0;
        if (!ReadOnce(*port, block, kDiscardBlockSize, n, error)) {
            lastReadFailed = true;
        } else if (n < kDiscardBlockSize) {
            break;
        }
    }
    if (previous != 0) {
        SetReadTimeout(port, previous);
    }
    return lastReadFailed ? kPortNotOpened : kPortOk;
}

bool PurgeInput(PortHandle port) {
    return port != nullptr && port->lineDevice &&
           PurgeComm(port->handle, PURGE_RXABORT | PURGE_RXCLEAR) != 0;
}

bool BeginInputWait(PortHandle port) {
    if (port == nullptr) {
        return false;
    }
    EnterCriticalSection(&port->waitLock);
    const bool claimed = !port->closing;
    if (claimed && port->waiters++ == 0) {
        ResetEvent(port->noWaiters);
    }
    LeaveCriticalSection(&port->waitLock);
    return claimed;
}

InputWait WaitForInput(PortHandle port, Event& wake, uint32_t timeoutMs, uint32_t* systemError) {
    auto* wakeHandle = static_cast<HANDLE>(wake.impl);
    InputWait outcome = InputWait::kTimedOut;
    if (port->lineDevice) {
        outcome = WaitOnLine(*port, wakeHandle, timeoutMs, systemError);
    } else {
        const HANDLE events[] = {port->wakeEvent, wakeHandle};
        const DWORD which =
            WaitForMultipleObjects(wakeHandle != nullptr ? 2 : 1, events, FALSE, timeoutMs);
        outcome = which == WAIT_TIMEOUT ? InputWait::kTimedOut : InputWait::kWoken;
    }
    EndInputWait(*port);
    return outcome;
}

void SystemErrorText(uint32_t code, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    char words[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, words, sizeof words, nullptr);
    // Without the line end (and the blanks) the system puts after its text.
    while (length > 0 &&
           (words[length - 1] == '\r' || words[length - 1] == '\n' || words[length - 1] == ' ')) {
        words[--length] = '\0';
    }
    std::snprintf(text, size, "%s", length > 0 ? words : "unknown error");
}

int32_t ClosePort(PortHandle port) {
    if (port == nullptr) {
        return kPortIoFailed;
    }
    EnterCriticalSection(&port->waitLock);
    port->closing = true;
    SetEvent(port->wakeEvent);
    LeaveCriticalSection(&port->waitLock);
    WaitForSingleObject(port->noWaiters, INFINITE);
    if (CloseHandle(port->handle) == 0) {
        EnterCriticalSection(&port->waitLock);
        port->closing = false;
        ResetEvent(port->wakeEvent);
        LeaveCriticalSection(&port->waitLock);
        return kPortIoFailed;
    }
    FreePortObject(port);
    return kPortOk;
}

}  // namespace kiv::platform
