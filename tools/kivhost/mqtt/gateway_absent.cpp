// The MQTT gateway where it is not built (no libmosquitto, or Windows).
#include "mqtt/mqtt_gateway.h"

namespace kivhost {

std::unique_ptr<MqttGateway> StartMqttGateway(const MqttSettings& /*settings*/, MqttHost /*host*/,
                                              std::string& error) {
    error =
        "this kivhost is built without the MQTT gateway: the gateway is built on Linux, with "
        "libmosquitto (Debian's libmosquitto-dev)";
    return nullptr;
}

}  // namespace kivhost
