// Locks, events and time: the synchronisation the driver's threads share.
//
// The objects are plain handles so that they can live in the host-owned instance record;
// they are created at cold start and destroyed at close.
#pragma once

#include <cstdint>

namespace kiv::platform {

// A mutual-exclusion lock (a critical section on Windows). Not recursive.
struct Lock {
    void* impl;
};

bool LockInit(Lock& lock);
void LockDestroy(Lock& lock);
void LockEnter(Lock& lock);
void LockLeave(Lock& lock);
bool LockIsInitialised(const Lock& lock);

// Holds a lock for one scope.
class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { LockEnter(lock_); }
    ~LockGuard() { LockLeave(lock_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

// A manual-reset event.
struct Event {
    void* impl;
};

enum class WaitResult { Signalled, Abandoned, TimedOut, Failed };

// The raw code of a wait outcome, as the driver logs it (the Win32 WAIT_* values).
uint32_t WaitResultCode(WaitResult result);

// Creates a manual-reset event, initially clear. The name is informative on POSIX.
bool EventCreate(Event& event, const char* name);
void EventClose(Event& event);
bool EventSet(Event& event);
bool EventReset(Event& event);
bool EventIsSet(Event& event);
WaitResult EventWait(Event& event, uint32_t timeoutMs);

// The system's last error code (GetLastError or errno).
uint32_t LastErrorCode();

// Milliseconds from an arbitrary fixed point; never goes back.
uint64_t MonotonicMs();

void SleepMs(uint32_t ms);

}  // namespace kiv::platform
