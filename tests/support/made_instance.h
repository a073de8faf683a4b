// A driver instance made by hand, as the driver's functions see a started one: zeroed (host
// client 1, instance number 1), every lock and event created, marked started, without a line or
// threads. The tests of single steps (staging, the composer, the receiver's handling, the badge
// database) work on it; it is released with its locks and events.
#pragma once

#include <cstdint>
#include <memory>

#include "instance/driver_instance.h"
#include "instance/instance_sync.h"

namespace kivtest {

struct MadeInstanceDeleter {
    void operator()(kiv::DriverInstance* instance) const {
        kiv::DestroyInstanceSync(*instance);
        delete instance;
    }
};
using MadeInstance = std::unique_ptr<kiv::DriverInstance, MadeInstanceDeleter>;

inline MadeInstance MakeInstance(int32_t instanceNumber = 1) {
    MadeInstance instance(new kiv::DriverInstance{});
    instance->clientId = 1;
    instance->instanceNumber = instanceNumber;
    if (kiv::CreateInstanceSync(*instance) != kiv::SyncCreation::kCreated) {
        std::abort();
    }
    instance->startedMarker = kiv::kStartedMarker;
    return instance;
}

}  // namespace kivtest
