// The HTTP server of kivhost run's metrics: GET /metrics answers with the text 'render' makes,
// called on the server's threads for each scrape. Built with cpp-httplib on Linux; elsewhere
// StartMetricsServer says that it is not built.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/service_options.h"

namespace kivhost {

class MetricsServer {
public:
    virtual ~MetricsServer() = default;
    // The port it listens on (the one chosen when 0 was asked for).
    virtual int Port() const = 0;
    // Ends the server: no scrape runs once it returns.
    virtual void Stop() = 0;
};

// Listens on the address and serves; nullptr with the reason when it cannot.
std::unique_ptr<MetricsServer> StartMetricsServer(const MetricsAddress& address,
                                                  const std::function<std::string()>& render,
                                                  std::string& error);

}  // namespace kivhost
