// The broker a gateway talks to, from its settings: the URL taken apart, the password read,
// and every setting checked before a connection is tried.
#pragma once

#include <string>

#include "mqtt/mqtt_gateway.h"

namespace kivhost {

struct BrokerUrl {
    bool tls = false;
    std::string host;  // an IPv6 address without its brackets
    int port = 0;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); false with the reason.
bool ParseBrokerUrl(const std::string& text, BrokerUrl& url, std::string& error);

// The password of --mqtt-password-file (its first line), else of the environment; 'given' says
// whether there is one. False with the reason when the file cannot be read.
bool ReadPassword(const MqttSettings& settings, std::string& password, bool& given,
                  std::string& error);

// Checks the settings that do not need the URL (site, queue, keep-alive, flush); false with the
// reason.
bool CheckGatewaySettings(const MqttSettings& settings, std::string& error);

// Checks the TLS files against the URL; false with the reason.
bool CheckTlsSettings(const MqttSettings& settings, const BrokerUrl& url, std::string& error);

}  // namespace kivhost
