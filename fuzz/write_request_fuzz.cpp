// A write request as the MQTT gateway takes it from the network: the payload of any size and
// shape, read into the value it writes (or refused with a reason), and its nesting measured.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt/gateway_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    std::string value;
    std::string error;
    const bool taken = kivhost::WriteValue(payload, value, error);
    // A request is taken with a value or refused with a reason, and never grows.
    if (taken == !error.empty() || value.size() > kivhost::kMaxWriteRequest) {
        std::abort();
    }
    (void)kivhost::JsonNesting(payload, kivhost::kMaxWriteNesting);
    return 0;
}
