// Opening a line once to see whether it can be used.
#include "system/port_check.h"

#include "platform/serial_port.h"

namespace kivhost {

PortCheck CheckPort(const std::string& port, const LineSettings& settings) {
    PortCheck check;
    check.device = DevicePathOf(port);
    kiv::platform::PortHandle handle{};
    uint32_t systemError = 0;
    const int32_t result = kiv::platform::OpenPort(port.c_str(), settings, kColdStartControlFlags,
                                                   handle, &systemError);
    if (result == kiv::platform::kPortOk) {
        (void)kiv::platform::ClosePort(handle);
        check.ok = true;
        return check;
    }
    ExplainOpenFailure(port, settings, result, systemError, check);
    return check;
}

}  // namespace kivhost
