// Function 2: warm start. Pending input is dropped; nothing else is reset.
#include "instance/driver_instance.h"
#include "lifecycle/lifecycle_functions.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

int32_t WarmStart(KivRequest* request) {
    auto* instance = static_cast<DriverInstance*>(request->instance);
    if (instance == nullptr) {
        return KIV_FAILED;
    }
    // An instance that is not started holds no port (its memory may hold anything).
    if (IsStarted(*instance)) {
        const platform::LockGuard lock(instance->portLock);
        if (instance->port != nullptr &&
            platform::DiscardInput(instance->port) != platform::kPortOk) {
            err(32, "RIRODI:Fail to flush comm port.");
            return KIV_FAILED;
        }
    }
    err(32, "RIRODI: Warm Start.");
    return KIV_OK;
}

}  // namespace kiv
