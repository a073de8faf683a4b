// The instance's port: opening it from the stored settings and closing it.
//
// The handle in the instance changes only under the instance's port lock, so that the receiver
// and the senders, which use the port under that lock, never see it change in the middle of a
// step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "instance/driver_instance.h"
#include "platform/port_handle.h"

namespace kiv {

// The port name of the settings, terminated (the host's field may be filled to its last byte).
struct PortName {
    char text[KIV_PORT_NAME_SIZE + 1];
    PortName() : text{} {}
    explicit PortName(const PortSettings& settings) : text{} {
        std::memcpy(text, settings.portName, strnlen(settings.portName, KIV_PORT_NAME_SIZE));
    }
};

// Puts 'port' (nullptr: none) in the instance as a port of its own: the generation is counted
// up, and what the receiver held of the old port (bytes read and not yet framed, the frames noted
// for their echo) is let go. The caller holds the port lock, or no other thread runs yet.
void SetInstancePort(DriverInstance& instance, platform::PortHandle port);

// Opens the line the settings describe (all 12 bytes of the name field count; a shorter name
// ends at its NUL): the handle, or nullptr when it did not open; then it logs
// "RIRODI: Fail to open COMM port <name>" and a line with the system's reason. The read
// time-out starts at 1000 ms.
platform::PortHandle OpenConfiguredPort(const PortSettings& settings);

// Closes the instance's port, as function 12 does: true when it was closed or none was open;
// false when the close failed, and then the handle stays. Holds the port lock (the instance is
// started). A port the driver lost is no longer opened again by itself.
bool CloseInstancePort(DriverInstance& instance);

// A line whose device is gone (a USB adapter pulled, a pseudo-terminal whose other side closed):
// the receiver met the failure 'systemError' on the port of generation 'failed'. When that is
// still the instance's port, it is closed (so that the device is free for its return), the instance
// marks the port lost, and "RIRODI: COMM port <name> failed: <reason> (error <n>); it is opened
// again once it is back" is logged. A port the host closed or replaced meanwhile is left alone.
// Takes the port lock.
void LoseInstancePort(DriverInstance& instance, uint32_t failed, uint32_t systemError);

// One try to open a lost port again with the stored settings, quietly: true when it is open
// again; then its input is purged, the mark is taken away and "RIRODI: COMM port <name> is
// back, opened again" is logged. A port the host opened meanwhile (functions 13, 15) or closed
// (12) ends the tries too (true). False while the device is still away. Takes the port lock
// (the open itself runs without it).
bool ReopenLostPort(DriverInstance& instance);

}  // namespace kiv
