// The MQTT gateway over libmosquitto: a link per line (broker_link.h), one thread that serves
// them all (link_loop.h), and the one thread that makes the writes requested from the broker,
// as the commands' writes are made.
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mqtt/broker_link.h"
#include "mqtt/broker_settings.h"
#include "mqtt/gateway_messages.h"
#include "mqtt/homeassistant_discovery.h"
#include "mqtt/link_loop.h"
#include "mqtt/mqtt_gateway.h"

namespace kivhost {

namespace {

constexpr size_t kPendingWrites = 100;

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
        std::string password;
        bool given = false;
        if (!ParseBrokerUrl(settings_.url, url, error) ||
            !ReadPassword(settings_, password, given, error) ||
            !CheckTlsSettings(settings_, url, error)) {
            return false;
        }
        (void)mosquitto_lib_init();
        libraryStarted_ = true;
        const std::string id =
            settings_.clientId.empty() ? "kivhost-" + settings_.site : settings_.clientId;
        for (int line = 1; line <= host_.lines; ++line) {
            links_.push_back(std::make_unique<BrokerLink>(
                settings_, url, password, given, line, host_.lines > 1,
                host_.lines > 1 ? id + "-" + std::to_string(line) : id,
                [this](WriteRequest request) { Request(std::move(request)); },
                [this] { loop_.Wake(); }));
            if (host_.unrecordedStores) {
                links_.back()->CountUnrecordedStores(
                    [count = host_.unrecordedStores, line] { return count(line); });
            }
            loop_.Add(*links_.back());
        }
        for (const MqttTag& tag : host_.tags) {
            topicNames_[{tag.line, TopicLevel(tag.name)}] = tag.name;
        }
        for (auto& link : links_) {
            UseDiscovery(*link);
        }
        writer_ = std::thread([this] { WriteLoop(); });
        loop_.Start();
        return true;
    }

    void Offer(const Json& record) override {
        const Json& line = MemberOf(record, "line");
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

    std::vector<GatewayState> States() override {
        std::vector<GatewayState> states;
        for (auto& link : links_) {
            states.push_back(link->State());
        }
        return states;
    }

    void Stop() override {
        SayWhatStopWaitsFor();
        const auto deadline =
            GatewayClock::now() + std::chrono::duration_cast<GatewayClock::duration>(
                                      std::chrono::duration<double>(settings_.flushSeconds));
        for (auto& link : links_) {
            link->RequestStop(deadline);
        }
        loop_.Join();
        links_.clear();
        if (libraryStarted_) {
            (void)mosquitto_lib_cleanup();
            libraryStarted_ = false;
        }
    }

private:
    // Home Assistant's discovery of the line, when asked for.
    void UseDiscovery(BrokerLink& link) const {
        if (settings_.homeAssistant.empty()) {
            return;
        }
        DiscoveryLine line{
            settings_.homeAssistant, settings_.site, link.Line(), {}, host_.eventTypes};
        for (const MqttTag& tag : host_.tags) {
            if (tag.line == link.Line()) {
                line.tags.emplace_back(tag.name, tag.address);
            }
        }
        link.UseDiscovery(std::make_unique<HomeAssistantDiscovery>(line));
    }

    void SayWhatStopWaitsFor() {
        size_t queued = 0;
        for (auto& link : links_) {
            queued += link->State().queued;
        }
        if (queued > 0) {
            char bound[32];
            (void)std::snprintf(bound, sizeof bound, "%g", settings_.flushSeconds);
            Say("stopping: " + std::to_string(queued) +
                " messages still queued for the broker; waiting up to " + bound +
                " s for them (--mqtt-flush)");
        }
    }

    // A write request that arrived on a line (on the line's thread).
    void Request(WriteRequest job) {
        ReadWriteRequest(job);
        if (!job.refusal.empty()) {
            Say("line " + std::to_string(job.line) + ": the write of " + job.tag +
                " is refused: " + job.refusal);
            Reply(job, false, Json(nullptr), job.refusal, Json::array());
            return;
        }
        if (!settings_.writes) {
            Say("line " + std::to_string(job.line) + ": the write of " + job.tag +
                " is refused: writes are not allowed (start the gateway with --mqtt-writes)");
            Reply(job, false, Json(nullptr),
                  "writes are not allowed on this gateway (it runs without --mqtt-writes)",
                  Json::array());
            return;
        }
        if (!job.valueError.empty()) {
            Reply(job, false, Json(nullptr), job.valueError, Json::array());
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

    void WriteLoop() {
        while (true) {
            WriteRequest job;
            {
                std::unique_lock<std::mutex> lock(writeMutex_);
                writeReady_.wait(lock, [this] { return writesStopped_ || !writes_.empty(); });
                if (writesStopped_) {
                    for (const WriteRequest& left : writes_) {
                        Reply(left, false, Json(nullptr), "the gateway stopped before the write",
                              Json::array());
                    }
                    writes_.clear();
                    return;
                }
                job = std::move(writes_.front());
                writes_.pop_front();
            }
            const auto found = topicNames_.find({job.line, job.tag});
            if (found == topicNames_.end()) {
                Reply(job, false, Json(nullptr),
                      "line " + std::to_string(job.line) + " has no tag '" + job.tag + "'",
                      Json::array());
                continue;
            }
            const MqttWriteResult result = host_.write(job.line, found->second, job.value);
            Reply(job, result.done && result.result == 0,
                  result.done ? Json(result.result) : Json(nullptr), result.error,
                  LogJson(result.log));
        }
    }

    // The result carries the value written or refused, and the client's transaction.
    void Reply(const WriteRequest& job, bool ok, const Json& result, const std::string& error,
               const Json& log) {
        BrokerLink& link = *links_[static_cast<size_t>(job.line) - 1];
        OutMessage message;
        message.topic = job.responseTopic.empty() ? link.Prefix() + "write/" + job.tag + "/result"
                                                  : job.responseTopic;
        message.hasCorrelation = job.hasCorrelation;
        message.correlation = job.correlation;
        Json payload = {{"tag", job.tag},
                        {"value", job.value},  // the client's UTF-8 (Dump replaces what is not)
                        {"ok", ok},
                        {"result", result},
                        {"error", error.empty() ? Json(nullptr) : Json(error)},
                        {"log", log},
                        {"time", UtcNow()}};
        if (!job.transaction.is_null()) {
            payload["transaction"] = job.transaction;
        }
        message.payload = Dump(payload);
        link.Send(std::move(message));
    }

    const MqttSettings settings_;
    MqttHost host_;
    bool libraryStarted_ = false;
    std::vector<std::unique_ptr<BrokerLink>> links_;
    LinkLoop loop_;  // serves links_
    std::map<std::pair<int, std::string>, std::string> topicNames_;
    std::mutex writeMutex_;
    std::condition_variable writeReady_;
    std::deque<WriteRequest> writes_;
    bool writesStopped_ = false;
    std::thread writer_;
};

}  // namespace

std::unique_ptr<MqttGateway> StartMqttGateway(const MqttSettings& settings, MqttHost host,
                                              std::string& error) {
    if (!CheckGatewaySettings(settings, error) ||
        (!settings.homeAssistant.empty() && !CheckDiscoveryPrefix(settings.homeAssistant, error))) {
        return nullptr;
    }
    auto gateway = std::make_unique<Gateway>(settings, std::move(host));
    if (!gateway->Start(error)) {
        return nullptr;
    }
    return gateway;
}

}  // namespace kivhost
