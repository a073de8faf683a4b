// The combined time-zone number, written and read back the same way.
#include "tags/time_zone_text.h"

namespace kiv {

namespace {

bool IsDigitAt(const char* text, size_t size, size_t position) {
    return position < size && text[position] >= '0' && text[position] <= '9';
}

}  // namespace

int32_t CombinedTimeZoneNumber(uint16_t timeZone1, uint16_t timeZone2) {
    return 10 * (static_cast<int32_t>(timeZone2) - 1) + (static_cast<int32_t>(timeZone1) - 1);
}

void DecodeTimeZoneText(const char* text, size_t size, uint16_t& timeZone1, uint16_t& timeZone2) {
    timeZone1 = 1;
    timeZone2 = 1;
    if (text == nullptr || !IsDigitAt(text, size, 0)) {
        return;
    }
    const auto first = static_cast<uint16_t>(text[0] - '0');
    if (!IsDigitAt(text, size, 1)) {
        timeZone1 = static_cast<uint16_t>(first + 1);
        return;
    }
    const auto second = static_cast<uint16_t>(text[1] - '0');
    timeZone1 = static_cast<uint16_t>(second + 1);
    timeZone2 = static_cast<uint16_t>(first + 1);
}

}  // namespace kiv
