// A line's part in Home Assistant's MQTT discovery while it is connected: its configurations
// published (retained) at each connection and again whenever Home Assistant says it is back
// (PREFIX/status "online"), and the configurations an earlier run published under the line's
// node that this run no longer has removed (an empty retained message).
//
// What an earlier run published is read from the broker itself: the line subscribes to its
// node's configuration topics (PREFIX/+/kivhost_<site>_<line>/+/config), the broker hands it
// the retained ones, and every one that is not among this run's is removed as it arrives. So
// nothing is kept on disk, a gateway moved to another machine cleans up after its earlier runs
// too, and a configuration published later under the node by anyone else is removed as well:
// the node is the gateway's own.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "mqtt/gateway_messages.h"
#include "mqtt/homeassistant_entities.h"

namespace kivhost {

class HomeAssistantDiscovery {
public:
    explicit HomeAssistantDiscovery(const DiscoveryLine& line);

    // The topics to subscribe to at each connection.
    std::vector<std::string> Subscriptions() const;
    // Every configuration of the line, retained.
    std::vector<OutMessage> Configs() const;
    // A message that arrived: true when it is the discovery's (the write requests are not),
    // with the messages it calls for in 'replies'.
    bool Take(const std::string& topic, const std::string& payload,
              std::vector<OutMessage>& replies) const;

private:
    std::string statusTopic_;
    std::string node_;
    std::string prefix_;
    std::vector<DiscoveryConfig> configs_;
    std::set<std::string> topics_;  // of configs_
};

}  // namespace kivhost
