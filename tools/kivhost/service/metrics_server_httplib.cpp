// The metrics server over cpp-httplib.
#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "service/metrics_server.h"
#include "service/metrics_text.h"

namespace kivhost {

namespace {

// A scrape at a time is the rule; two threads let a slow client not hold up the next.
constexpr size_t kServerThreads = 2;
// How long the start waits for the listening thread to run (so that Stop reaches it).
constexpr std::chrono::seconds kStartBound{5};

class HttplibMetricsServer final : public MetricsServer {
public:
    explicit HttplibMetricsServer(std::function<std::string()> render)
        : render_(std::move(render)) {}
    ~HttplibMetricsServer() override { Stop(); }
    HttplibMetricsServer(const HttplibMetricsServer&) = delete;
    HttplibMetricsServer& operator=(const HttplibMetricsServer&) = delete;

    bool Start(const MetricsAddress& address, std::string& error) {
        server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
        // Not the library's SO_REUSEPORT: a second run on the same port would share the
        // scrapes with the first, unsaid. SO_REUSEADDR lets a restart listen at once.
        server_.set_socket_options([](socket_t sock) {
            const int yes = 1;
            (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        server_.set_read_timeout(std::chrono::seconds(5));
        server_.set_write_timeout(std::chrono::seconds(5));
        server_.set_payload_max_length(1024);
        server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(render_(), kMetricsContentType);
        });
        errno = 0;
        port_ = address.port == 0 ? server_.bind_to_any_port(address.host)
                : server_.bind_to_port(address.host, address.port) ? address.port
                                                                   : -1;
        if (port_ < 0) {
            error = "--metrics: cannot listen on " + MetricsAddressText(address) +
                    (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
            return false;
        }
        thread_ = std::thread([this] { (void)server_.listen_after_bind(); });
        const auto deadline = std::chrono::steady_clock::now() + kStartBound;
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    int Port() const override { return port_; }

    void Stop() override {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

private:
    std::function<std::string()> render_;
    httplib::Server server_;
    int port_ = -1;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<MetricsServer> StartMetricsServer(const MetricsAddress& address,
                                                  const std::function<std::string()>& render,
                                                  std::string& error) {
    auto server = std::make_unique<HttplibMetricsServer>(render);
    if (!server->Start(address, error)) {
        return nullptr;
    }
    return server;
}

}  // namespace kivhost
