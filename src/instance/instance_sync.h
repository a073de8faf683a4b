// The locks and events of an instance, and the gate that host calls pass while it runs.
//
// Every lock and event exists from cold start to close: cold start creates them all before
// anything can use them, close destroys them after every thread has ended and every host call
// has left. No code tests whether a lock exists; a test that builds an instance by hand creates
// them the same way.
#pragma once

#include "instance/driver_instance.h"

namespace kiv {

enum class SyncCreation {
    kCreated,
    kAnswerEventFailed,  // the answer event could not be created (nothing else is left)
    kOtherFailed,        // a lock or another event could not be created (nothing is left)
};

// Creates every lock and event of the instance. On failure nothing of them is left.
//
// Every event is the instance's own, without a name in the system's namespace: a named Windows
// event is one object for every process (and every instance) that creates the same name, so two
// instances of one number (a host and a commissioning tool beside it, or two hosts) would wake
// each other's transactions and take answers that never came. The answer event's name
// ("RIRODI%02uEventSem") is what cold start reports when the event cannot be created.
SyncCreation CreateInstanceSync(DriverInstance& instance);

// Destroys what CreateInstanceSync made. No thread or host call may use them any more.
void DestroyInstanceSync(DriverInstance& instance);

// The host calls that use a started instance (warm start, read, SingleWrite, the port
// functions) pass this gate, so that close can make them end and wait until they have left.
// EnterHostCall is false when close has begun: the call is then refused.
bool EnterHostCall(DriverInstance& instance);
void LeaveHostCall(DriverInstance& instance);

// Close's side: BeginClose is false when another close has begun already. WaitForHostCalls
// returns once no call is in progress (each ends promptly once shut-down is requested).
// ReopenGate lets calls in again after a close that failed.
bool BeginClose(DriverInstance& instance);
void WaitForHostCalls(DriverInstance& instance);
void ReopenGate(DriverInstance& instance);

// Holds the gate for one host call.
class HostCallScope {
public:
    explicit HostCallScope(DriverInstance& instance)
        : instance_(instance), entered_(EnterHostCall(instance)) {}
    ~HostCallScope() {
        if (entered_) {
            LeaveHostCall(instance_);
        }
    }
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;
    bool Entered() const { return entered_; }

private:
    DriverInstance& instance_;
    bool entered_;
};

// Holds the port lock for one scope on behalf of a thread that sends (or closes the port). While
// frames arrive the receiver takes the lock once per frame; between two frames it lets every
// thread that waits here go first, so that none waits longer than one frame's reception.
class PortLockGuard {
public:
    explicit PortLockGuard(DriverInstance& instance) : lock_(instance.portLock) {
        instance.portLockWanted.fetch_add(1);
        platform::LockEnter(lock_);
        instance.portLockWanted.fetch_sub(1);
    }
    ~PortLockGuard() { platform::LockLeave(lock_); }
    PortLockGuard(const PortLockGuard&) = delete;
    PortLockGuard& operator=(const PortLockGuard&) = delete;

private:
    platform::Lock& lock_;
};

}  // namespace kiv
