// The serial line: open with the host's settings, the read time-out, reads, writes, the discard
// of pending input, close.
//
// Every operation returns a small code, 0 for success, and accepts a null handle (no port): it
// then fails with its failure code and touches nothing. The operations of one handle must not
// run at the same time; the driver serialises them with the instance's port lock. The one
// exception is the wait for input (BeginInputWait, WaitForInput): it takes nothing from the
// line, runs without that lock beside reads and writes, and ClosePort ends it.
//
// Where a failure has a cause the system can name, 'systemError' (when not null) receives the
// system's error code (errno, or GetLastError); SystemErrorText turns it into words.
//
// "NUL" opens the null device without any line set-up: reads end at once with nothing, writes
// succeed, the time-outs cannot be read or set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kiv/kiv_abi.h"
#include "platform/port_handle.h"
#include "platform/sync.h"

namespace kiv::platform {

// Results of the port operations.
enum PortResult : int32_t {
    kPortOk = 0,
    kPortNotOpened = 1,        // OpenPort: the device did not open, or its time-outs were refused;
                               // DiscardInput: the last read failed
    kPortShortWrite = 2,       // WriteBytes: fewer bytes went out than asked
    kPortStateUnreadable = 4,  // OpenPort: the line state could not be read
    kPortStateRefused = 5,     // OpenPort: the line state was refused
    kPortIoFailed = 7,         // a read, write or close failed, or a read brought nothing in time
};

// The read time-out right after opening, in units of 10 ms.
inline constexpr int32_t kOpenReadTimeoutUnits = 100;

// The name given for the null device.
inline constexpr char kNullDeviceName[] = "NUL";

// The baud rates OpenPort takes, from the slowest up: on POSIX systems those of the termios
// table (any other is refused), on Windows the rates the system names (CBR_110 to CBR_57600;
// OpenPort hands any rate on to the port's driver, which may take others). Tools check a rate
// against this list before a line is opened, and try these when they look for a line's rate.
std::span<const uint16_t> BaudRates();

// Opens the line 'name' (a NUL-terminated text) with the settings and the modem-line control
// word; on success stores the new handle in 'port' and returns kPortOk, otherwise returns
// kPortNotOpened, kPortStateUnreadable or kPortStateRefused, leaves 'port' alone and leaves no
// device open. The read time-out starts at kOpenReadTimeoutUnits.
// 'systemError' gets the cause of a failure: the system's own error, or for a line that another
// handle holds "in use" (EBUSY; ERROR_ACCESS_DENIED on Windows), for settings the line cannot
// take "invalid argument" (EINVAL; the error of SetCommState on Windows).
int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port, uint32_t* systemError = nullptr);

// Sets the read time-out to 'units' × 10 ms, where it differs, and returns the previous one in
// units of 10 ms (milliseconds divided by 10); 0 when the time-outs cannot be read or set.
int32_t SetReadTimeout(PortHandle port, int32_t units);

// Reads 'count' bytes, each read asking for those still missing and waiting at most the read
// time-out. kPortOk when all arrived; kPortIoFailed when a read failed or brought nothing in
// time. 'received' (may be null) gets the number of bytes stored either way.
int32_t ReadBytes(PortHandle port, void* buffer, size_t count, size_t* received);

// Writes the block in one synchronous write: kPortOk all written, kPortShortWrite fewer,
// kPortIoFailed the write failed. 'written' gets the number of bytes that went out.
int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written,
                   uint32_t* systemError = nullptr);

// What ReadAvailable brought.
struct ReadOutcome {
    int32_t result;        // kPortOk (also when nothing came in time), or kPortIoFailed
    size_t count;          // bytes stored
    uint32_t systemError;  // after kPortIoFailed: why; a line that hung up gives EIO (5)
};

// Reads up to 'size' bytes: those the line holds at once, else the first that arrive within
// 'timeoutMs' (0: none is awaited), without waiting for more once some are there. The read
// time-out of SetReadTimeout is not used. A read that fails, or a line that hung up (its device
// gone: a pulled USB adapter, a pseudo-terminal whose other side closed), is kPortIoFailed. The
// null device brings nothing, at once.
ReadOutcome ReadAvailable(PortHandle port, void* buffer, size_t size, uint32_t timeoutMs);

// How a wait for input ended.
enum class InputWait {
    kReadable,  // input is there to read (or the line reports a failure that a read will show)
    kTimedOut,
    kWoken,   // 'wake' was set, or the port is being closed
    kFailed,  // the line failed (its device gone); 'systemError' says why
};

// Claims the port for one wait for input. The caller holds the lock that guards the handle, so
// that the port cannot be closed between reading the handle and the claim; ClosePort ends a
// claimed wait and frees the port only once the wait has let go of it. False when the port is
// being closed (or there is none); then WaitForInput must not follow.
bool BeginInputWait(PortHandle port);

// Waits, without any lock and without taking a byte from the line, until input is there, the
// event 'wake' is set, the port is being closed, or 'timeoutMs' passed; then releases the claim
// of BeginInputWait (the handle must not be used afterwards without the guarding lock). The
// null device never has input. Readers and writers may use the port meanwhile.
InputWait WaitForInput(PortHandle port, Event& wake, uint32_t timeoutMs,
                       uint32_t* systemError = nullptr);

// The system's words for an error code (strerror, or FormatMessage without the line end), at
// most size - 1 characters; "unknown error" when it has none. kErrorTextSize holds the words of
// any error the driver logs.
inline constexpr size_t kErrorTextSize = 160;
void SystemErrorText(uint32_t code, char* text, size_t size);

// Drops pending input: when the line reports an error or queued bytes (or cannot be asked),
// reads and drops blocks of 512 bytes with a 50 ms time-out until a read brings fewer, then
// puts the previous time-out back. kPortOk, or kPortNotOpened when the last read failed.
int32_t DiscardInput(PortHandle port);

// The receiver's purge at its start: aborts pending reads and clears the input queue without
// waiting. False when the line refused (the null device always does).
bool PurgeInput(PortHandle port);

// Closes the line and releases the handle: kPortOk; kPortIoFailed when the close failed, and
// then the handle stays valid. A wait for input on the port is ended first, and the close
// returns once it has let go of the port.
int32_t ClosePort(PortHandle port);

}  // namespace kiv::platform
