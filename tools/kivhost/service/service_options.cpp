// The options of kivhost run as a service.
#include "service/service_options.h"

#include <CLI/CLI.hpp>

#include "base/numbers.h"

namespace kivhost {

void AddServiceOptions(CLI::App& app, std::string& metrics) {
    app.add_option("--metrics", metrics,
                   "serve Prometheus metrics on http://HOST:PORT/metrics: HOST:PORT, :PORT or "
                   "PORT (HOST 127.0.0.1 then; 0.0.0.0 for every address; PORT 0: any free one, "
                   "said on standard error)")
        ->type_name("ADDRESS")
        ->group("Service");
}

bool ParseMetricsAddress(const std::string& text, MetricsAddress& address, std::string& error) {
    std::string host;
    std::string port = text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || text.compare(close, 2, "]:") != 0) {
            error = "--metrics '" + text + "': an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    long long number = 0;
    const bool digits = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || !ParseInteger(port, number) || number > 65535) {
        error = "--metrics '" + text + "': the port is a number from 0 to 65535";
        return false;
    }
    address.host = host.empty() ? kMetricsDefaultHost : host;
    address.port = static_cast<int>(number);
    return true;
}

std::string MetricsAddressText(const MetricsAddress& address) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace kivhost
