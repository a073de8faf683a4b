// What kivhost run tells the service manager that started it (systemd's notify protocol):
// "READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1". Built with libsystemd on Linux; where
// it is not built, or NOTIFY_SOCKET is not set (not started by systemd with Type=notify), the
// notifier says nothing.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace kivhost {

class ServiceNotifier {
public:
    virtual ~ServiceNotifier() = default;
    // One state, "NAME=value" (no line feed).
    virtual void Notify(const std::string& state) = 0;
    // How often the manager wants WATCHDOG=1 at the least (WATCHDOG_USEC, for this process);
    // zero when it does not watch.
    virtual std::chrono::microseconds WatchdogInterval() const = 0;
};

// The notifier that says nothing.
class SilentNotifier final : public ServiceNotifier {
public:
    void Notify(const std::string& /*state*/) override {}
    std::chrono::microseconds WatchdogInterval() const override {
        return std::chrono::microseconds(0);
    }
};

// systemd's notifier when the environment names its socket, else a silent one.
std::unique_ptr<ServiceNotifier> MakeServiceNotifier();

}  // namespace kivhost
