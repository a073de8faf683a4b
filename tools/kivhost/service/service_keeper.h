// What kivhost run tells the service manager while it runs, decided on each turn of the run's
// own loop (never by a thread of its own: a loop that hangs stops the watchdog's pings):
//
//   READY=1     once the lines have started and every line's connection to the broker was
//               tried (whether or not it was made); at once without a gateway
//   STATUS=...  the lines and the broker's state in a few words, again whenever they change
//   WATCHDOG=1  at half the manager's watchdog interval, while the run's loop turns and every
//               line's loop of the gateway went round within the interval
//   STOPPING=1  when the run begins to stop
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "mqtt/mqtt_gateway.h"
#include "service/service_notifier.h"

namespace kivhost {

// "line 1 on ttyUSB0 running" ('lines' as given) and the broker's state: "; MQTT connected",
// "; MQTT not connected: REASON", with several lines "; MQTT 1 of 2 connected; L2: REASON".
// Control bytes become blanks.
std::string ServiceStatusText(const std::string& lines, const std::vector<GatewayState>* gateway);

class ServiceKeeper {
public:
    using Clock = std::chrono::steady_clock;

    // 'lines' names the lines in the status ("line 1 on ttyUSB0", "3 lines").
    ServiceKeeper(ServiceNotifier& notifier, std::string lines);

    // A turn of the run's loop; 'gateway' is null without a gateway.
    void Turn(const std::vector<GatewayState>* gateway, Clock::time_point now);
    // The run stops, for this reason.
    void Stopping(const std::string& reason);

private:
    void Ping(const std::vector<GatewayState>* gateway, Clock::time_point now);

    ServiceNotifier& notifier_;
    const std::string lines_;
    const std::chrono::microseconds watchdog_;
    bool ready_ = false;
    std::string status_;
    Clock::time_point nextPing_{};
};

}  // namespace kivhost
