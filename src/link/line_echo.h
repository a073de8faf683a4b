// The driver's own bytes coming back: many half-duplex (RS-485) adapters hand every byte sent
// back to the receiving side. Without care the driver would take the echo of its own
// acknowledgement for a controller's answer, acknowledge its own command frames as if a
// controller had sent them, and log every echo.
//
// Every frame the driver writes is noted, in order, until its echo is due at the latest: the
// time the frame takes on the wire at the port's rate plus kEchoLatencyMs for the adapter and
// the system. A received frame that is byte for byte one of those frames is their echo: it is
// passed over (no classification, no "INCOMING", no acknowledgement), together with the frames
// noted before it, whose echoes were lost. The first echo on a port is logged once:
// "RIRODI: COMM port <name> hands back what the driver sends (an echoing adapter); its own
// frames are passed over".
//
// A controller never sends back a command frame of the driver's, so such a frame is an echo on
// any line. The acknowledgement LF "A" CR is what controllers answer with too: it is taken for
// an echo only on a port that has shown it echoes, and only in its turn (the echoes come back in
// the order the frames went out, before the answer to the last of them). On a line that does
// not echo no acknowledgement is ever passed over.
//
// The caller holds the port lock (the sends and receives do).
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

inline constexpr uint64_t kEchoLatencyMs = 500;

// Notes a frame that went out whole on the instance's port.
void NoteSentFrame(DriverInstance& instance, const char* frame, size_t length);

// Whether the received frame is the echo of a frame noted (it is then taken off the notes).
bool TakeEcho(DriverInstance& instance, const char* frame, size_t length);

// Forgets what was noted, and whether the port echoes: a new port begins afresh.
void ForgetSentFrames(DriverInstance& instance);

}  // namespace kiv
