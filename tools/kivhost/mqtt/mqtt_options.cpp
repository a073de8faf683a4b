// The options of the MQTT gateway, on every platform (where it is not built, --mqtt says so).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "base/option_checks.h"
#include "mqtt/homeassistant_entities.h"
#include "mqtt/mqtt_gateway.h"

namespace kivhost {

void AddMqttOptions(CLI::App& app, MqttSettings& settings) {
    const std::string group = "MQTT gateway";
    app.add_option("--mqtt", settings.url,
                   "publish to this MQTT broker and take writes from it: mqtt://HOST[:PORT] "
                   "(1883) or mqtts://HOST[:PORT] (8883, TLS)")
        ->group(group);
    app.add_option("--site", settings.site,
                   "the site's name, the second level of every topic (vxs/SITE/LINE/...)")
        ->group(group);
    app.add_option("--mqtt-client-id", settings.clientId,
                   "the client id (default kivhost-SITE; with several lines -LINE is added)")
        ->group(group);
    app.add_option("--mqtt-user", settings.user, "the user name at the broker")->group(group);
    app.add_option("--mqtt-password-file", settings.passwordFile,
                   std::string("the password at the broker, the first line of this file (else "
                               "the environment variable ") +
                       kMqttPasswordVariable + ")")
        ->group(group);
    app.add_option("--mqtt-ca", settings.caFile,
                   "mqtts: the CA certificates that sign the broker's (default the system's)")
        ->group(group);
    app.add_option("--mqtt-cert", settings.certFile, "mqtts: this client's certificate")
        ->group(group);
    app.add_option("--mqtt-key", settings.keyFile, "mqtts: this client's private key")
        ->group(group);
    app.add_flag("--mqtt-writes", settings.writes,
                 "take tag writes from vxs/SITE/LINE/write/TAG (refused without it)")
        ->group(group);
    app.add_option_function<std::string>(
           "--mqtt-protocol",
           [&settings](const std::string& name) {
               const auto found =
                   std::find(kMqttProtocolNames.begin(), kMqttProtocolNames.end(), name);
               settings.protocol =
                   static_cast<MqttProtocol>(std::distance(kMqttProtocolNames.begin(), found));
           },
           "the MQTT version asked of the broker: auto (default) asks for 5 and, once the "
           "broker refuses 5, for 3.1.1 from then on; 5 or 3.1.1 ask for that version only")
        ->check(CLI::IsMember(
            std::vector<std::string>(kMqttProtocolNames.begin(), kMqttProtocolNames.end())))
        ->group(group);
    app.add_option("--mqtt-queue", settings.queueSize,
                   "events a line keeps while the broker is away (default 10000)")
        ->check(CLI::Range(kMqttQueueLeast, kMqttQueueMost))
        ->group(group);
    app.add_option("--mqtt-keepalive", settings.keepAlive, "seconds (default 30)")
        ->check(CLI::Range(kMqttKeepAliveLeast, kMqttKeepAliveMost))
        ->group(group);
    app.add_option("--mqtt-flush", settings.flushSeconds,
                   "seconds a clean stop waits to deliver what is queued (default 5)")
        ->check(NotNegative())
        ->group(group);
    app.add_option("--homeassistant", settings.homeAssistant,
                   std::string("publish Home Assistant's MQTT discovery under PREFIX (") +
                       kHomeAssistantPrefix + " when none is given)")
        ->expected(0, 1)
        ->default_str(kHomeAssistantPrefix)
        ->type_name("[PREFIX]")
        ->group(group);
}

std::string TopicLevel(const std::string& name) {
    if (name.empty()) {
        return "_";
    }
    std::string level = name;
    for (char& c : level) {
        if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    return level;
}

}  // namespace kivhost
