// A line's part in Home Assistant's MQTT discovery.
#include "mqtt/homeassistant_discovery.h"

namespace kivhost {

namespace {

constexpr const char* kHomeAssistantOnline = "online";

OutMessage Retained(const std::string& topic, std::string payload) {
    OutMessage message;
    message.topic = topic;
    message.payload = std::move(payload);
    message.retain = true;
    return message;
}

}  // namespace

HomeAssistantDiscovery::HomeAssistantDiscovery(const DiscoveryLine& line)
    : statusTopic_(line.prefix + "/status"),
      node_(DiscoveryNode(line.site, line.line)),
      prefix_(line.prefix + "/"),
      configs_(DiscoveryConfigs(line)) {
    for (const DiscoveryConfig& config : configs_) {
        topics_.insert(config.topic);
    }
}

std::vector<std::string> HomeAssistantDiscovery::Subscriptions() const {
    return {statusTopic_, prefix_ + "+/" + node_ + "/+/config"};
}

std::vector<OutMessage> HomeAssistantDiscovery::Configs() const {
    std::vector<OutMessage> messages;
    for (const DiscoveryConfig& config : configs_) {
        messages.push_back(Retained(config.topic, Dump(config.payload)));
    }
    return messages;
}

bool HomeAssistantDiscovery::Take(const std::string& topic, const std::string& payload,
                                  std::vector<OutMessage>& replies) const {
    if (topic == statusTopic_) {
        if (payload == kHomeAssistantOnline) {
            replies = Configs();
        }
        return true;
    }
    // PREFIX/<component>/<node>/<object>/config
    const std::string nodeLevel = "/" + node_ + "/";
    const size_t component = topic.rfind(prefix_, 0) == 0 ? prefix_.size() : std::string::npos;
    const size_t node = component == std::string::npos ? component : topic.find('/', component);
    if (node == std::string::npos || topic.compare(node, nodeLevel.size(), nodeLevel) != 0) {
        return false;
    }
    if (!payload.empty() && topics_.count(topic) == 0) {
        replies.push_back(Retained(topic, std::string()));  // an earlier run's: removed
    }
    return true;
}

}  // namespace kivhost
