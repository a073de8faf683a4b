// The receiver: the only reader of the line while an instance runs.
//
// It waits for input without holding portLock (beside the shut-down event), then takes every
// frame the port holds, each under portLock, and decides by its kind and by the instance's
// answerMode what it is: the answer a waiting transaction expects (answerEvent is
// set), a controller's status report answering the poll, an event (acknowledged, filed in the
// event log and turned into tag values), or a line of a setup upload (acknowledged and filed).
//
//   answerMode 1 (an acknowledgement awaited): the acknowledgement sets answerEvent; every other
//     frame is left alone (not acknowledged, not filed).
//   answerMode 2 (an acknowledgement and a data answer awaited): the acknowledgement and the
//     "L" answer are noted; any other frame is acknowledged first, then an event is filed (no tag
//     values), an upload line filed, the end of an upload handled. When both the
//     acknowledgement and the answer have come, the answer is kept in answerCopy (if it is the
//     frame in hand) and answerEvent is set.
//   answerMode 3 (an xFSTAT sent): its acknowledgement switches the mode to 4 and sets
//     answerEvent; every other frame is left alone, as in mode 1.
//   answerMode 4 (an acknowledged xFSTAT awaits its report; the command keeps the line until the
//     report or its answer time): the status report that comes is published for the controller
//     asked (statusAskedOf), and answerEvent is set; every other frame as in mode 0.
//   answerMode 0 (nothing awaited): a status report is published for the controller whose poll
//     waits (the highest one), or for none, and not acknowledged; every other frame is
//     acknowledged first, then an event is filed and published, an upload line filed, the end
//     of an upload handled.
//
// When the answer awaited has come (answerEvent set), answerMode is 0 for the frames that follow
// it, as it is once the waiting transaction has woken.
//
// An acknowledgement that comes while nothing is awaited is logged at level 8 and not
// acknowledged. An invalid frame (too short, wrong checksum) is logged and not acknowledged.
//
// Before a command frame goes out, the sender hands what the line holds to the same handling
// (SettleArrivedInput), so that nothing received is dropped unseen. A frame that is the echo of
// one the driver sent (link/line_echo.h) is passed over before any of this.
#pragma once

#include "instance/driver_instance.h"
#include "link/frame_codec.h"

namespace kiv {

// The thread body; its argument is the DriverInstance. It purges the line's input, waits the
// start delay, then waits for input and handles what arrives until shut-down is requested; it
// pauses (receiverCycleMs) only while it has no line to wait on.
void RunReceiver(void* argument);

// One cycle's handling of a received frame of kind 'kind' in rxBuffer (rxLength bytes). The
// caller holds portLock.
void HandleFrame(DriverInstance& instance, MessageKind kind);

// The instance's InputSettler: receives and handles, as the receiver does, every frame that is
// on the line or arriving (a frame that has begun is let finish: it ends at its CR or at a 60 ms
// gap), at most kSettleFrameLimit of them, so that a line that never falls quiet cannot hold
// the sender. The caller holds portLock.
inline constexpr int kSettleFrameLimit = 16;
void SettleArrivedInput(DriverInstance& instance);

}  // namespace kiv
