// One line's connection to the broker.
#include "mqtt/broker_link.h"

#include "base/terminal_text.h"

#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

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

// A library's sentence without its period, to go on inside one of the gateway's.
std::string Clause(const char* text) {
    std::string clause = text != nullptr ? text : "";
    if (!clause.empty() && clause.back() == '.') {
        clause.pop_back();
    }
    return clause;
}

// libmosquitto's error code, named as the library's; MOSQ_ERR_ERRNO stands for the system's
// error, which speaks for itself ("Connection refused").
std::string LibraryText(int rc, int error) {
    return rc == MOSQ_ERR_ERRNO ? Clause(std::strerror(error))
                                : "libmosquitto: " + Clause(mosquitto_strerror(rc));
}

// The broker's CONNACK code: an MQTT 5 reason code, or an MQTT 3.1.1 return code (1 to 5, a
// list of its own).
std::string ConnackText(bool v5, int code) {
    return Clause(v5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code));
}

const char* VersionName(int version) {
    return version == MQTT_PROTOCOL_V5 ? "MQTT 5" : "MQTT 3.1.1";
}

// Several messages handed over at once leave in as few segments as they fill: from the second
// on, the socket holds back what does not fill one (TCP_CORK) until the last is handed over. The
// broker then reads them, and acknowledges them, together.
class Corked {
public:
    explicit Corked(int socket) : socket_(socket) {}
    ~Corked() {
        if (corked_) {
            Set(0);
        }
    }
    Corked(const Corked&) = delete;
    Corked& operator=(const Corked&) = delete;
    // Before a message is handed over.
    void Next() {
        if (++count_ == 2 && socket_ >= 0) {
            corked_ = Set(1);
        }
    }

private:
    bool Set(int on) const {
        return setsockopt(socket_, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
    }
    const int socket_;
    int count_ = 0;
    bool corked_ = false;
};

}  // namespace

void Say(const std::string& text) {
    // What a client sent (a topic, a value) may hold control bytes: none reaches the terminal.
    (void)std::fprintf(stderr, "kivhost run: mqtt: %s\n", TerminalSafe(text).c_str());
    (void)std::fflush(stderr);
}

BrokerLink::BrokerLink(const MqttSettings& settings, const BrokerUrl& url,
                       const std::string& password, bool passwordGiven, int line, bool severalLines,
                       std::string clientId, std::function<void(WriteRequest)> requested,
                       std::function<void()> wake)
    : settings_(settings),
      url_(url),
      password_(password),
      passwordGiven_(passwordGiven),
      clientId_(std::move(clientId)),
      requested_(std::move(requested)),
      queue_(settings, line, severalLines),
      wake_(std::move(wake)),
      version_(settings.protocol == MqttProtocol::kV311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5),
      settled_(settings.protocol != MqttProtocol::kAuto),
      backOff_(kFirstBackOff) {}

BrokerLink::~BrokerLink() {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
}

void BrokerLink::Offer(const Json& record) {
    if (queue_.Offer(record)) {
        wake_();
    }
}

void BrokerLink::Send(OutMessage message) {
    queue_.Send(std::move(message));
    wake_();
}

void BrokerLink::RequestStop(GatewayClock::time_point deadline) {
    queue_.RequestStop(deadline);
    wake_();
}

void BrokerLink::Pump() {
    Corked corked(mosquitto_socket(client_));
    while (connected_ && !lost_ && inFlight_.size() < kInFlight) {
        OutMessage message;
        if (!queue_.Next(message, connects_)) {
            return;
        }
        corked.Next();
        // MQTT 3.1.1 has no properties: a result meant for an MQTT 5 client goes without them.
        mosquitto_property* properties = nullptr;
        if (message.hasCorrelation && V5()) {
            (void)mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                                message.correlation.data(),
                                                static_cast<uint16_t>(message.correlation.size()));
        }
        int mid = 0;
        const int rc = mosquitto_publish_v5(client_, &mid, message.topic.c_str(),
                                            static_cast<int>(message.payload.size()),
                                            message.payload.data(), 1, message.retain, properties);
        mosquitto_property_free_all(&properties);
        const int error = errno;
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_LOST &&
            rc != MOSQ_ERR_ERRNO && rc != MOSQ_ERR_NOMEM) {
            // The message itself cannot be sent (a response topic with a wildcard, a name that
            // is not UTF-8): it goes, said, and the connection stays.
            if (refusals_ < kRefusalsLogged) {
                ++refusals_;
                Say("line " + std::to_string(Line()) + ": a message on '" + message.topic +
                    "' cannot be sent and is dropped: " + LibraryText(rc, error));
            }
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            // Not handed over: Drop puts it back at the front, for the next connection.
            inFlight_[-1] = std::move(message);
            lost_ = true;
            lostReason_ = LibraryText(rc, error);
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
    (void)mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, version_);
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
            lastFailure_ = "the TLS files cannot be used: " + LibraryText(rc, errno) +
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
    mosquitto_subscribe_v5_callback_set(client_, [](mosquitto*, void* self, int, int count,
                                                    const int* granted, const mosquitto_property*) {
        static_cast<BrokerLink*>(self)->OnSubscribe(count > 0 && granted != nullptr ? *granted
                                                                                    : 0x80);
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
    lostReason_.clear();
    answered_ = false;
    refusal_ = 0;
    closedUnanswered_ = false;
    disconnectCode_ = 0;
    errno = 0;
    // Without waiting for the broker: one loop serves every line, and a broker that does not
    // answer the connection must not hold the others. The CONNECT waits in the client until the
    // socket is connected (the poll's POLLOUT).
    const int rc = mosquitto_connect_bind_async(client_, url_.host.c_str(), url_.port,
                                                settings_.keepAlive, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        ReportFailure(LibraryText(rc, errno));
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
    state.looped = GatewayClock::time_point(GatewayClock::duration(looped_.load()));
    const std::lock_guard<std::mutex> lock(stateMutex_);
    state.connected = shownConnected_;
    state.reason = shownReason_;
    return state;
}

bool BrokerLink::Drop(const std::string& why) {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    bool again = false;
    if (!connected_) {
        // The connection was never accepted.
        again = ChooseVersion();
        if (!again) {
            const bool hint = V5() && refusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
            ReportFailure(why + (hint ? " (the broker may speak MQTT 3.1.1 only: "
                                        "--mqtt-protocol auto or 3.1.1)"
                                      : ""));
        }
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
    return again;
}

// A broker of MQTT 3.1.1 only answers an MQTT 5 CONNECT with "unsupported protocol version"
// (MQTT 5's 0x84, or 3.1.1's return code 1, which the library hands on as 0x84): that settles
// 3.1.1. Some close the connection unanswered instead, and so may a broker for other reasons
// (shutting down, a full listener): the next attempt asks for 3.1.1 as a probe; the broker's
// answer to it, accepted or refused, settles 3.1.1, another unanswered close goes back to 5.
bool BrokerLink::ChooseVersion() {
    if (settled_) {
        return false;
    }
    if (V5() && refusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
        SettleOn311("refused MQTT 5 (" + ConnackText(true, refusal_) + ")");
        return true;
    }
    if (V5() && closedUnanswered_) {
        version_ = MQTT_PROTOCOL_V311;
        return true;
    }
    version_ = MQTT_PROTOCOL_V5;  // the probe was not answered either
    return false;
}

void BrokerLink::SettleOn311(const std::string& why) {
    version_ = MQTT_PROTOCOL_V311;
    settled_ = true;
    Say("line " + std::to_string(Line()) + ": the broker " + url_.host + ":" +
        std::to_string(url_.port) + " " + why + ": this line uses MQTT 3.1.1 from now on");
}

std::string BrokerLink::LossReason(int rc, int error) const {
    if (rc == MOSQ_ERR_SUCCESS && disconnectCode_ >= 0x80) {
        // The broker's DISCONNECT (MQTT 5): its reason code.
        return "the broker closed the connection: " +
               Clause(mosquitto_reason_string(disconnectCode_));
    }
    if (rc == MOSQ_ERR_SUCCESS && disconnectCode_ == 0) {
        return "the broker closed the connection";
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = disconnectCode_;  // a library error that the callback alone told
    }
    if (closedUnanswered_) {
        return "the broker closed the connection without answering";
    }
    return LibraryText(rc, error);
}

void BrokerLink::OnConnect(int rc) {
    answered_ = true;
    if (!settled_ && !V5()) {
        SettleOn311("closed an MQTT 5 connection without answering and answers MQTT 3.1.1");
    }
    if (rc != 0) {
        refusal_ = rc;
        lost_ = true;
        lostReason_ = "the broker refused the connection: " + ConnackText(V5(), rc);
        return;
    }
    connected_ = true;
    ++connects_;
    backOff_ = kFirstBackOff;
    lastFailure_.clear();
    Say("line " + std::to_string(Line()) + ": connected to " + url_.host + ":" +
        std::to_string(url_.port) + " over " + VersionName(version_) + " as " + clientId_ +
        ", publishing under " + Prefix());
    ShowState(true, "");
    // No-local (MQTT 5): the gateway's own messages never come back to it. Under 3.1.1 they may,
    // but none matches write/+: results go to write/<TAG>/result, and OnMessage takes one level.
    const std::string writes = Prefix() + "write/+";
    const int subscribed = mosquitto_subscribe_v5(client_, nullptr, writes.c_str(), 1,
                                                  V5() ? MQTT_SUB_OPT_NO_LOCAL : 0, nullptr);
    if (subscribed != MOSQ_ERR_SUCCESS) {
        Say("line " + std::to_string(Line()) + ": cannot subscribe to " + writes + ": " +
            LibraryText(subscribed, errno));
    }
    queue_.StateDue();
    if (connects_ > 1) {
        queue_.Reconnected();
    }
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

// 'rc' is the broker's DISCONNECT reason code, or the library's error that ended the connection:
// LossReason tells them apart.
void BrokerLink::OnDisconnect(int rc) {
    lost_ = true;
    disconnectCode_ = rc;
}

void BrokerLink::OnSubscribe(int granted) {
    if (granted < 0x80) {
        return;
    }
    // MQTT 3.1.1's SUBACK has one failure code, 0x80, with no reason.
    const std::string why =
        V5() ? Clause(mosquitto_reason_string(granted)) : std::string("failure (0x80)");
    Say("line " + std::to_string(Line()) + ": the broker refused the subscription to " + Prefix() +
        "write/+: " + why + "; no write request reaches this line");
}

void BrokerLink::OnPublish(int mid, int reason) {
    const auto found = inFlight_.find(mid);
    if (found == inFlight_.end()) {
        return;
    }
    if (reason >= 0x80 && refusals_ < kRefusalsLogged) {
        ++refusals_;
        Say("line " + std::to_string(Line()) + ": the broker refused the message on " +
            found->second.topic + ": " + Clause(mosquitto_reason_string(reason)) +
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
    // A request is write/<TAG>, one level: never a result (write/<TAG>/result), which may come
    // back to the gateway under MQTT 3.1.1, without no-local.
    if (topic.rfind(writes, 0) != 0 || topic.find('/', writes.size()) != std::string::npos ||
        message->retain) {
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

void BrokerLink::Prepare(pollfd& socket, int& timeoutMs) {
    if (client_ == nullptr && GatewayClock::now() >= nextAttempt_ && !Connect()) {
        Retry();
    }
    looped_ = GatewayClock::now().time_since_epoch().count();
    socket = {-1, 0, 0};
    if (client_ != nullptr) {
        socket.fd = mosquitto_socket(client_);
        socket.events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
    }
    timeoutMs = std::min(timeoutMs, PollTimeout(queue_.Progress()));
}

void BrokerLink::Serve(short socketEvents, bool woken) {
    // An overflow is said at once, then at most every 10 s while it goes on.
    if (const uint64_t dropped = queue_.DropsToReport(GatewayClock::now(), kStateEvery)) {
        Say("line " + std::to_string(Line()) + ": " + std::to_string(dropped) +
            " events were dropped: the queue of " + std::to_string(settings_.queueSize) +
            " was full (--mqtt-queue)");
    }
    if (woken) {
        queue_.Woken();  // a record offered from now on wakes the loop again
    }
    if (client_ != nullptr) {
        ServeSocket(socketEvents);
    }
}

void BrokerLink::Finish() {
    if (client_ != nullptr) {
        if (connected_) {
            (void)mosquitto_disconnect(client_);
        }
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
}

bool BrokerLink::Stopped() {
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
void BrokerLink::ServeSocket(short socketEvents) {
    int rc = MOSQ_ERR_SUCCESS;
    int error = 0;
    const auto step = [&rc, &error](int result) {
        rc = result;
        error = errno;
    };
    if ((socketEvents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        step(mosquitto_loop_read(client_, 1));
    }
    if (rc == MOSQ_ERR_SUCCESS && !lost_ && (socketEvents & POLLOUT) != 0) {
        step(mosquitto_loop_write(client_, 1));
    }
    if (rc == MOSQ_ERR_SUCCESS && !lost_) {
        step(mosquitto_loop_misc(client_));
    }
    if (rc != MOSQ_ERR_SUCCESS || lost_) {
        lost_ = true;
        // Before any CONNACK, a connection that the broker closed (not a time-out, not TLS).
        closedUnanswered_ =
            !answered_ && (rc == MOSQ_ERR_CONN_LOST ||
                           (rc == MOSQ_ERR_ERRNO && (error == ECONNRESET || error == EPIPE)));
        if (lostReason_.empty()) {  // a refusal in the CONNACK says it already
            lostReason_ = LossReason(rc, error);
        }
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
        if (Drop(lostReason_)) {
            nextAttempt_ = GatewayClock::now();  // another version, at once
        } else {
            Retry();
        }
    }
}

void BrokerLink::Retry() {
    nextAttempt_ = GatewayClock::now() + backOff_;
    backOff_ = std::min(backOff_ * 2, kLastBackOff);
}

}  // namespace kivhost
