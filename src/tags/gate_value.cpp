// Bounded access to the host's value area and the address working copy.
#include "tags/gate_value.h"

#include <cstring>

#include "link/frame_format.h"

namespace kiv {

namespace {

// The numeric value sits after the host's own first 16-bit word.
constexpr size_t kNumberOffset = 2;

}  // namespace

const GateAccess* GateOfRequest(const KivRequest& request) {
    const auto* gate = static_cast<const GateAccess*>(request.argument);
    if (request.instance == nullptr || gate == nullptr || gate->value == nullptr) {
        return nullptr;
    }
    return gate;
}

uint16_t GateNumber(const GateAccess& gate) {
    if (gate.value == nullptr) {
        return 0;
    }
    uint16_t number = 0;
    std::memcpy(&number, static_cast<const unsigned char*>(gate.value) + kNumberOffset,
                sizeof number);
    return number;
}

void SetGateNumber(const GateAccess& gate, uint16_t value) {
    if (gate.value != nullptr) {
        std::memcpy(static_cast<unsigned char*>(gate.value) + kNumberOffset, &value, sizeof value);
    }
}

void CopyGateText(const GateAccess& gate, char (&text)[kTextValueSize]) {
    size_t length = 0;
    if (gate.value != nullptr) {
        const auto* area = static_cast<const char*>(gate.value);
        length = strnlen(area, kTextValueSize - 1);
        std::memcpy(text, area, length);
    }
    std::memset(text + length, 0, kTextValueSize - length);
}

void SetGateText(const GateAccess& gate, const char* text, size_t size) {
    if (gate.value == nullptr) {
        return;
    }
    auto* area = static_cast<char*>(gate.value);
    std::memset(area, 0, kTextValueSize);
    if (text != nullptr) {
        const size_t limit = size < kTextValueSize - 1 ? size : kTextValueSize - 1;
        std::memcpy(area, text, strnlen(text, limit));
    }
}

void CopyUpperCaseAddress(const char* address, char (&copy)[kAddressCopySize]) {
    std::memset(copy, 0, sizeof copy);
    if (address == nullptr) {
        return;
    }
    const size_t length = strnlen(address, kAddressCopySize - 1);
    for (size_t i = 0; i < length; ++i) {
        copy[i] = static_cast<char>(UpperCaseChar(static_cast<unsigned char>(address[i])));
    }
}

}  // namespace kiv
