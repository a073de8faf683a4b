// Creating and destroying the instance's locks and events; the host-call gate.
#include "instance/instance_sync.h"

#include <array>

#include "platform/sync.h"

namespace kiv {

namespace {

// The locks of an instance, in one list, so that creation and destruction cannot miss one.
std::array<platform::Lock*, 7> LocksOf(DriverInstance& instance) {
    return {&instance.portLock,         &instance.transactionLock, &instance.badgeLock,
            &instance.stageLock,        &instance.textLock,        &instance.downloadLock,
            &instance.hostFailures.lock};
}

}  // namespace

SyncCreation CreateInstanceSync(DriverInstance& instance) {
    if (!platform::EventCreate(instance.answerEvent, nullptr)) {
        return SyncCreation::kAnswerEventFailed;
    }
    bool created = platform::EventCreate(instance.shutdownEvent, nullptr) &&
                   platform::EventCreate(instance.receiverReady, nullptr);
    for (platform::Lock* lock : LocksOf(instance)) {
        created = created && platform::LockInit(*lock);
    }
    if (!created) {
        DestroyInstanceSync(instance);
        return SyncCreation::kOtherFailed;
    }
    return SyncCreation::kCreated;
}

void DestroyInstanceSync(DriverInstance& instance) {
    for (platform::Lock* lock : LocksOf(instance)) {
        platform::LockDestroy(*lock);
    }
    platform::EventClose(instance.answerEvent);
    platform::EventClose(instance.shutdownEvent);
    platform::EventClose(instance.receiverReady);
}

bool EnterHostCall(DriverInstance& instance) {
    // Counted first, so that a close that begins now waits for this call to leave.
    if ((instance.hostCalls.fetch_add(1) & kClosingBit) == 0) {
        return true;
    }
    instance.hostCalls.fetch_sub(1);
    return false;
}

void LeaveHostCall(DriverInstance& instance) {
    instance.hostCalls.fetch_sub(1);
}

bool BeginClose(DriverInstance& instance) {
    return (instance.hostCalls.fetch_or(kClosingBit) & kClosingBit) == 0;
}

void WaitForHostCalls(DriverInstance& instance) {
    while ((instance.hostCalls.load() & ~kClosingBit) != 0) {
        platform::SleepMs(1);
    }
}

void ReopenGate(DriverInstance& instance) {
    instance.hostCalls.fetch_and(~kClosingBit);
}

}  // namespace kiv
