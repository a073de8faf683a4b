// One line's connection to the broker over libmosquitto. The links of all lines are driven by
// one thread (LinkLoop, link_loop.h): it polls their sockets beside one wake-up event, so that a
// line's queue is served as soon as a record arrives and the driver's threads never wait for the
// network. Each line keeps a connection of its own, for its last will (the line's "offline").
//
// Delivery is at least once: a message leaves the line's queue when the broker acknowledged it
// (QoS 1). A connection that is lost takes its client with it; the messages not acknowledged go
// back to the front of the queue and are sent again on the next connection, in their order.
// Events carry a sequence number of their line, so a consumer can drop a second copy and see a
// gap where the queue overflowed.
//
// The MQTT version: --mqtt-protocol 5 or 3.1.1 asks for that one only; auto asks for 5 until the
// broker refuses it (ChooseVersion), then for 3.1.1 for as long as the link lives. What ends an
// attempt or a connection is said in words that name who said it: libmosquitto's error codes
// (MOSQ_ERR_*, mosquitto_strerror) and the broker's MQTT codes (CONNACK, DISCONNECT, SUBACK,
// PUBACK) share numbers and mean different things, so each goes to its own text.
#pragma once

#include <mosquitto.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt/broker_settings.h"
#include "mqtt/gateway_messages.h"
#include "mqtt/homeassistant_discovery.h"

namespace kivhost {

// A write request that arrived on a line's write/<TAG> topic.
struct WriteRequest {
    int line = 0;
    std::string tag;  // the topic level
    std::string payload;
    std::string responseTopic;  // empty: .../write/<TAG>/result
    bool hasCorrelation = false;
    std::string correlation;
    std::string refusal;  // why the request is refused before its value is looked at
    // Read from the payload (ReadWriteRequest): the value, or the payload itself (when it is
    // not too large to echo) with why it cannot be written; the client's "transaction".
    std::string value;
    std::string valueError;
    Json transaction;
};

// Reads the value and the transaction of a request.
void ReadWriteRequest(WriteRequest& request);

// What the gateway says on standard error (the received text is always an argument).
void Say(const std::string& text);

class BrokerLink {
public:
    // 'requested' is called on the loop's thread for every write request; 'wake' (any thread)
    // wakes the loop.
    BrokerLink(const MqttSettings& settings, const BrokerUrl& url, const std::string& password,
               bool passwordGiven, int line, bool severalLines, std::string clientId,
               std::function<void(WriteRequest)> requested, std::function<void()> wake);
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Before Start: takes part in Home Assistant's discovery.
    void UseDiscovery(std::unique_ptr<HomeAssistantDiscovery> discovery) {
        discovery_ = std::move(discovery);
    }
    // Any thread.
    void Offer(const Json& record);
    void Send(OutMessage message);
    void RequestStop(GatewayClock::time_point deadline);

    // The loop's thread, each turn: Prepare before the poll (connects when an attempt is due,
    // fills in the socket's entry, -1 when there is none, and lowers 'timeoutMs' to what the
    // link waits for); Serve after it, with what the poll said of the socket and whether the
    // loop was woken. Stopped: whether the stop is complete (everything delivered, or the flush
    // bound passed); Finish then closes the connection.
    void Prepare(pollfd& socket, int& timeoutMs);
    void Serve(short socketEvents, bool woken);
    bool Stopped();
    void Finish();
    int Line() const { return queue_.Line(); }
    // Any thread.
    GatewayState State();
    const std::string& Prefix() const { return queue_.Prefix(); }
    // Before the loop starts (LineQueue::CountUnrecordedStores).
    void CountUnrecordedStores(std::function<uint64_t()> count) {
        queue_.CountUnrecordedStores(std::move(count));
    }

private:
    using milliseconds = std::chrono::milliseconds;

    // How long the next poll may wait.
    int PollTimeout(const LineQueue::Look& look) const;
    void ServeSocket(short socketEvents);
    bool Connect();
    // Says what ended the attempt or the connection; true when the next attempt is due at once
    // (another MQTT version is to be asked for).
    bool Drop(const std::string& why);
    // What a loop call's library error 'rc' (with the system's 'error'), or else the disconnect
    // callback's code, says about the loss.
    std::string LossReason(int rc, int error) const;
    // auto: which version the next attempt asks for after one that the broker did not accept;
    // true when that is another.
    bool ChooseVersion();
    void SettleOn311(const std::string& why);
    bool V5() const { return version_ == MQTT_PROTOCOL_V5; }
    void Retry();
    // Says why a connection could not be made (once for each new reason).
    void ReportFailure(const std::string& why);
    void Pump();
    void OnConnect(int rc);
    void OnDisconnect(int rc);
    void OnSubscribe(int granted);
    void OnPublish(int mid, int reason);
    void OnMessage(const mosquitto_message* message, const mosquitto_property* properties);
    void OnLog(int level, const char* text);
    void StartDiscovery();
    // A message for Home Assistant's discovery: true when it was one.
    bool TakeForDiscovery(const std::string& topic, const mosquitto_message* message);
    std::string ResponseTopicRefusal(const std::string& topic) const;

    const MqttSettings& settings_;
    const BrokerUrl url_;
    const std::string password_;
    const bool passwordGiven_;
    const std::string clientId_;
    const std::function<void(WriteRequest)> requested_;
    LineQueue queue_;  // shared with the driver's threads and the write thread; locks itself
    std::unique_ptr<const HomeAssistantDiscovery> discovery_;  // null: none
    const std::function<void()> wake_;

    // The loop's thread only.
    mosquitto* client_ = nullptr;
    bool connected_ = false;  // the broker accepted the connection
    bool lost_ = false;
    std::string lostReason_;
    // The MQTT version asked for, and whether it may still change (auto, until the broker's
    // refusal of 5 settled it).
    int version_ = MQTT_PROTOCOL_V5;
    bool settled_ = false;
    // Of the current attempt: a CONNACK came (refused: its code, in the version's own list);
    // the broker closed the connection before it; the disconnect callback's code.
    bool answered_ = false;
    int refusal_ = 0;
    bool closedUnanswered_ = false;
    int disconnectCode_ = 0;
    std::string tlsError_;
    std::string lastFailure_;
    milliseconds backOff_;
    GatewayClock::time_point nextAttempt_ = GatewayClock::now();
    GatewayClock::time_point nextState_ = GatewayClock::now();
    std::map<int, OutMessage> inFlight_;
    int connects_ = 0;
    int refusals_ = 0;

    // What State() shows: set on the loop's thread.
    void ShowState(bool connected, const std::string& reason);
    std::mutex stateMutex_;
    bool shownConnected_ = false;
    std::string shownReason_ = "not connected yet";
    std::atomic<GatewayClock::rep> looped_{0};  // GatewayState::looped, since the clock's epoch
};

}  // namespace kivhost
