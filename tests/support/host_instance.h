// A driver instance as a host keeps one: memory of the size the driver reports, filled with
// whatever was there before (0xA5 here), handed to KivMain's cold start, warm start and close.
// The destructor closes the instance if a test did not, so that no thread outlives the test.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"

namespace kivtest {

class HostInstance {
public:
    explicit HostInstance(int32_t instanceNumber = 1) : instanceNumber_(instanceNumber) {
        memory_ = ::operator new(sizeof(kiv::DriverInstance),
                                 std::align_val_t(alignof(kiv::DriverInstance)));
        std::memset(memory_, 0xA5, sizeof(kiv::DriverInstance));
    }
    ~HostInstance() {
        Call(KIV_FN_CLOSE);
        ::operator delete(memory_, std::align_val_t(alignof(kiv::DriverInstance)));
    }
    HostInstance(const HostInstance&) = delete;
    HostInstance& operator=(const HostInstance&) = delete;

    // Cold start on the named port ("" with openPort 0: registration only).
    int32_t ColdStart(const std::string& port, int32_t answerTimeout = 100, bool openPort = true) {
        CommParams params{};
        std::memcpy(params.portName, port.data(),
                    port.size() < sizeof params.portName ? port.size() : sizeof params.portName);
        params.openPort = openPort ? 1 : 0;
        params.answerTimeout = answerTimeout;
        params.lineSettings = LineSettings{9600, 8, 0, 0};
        return Call(KIV_FN_COLD_START, &params);
    }
    int32_t Call(uint32_t function, void* argument = nullptr) {
        KivRequest request{memory_, function, instanceNumber_, 0, argument};
        return KivMain(&request);
    }

    // Valid once cold start has run.
    kiv::DriverInstance& operator*() { return *static_cast<kiv::DriverInstance*>(memory_); }
    kiv::DriverInstance* operator->() { return static_cast<kiv::DriverInstance*>(memory_); }

private:
    int32_t instanceNumber_;
    void* memory_;
};

}  // namespace kivtest
