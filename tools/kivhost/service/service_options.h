// What kivhost run does as a service beside its lines: the Prometheus metrics it serves
// (--metrics) and what it tells systemd (service_notifier.h, service_keeper.h).
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace kivhost {

// Where the metrics are served: a host (an address or a name) and a port, 0 for any free one.
struct MetricsAddress {
    std::string host;
    int port = 0;
};

// The host when --metrics names only a port: this machine alone.
inline constexpr const char* kMetricsDefaultHost = "127.0.0.1";

// Adds --metrics to kivhost run (also settable in --config as 'metrics = ...').
void AddServiceOptions(CLI::App& app, std::string& metrics);

// "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT" (the host then kMetricsDefaultHost); false with
// the reason otherwise.
bool ParseMetricsAddress(const std::string& text, MetricsAddress& address, std::string& error);

// "HOST:PORT", brackets around an IPv6 address.
std::string MetricsAddressText(const MetricsAddress& address);

}  // namespace kivhost
