// The serial line over the Win32 communications functions.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/line_control.h"
#include "platform/port_name.h"
#include "platform/serial_port.h"

namespace kiv::platform {

struct PortObject {
    HANDLE handle;
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

}  // namespace

int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port) {
    char path[kDevicePathSize];
    if (name == nullptr || !Win32DevicePath(name, path, sizeof path)) {
        return kPortNotOpened;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return kPortNotOpened;
    }
    if (!IsNullDeviceName(name)) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetCommState(handle, &dcb) == 0) {
            CloseHandle(handle);
            return kPortStateUnreadable;
        }
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kOpenReadTimeoutUnits) * 10U;
        if (SetCommTimeouts(handle, &timeouts) == 0) {
            CloseHandle(handle);
            return kPortNotOpened;
        }
        ApplyLineSettings(settings, controlFlags, dcb);
        if (SetCommState(handle, &dcb) == 0) {
            CloseHandle(handle);
            return kPortStateRefused;
        }
        SetupComm(handle, kQueueSize, kQueueSize);
    }
    auto* object = new (std::nothrow) PortObject{handle};
    if (object == nullptr) {
        CloseHandle(handle);
        return kPortNotOpened;
    }
    port = object;
    return kPortOk;
}

int32_t SetReadTimeout(PortHandle port, int32_t units) {
    COMMTIMEOUTS timeouts{};
    if (port == nullptr || GetCommTimeouts(port->handle, &timeouts) == 0) {
        return 0;
    }
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    constexpr DWORD kLongest = MAXDWORD / 10U;
    const DWORD unitsWanted = units < 0 ? 0U : static_cast<DWORD>(units);
    const DWORD wanted = (unitsWanted > kLongest ? kLongest : unitsWanted) * 10U;
    if (previous != wanted) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (SetCommTimeouts(port->handle, &timeouts) == 0) {
            return 0;
        }
    }
    return static_cast<int32_t>(previous / 10U);
}

int32_t ReadBytes(PortHandle port, void* buffer, size_t count, size_t* received) {
    size_t got = 0;
    int32_t result = port == nullptr ? kPortIoFailed : kPortOk;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (result == kPortOk && got < count) {
        DWORD n = 0;
        const BOOL ok =
            ReadFile(port->handle, bytes + got, static_cast<DWORD>(count - got), &n, nullptr);
        got += n;
        if (ok == 0) {
            GetLastError();  // taken and dropped: the caller only needs to know it failed
            result = kPortIoFailed;
        } else if (n == 0) {
            result = kPortIoFailed;  // nothing within the read time-out
        }
    }
    if (received != nullptr) {
        *received = got;
    }
    return result;
}

int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written) {
    written = 0;
    if (port == nullptr) {
        return kPortIoFailed;
    }
    DWORD n = 0;
    if (WriteFile(port->handle, bytes, static_cast<DWORD>(count), &n, nullptr) == 0) {
        written = n;
        return kPortIoFailed;
    }
    written = n;
    return written == count ? kPortOk : kPortShortWrite;
}

int32_t DiscardInput(PortHandle port) {
    if (port == nullptr) {
        return kPortNotOpened;
    }
    DWORD errors = 0;
    COMSTAT status{};
    // A failed query only forces the reading.
    const bool askFailed = ClearCommError(port->handle, &errors, &status) == 0;
    if (!askFailed && errors == 0 && status.cbInQue == 0) {
        return kPortOk;
    }
    const int32_t previous = SetReadTimeout(port, kDiscardTimeoutUnits);
    bool lastReadFailed = false;
    unsigned char block[kDiscardBlockSize];
    for (;;) {
        DWORD n = 0;
        if (ReadFile(port->handle, block, kDiscardBlockSize, &n, nullptr) == 0) {
            lastReadFailed = true;
            break;
        }
        if (n < kDiscardBlockSize) {
            break;
        }
    }
    if (previous != 0) {
        SetReadTimeout(port, previous);
    }
    return lastReadFailed ? kPortNotOpened : kPortOk;
}

bool PurgeInput(PortHandle port) {
    return port != nullptr && PurgeComm(port->handle, PURGE_RXABORT | PURGE_RXCLEAR) != 0;
}

int32_t ClosePort(PortHandle port) {
    if (port == nullptr || CloseHandle(port->handle) == 0) {
        return kPortIoFailed;
    }
    delete port;
    return kPortOk;
}

}  // namespace kiv::platform
