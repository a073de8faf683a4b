// One line's connection to the broker.
#include "mqtt/broker_link.h"

#include "base/terminal_text.h"

#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kivhost {

namespace {

using std::chrono::milliseconds;

constexpr size_t kInFlight = 100;  // messages handed to the broker, not yet acknowledged
constexpr milliseconds kFirstBackOff{500};
constexpr milliseconds kLastBackOff{10000};
constexpr milliseconds kStateEvery{10000};  // the state, and an overflow's report, at most
constexpr int kRefusalsLogged = 10;

}  // namespace

void Say(const std::string& text) {
    // What a client sent (a topic, a value) may hold control bytes: none reaches the terminal.
    (void)std::fprintf(stderr, "kivhost run: mqtt: %s\n", TerminalSafe(text).c_str());
    (void)std::fflush(stderr);
}

BrokerLink::BrokerLink(const MqttSettings& settings, const BrokerUrl& url,
                       const std::string& password, bool passwordGiven, int line, bool severalLines,
                       std::string clientId, std::function<void(WriteRequest)> requested)
    : settings_(settings),
      url_(url),
      password_(password),
      passwordGiven_(passwordGiven),
      clientId_(std::move(clientId)),
      requested_(std::move(requested)),
      queue_(settings, line, severalLines),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      backOff_(kFirstBackOff) {}

BrokerLink::~BrokerLink() {
    Join();
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    if (wake_ >= 0) {
        (void)close(wake_);
    }
}

void BrokerLink::Wake() {
    const uint64_t one = 1;
    if (wake_ >= 0) {
        (void)!write(wake_, &one, sizeof one);
    }
}

void BrokerLink::Offer(const Json& record) {
    if (queue_.Offer(record)) {
        Wake();
    }
}

void BrokerLink::Send(OutMessage message) {
    queue_.Send(std::move(message));
    Wake();
}

void BrokerLink::RequestStop(GatewayClock::time_point deadline) {
    queue_.RequestStop(deadline);
    Wake();
}

void BrokerLink::Pump() {
    while (connected_ && !lost_ && inFlight_.size() < kInFlight) {
        OutMessage message;
        if (!queue_.Next(message, connects_)) {
            return;
        }
        mosquitto_property* properties = nullptr;
        if (message.hasCorrelation) {
            (void)mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                                message.correlation.data(),
                                                static_cast<uint16_t>(message.correlation.size()));
        }
        int mid = 0;
        const int rc = mosquitto_publish_v5(client_, &mid, message.topic.c_str(),
                                            static_cast<int>(message.payload.size()),
                                            message.payload.data(), 1, message.retain, properties);
        mosquitto_property_free_all(&properties);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_LOST &&
            rc != MOSQ_ERR_ERRNO && rc != MOSQ_ERR_NOMEM) {
            // The message itself cannot be sent (a response topic with a wildcard, a name that
            // is not UTF-8): it goes, said, and the connection stays.
            if (refusals_ < kRefusalsLogged) {
                ++refusals_;
                Say("line " + std::to_string(Line()) + ": a message on '" + message.topic +
                    "' cannot be sent and is dropped: " + mosquitto_strerror(rc));
            }
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            // Not handed over: Drop puts it back at the front, for the next connection.
            inFlight_[-1] = std::move(message);
            lost_ = true;
            lostReason_ = mosquitto_strerror(rc);
            return;
        }
        inFlight_[mid] = std::move(message);
    }
}

bool BrokerLink::Connect() {
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        lastFailure_ = "cannot make a client: " + std::string(std::strerror(errno));
        Say("line " + std::to_string(Line()) + ": " + lastFailure_);
        return false;
    }
    (void)mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    (void)mosquitto_int_option(client_, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(kInFlight));
    if (!settings_.user.empty()) {
        (void)mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                        passwordGiven_ ? password_.c_str() : nullptr);
    }
    if (url_.tls) {
        const char* ca = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
        const char* caPath = ca == nullptr ? "/etc/ssl/certs" : nullptr;
        const int rc = mosquitto_tls_set(
            client_, ca, caPath, settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
            settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            lastFailure_ = "the TLS files cannot be used: " + std::string(mosquitto_strerror(rc)) +
                           " (--mqtt-ca, --mqtt-cert, --mqtt-key)";
            Say("line " + std::to_string(Line()) + ": " + lastFailure_);
            mosquitto_destroy(client_);
            client_ = nullptr;
            return false;
        }
    }
    const std::string will = Dump({{"state", "offline"},
                                   {"site", settings_.site},
                                   {"line", Line()},
                                   {"reason", "the gateway's connection was lost"}});
    (void)mosquitto_will_set_v5(client_, (Prefix() + "state").c_str(),
                                static_cast<int>(will.size()), will.data(), 1, true, nullptr);
    mosquitto_connect_v5_callback_set(
        client_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
            static_cast<BrokerLink*>(self)->OnConnect(rc);
        });
    mosquitto_disconnect_v5_callback_set(
        client_, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
            static_cast<BrokerLink*>(self)->OnDisconnect(rc);
        });
    mosquitto_publish_v5_callback_set(
        client_, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
            static_cast<BrokerLink*>(self)->OnPublish(mid, reason);
        });
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* message,
                    const mosquitto_property* properties) {
            static_cast<BrokerLink*>(self)->OnMessage(message, properties);
        });
    mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
        static_cast<BrokerLink*>(self)->OnLog(level, text);
    });
    tlsError_.clear();
    errno = 0;
    const int rc = mosquitto_connect_bind_v5(client_, url_.host.c_str(), url_.port,
                                             settings_.keepAlive, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        ReportFailure(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    return true;
}

void BrokerLink::ReportFailure(const std::string& why) {
    std::string reason = why;
    if (!tlsError_.empty()) {
        reason += ": " + tlsError_;
        if (tlsError_.find("certificate verify failed") != std::string::npos) {
            reason += " (the broker's certificate is not signed by a CA of --mqtt-ca)";
        }
    }
    const std::string failure =
        "cannot connect to " + url_.host + ":" + std::to_string(url_.port) + ": " + reason;
    if (failure != lastFailure_) {
        Say("line " + std::to_string(Line()) + ": " + failure + "; trying again");
        lastFailure_ = failure;
    }
    ShowState(false, failure + "; trying again");
}

void BrokerLink::ShowState(bool connected, const std::string& reason) {
    const std::lock_guard<std::mutex> lock(stateMutex_);
    shownConnected_ = connected;
    shownReason_ = reason;
}

GatewayState BrokerLink::State() {
    GatewayState state;
    state.line = Line();
    state.queued = queue_.Progress().waiting;
    state.dropped = queue_.Dropped();
    const std::lock_guard<std::mutex> lock(stateMutex_);
    state.connected = shownConnected_;
    state.reason = shownReason_;
    return state;
}

void BrokerLink::Drop(const std::string& why) {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    if (!connected_) {
        ReportFailure(why);  // the connection was never accepted
    } else {
        Say("line " + std::to_string(Line()) + ": the connection to " + url_.host + ":" +
            std::to_string(url_.port) + " was lost (" + why + "); " +
            std::to_string(inFlight_.size()) + " messages go again after the reconnect");
        ShowState(false, "the connection was lost (" + why + "); trying again");
    }
    connected_ = false;
    lost_ = false;
    // What the broker did not acknowledge goes back, in its order.
    std::vector<OutMessage> back;
    for (auto& [mid, message] : inFlight_) {
        back.push_back(std::move(message));
    }
    inFlight_.clear();
    queue_.PutBack(std::move(back));
}

void BrokerLink::OnConnect(int rc) {
    if (rc != 0) {
        lost_ = true;
        lostReason_ =
            std::string("the broker refused the connection: ") + mosquitto_reason_string(rc);
        return;
    }
    connected_ = true;
    ++connects_;
    backOff_ = kFirstBackOff;
    lastFailure_.clear();
    Say("line " + std::to_string(Line()) + ": connected to " + url_.host + ":" +
        std::to_string(url_.port) + " as " + clientId_ + ", publishing under " + Prefix());
    ShowState(true, "");
    // No-local: the gateway's own results never come back to it as requests.
    (void)mosquitto_subscribe_v5(client_, nullptr, (Prefix() + "write/+").c_str(), 1,
                                 MQTT_SUB_OPT_NO_LOCAL, nullptr);
    queue_.StateDue();
    StartDiscovery();
}

// Home Assistant's topics need no MQTT 5 option: the line's own configurations coming back are
// this run's, and its removals are empty.
void BrokerLink::StartDiscovery() {
    if (!discovery_) {
        return;
    }
    for (const std::string& topic : discovery_->Subscriptions()) {
        (void)mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
    }
    for (OutMessage& message : discovery_->Configs()) {
        queue_.Send(std::move(message));
    }
}

void BrokerLink::OnDisconnect(int rc) {
    lost_ = true;
    lostReason_ = rc == 0 ? "disconnected" : mosquitto_reason_string(rc);
}

void BrokerLink::OnPublish(int mid, int reason) {
    const auto found = inFlight_.find(mid);
    if (found == inFlight_.end()) {
        return;
    }
    if (reason >= 0x80 && refusals_ < kRefusalsLogged) {
        ++refusals_;
        Say("line " + std::to_string(Line()) + ": the broker refused the message on " +
            found->second.topic + ": " + mosquitto_reason_string(reason) +
            " (is the gateway's user allowed to publish there?)");
    }
    inFlight_.erase(found);
}

void BrokerLink::OnMessage(const mosquitto_message* message, const mosquitto_property* properties) {
    const std::string topic = message->topic != nullptr ? message->topic : "";
    if (TakeForDiscovery(topic, message)) {
        return;
    }
    const std::string writes = Prefix() + "write/";
    if (topic.rfind(writes, 0) != 0 || message->retain) {
        return;
    }
    WriteRequest request;
    request.line = Line();
    request.tag = topic.substr(writes.size());
    if (message->payload != nullptr && message->payloadlen > 0) {
        request.payload.assign(static_cast<const char*>(message->payload),
                               static_cast<size_t>(message->payloadlen));
    }
    char* response = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false) !=
            nullptr &&
        response != nullptr) {
        request.responseTopic = response;
        std::free(response);
        request.refusal = ResponseTopicRefusal(request.responseTopic);
        if (!request.refusal.empty()) {
            request.responseTopic.clear();  // the result goes to .../write/<TAG>/result
        }
    }
    void* data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false) != nullptr &&
        data != nullptr) {
        request.hasCorrelation = true;
        request.correlation.assign(static_cast<const char*>(data), length);
        std::free(data);
    }
    requested_(std::move(request));
}

bool BrokerLink::TakeForDiscovery(const std::string& topic, const mosquitto_message* message) {
    std::vector<OutMessage> replies;
    const std::string payload = message->payload != nullptr && message->payloadlen > 0
                                    ? std::string(static_cast<const char*>(message->payload),
                                                  static_cast<size_t>(message->payloadlen))
                                    : std::string();
    if (!discovery_ || !discovery_->Take(topic, payload, replies)) {
        return false;
    }
    for (OutMessage& reply : replies) {
        queue_.Send(std::move(reply));
    }
    return true;
}

// A result published under the gateway's own topics would be taken for a tag's value or, under
// write/, for another request: a client allowed to write one tag would write another.
void ReadWriteRequest(WriteRequest& request) {
    if (!WriteValue(request.payload, request.value, request.valueError, &request.transaction)) {
        request.value =
            request.payload.size() <= kMaxWriteRequest ? request.payload : std::string();
    }
}

// The lines' trees are vxs/<site>/<number>/: a response topic there is refused.
std::string BrokerLink::ResponseTopicRefusal(const std::string& topic) const {
    const std::string site = "vxs/" + settings_.site + "/";
    if (topic.rfind(site, 0) != 0) {
        return {};
    }
    const size_t end = topic.find('/', site.size());
    const std::string level =
        topic.substr(site.size(), end == std::string::npos ? std::string::npos : end - site.size());
    const bool line = !level.empty() && level.find_first_not_of("0123456789") == std::string::npos;
    return line ? "the response topic '" + topic + "' lies under the gateway's own topics " + site +
                      level + "/"
                : std::string();
}

void BrokerLink::OnLog(int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr && std::strstr(text, "OpenSSL") != nullptr) {
        tlsError_ = text;
    }
}

// The link's thread: connect (again, with a back-off), wait for the socket or a wake-up,
// serve the connection, until the stop is complete.
void BrokerLink::Run() {
    while (!StopDone()) {
        if (client_ == nullptr && GatewayClock::now() >= nextAttempt_ && !Connect()) {
            Retry();
        }
        pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (client_ != nullptr) {
            fds[1].fd = mosquitto_socket(client_);
            fds[1].events =
                static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
            count = 2;
        }
        (void)poll(fds, count, PollTimeout(queue_.Progress()));
        // An overflow is said at once, then at most every 10 s while it goes on.
        if (const uint64_t dropped = queue_.DropsToReport(GatewayClock::now(), kStateEvery)) {
            Say("line " + std::to_string(Line()) + ": " + std::to_string(dropped) +
                " events were dropped: the queue of " + std::to_string(settings_.queueSize) +
                " was full (--mqtt-queue)");
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t ignored = 0;
            (void)!read(wake_, &ignored, sizeof ignored);
        }
        if (client_ != nullptr) {
            Serve(fds[1].revents);
        }
    }
    if (client_ != nullptr) {
        if (connected_) {
            (void)mosquitto_disconnect(client_);
        }
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
}

bool BrokerLink::StopDone() {
    const LineQueue::Look look = queue_.Progress();
    if (!look.stopping) {
        return false;
    }
    const bool delivered = look.drained && inFlight_.empty();
    if (delivered) {
        return true;
    }
    if (GatewayClock::now() < look.deadline) {
        return false;
    }
    Say("line " + std::to_string(Line()) + ": stopped with " +
        std::to_string(look.waiting + inFlight_.size()) +
        " messages not delivered (the flush bound passed)");
    return true;
}

int BrokerLink::PollTimeout(const LineQueue::Look& look) const {
    const auto now = GatewayClock::now();
    const auto until = [now](GatewayClock::time_point then) {
        return std::chrono::duration_cast<milliseconds>(then - now).count();
    };
    int timeout = 1000;
    if (client_ == nullptr) {
        timeout = static_cast<int>(std::clamp<long long>(until(nextAttempt_), 0, 1000));
    }
    if (look.stopping) {
        timeout = std::min(timeout, static_cast<int>(std::max<long long>(until(look.deadline), 0)));
    }
    return timeout;
}

// Reads and writes what the socket is ready for, sends what is queued, and drops a connection
// that was lost.
void BrokerLink::Serve(short socketEvents) {
    int rc = MOSQ_ERR_SUCCESS;
    if ((socketEvents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        rc = mosquitto_loop_read(client_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && !lost_ && (socketEvents & POLLOUT) != 0) {
        rc = mosquitto_loop_write(client_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && !lost_) {
        rc = mosquitto_loop_misc(client_);
    }
    if (rc != MOSQ_ERR_SUCCESS && !lost_) {
        lost_ = true;
        lostReason_ = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    }
    if (!lost_ && connected_) {
        if (GatewayClock::now() >= nextState_) {
            nextState_ = GatewayClock::now() + kStateEvery;
            queue_.StateDue();
        }
        Pump();
        if (!lost_ && mosquitto_want_write(client_)) {
            (void)mosquitto_loop_write(client_, 1);
        }
    }
    if (lost_) {
        Drop(lostReason_);
        Retry();
    }
}

void BrokerLink::Retry() {
    nextAttempt_ = GatewayClock::now() + backOff_;
    backOff_ = std::min(backOff_ * 2, kLastBackOff);
}

}  // namespace kivhost
