// The thread that waits for the host's messages: on the shut-down signal it asks every other
// thread of the instance to end and removes the instance's client.
#pragma once

#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"

namespace kiv {

// The host message that asks the driver to shut down.
inline constexpr uint16_t kSignalShut = 0;

// The thread body; its argument is the DriverInstance. It ends when the host no longer gives it
// messages (its client is gone).
void ThreadShutDown(void* argument);

// Removes the instance's host client if it is still registered, exactly once however many
// threads try; the status of QorRmClient, or nothing when the client was removed already.
std::optional<uint16_t> RemoveClient(DriverInstance& instance);

}  // namespace kiv
