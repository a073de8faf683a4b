// Waiting for the host's shut-down signal.
#include "lifecycle/shutdown_thread.h"

#include "instance/thread_waits.h"

#include "qorpro/qorpro.h"

namespace kiv {

std::optional<uint16_t> RemoveClient(DriverInstance& instance) {
    // The handle may be given to another client once removed: remove it once only.
    if (instance.clientRegistered.exchange(0) != 1) {
        return std::nullopt;
    }
    const uint16_t status = QorRmClient(instance.clientId);
    if (status != 0) {
        instance.clientRegistered = 1;  // still there: a later removal may try again
    }
    return status;
}

void ThreadShutDown(void* argument) {
    auto& instance = *static_cast<DriverInstance*>(argument);
    err(32, "RIRODI: Start of ThreadShutDown");
    for (;;) {
        QorMessage message{};
        if (QorGetMsg(instance.clientId, &message) != 0) {
            return;  // the client is gone
        }
        if (message.code != kSignalShut) {
            continue;
        }
        err(64, "RIRODI: message QOR_SIGNAL_SHUT");
        RequestShutdown(instance);
        const std::optional<uint16_t> status = RemoveClient(instance);
        if (status.has_value() && *status == 0) {
            err(64, "RIRODI: QorRmClient() succeeded!!!");
        } else if (status.has_value()) {
            err(64, "RIRODI: QorRmClient() didn't succeed!!!");
        }
    }
}

}  // namespace kiv
