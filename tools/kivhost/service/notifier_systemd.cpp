// The notifier over libsystemd's sd_notify.
#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

#include "service/service_notifier.h"

namespace kivhost {

namespace {

class SystemdNotifier final : public ServiceNotifier {
public:
    SystemdNotifier() {
        uint64_t usec = 0;
        // Only for this process (WATCHDOG_PID); the environment stays as it is.
        if (sd_watchdog_enabled(0, &usec) > 0) {
            watchdog_ = std::chrono::microseconds(usec);
        }
    }
    void Notify(const std::string& state) override { (void)sd_notify(0, state.c_str()); }
    std::chrono::microseconds WatchdogInterval() const override { return watchdog_; }

private:
    std::chrono::microseconds watchdog_{0};
};

}  // namespace

std::unique_ptr<ServiceNotifier> MakeServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        return std::make_unique<SilentNotifier>();
    }
    return std::make_unique<SystemdNotifier>();
}

}  // namespace kivhost
