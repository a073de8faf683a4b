// Functions 12, 13 and 15: close, open and reconfigure the port of a running instance.
//
// The handle changes under the port lock. Functions 13 and 15 open a port only for an instance
// that has a line (its cold start opened the port and started the receiver): before cold start,
// after a cold start that did not open its port, or after close, no receiver would read the
// port, and cold start would open its own beside it. They then return 2 and change nothing.
// Function 12 closes whatever port a started instance has, and does nothing on one that is not
// started.
#include <cstring>

#include "instance/driver_instance.h"
#include "instance/instance_sync.h"
#include "link/instance_port.h"
#include "link/port_functions.h"
#include "platform/serial_port.h"
#include "platform/sync.h"

namespace kiv {

namespace {

bool IsRunning(const DriverInstance& instance) {
    return IsStarted(instance) && instance.hasLine.load();
}

// After the host's open: a port the driver had lost is the host's again once it is open (a
// failed open leaves the driver's tries to open it going). The caller holds the port lock.
int32_t PortOpened(DriverInstance& instance) {
    if (instance.port == nullptr) {
        return KIV_FAILED;
    }
    instance.portLost = false;
    return KIV_OK;
}

}  // namespace

int32_t PortClose(KivRequest* request) {
    if (request->instance == nullptr) {
        return KIV_FAILED;
    }
    if (!IsStarted(InstanceOf(*request))) {
        return KIV_OK;  // nothing is open
    }
    return CloseInstancePort(InstanceOf(*request)) ? KIV_OK : KIV_FAILED;
}

// A port that is already open is kept and the call fails, as a second open of the same line
// does; no second handle is opened beside it.
int32_t PortOpen(KivRequest* request) {
    if (request->instance == nullptr || !IsRunning(InstanceOf(*request))) {
        return KIV_FAILED;
    }
    DriverInstance& instance = InstanceOf(*request);
    const PortLockGuard lock(instance);
    if (instance.port != nullptr) {
        return KIV_FAILED;
    }
    SetInstancePort(instance, OpenConfiguredPort(instance.portSettings));
    return PortOpened(instance);
}

// The open port is closed and opened again with the new settings, also when the name stays the
// same, so that the new settings always take effect. A negative answer time-out is taken like
// 0 (the current one stays): it would make every answer wait practically endless.
int32_t PortReconfigure(KivRequest* request) {
    if (request->instance == nullptr || request->argument == nullptr ||
        !IsRunning(InstanceOf(*request))) {
        return KIV_FAILED;
    }
    DriverInstance& instance = InstanceOf(*request);
    const auto& reconfig = *static_cast<const PortReconfig*>(request->argument);
    if (reconfig.answerTimeout > 0) {
        instance.answerTimeoutUnit = reconfig.answerTimeout;
    }
    const PortLockGuard lock(instance);
    if (instance.port != nullptr) {
        if (platform::ClosePort(instance.port) != platform::kPortOk) {
            return KIV_FAILED;  // the old handle stays in use
        }
        SetInstancePort(instance, nullptr);
    }
    static_assert(sizeof instance.portSettings.portName == sizeof reconfig.portName);
    std::memcpy(instance.portSettings.portName, reconfig.portName, sizeof reconfig.portName);
    instance.portSettings.lineSettings = reconfig.lineSettings;
    SetInstancePort(instance, OpenConfiguredPort(instance.portSettings));
    return PortOpened(instance);
}

}  // namespace kiv
