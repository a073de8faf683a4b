// Function 11: close. Every thread of the instance is stopped and joined before the port is
// closed and the locks are destroyed, so that no thread touches them, or the instance, after
// close has returned.
#include "instance/thread_waits.h"
#include "lifecycle/lifecycle_functions.h"
#include "lifecycle/shutdown_thread.h"
#include "link/instance_port.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qorpro/qorpro.h"
#include "receive/badge_database.h"

namespace kiv {

namespace {

// Asks every thread to end and waits until each has. The thread that waits for host messages
// ends when its client is removed; if the host has not sent its shut-down signal, that is done
// here.
void StopThreads(DriverInstance& instance) {
    RequestShutdown(instance);
    RemoveClient(instance);
    InstanceThreads& threads = instance.threads;
    platform::ThreadJoin(threads.eventFormat);
    platform::ThreadJoin(threads.poll);
    for (DownloadSlot& download : threads.downloads) {
        platform::ThreadJoin(download.thread);
    }
    platform::ThreadJoin(threads.receiver);
    platform::ThreadJoin(threads.shutdown);
}

}  // namespace

int32_t Close(KivRequest* request) {
    auto* instance = static_cast<DriverInstance*>(request->instance);
    if (instance == nullptr) {
        return KIV_FAILED;
    }
    if (instance->startedMarker != kStartedMarker) {
        return KIV_OK;  // never started, or closed already: nothing is held
    }
    StopThreads(*instance);
    if (!CloseInstancePort(*instance)) {
        err(32, "RIRODI:Fail to close comm.");
        return KIV_FAILED;  // the locks stay; a second close tries again
    }
    if (platform::LockIsInitialised(instance->portLock)) {
        platform::LockDestroy(instance->portLock);
    }
    if (platform::LockIsInitialised(instance->transactionLock)) {
        platform::LockDestroy(instance->transactionLock);
    }
    platform::EventClose(instance->answerEvent);
    platform::EventClose(instance->shutdownEvent);
    platform::EventClose(instance->receiverReady);
    BadgeTableClose(*instance);
    instance->startedMarker = 0;
    return KIV_OK;
}

}  // namespace kiv
