// Opening and closing the instance's port.
#include "link/instance_port.h"

#include <cstring>

#include "instance/instance_sync.h"
#include "link/line_echo.h"
#include "link/line_input.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

void SetInstancePort(DriverInstance& instance, platform::PortHandle port) {
    instance.port = port;
    ++instance.portGeneration;
    ClearInput(instance.lineInput);
    instance.noPortSaid = false;
    ForgetSentFrames(instance);
}

platform::PortHandle OpenConfiguredPort(const PortSettings& settings) {
    const PortName name(settings);
    platform::PortHandle port = nullptr;
    uint32_t error = 0;
    if (platform::OpenPort(name.text, settings.lineSettings, settings.controlFlags, port, &error) !=
        platform::kPortOk) {
        char reason[platform::kErrorTextSize];
        platform::SystemErrorText(error, reason, sizeof reason);
        err(32, "RIRODI: Fail to open COMM port %s", name.text);
        err(32, "RIRODI: COMM port %s did not open: %s (error %u)", name.text, reason,
            static_cast<unsigned>(error));
        return nullptr;
    }
    return port;
}

bool CloseInstancePort(DriverInstance& instance) {
    const PortLockGuard lock(instance);
    instance.portLost = false;  // the host decides from here on
    if (instance.port == nullptr) {
        return true;
    }
    if (platform::ClosePort(instance.port) != platform::kPortOk) {
        return false;
    }
    SetInstancePort(instance, nullptr);
    return true;
}

void LoseInstancePort(DriverInstance& instance, uint32_t failed, uint32_t systemError) {
    PortName name;
    {
        const PortLockGuard lock(instance);
        if (instance.port == nullptr || instance.portGeneration != failed) {
            return;
        }
        // Linux and Windows both let the handle go whatever the close says.
        platform::ClosePort(instance.port);
        SetInstancePort(instance, nullptr);
        instance.portLost = true;
        name = PortName(instance.portSettings);
    }
    char reason[platform::kErrorTextSize];
    platform::SystemErrorText(systemError, reason, sizeof reason);
    err(32, "RIRODI: COMM port %s failed: %s (error %u); it is opened again once it is back",
        name.text, reason, static_cast<unsigned>(systemError));
}

bool ReopenLostPort(DriverInstance& instance) {
    PortSettings settings{};
    {
        const PortLockGuard lock(instance);
        if (!instance.portLost.load() || instance.port != nullptr) {
            instance.portLost = false;
            return true;
        }
        settings = instance.portSettings;
    }
    const PortName name(settings);
    platform::PortHandle port = nullptr;
    if (platform::OpenPort(name.text, settings.lineSettings, settings.controlFlags, port) !=
        platform::kPortOk) {
        return false;
    }
    {
        const PortLockGuard lock(instance);
        if (!instance.portLost.load() || instance.port != nullptr) {
            // The host closed or opened the port meanwhile: its decision stands.
            platform::ClosePort(port);
            instance.portLost = false;
            return true;
        }
        platform::SetReadTimeout(port, instance.readTimeout);
        // What the device held while it was away answers nothing the driver sent.
        platform::PurgeInput(port);
        SetInstancePort(instance, port);
        instance.portLost = false;
    }
    err(32, "RIRODI: COMM port %s is back, opened again", name.text);
    return true;
}

}  // namespace kiv
