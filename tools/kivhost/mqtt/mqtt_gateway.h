// The MQTT gateway of kivhost run: every line's state, tag changes and events published to an
// MQTT broker, and tag writes taken from it.
//
//   vxs/<site>/<line>/state          retained; "online" or "offline" (the broker's last will)
//   vxs/<site>/<line>/tag/<TAG>      retained; the value and when it changed
//   vxs/<site>/<line>/event          QoS 1, not retained; each event in words and fields
//   vxs/<site>/<line>/write/<TAG>    a write request; the result goes to the request's response
//                                    topic (MQTT 5) or to .../write/<TAG>/result
//
// The driver's threads only hand records over (Offer): each line has a bounded queue and a
// thread of its own that talks to the broker, reconnects with a back-off and delivers what is
// queued once the broker is back. Built with libmosquitto on Linux; elsewhere StartMqttGateway
// says that it is not built.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/log_entry.h"

namespace CLI {
class App;
}

namespace kivhost {

// The MQTT version a line asks the broker for (--mqtt-protocol): auto asks for 5 and takes 3.1.1
// from the broker's refusal of 5 on; 5 and 3.1.1 ask for that version only.
enum class MqttProtocol { kAuto, kV5, kV311 };
// The option's values, in the order of MqttProtocol.
inline constexpr std::array<const char*, 3> kMqttProtocolNames = {"auto", "5", "3.1.1"};

struct MqttSettings {
    std::string url;  // mqtt://host[:port] or mqtts://host[:port]; empty: no gateway
    std::string site;
    std::string clientId;  // empty: kivhost-<site>
    std::string user;
    std::string passwordFile;  // else the environment's KIVHOST_MQTT_PASSWORD
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool writes = false;
    MqttProtocol protocol = MqttProtocol::kAuto;
    size_t queueSize = 10000;  // events waiting per line
    int keepAlive = 30;        // seconds
    double flushSeconds = 5.0;
    // Home Assistant's discovery prefix (--homeassistant); empty: no discovery.
    std::string homeAssistant;
};

// What the settings may hold: the options check them, and so does StartMqttGateway.
inline constexpr size_t kMqttQueueLeast = 1;
inline constexpr size_t kMqttQueueMost = 10000000;
inline constexpr int kMqttKeepAliveLeast = 5;  // seconds
inline constexpr int kMqttKeepAliveMost = 3600;

// The environment variable that may hold the broker password.
inline constexpr const char* kMqttPasswordVariable = "KIVHOST_MQTT_PASSWORD";

// Adds the gateway's options to kivhost run.
void AddMqttOptions(CLI::App& app, MqttSettings& settings);

// What the gateway needs of the run: how a tag of a line is named in the host (the names get
// "N:" in front when several lines run) and how a write is made.
struct MqttWriteResult {
    bool done = false;  // the write was made (result says how it went)
    int result = -1;    // the driver's 0, 1 or 2
    std::string error;  // why the write was not made
    std::vector<LogEntry> log;
};
struct MqttTag {
    int line = 1;
    std::string name;  // without "N:"
    std::string address;
};
struct MqttHost {
    int lines = 1;
    // The tags of each line as the broker sees them.
    std::vector<MqttTag> tags;
    // Every type an event's "eventType" may have (Home Assistant's event entity lists them).
    std::vector<std::string> eventTypes;
    // Makes a write of the tag (the name without "N:") on the line.
    std::function<MqttWriteResult(int line, const std::string& tag, const std::string& value)>
        write;
    // How many of the driver's stores into the line's tags were only counted, not offered as
    // records (none when empty).
    std::function<uint64_t(int line)> unrecordedStores;
};

// What one line's connection to the broker is doing, for the view and 'status'.
struct GatewayState {
    int line = 0;
    bool connected = false;
    size_t queued = 0;     // messages waiting for the broker
    uint64_t dropped = 0;  // events the full queue dropped
    std::string reason;    // why it is not connected, or what ended the last connection
    // When the line's loop last went round, its first connection tried; zero before that. A
    // service's watchdog looks at it (service/service_keeper.h).
    std::chrono::steady_clock::time_point looped{};
};

// "MQTT L1 connected, 0 queued, 0 dropped" or "MQTT L1 NOT CONNECTED (reason), ...".
std::string GatewayStateText(const GatewayState& state);
Json GatewayStateJson(const GatewayState& state);

class MqttGateway {
public:
    virtual ~MqttGateway() = default;
    // A record of the monitor (start, tag, frame, event, log). Called on the driver's threads:
    // never waits for the network.
    virtual void Offer(const Json& record) = 0;
    // Refuses further writes and waits for the one in progress (before the lines close).
    virtual void StopWrites() = 0;
    // Publishes "offline", delivers what is queued within the flush bound, disconnects; says
    // first what it waits for when anything is queued.
    virtual void Stop() = 0;
    // Each line's connection. Any thread.
    virtual std::vector<GatewayState> States() = 0;
};

// Checks the settings, reads the password and starts a connection per line; nullptr with the
// reason when the settings are wrong or the gateway is not built.
std::unique_ptr<MqttGateway> StartMqttGateway(const MqttSettings& settings, MqttHost host,
                                              std::string& error);

// The topic level for a name: '/', '+', '#' and bytes below 0x20 become '_' (an empty name is
// "_").
std::string TopicLevel(const std::string& name);

}  // namespace kivhost
