// A line's connection to the broker in words and as JSON.
#include "mqtt/mqtt_gateway.h"

namespace kivhost {

std::string GatewayStateText(const GatewayState& state) {
    const std::string counts =
        std::to_string(state.queued) + " queued, " + std::to_string(state.dropped) + " dropped";
    if (state.connected) {
        return "MQTT L" + std::to_string(state.line) + " connected, " + counts;
    }
    return "MQTT L" + std::to_string(state.line) + " NOT CONNECTED, " + counts + ": " +
           state.reason;
}

Json GatewayStateJson(const GatewayState& state) {
    return {{"line", state.line},
            {"connected", state.connected},
            {"queued", state.queued},
            {"dropped", state.dropped},
            {"reason", state.connected ? Json(nullptr) : ByteText(state.reason)}};
}

}  // namespace kivhost
