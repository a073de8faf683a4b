// The POSIX event's descriptor, for the waits that poll(2) a port and an event together.
#pragma once

#include "platform/sync.h"

namespace kiv::platform {

// A descriptor that poll(2) finds readable while the event is set (and not after it is reset);
// -1 for an event that was not created. It belongs to the event: never read or close it.
int EventWaitFd(Event& event);

}  // namespace kiv::platform
