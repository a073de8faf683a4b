// What kivhost run tells the service manager while it runs.
#include "service/service_keeper.h"

#include <algorithm>

namespace kivhost {

namespace {

// Each line's connection was tried once: its loop went round.
bool EveryConnectionTried(const std::vector<GatewayState>* gateway) {
    return gateway == nullptr ||
           std::all_of(gateway->begin(), gateway->end(), [](const GatewayState& state) {
               return state.looped != ServiceKeeper::Clock::time_point{};
           });
}

bool EveryLoopTurns(const std::vector<GatewayState>* gateway, ServiceKeeper::Clock::time_point now,
                    std::chrono::microseconds within) {
    return gateway == nullptr ||
           std::all_of(gateway->begin(), gateway->end(), [now, within](const GatewayState& state) {
               return now - state.looped <= within;
           });
}

std::string BrokerText(const std::vector<GatewayState>& gateway) {
    const auto up = std::count_if(gateway.begin(), gateway.end(),
                                  [](const GatewayState& state) { return state.connected; });
    const auto down = std::find_if(gateway.begin(), gateway.end(),
                                   [](const GatewayState& state) { return !state.connected; });
    if (down == gateway.end()) {
        return "; MQTT connected";
    }
    if (gateway.size() == 1) {
        return "; MQTT not connected: " + down->reason;
    }
    return "; MQTT " + std::to_string(up) + " of " + std::to_string(gateway.size()) +
           " connected; L" + std::to_string(down->line) + ": " + down->reason;
}

// One state a line: a line feed would end it.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return text;
}

}  // namespace

std::string ServiceStatusText(const std::string& lines, const std::vector<GatewayState>* gateway) {
    std::string text = lines + " running";
    if (gateway != nullptr && !gateway->empty()) {
        text += BrokerText(*gateway);
    }
    return OneLine(text);
}

ServiceKeeper::ServiceKeeper(ServiceNotifier& notifier, std::string lines)
    : notifier_(notifier), lines_(std::move(lines)), watchdog_(notifier.WatchdogInterval()) {}

void ServiceKeeper::Turn(const std::vector<GatewayState>* gateway, Clock::time_point now) {
    if (!ready_ && !EveryConnectionTried(gateway)) {
        return;
    }
    const std::string status = ServiceStatusText(lines_, gateway);
    if (!ready_) {
        ready_ = true;
        status_ = status;
        notifier_.Notify("READY=1\nSTATUS=" + status);
    } else if (status != status_) {
        status_ = status;
        notifier_.Notify("STATUS=" + status);
    }
    Ping(gateway, now);
}

void ServiceKeeper::Ping(const std::vector<GatewayState>* gateway, Clock::time_point now) {
    if (watchdog_.count() <= 0 || now < nextPing_ || !EveryLoopTurns(gateway, now, watchdog_)) {
        return;
    }
    notifier_.Notify("WATCHDOG=1");
    nextPing_ = now + watchdog_ / 2;
}

void ServiceKeeper::Stopping(const std::string& reason) {
    notifier_.Notify("STOPPING=1\nSTATUS=" + OneLine("stopping: " + reason));
}

}  // namespace kivhost
