// One line's connection to the broker over libmosquitto, driven by a thread of its own: it polls
// the connection's socket beside a wake-up event, so that the line's queue is served as soon as
// a record arrives and the driver's threads never wait for the network.
//
// Delivery is at least once: a message leaves the line's queue when the broker acknowledged it
// (QoS 1). A connection that is lost takes its client with it; the messages not acknowledged go
// back to the front of the queue and are sent again on the next connection, in their order.
// Events carry a sequence number of their line, so a consumer can drop a second copy and see a
// gap where the queue overflowed.
#pragma once

#include <mosquitto.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // 'requested' is called on the link's thread for every write request.
    BrokerLink(const MqttSettings& settings, const BrokerUrl& url, const std::string& password,
               bool passwordGiven, int line, bool severalLines, std::string clientId,
               std::function<void(WriteRequest)> requested);
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Before Start: takes part in Home Assistant's discovery.
    void UseDiscovery(std::unique_ptr<HomeAssistantDiscovery> discovery) {
        discovery_ = std::move(discovery);
    }
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    // Any thread.
    void Offer(const Json& record);
    void Send(OutMessage message);
    void RequestStop(GatewayClock::time_point deadline);
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Line() const { return queue_.Line(); }
    // Any thread.
    GatewayState State();
    const std::string& Prefix() const { return queue_.Prefix(); }

private:
    using milliseconds = std::chrono::milliseconds;

    void Run();
    // Whether the stop is complete (everything delivered, or the flush bound passed).
    bool StopDone();
    // How long the next poll may wait.
    int PollTimeout(const LineQueue::Look& look) const;
    void Serve(short socketEvents);
    bool Connect();
    void Drop(const std::string& why);
    void Retry();
    // Says why a connection could not be made (once for each new reason).
    void ReportFailure(const std::string& why);
    void Pump();
    void Wake();
    void OnConnect(int rc);
    void OnDisconnect(int rc);
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
    int wake_ = -1;
    std::thread thread_;

    // The link's thread only.
    mosquitto* client_ = nullptr;
    bool connected_ = false;  // the broker accepted the connection
    bool lost_ = false;
    std::string lostReason_;
    std::string tlsError_;
    std::string lastFailure_;
    milliseconds backOff_;
    GatewayClock::time_point nextAttempt_ = GatewayClock::now();
    GatewayClock::time_point nextState_ = GatewayClock::now();
    std::map<int, OutMessage> inFlight_;
    int connects_ = 0;
    int refusals_ = 0;

    // What State() shows: set on the link's thread.
    void ShowState(bool connected, const std::string& reason);
    std::mutex stateMutex_;
    bool shownConnected_ = false;
    std::string shownReason_ = "not connected yet";
};

}  // namespace kivhost
