// Opening and closing the instance's port.
#include "link/instance_port.h"

#include <cstring>

#include "instance/instance_sync.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// Room for the system's words for an error.
constexpr size_t kReasonSize = 160;

}  // namespace

platform::PortHandle OpenConfiguredPort(const PortSettings& settings) {
    // The host's field may be filled to its last byte without a terminator.
    char name[KIV_PORT_NAME_SIZE + 1] = {};
    std::memcpy(name, settings.portName, strnlen(settings.portName, KIV_PORT_NAME_SIZE));
    platform::PortHandle port = nullptr;
    uint32_t error = 0;
    if (platform::OpenPort(name, settings.lineSettings, settings.controlFlags, port, &error) !=
        platform::kPortOk) {
        char reason[kReasonSize];
        platform::SystemErrorText(error, reason, sizeof reason);
        err(32, "RIRODI: Fail to open COMM port %s", name);
        err(32, "RIRODI: COMM port %s did not open: %s (error %u)", name, reason,
            static_cast<unsigned>(error));
        return nullptr;
    }
    return port;
}

bool CloseInstancePort(DriverInstance& instance) {
    const PortLockGuard lock(instance);
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
