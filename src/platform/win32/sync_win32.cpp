// Locks, events and time over Win32.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

#include "platform/sync.h"

namespace kiv::platform {

bool LockInit(Lock& lock) {
    auto* section = new (std::nothrow) CRITICAL_SECTION;
    if (section == nullptr) {
        lock.impl = nullptr;
        return false;
    }
    InitializeCriticalSection(section);
    lock.impl = section;
    return true;
}

void LockDestroy(Lock& lock) {
    auto* section = static_cast<CRITICAL_SECTION*>(lock.impl);
    if (section != nullptr) {
        DeleteCriticalSection(section);
        delete section;
    }
    lock.impl = nullptr;
}

void LockEnter(Lock& lock) {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(lock.impl));
}
void LockLeave(Lock& lock) {
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(lock.impl));
}
bool LockIsInitialised(const Lock& lock) {
    return lock.impl != nullptr;
}

uint32_t WaitResultCode(WaitResult result) {
    switch (result) {
    case WaitResult::Signalled: return WAIT_OBJECT_0;
    case WaitResult::Abandoned: return WAIT_ABANDONED;
    case WaitResult::TimedOut: return WAIT_TIMEOUT;
    case WaitResult::Failed: return WAIT_FAILED;
    }
    return WAIT_FAILED;
}

bool EventCreate(Event& event, const char* name) {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, name);
    event.impl = handle;
    return handle != nullptr;
}

void EventClose(Event& event) {
    if (event.impl != nullptr) {
        CloseHandle(static_cast<HANDLE>(event.impl));
    }
    event.impl = nullptr;
}

bool EventSet(Event& event) {
    return SetEvent(static_cast<HANDLE>(event.impl)) != 0;
}
bool EventReset(Event& event) {
    return ResetEvent(static_cast<HANDLE>(event.impl)) != 0;
}

bool EventIsSet(Event& event) {
    return event.impl != nullptr &&
           WaitForSingleObject(static_cast<HANDLE>(event.impl), 0) == WAIT_OBJECT_0;
}

WaitResult EventWait(Event& event, uint32_t timeoutMs) {
    switch (WaitForSingleObject(static_cast<HANDLE>(event.impl), timeoutMs)) {
    case WAIT_OBJECT_0: return WaitResult::Signalled;
    case WAIT_ABANDONED: return WaitResult::Abandoned;
    case WAIT_TIMEOUT: return WaitResult::TimedOut;
    default: return WaitResult::Failed;
    }
}

uint32_t LastErrorCode() {
    return GetLastError();
}

uint64_t MonotonicMs() {
    return GetTickCount64();
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

}  // namespace kiv::platform
