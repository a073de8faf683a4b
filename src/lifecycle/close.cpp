// Function 11: close. Host calls in progress are made to end and waited for, every thread of
// the instance is stopped and joined (the thread that waits for host messages is let go when the
// host keeps it waiting; it holds nothing of the instance), and only then are the port closed and
// the locks and events destroyed, so that nothing touches them, or the instance, after close has
// returned.
#include "instance/instance_sync.h"
#include "instance/thread_waits.h"
#include "lifecycle/lifecycle_functions.h"
#include "lifecycle/shutdown_thread.h"
#include "link/instance_port.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qorpro/qorpro.h"
#include "write/download_thread.h"

namespace kiv {

namespace {

void StopThreads(DriverInstance& instance) {
    InstanceThreads& threads = instance.threads;
    platform::ThreadJoin(threads.eventFormat);
    platform::ThreadJoin(threads.poll);
    JoinDownloads(instance);
    platform::ThreadJoin(threads.receiver);
    ReleaseClient(instance);
}

}  // namespace

int32_t Close(KivRequest* request) {
    auto* instance = static_cast<DriverInstance*>(request->instance);
    if (instance == nullptr) {
        return KIV_FAILED;
    }
    if (!IsStarted(*instance)) {
        return KIV_OK;  // never started, or closed already: nothing is held
    }
    if (!BeginClose(*instance)) {
        err(32, "RIRODI: close refused, the instance is being closed already");
        return KIV_FAILED;
    }
    RequestShutdown(*instance);
    WaitForHostCalls(*instance);
    StopThreads(*instance);
    if (!CloseInstancePort(*instance)) {
        err(32, "RIRODI:Fail to close comm.");
        ReopenGate(*instance);
        return KIV_FAILED;  // the locks stay; a second close tries again
    }
    DestroyInstanceSync(*instance);
    instance->startedMarker = 0;
    return KIV_OK;
}

}  // namespace kiv
