// The metrics server where cpp-httplib is not built in (Windows, or a Linux build without it).
#include "service/metrics_server.h"

namespace kivhost {

std::unique_ptr<MetricsServer> StartMetricsServer(const MetricsAddress& /*address*/,
                                                  const std::function<std::string()>& /*render*/,
                                                  std::string& error) {
    error =
        "this kivhost is built without the metrics server (--metrics): it is built on Linux, "
        "with cpp-httplib (Debian's libcpp-httplib-dev)";
    return nullptr;
}

}  // namespace kivhost
