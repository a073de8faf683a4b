// The checks of written texts: time of day, badge code and date, on the text as the driver
// copies it from the host's value area (at most 79 characters and the terminator).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tags/gate_value.h"
#include "tags/value_converters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[kiv::kTextValueSize] = {};
    std::memcpy(text, data, std::min(size, sizeof text - 1));
    kiv::TimeConverter(text);
    kiv::DateConverter(text);
    kiv::BadgeCodeConverter(text);
    return 0;
}
