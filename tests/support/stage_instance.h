// A driver instance with its setup values at their cold-start defaults, and a tag with its own
// value area, for the tests of staging, the composer and the read function.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "made_instance.h"
#include "write/setup_staging.h"

namespace kivtest {

// The instance number the test instances use for their tag look-ups.
inline constexpr int32_t kTestInstanceNumber = 1;

// A started instance made by hand (host client 1, instance number 1) with the staged values at
// their defaults.
inline MadeInstance MakeStageInstance() {
    MadeInstance instance = MakeInstance(kTestInstanceNumber);
    kiv::ResetSetupStage(instance->stage);
    return instance;
}

// Puts a text into a fixed text member, cut to fit with its terminator.
template <size_t N>
void PutText(char (&member)[N], const char* text) {
    std::memset(member, 0, N);
    std::memcpy(member, text, strnlen(text, N - 1));
}

// A tag as the host hands it to the read function and to SingleWrite: the driver words as Parse
// leaves them and an 80-byte value area. Numeric values sit at byte offset 2.
class TestTag {
public:
    TestTag(std::string address, int32_t operation, int32_t dataType = KIV_TYPE_ANALOG,
            int32_t lockNumber = 0, int32_t bitNumber = -1, int32_t controller = 10)
        : address_(std::move(address)) {
        gate_.address = address_.c_str();
        gate_.controller = controller;
        gate_.operation = operation;
        gate_.lockNumber = lockNumber;
        gate_.bitNumber = bitNumber;
        gate_.bitWidth = bitNumber >= 0 ? 1 : 16;
        gate_.dataType = dataType;
        gate_.value = area_;
    }
    TestTag(const TestTag&) = delete;
    TestTag& operator=(const TestTag&) = delete;

    GateAccess& gate() { return gate_; }
    const std::string& address() const { return address_; }
    unsigned char* area() { return area_; }

    void SetNumber(uint16_t value) { std::memcpy(area_ + 2, &value, sizeof value); }
    uint16_t Number() const {
        uint16_t value = 0;
        std::memcpy(&value, area_ + 2, sizeof value);
        return value;
    }
    // Fills the area with the text and zeros after it (at most 80 bytes, unterminated if 80).
    void SetText(const std::string& text) {
        std::memset(area_, 0, sizeof area_);
        std::memcpy(area_, text.data(), text.size() < sizeof area_ ? text.size() : sizeof area_);
    }
    std::string Text() const {
        return std::string(reinterpret_cast<const char*>(area_),
                           strnlen(reinterpret_cast<const char*>(area_), sizeof area_));
    }

    // A request for function 'number' on 'instance' with this tag as argument.
    KivRequest Request(kiv::DriverInstance& instance, uint32_t number = KIV_FN_SINGLE_WRITE) {
        KivRequest request{};
        request.instance = &instance;
        request.functionNumber = number;
        request.instanceNumber = instance.instanceNumber;
        request.argument = &gate_;
        return request;
    }

private:
    std::string address_;
    GateAccess gate_{};
    alignas(8) unsigned char area_[KIV_STRING_VALUE_SIZE]{};
};

}  // namespace kivtest
