// The MQTT gateway over libmosquitto: a connection per line, each with a thread of its own that
// polls the connection's socket beside a wake-up event, so that the queue is served as soon as
// a record arrives and the driver's threads never wait for the network.
//
// Delivery is at least once: a message leaves the line's queue when the broker acknowledged it
// (QoS 1). A connection that is lost takes its client with it; the messages not acknowledged go
// back to the front of the queue and are sent again on the next connection, in their order.
// Events carry a sequence number of their line, so a consumer can drop a second copy and see a
// gap where the queue overflowed.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "mqtt_gateway.h"

namespace kivhost {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kInFlight = 100;  // messages handed to the broker, not yet acknowledged
constexpr milliseconds kFirstBackOff{500};
constexpr milliseconds kLastBackOff{10000};
constexpr milliseconds kStateEvery{10000};
constexpr size_t kPendingWrites = 100;
constexpr int kRefusalsLogged = 10;

// Messages of the gateway: on standard error, the received text always an argument.
void Say(const std::string& text) {
    (void)std::fprintf(stderr, "kivhost run: mqtt: %s\n", text.c_str());
    (void)std::fflush(stderr);
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts{};
    (void)gmtime_r(&seconds, &parts);
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                        parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                        parts.tm_min, parts.tm_sec, static_cast<int>(ms));
    return text;
}

// A tag's value as the payload carries it: whole numbers without a fraction, texts as texts.
Json PayloadValue(const Json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::fabs(number) < 9.0e15 && number == std::floor(number)) {
            return static_cast<int64_t>(number);
        }
    }
    return value;
}

struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 0;
};

bool ParseBrokerUrl(const std::string& text, BrokerUrl& url, std::string& error) {
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
        url.port = 1883;
    } else if (text.rfind("mqtts://", 0) == 0) {
        rest = text.substr(8);
        url.tls = true;
        url.port = 8883;
    } else {
        error = "--mqtt '" + text + "': the URL begins with mqtt:// or mqtts://";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    if (rest.find('@') != std::string::npos) {
        error = "--mqtt '" + text +
                "': no user or password in the URL; use --mqtt-user and --mqtt-password-file";
        return false;
    }
    if (rest.find('/') != std::string::npos) {
        error = "--mqtt '" + text + "': the URL is only mqtt[s]://HOST[:PORT]";
        return false;
    }
    std::string host = rest;
    const size_t bracket = rest.rfind(']');
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        host = rest.substr(0, colon);
        const std::string port = rest.substr(colon + 1);
        char* end = nullptr;
        const long number = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || number < 1 || number > 65535) {
            error = "--mqtt '" + text + "': the port is a number from 1 to 65535";
            return false;
        }
        url.port = static_cast<int>(number);
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        error = "--mqtt '" + text + "': no host";
        return false;
    }
    url.host = host;
    return true;
}

bool ReadPassword(const MqttSettings& settings, std::string& password, bool& given,
                  std::string& error) {
    given = false;
    if (!settings.passwordFile.empty()) {
        std::ifstream file(settings.passwordFile, std::ios::binary);
        if (!file) {
            error = "cannot read the password file '" + settings.passwordFile + "'";
            return false;
        }
        std::getline(file, password);
        if (!password.empty() && password.back() == '\r') {
            password.pop_back();
        }
        given = true;
        return true;
    }
    if (const char* value = std::getenv(kMqttPasswordVariable)) {
        password = value;
        given = true;
    }
    return true;
}

std::string NumberText(double value) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// The value of a write request: the bare payload (a trailing line end dropped), or the member
// "value" of a JSON object.
bool WriteValue(const std::string& payload, std::string& value, std::string& error) {
    if (!payload.empty() && payload.front() == '{') {
        const Json request = Json::parse(payload, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("value")) {
            error = "the request is not a JSON object with a member \"value\"";
            return false;
        }
        const Json& member = request["value"];
        if (member.is_string()) {
            value = member.get<std::string>();
        } else if (member.is_number()) {
            value = NumberText(member.get<double>());
        } else {
            error = "\"value\" is a number or a text";
            return false;
        }
        return true;
    }
    value = payload;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.pop_back();
    }
    return true;
}

struct OutMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    bool hasCorrelation = false;
    std::string correlation;
    uint64_t order = 0;
    enum class Kind { kControl, kEvent, kTag } kind = Kind::kControl;
};

class Gateway;

// One line's connection, queue and thread.
class LineLink {
public:
    LineLink(Gateway& owner, const MqttSettings& settings, const BrokerUrl& url,
             const std::string& password, bool passwordGiven, int line, bool severalLines,
             std::string clientId);
    ~LineLink();
    LineLink(const LineLink&) = delete;
    LineLink& operator=(const LineLink&) = delete;

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Offer(const Json& record);
    // A message of the gateway's own (a write's result).
    void Send(OutMessage message);
    void RequestStop(Clock::time_point deadline);
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Line() const { return line_; }
    const std::string& Prefix() const { return prefix_; }

private:
    void Run();
    bool Connect();
    void Drop(const std::string& why);
    // Says why a connection could not be made (once for each new reason).
    void ReportFailure(const std::string& why);
    void Pump();
    void Wake();
    bool NextMessage(OutMessage& message);
    std::string StatePayload(bool online);
    void OnConnect(int rc);
    void OnDisconnect(int rc);
    void OnPublish(int mid, int reason);
    void OnMessage(const mosquitto_message* message, const mosquitto_property* properties);
    void OnLog(int level, const char* text);

    Gateway& owner_;
    const MqttSettings& settings_;
    const BrokerUrl url_;
    const std::string password_;
    const bool passwordGiven_;
    const int line_;
    const bool severalLines_;  // the host's tag names carry "N:"
    const std::string clientId_;
    const std::string prefix_;  // vxs/<site>/<line>/
    const std::string started_ = UtcNow();
    int wake_ = -1;
    std::thread thread_;

    // Shared with the driver's threads and the write thread, under mutex_.
    std::mutex mutex_;
    std::deque<OutMessage> control_;
    std::deque<OutMessage> events_;
    std::map<std::string, OutMessage> tags_;  // by topic: the newest value of each
    std::deque<std::string> tagOrder_;
    uint64_t order_ = 0;
    uint64_t sequence_ = 0;
    uint64_t dropped_ = 0;
    uint64_t droppedLogged_ = 0;
    bool stateDue_ = true;
    bool stopRequested_ = false;
    Clock::time_point stopDeadline_;
    Json lineInfo_ = Json::object();
    std::set<int> controllers_;
    uint64_t framesIn_ = 0, framesOut_ = 0, eventCount_ = 0, tagChanges_ = 0;
    uint64_t illegalFrames_ = 0, timeouts_ = 0;
    std::string lastFrameText_, lastFrameHex_;
    std::string holder2_, badgeCode_;

    // The link's thread only.
    mosquitto* client_ = nullptr;
    bool connected_ = false;  // the broker accepted the connection
    bool lost_ = false;
    std::string lostReason_;
    std::string tlsError_;
    std::string lastFailure_;
    milliseconds backOff_ = kFirstBackOff;
    Clock::time_point nextAttempt_ = Clock::now();
    Clock::time_point nextState_ = Clock::now();
    Clock::time_point nextDropReport_ = Clock::now();
    std::map<int, OutMessage> inFlight_;
    bool finalSent_ = false;
    int connects_ = 0;
    int refusals_ = 0;
};

class Gateway final : public MqttGateway {
public:
    Gateway(const MqttSettings& settings, MqttHost host)
        : settings_(settings), host_(std::move(host)) {}
    ~Gateway() override {
        StopWrites();
        Stop();
    }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    bool Start(std::string& error) {
        BrokerUrl url;
        if (!ParseBrokerUrl(settings_.url, url, error)) {
            return false;
        }
        std::string password;
        bool given = false;
        if (!ReadPassword(settings_, password, given, error)) {
            return false;
        }
        if (!url.tls && (!settings_.caFile.empty() || !settings_.certFile.empty() ||
                         !settings_.keyFile.empty())) {
            error = "--mqtt-ca, --mqtt-cert and --mqtt-key are for mqtts:// URLs";
            return false;
        }
        if (settings_.certFile.empty() != settings_.keyFile.empty()) {
            error = "--mqtt-cert and --mqtt-key go together";
            return false;
        }
        (void)mosquitto_lib_init();
        libraryStarted_ = true;
        const std::string id =
            settings_.clientId.empty() ? "kivhost-" + settings_.site : settings_.clientId;
        for (int line = 1; line <= host_.lines; ++line) {
            links_.push_back(std::make_unique<LineLink>(
                *this, settings_, url, password, given, line, host_.lines > 1,
                host_.lines > 1 ? id + "-" + std::to_string(line) : id));
        }
        for (const auto& [line, name] : host_.tags) {
            topicNames_[{line, TopicLevel(name)}] = name;
        }
        writer_ = std::thread([this] { WriteLoop(); });
        for (auto& link : links_) {
            link->Start();
        }
        return true;
    }

    void Offer(const Json& record) override {
        const Json& line = record["line"];
        if (!line.is_number_integer()) {
            return;
        }
        const int number = line.get<int>();
        if (number >= 1 && static_cast<size_t>(number) <= links_.size()) {
            links_[static_cast<size_t>(number) - 1]->Offer(record);
        }
    }

    void StopWrites() override {
        {
            const std::lock_guard<std::mutex> lock(writeMutex_);
            writesStopped_ = true;
        }
        writeReady_.notify_all();
        if (writer_.joinable()) {
            writer_.join();
        }
    }

    void Stop() override {
        const auto deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(settings_.flushSeconds));
        for (auto& link : links_) {
            link->RequestStop(deadline);
        }
        for (auto& link : links_) {
            link->Join();
        }
        links_.clear();
        if (libraryStarted_) {
            (void)mosquitto_lib_cleanup();
            libraryStarted_ = false;
        }
    }

    // A write request that arrived on a line (on the line's thread).
    void Request(LineLink& link, const std::string& tag, const std::string& payload,
                 const std::string& responseTopic, bool hasCorrelation,
                 const std::string& correlation) {
        WriteJob job{link.Line(), tag, payload, responseTopic, hasCorrelation, correlation};
        if (!settings_.writes) {
            Say("line " + std::to_string(job.line) + ": the write of " + tag +
                " is refused: writes are not allowed (start the gateway with --mqtt-writes)");
            Reply(job, false, Json(nullptr),
                  "writes are not allowed on this gateway (it runs without --mqtt-writes)",
                  Json::array());
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(writeMutex_);
            if (!writesStopped_ && writes_.size() < kPendingWrites) {
                writes_.push_back(std::move(job));
                writeReady_.notify_one();
                return;
            }
        }
        Reply(job, false, Json(nullptr), "the gateway is busy or stopping: the write was not made",
              Json::array());
    }

    const MqttSettings& Settings() const { return settings_; }

private:
    struct WriteJob {
        int line;
        std::string tag;  // the topic level
        std::string payload;
        std::string responseTopic;
        bool hasCorrelation;
        std::string correlation;
    };

    void WriteLoop() {
        while (true) {
            WriteJob job;
            {
                std::unique_lock<std::mutex> lock(writeMutex_);
                writeReady_.wait(lock, [this] { return writesStopped_ || !writes_.empty(); });
                if (writesStopped_) {
                    for (const WriteJob& left : writes_) {
                        Reply(left, false, Json(nullptr), "the gateway stopped before the write",
                              Json::array());
                    }
                    writes_.clear();
                    return;
                }
                job = std::move(writes_.front());
                writes_.pop_front();
            }
            std::string value;
            std::string error;
            if (!WriteValue(job.payload, value, error)) {
                Reply(job, false, Json(nullptr), error, Json::array());
                continue;
            }
            const auto found = topicNames_.find({job.line, job.tag});
            if (found == topicNames_.end()) {
                Reply(job, false, Json(nullptr),
                      "line " + std::to_string(job.line) + " has no tag '" + job.tag + "'",
                      Json::array());
                continue;
            }
            const MqttWriteResult result = host_.write(job.line, found->second, value);
            Reply(job, result.done && result.result == 0,
                  result.done ? Json(result.result) : Json(nullptr), result.error,
                  LogJson(result.log), value);
        }
    }

    void Reply(const WriteJob& job, bool ok, const Json& result, const std::string& error,
               const Json& log, const std::string& value = std::string()) {
        LineLink& link = *links_[static_cast<size_t>(job.line) - 1];
        OutMessage message;
        message.topic = job.responseTopic.empty() ? link.Prefix() + "write/" + job.tag + "/result"
                                                  : job.responseTopic;
        message.hasCorrelation = job.hasCorrelation;
        message.correlation = job.correlation;
        message.payload = Dump({{"tag", ByteText(job.tag)},
                                {"value", ByteText(value)},
                                {"ok", ok},
                                {"result", result},
                                {"error", error.empty() ? Json(nullptr) : ByteText(error)},
                                {"log", log},
                                {"time", UtcNow()}});
        link.Send(std::move(message));
    }

    const MqttSettings settings_;
    MqttHost host_;
    bool libraryStarted_ = false;
    std::vector<std::unique_ptr<LineLink>> links_;
    std::map<std::pair<int, std::string>, std::string> topicNames_;
    std::mutex writeMutex_;
    std::condition_variable writeReady_;
    std::deque<WriteJob> writes_;
    bool writesStopped_ = false;
    std::thread writer_;
};

LineLink::LineLink(Gateway& owner, const MqttSettings& settings, const BrokerUrl& url,
                   const std::string& password, bool passwordGiven, int line, bool severalLines,
                   std::string clientId)
    : owner_(owner),
      settings_(settings),
      url_(url),
      password_(password),
      passwordGiven_(passwordGiven),
      line_(line),
      severalLines_(severalLines),
      clientId_(std::move(clientId)),
      prefix_("vxs/" + settings.site + "/" + std::to_string(line) + "/"),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LineLink::~LineLink() {
    Join();
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    if (wake_ >= 0) {
        (void)close(wake_);
    }
}

void LineLink::Wake() {
    const uint64_t one = 1;
    if (wake_ >= 0) {
        (void)!write(wake_, &one, sizeof one);
    }
}

void LineLink::Offer(const Json& record) {
    const std::string type = record.value("type", std::string());
    OutMessage message;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (type == "start") {
            for (const char* key : {"port", "device", "simulated", "instance", "result"}) {
                lineInfo_[key] = record[key];
            }
            stateDue_ = true;
        } else if (type == "frame") {
            if (record.value("dir", std::string()) == "out") {
                ++framesOut_;
            } else {
                ++framesIn_;
                lastFrameText_ = record.value("text", std::string());
                lastFrameHex_ = record.value("hex", std::string());
            }
            return;
        } else if (type == "log") {
            const std::string text = record.value("text", std::string());
            if (text.rfind("RIRODI: Illegal message was received", 0) == 0) {
                ++illegalFrames_;
            }
            if (text.find("time-out") != std::string::npos) {
                ++timeouts_;
            }
            return;
        } else if (type == "tag") {
            ++tagChanges_;
            const std::string address = record.value("address", std::string());
            if (address.size() > 1 && address[0] >= '0' && address[0] <= '7') {
                controllers_.insert(address[0] - '0');
            }
            if (address == "PBNA2" && record["value"].is_string()) {
                holder2_ = record["value"].get<std::string>();
            } else if (address == "PBCOD" && record["value"].is_string()) {
                badgeCode_ = record["value"].get<std::string>();
            }
            std::string name = record.value("name", std::string());
            const std::string linePrefix = std::to_string(line_) + ":";
            if (severalLines_ && name.rfind(linePrefix, 0) == 0) {
                // Several lines: the host's names carry "N:", the topic has the line already.
                name = name.substr(linePrefix.size());
            }
            message.kind = OutMessage::Kind::kTag;
            message.retain = true;
            message.topic = prefix_ + "tag/" + TopicLevel(name);
            message.payload = Dump({{"value", PayloadValue(record["value"])},
                                    {"address", address},
                                    {"time", UtcNow()}});
            message.order = ++order_;
            const auto pending = tags_.find(message.topic);
            if (pending == tags_.end()) {
                tagOrder_.push_back(message.topic);
                tags_.emplace(message.topic, std::move(message));
            } else {
                pending->second = std::move(message);  // only the newest value matters
            }
        } else if (type == "event") {
            ++eventCount_;
            const Json& unit = record["unit"];
            const std::string kind = record.value("unitKind", std::string());
            Json controller = nullptr;
            if (unit.is_number_integer() && unit.get<int>() >= 0) {
                const int number = unit.get<int>();
                controller = kind == "controller" ? number : number / 2;
                controllers_.insert(controller.get<int>());
            }
            const bool badge = !record["key"].is_null();
            // The badge number: the frame's text between its last comma and the ";" after it.
            Json badgeNumber = nullptr;
            const size_t comma = lastFrameText_.rfind(',');
            const size_t semicolon =
                lastFrameText_.find(';', comma == std::string::npos ? 0 : comma);
            if (badge && comma != std::string::npos && semicolon != std::string::npos) {
                badgeNumber = lastFrameText_.substr(comma + 1, semicolon - comma - 1);
            }
            message.kind = OutMessage::Kind::kEvent;
            message.topic = prefix_ + "event";
            message.payload = Dump({{"seq", ++sequence_},
                                    {"time", UtcNow()},
                                    {"code", record["code"]},
                                    {"name", record["name"]},
                                    {"unitKind", record["unitKind"]},
                                    {"unit", unit},
                                    {"controller", controller},
                                    {"controllerTime", record["time"]},
                                    {"badge", badgeNumber},
                                    {"key", record["key"]},
                                    {"holder", record["holder"]},
                                    {"holder2", badge ? Json(holder2_) : Json(nullptr)},
                                    {"badgeCode", badge ? Json(badgeCode_) : Json(nullptr)},
                                    {"frame", lastFrameText_},
                                    {"frameHex", lastFrameHex_}});
            message.order = ++order_;
            if (events_.size() >= settings_.queueSize) {
                events_.pop_front();  // the oldest goes: its sequence number shows the gap
                ++dropped_;
                stateDue_ = true;
            }
            events_.push_back(std::move(message));
        } else {
            return;
        }
    }
    Wake();
}

void LineLink::Send(OutMessage message) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        message.order = ++order_;
        control_.push_back(std::move(message));
    }
    Wake();
}

void LineLink::RequestStop(Clock::time_point deadline) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        stopDeadline_ = deadline;
    }
    Wake();
}

std::string LineLink::StatePayload(bool online) {
    Json state = {
        {"state", online ? "online" : "offline"}, {"site", settings_.site}, {"line", line_}};
    for (const auto& [key, value] : lineInfo_.items()) {
        state[key] = value;
    }
    state["controllersHeard"] = Json(std::vector<int>(controllers_.begin(), controllers_.end()));
    state["counters"] = {{"framesIn", framesIn_},           {"framesOut", framesOut_},
                         {"events", eventCount_},           {"tagChanges", tagChanges_},
                         {"illegalFrames", illegalFrames_}, {"timeouts", timeouts_}};
    state["queue"] = {{"events", events_.size()},
                      {"tags", tags_.size()},
                      {"capacity", settings_.queueSize},
                      {"dropped", dropped_}};
    state["connects"] = connects_;
    state["since"] = started_;
    state["time"] = UtcNow();
    return Dump(state);
}

// The next message to send, under mutex_: the gateway's own first, then events, then tags.
bool LineLink::NextMessage(OutMessage& message) {
    if (stateDue_ && !stopRequested_) {
        stateDue_ = false;
        message = OutMessage{};
        message.topic = prefix_ + "state";
        message.payload = StatePayload(true);
        message.retain = true;
        message.order = ++order_;
        return true;
    }
    if (!control_.empty()) {
        message = std::move(control_.front());
        control_.pop_front();
        return true;
    }
    if (!events_.empty()) {
        message = std::move(events_.front());
        events_.pop_front();
        return true;
    }
    while (!tagOrder_.empty()) {
        const auto found = tags_.find(tagOrder_.front());
        tagOrder_.pop_front();
        if (found != tags_.end()) {
            message = std::move(found->second);
            tags_.erase(found);
            return true;
        }
    }
    if (stopRequested_ && !finalSent_) {
        finalSent_ = true;
        message = OutMessage{};
        message.topic = prefix_ + "state";
        message.payload = StatePayload(false);
        message.retain = true;
        message.order = ++order_;
        return true;
    }
    return false;
}

void LineLink::Pump() {
    while (connected_ && !lost_ && inFlight_.size() < kInFlight) {
        OutMessage message;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!NextMessage(message)) {
                return;
            }
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
                Say("line " + std::to_string(line_) + ": a message on '" + message.topic +
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

bool LineLink::Connect() {
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        lastFailure_ = "cannot make a client: " + std::string(std::strerror(errno));
        Say("line " + std::to_string(line_) + ": " + lastFailure_);
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
            Say("line " + std::to_string(line_) + ": " + lastFailure_);
            mosquitto_destroy(client_);
            client_ = nullptr;
            return false;
        }
    }
    const std::string will = Dump({{"state", "offline"},
                                   {"site", settings_.site},
                                   {"line", line_},
                                   {"reason", "the gateway's connection was lost"}});
    (void)mosquitto_will_set_v5(client_, (prefix_ + "state").c_str(), static_cast<int>(will.size()),
                                will.data(), 1, true, nullptr);
    mosquitto_connect_v5_callback_set(
        client_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
            static_cast<LineLink*>(self)->OnConnect(rc);
        });
    mosquitto_disconnect_v5_callback_set(
        client_, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
            static_cast<LineLink*>(self)->OnDisconnect(rc);
        });
    mosquitto_publish_v5_callback_set(
        client_, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
            static_cast<LineLink*>(self)->OnPublish(mid, reason);
        });
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* message,
                    const mosquitto_property* properties) {
            static_cast<LineLink*>(self)->OnMessage(message, properties);
        });
    mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
        static_cast<LineLink*>(self)->OnLog(level, text);
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

void LineLink::ReportFailure(const std::string& why) {
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
        Say("line " + std::to_string(line_) + ": " + failure + "; trying again");
        lastFailure_ = failure;
    }
}

void LineLink::Drop(const std::string& why) {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    if (!connected_) {
        ReportFailure(why);  // the connection was never accepted
    } else {
        Say("line " + std::to_string(line_) + ": the connection to " + url_.host + ":" +
            std::to_string(url_.port) + " was lost (" + why + "); " +
            std::to_string(inFlight_.size()) + " messages go again after the reconnect");
    }
    connected_ = false;
    lost_ = false;
    // What the broker did not acknowledge goes back, in its order.
    std::vector<OutMessage> back;
    for (auto& [mid, message] : inFlight_) {
        back.push_back(std::move(message));
    }
    inFlight_.clear();
    std::sort(back.begin(), back.end(),
              [](const OutMessage& a, const OutMessage& b) { return a.order < b.order; });
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = back.rbegin(); it != back.rend(); ++it) {
        switch (it->kind) {
        case OutMessage::Kind::kEvent: events_.push_front(std::move(*it)); break;
        case OutMessage::Kind::kTag:
            if (tags_.find(it->topic) == tags_.end()) {
                tagOrder_.push_front(it->topic);
                tags_.emplace(it->topic, std::move(*it));
            }
            break;
        case OutMessage::Kind::kControl:
            if (it->topic != prefix_ + "state") {
                control_.push_front(std::move(*it));
            } else if (!stopRequested_) {
                stateDue_ = true;
            } else {
                finalSent_ = false;
            }
            break;
        }
    }
    stateDue_ = stateDue_ || !stopRequested_;
}

void LineLink::OnConnect(int rc) {
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
    Say("line " + std::to_string(line_) + ": connected to " + url_.host + ":" +
        std::to_string(url_.port) + " as " + clientId_ + ", publishing under " + prefix_);
    (void)mosquitto_subscribe_v5(client_, nullptr, (prefix_ + "write/+").c_str(), 1, 0, nullptr);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!stopRequested_) {
        stateDue_ = true;
    }
}

void LineLink::OnDisconnect(int rc) {
    lost_ = true;
    lostReason_ = rc == 0 ? "disconnected" : mosquitto_reason_string(rc);
}

void LineLink::OnPublish(int mid, int reason) {
    const auto found = inFlight_.find(mid);
    if (found == inFlight_.end()) {
        return;
    }
    if (reason >= 0x80 && refusals_ < kRefusalsLogged) {
        ++refusals_;
        Say("line " + std::to_string(line_) + ": the broker refused the message on " +
            found->second.topic + ": " + mosquitto_reason_string(reason) +
            " (is the gateway's user allowed to publish there?)");
    }
    inFlight_.erase(found);
}

void LineLink::OnMessage(const mosquitto_message* message, const mosquitto_property* properties) {
    const std::string topic = message->topic != nullptr ? message->topic : "";
    const std::string writes = prefix_ + "write/";
    if (topic.rfind(writes, 0) != 0 || message->retain) {
        return;
    }
    const std::string tag = topic.substr(writes.size());
    std::string payload;
    if (message->payload != nullptr && message->payloadlen > 0) {
        payload.assign(static_cast<const char*>(message->payload),
                       static_cast<size_t>(message->payloadlen));
    }
    std::string responseTopic;
    char* response = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false) !=
            nullptr &&
        response != nullptr) {
        responseTopic = response;
        std::free(response);
    }
    bool hasCorrelation = false;
    std::string correlation;
    void* data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false) != nullptr &&
        data != nullptr) {
        hasCorrelation = true;
        correlation.assign(static_cast<const char*>(data), length);
        std::free(data);
    }
    owner_.Request(*this, tag, payload, responseTopic, hasCorrelation, correlation);
}

void LineLink::OnLog(int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr && std::strstr(text, "OpenSSL") != nullptr) {
        tlsError_ = text;
    }
}

void LineLink::Run() {
    while (true) {
        const auto now = Clock::now();
        bool stopping = false;
        bool empty = false;
        Clock::time_point deadline;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopRequested_;
            deadline = stopDeadline_;
            empty = control_.empty() && events_.empty() && tags_.empty() && finalSent_;
        }
        if (stopping && ((empty && inFlight_.empty()) || now >= deadline)) {
            if (!(empty && inFlight_.empty())) {
                const std::lock_guard<std::mutex> lock(mutex_);
                Say("line " + std::to_string(line_) + ": stopped with " +
                    std::to_string(events_.size() + control_.size() + tags_.size() +
                                   inFlight_.size()) +
                    " messages not delivered (the flush bound passed)");
            }
            break;
        }
        if (client_ == nullptr && now >= nextAttempt_) {
            if (!Connect()) {
                nextAttempt_ = Clock::now() + backOff_;
                backOff_ = std::min(backOff_ * 2, kLastBackOff);
            }
        }
        int timeout = 1000;
        if (client_ == nullptr) {
            timeout = static_cast<int>(std::clamp<long long>(
                std::chrono::duration_cast<milliseconds>(nextAttempt_ - Clock::now()).count(), 0,
                1000));
        }
        if (stopping) {
            timeout = std::min(
                timeout, static_cast<int>(std::max<long long>(
                             std::chrono::duration_cast<milliseconds>(deadline - now).count(), 0)));
        }
        pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (client_ != nullptr) {
            fds[1].fd = mosquitto_socket(client_);
            fds[1].events =
                static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
            count = 2;
        }
        (void)poll(fds, count, timeout);
        {
            // An overflow is said at once, then at most every 10 s while it goes on.
            const std::lock_guard<std::mutex> lock(mutex_);
            if (dropped_ > droppedLogged_ && Clock::now() >= nextDropReport_) {
                Say("line " + std::to_string(line_) + ": " +
                    std::to_string(dropped_ - droppedLogged_) +
                    " events were dropped: the queue of " + std::to_string(settings_.queueSize) +
                    " was full (--mqtt-queue)");
                droppedLogged_ = dropped_;
                nextDropReport_ = Clock::now() + kStateEvery;
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t ignored = 0;
            (void)!read(wake_, &ignored, sizeof ignored);
        }
        if (client_ != nullptr) {
            int rc = MOSQ_ERR_SUCCESS;
            if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                rc = mosquitto_loop_read(client_, 1);
            }
            if (rc == MOSQ_ERR_SUCCESS && !lost_ && (fds[1].revents & POLLOUT) != 0) {
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
                if (Clock::now() >= nextState_) {
                    nextState_ = Clock::now() + kStateEvery;
                    const std::lock_guard<std::mutex> lock(mutex_);
                    stateDue_ = stateDue_ || !stopRequested_;
                }
                Pump();
                if (!lost_ && mosquitto_want_write(client_)) {
                    (void)mosquitto_loop_write(client_, 1);
                }
            }
            if (lost_) {
                Drop(lostReason_);
                nextAttempt_ = Clock::now() + backOff_;
                backOff_ = std::min(backOff_ * 2, kLastBackOff);
            }
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

}  // namespace

std::unique_ptr<MqttGateway> StartMqttGateway(const MqttSettings& settings, MqttHost host,
                                              std::string& error) {
    if (settings.site.empty() || TopicLevel(settings.site) != settings.site) {
        error = "--site names the site, a topic level: not empty, without '/', '+' or '#'";
        return nullptr;
    }
    if (settings.queueSize < 1 || settings.queueSize > 10000000) {
        error = "--mqtt-queue is 1 to 10000000 events";
        return nullptr;
    }
    if (settings.keepAlive < 5 || settings.keepAlive > 3600 || settings.flushSeconds < 0) {
        error = "--mqtt-keepalive is 5 to 3600 s, --mqtt-flush not negative";
        return nullptr;
    }
    auto gateway = std::make_unique<Gateway>(settings, std::move(host));
    if (!gateway->Start(error)) {
        return nullptr;
    }
    return gateway;
}

}  // namespace kivhost
