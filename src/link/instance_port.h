// The instance's port: opening it from the stored settings and closing it.
//
// The handle in the instance changes only under the instance's port lock, so that the receiver
// and the senders, which use the port under that lock, never see it change in the middle of a
// step.
#pragma once

#include <cstdint>

#include "instance/driver_instance.h"
#include "platform/port_handle.h"

namespace kiv {

// Opens the line the settings describe (all 12 bytes of the name field count; a shorter name
// ends at its NUL): the handle, or nullptr when it did not open. Why it did not open is not
// reported further. The read time-out starts at 1000 ms.
platform::PortHandle OpenConfiguredPort(const PortSettings& settings);

// Closes the instance's port, as function 12 does: true when it was closed or none was open;
// false when the close failed, and then the handle stays. Holds the port lock (the instance is
// started).
bool CloseInstancePort(DriverInstance& instance);

}  // namespace kiv
