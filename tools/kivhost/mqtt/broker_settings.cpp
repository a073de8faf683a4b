// The broker a gateway talks to.
#include "mqtt/broker_settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kivhost {

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
            error = "cannot read the password file '" + settings.passwordFile +
                    "': " + std::strerror(errno);
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

bool CheckGatewaySettings(const MqttSettings& settings, std::string& error) {
    if (settings.site.empty() || TopicLevel(settings.site) != settings.site) {
        error = "--site names the site, a topic level: not empty, without '/', '+' or '#'";
        return false;
    }
    if (settings.queueSize < kMqttQueueLeast || settings.queueSize > kMqttQueueMost) {
        error = "--mqtt-queue is " + std::to_string(kMqttQueueLeast) + " to " +
                std::to_string(kMqttQueueMost) + " events";
        return false;
    }
    if (settings.keepAlive < kMqttKeepAliveLeast || settings.keepAlive > kMqttKeepAliveMost ||
        !(settings.flushSeconds >= 0)) {
        error = "--mqtt-keepalive is " + std::to_string(kMqttKeepAliveLeast) + " to " +
                std::to_string(kMqttKeepAliveMost) + " s, --mqtt-flush not negative";
        return false;
    }
    return true;
}

bool CheckTlsSettings(const MqttSettings& settings, const BrokerUrl& url, std::string& error) {
    if (!url.tls &&
        (!settings.caFile.empty() || !settings.certFile.empty() || !settings.keyFile.empty())) {
        error = "--mqtt-ca, --mqtt-cert and --mqtt-key are for mqtts:// URLs";
        return false;
    }
    if (settings.certFile.empty() != settings.keyFile.empty()) {
        error = "--mqtt-cert and --mqtt-key go together";
        return false;
    }
    return true;
}

}  // namespace kivhost
