// The serial line: open with the host's settings, the read time-out, reads, writes, the discard
// of pending input, close.
//
// Every operation returns a small code, 0 for success, and accepts a null handle (no port): it
// then fails with its failure code and touches nothing. The operations of one handle must not
// run at the same time; the driver serialises them with the instance's port lock.
//
// "NUL" opens the null device without any line set-up: reads end at once with nothing, writes
// succeed, the time-outs cannot be read or set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/kiv_abi.h"
#include "platform/port_handle.h"

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

// Opens the line 'name' (a NUL-terminated text) with the settings and the modem-line control
// word; on success stores the new handle in 'port' and returns kPortOk, otherwise returns
// kPortNotOpened, kPortStateUnreadable or kPortStateRefused, leaves 'port' alone and leaves no
// device open. The read time-out starts at kOpenReadTimeoutUnits.
int32_t OpenPort(const char* name, const LineSettings& settings, uint16_t controlFlags,
                 PortHandle& port);

// Sets the read time-out to 'units' × 10 ms, where it differs, and returns the previous one in
// units of 10 ms (milliseconds divided by 10); 0 when the time-outs cannot be read or set.
int32_t SetReadTimeout(PortHandle port, int32_t units);

// Reads 'count' bytes, each read asking for those still missing and waiting at most the read
// time-out. kPortOk when all arrived; kPortIoFailed when a read failed or brought nothing in
// time. 'received' (may be null) gets the number of bytes stored either way.
int32_t ReadBytes(PortHandle port, void* buffer, size_t count, size_t* received);

// Writes the block in one synchronous write: kPortOk all written, kPortShortWrite fewer,
// kPortIoFailed the write failed. 'written' gets the number of bytes that went out.
int32_t WriteBytes(PortHandle port, const void* bytes, size_t count, size_t& written);

// Drops pending input: when the line reports an error or queued bytes (or cannot be asked),
// reads and drops blocks of 512 bytes with a 50 ms time-out until a read brings fewer, then
// puts the previous time-out back. kPortOk, or kPortNotOpened when the last read failed.
int32_t DiscardInput(PortHandle port);

// The receiver's purge at its start: aborts pending reads and clears the input queue without
// waiting. False when the line refused (the null device always does).
bool PurgeInput(PortHandle port);

// Closes the line and releases the handle: kPortOk; kPortIoFailed when the close failed, and
// then the handle stays valid.
int32_t ClosePort(PortHandle port);

}  // namespace kiv::platform
