// The instance's host client and the thread that waits for the host's messages.
//
// The client lives in a record of its own, the MessageWaiter, shared by the instance and the
// thread: whichever lets go of it last frees it. The thread holds nothing of the instance but
// through that record, and only while close has not let it go; so close can always return,
// even when the host keeps the thread waiting (it refuses to remove the client):
//
// - On the host's shut-down signal the thread asks every other thread of the instance to end,
//   removes the client and ends: it never waits again on a number the host may give to another
//   client.
// - Close removes the client itself when the host has not sent its signal, and waits for the
//   thread at most kMessageWaiterEndMs. A thread that does not end by then (the host refused the
//   removal, or does not end a waiting QorGetMsg) is let go: it ends when the host ends its wait,
//   and touches nothing of the instance. Close logs that.
// - A QorGetMsg that fails while the client is still registered is tried again after a pause
//   that doubles from 10 ms to 1 s (logged once until it works again), so that the host's
//   shut-down signal is never missed.
// - A client number stays reserved from registration until neither the instance nor its thread
//   can use it any more (between the retries of a failed QorGetMsg too): a new cold start that
//   is offered a reserved number asks the host for another one.
#pragma once

#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"

namespace kiv {

// The host message that asks the driver to shut down.
inline constexpr uint16_t kSignalShut = 0;

// How long close waits for the thread that waits for host messages, after removing the client.
inline constexpr uint32_t kMessageWaiterEndMs = 2000;

// Registers the instance's host client (QorMkClient with the name, 1 and 0) and creates the
// record it lives in (instance.messageWaiter, instance.clientId). The host's status: 0 when the
// client is registered; a refusal is logged.
uint16_t RegisterClient(DriverInstance& instance, const char* name);

// The thread body; its argument is instance.messageWaiter, which the thread co-owns from the
// moment StartMessageWaiter started it.
void WaitForHostMessages(void* argument);
bool StartMessageWaiter(DriverInstance& instance, size_t stackSize, uint32_t& error);

// Removes the instance's host client if it is still registered, exactly once however many
// threads try: the status of QorRmClient, or nothing when it was removed already.
std::optional<uint16_t> RemoveClient(DriverInstance& instance);

// Close: removes the client when that is still to be done (a refusal is logged), then waits for
// the thread (or lets it go, as above) and gives up the instance's share of the record.
void ReleaseClient(DriverInstance& instance);

}  // namespace kiv
