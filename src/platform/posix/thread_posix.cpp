// Joinable threads over POSIX threads.
#include <pthread.h>

#include <new>

#include "platform/thread.h"

namespace kiv::platform {

namespace {

struct PosixThread {
    pthread_t id;
};

// What the new thread runs; it frees the record itself, so that a detached thread needs
// nothing of its starter.
struct StartRecord {
    ThreadBody body;
    void* argument;
};

void* Trampoline(void* raw) {
    const StartRecord start = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    start.body(start.argument);
    return nullptr;
}

// Stacks below this are too small for the C library on Linux; a requested 4 KiB stack (the
// Windows size of the short-lived threads) is raised to it.
constexpr size_t kMinimumStack = size_t{256} * 1024;

}  // namespace

bool ThreadStart(Thread& thread, ThreadBody body, void* argument, size_t stackSize,
                 uint32_t* errorCode) {
    auto* impl = new (std::nothrow) PosixThread{};
    auto* start = new (std::nothrow) StartRecord{body, argument};
    if (impl == nullptr || start == nullptr) {
        delete impl;
        delete start;
        if (errorCode != nullptr) {
            *errorCode = 12;  // ENOMEM
        }
        return false;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attr, stackSize < kMinimumStack ? kMinimumStack : stackSize);
    }
    const int rc = pthread_create(&impl->id, &attr, Trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete impl;
        delete start;
        thread.impl = nullptr;
        if (errorCode != nullptr) {
            *errorCode = static_cast<uint32_t>(rc);
        }
        return false;
    }
    thread.impl = impl;
    return true;
}

void ThreadJoin(Thread& thread) {
    auto* impl = static_cast<PosixThread*>(thread.impl);
    if (impl == nullptr) {
        return;
    }
    pthread_join(impl->id, nullptr);
    delete impl;
    thread.impl = nullptr;
}

void ThreadDetach(Thread& thread) {
    auto* impl = static_cast<PosixThread*>(thread.impl);
    if (impl == nullptr) {
        return;
    }
    pthread_detach(impl->id);
    delete impl;
    thread.impl = nullptr;
}

bool ThreadStarted(const Thread& thread) {
    return thread.impl != nullptr;
}

}  // namespace kiv::platform
