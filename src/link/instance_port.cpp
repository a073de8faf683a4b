// Opening and closing the instance's port.
#include "link/instance_port.h"

#include <cstring>

#include "platform/serial_port.h"
#include "platform/sync.h"

namespace kiv {

platform::PortHandle OpenConfiguredPort(const PortSettings& settings) {
    // The host's field may be filled to its last byte without a terminator.
    char name[KIV_PORT_NAME_SIZE + 1] = {};
    std::memcpy(name, settings.portName, strnlen(settings.portName, KIV_PORT_NAME_SIZE));
    platform::PortHandle port = nullptr;
    if (platform::OpenPort(name, settings.lineSettings, settings.controlFlags, port) !=
        platform::kPortOk) {
        return nullptr;
    }
    return port;
}

bool CloseInstancePort(DriverInstance& instance) {
    const platform::LockGuard lock(instance.portLock);
    if (instance.port == nullptr) {
        return true;
    }
    if (platform::ClosePort(instance.port) != platform::kPortOk) {
        return false;
    }
    instance.port = nullptr;
    return true;
}

}  // namespace kiv
