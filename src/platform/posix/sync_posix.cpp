// Locks, events and time over POSIX threads. An event also keeps a descriptor that is readable
// while it is set, so that the wait for input on a port can end on it (posix/event_fd.h).
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/posix/event_fd.h"
#include "platform/sync.h"

namespace kiv::platform {

namespace {

struct PosixEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
    int fd;  // an eventfd whose count is 1 while the event is set, 0 while it is clear
};

timespec DeadlineAfter(uint32_t timeoutMs) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + (timeoutMs % 1000U) * 1000000ULL;
    now.tv_sec += static_cast<time_t>(timeoutMs / 1000U + ns / 1000000000ULL);
    now.tv_nsec = static_cast<long>(ns % 1000000000ULL);
    return now;
}

}  // namespace

bool LockInit(Lock& lock) {
    auto* mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex == nullptr || pthread_mutex_init(mutex, nullptr) != 0) {
        delete mutex;
        lock.impl = nullptr;
        return false;
    }
    lock.impl = mutex;
    return true;
}

void LockDestroy(Lock& lock) {
    auto* mutex = static_cast<pthread_mutex_t*>(lock.impl);
    if (mutex != nullptr) {
        pthread_mutex_destroy(mutex);
        delete mutex;
    }
    lock.impl = nullptr;
}

void LockEnter(Lock& lock) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(lock.impl));
}
void LockLeave(Lock& lock) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(lock.impl));
}
bool LockIsInitialised(const Lock& lock) {
    return lock.impl != nullptr;
}

uint32_t WaitResultCode(WaitResult result) {
    switch (result) {
    case WaitResult::Signalled: return 0x00000000U;
    case WaitResult::Abandoned: return 0x00000080U;
    case WaitResult::TimedOut: return 0x00000102U;
    case WaitResult::Failed: return 0xFFFFFFFFU;
    }
    return 0xFFFFFFFFU;
}

bool EventCreate(Event& event, const char* /*name*/) {
    auto* impl = new (std::nothrow) PosixEvent{};
    if (impl == nullptr) {
        event.impl = nullptr;
        return false;
    }
    impl->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const bool ok = impl->fd >= 0 && pthread_mutex_init(&impl->mutex, nullptr) == 0 &&
                    pthread_cond_init(&impl->cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!ok) {
        if (impl->fd >= 0) {
            close(impl->fd);
        }
        delete impl;
        event.impl = nullptr;
        errno = EAGAIN;
        return false;
    }
    event.impl = impl;
    return true;
}

void EventClose(Event& event) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    if (impl != nullptr) {
        pthread_cond_destroy(&impl->cond);
        pthread_mutex_destroy(&impl->mutex);
        close(impl->fd);
        delete impl;
    }
    event.impl = nullptr;
}

bool EventSet(Event& event) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    if (impl == nullptr) {
        errno = EINVAL;
        return false;
    }
    pthread_mutex_lock(&impl->mutex);
    if (!impl->signalled) {
        const uint64_t one = 1;
        (void)!write(impl->fd, &one, sizeof one);
    }
    impl->signalled = true;
    pthread_cond_broadcast(&impl->cond);
    pthread_mutex_unlock(&impl->mutex);
    return true;
}

bool EventReset(Event& event) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    if (impl == nullptr) {
        errno = EINVAL;
        return false;
    }
    pthread_mutex_lock(&impl->mutex);
    if (impl->signalled) {
        uint64_t count = 0;
        (void)!read(impl->fd, &count, sizeof count);
    }
    impl->signalled = false;
    pthread_mutex_unlock(&impl->mutex);
    return true;
}

bool EventIsSet(Event& event) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    if (impl == nullptr) {
        return false;
    }
    pthread_mutex_lock(&impl->mutex);
    const bool set = impl->signalled;
    pthread_mutex_unlock(&impl->mutex);
    return set;
}

WaitResult EventWait(Event& event, uint32_t timeoutMs) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    if (impl == nullptr) {
        errno = EINVAL;
        return WaitResult::Failed;
    }
    const timespec deadline = DeadlineAfter(timeoutMs);
    pthread_mutex_lock(&impl->mutex);
    int rc = 0;
    while (!impl->signalled && rc == 0) {
        rc = pthread_cond_timedwait(&impl->cond, &impl->mutex, &deadline);
    }
    const bool signalled = impl->signalled;
    pthread_mutex_unlock(&impl->mutex);
    if (signalled) {
        return WaitResult::Signalled;
    }
    if (rc == ETIMEDOUT) {
        return WaitResult::TimedOut;
    }
    errno = rc;
    return WaitResult::Failed;
}

int EventWaitFd(Event& event) {
    auto* impl = static_cast<PosixEvent*>(event.impl);
    return impl != nullptr ? impl->fd : -1;
}

uint32_t LastErrorCode() {
    return static_cast<uint32_t>(errno);
}

uint64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 1000000ULL;
}

void SleepMs(uint32_t ms) {
    timespec request{static_cast<time_t>(ms / 1000U), static_cast<long>(ms % 1000U) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

}  // namespace kiv::platform
