// Joinable threads over native Win32 threads.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

#include "platform/thread.h"

namespace kiv::platform {

namespace {

struct Win32Thread {
    HANDLE handle;
};

// What the new thread runs; it frees the record itself, so that a detached thread needs
// nothing of its starter.
struct StartRecord {
    ThreadBody body;
    void* argument;
};

DWORD WINAPI Trampoline(LPVOID raw) {
    const StartRecord start = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    start.body(start.argument);
    return 0;
}

}  // namespace

bool ThreadStart(Thread& thread, ThreadBody body, void* argument, size_t stackSize,
                 uint32_t* errorCode) {
    auto* impl = new (std::nothrow) Win32Thread{nullptr};
    auto* start = new (std::nothrow) StartRecord{body, argument};
    if (impl == nullptr || start == nullptr) {
        delete impl;
        delete start;
        if (errorCode != nullptr) {
            *errorCode = ERROR_NOT_ENOUGH_MEMORY;
        }
        return false;
    }
    // Like _beginthread, the size is the initial commit; the reservation stays the default,
    // so a 4 KiB request cannot overflow.
    impl->handle = CreateThread(nullptr, stackSize, Trampoline, start, 0, nullptr);
    if (impl->handle == nullptr) {
        if (errorCode != nullptr) {
            *errorCode = GetLastError();
        }
        delete impl;
        delete start;
        thread.impl = nullptr;
        return false;
    }
    thread.impl = impl;
    return true;
}

void ThreadJoin(Thread& thread) {
    auto* impl = static_cast<Win32Thread*>(thread.impl);
    if (impl == nullptr) {
        return;
    }
    WaitForSingleObject(impl->handle, INFINITE);
    CloseHandle(impl->handle);
    delete impl;
    thread.impl = nullptr;
}

void ThreadDetach(Thread& thread) {
    auto* impl = static_cast<Win32Thread*>(thread.impl);
    if (impl == nullptr) {
        return;
    }
    CloseHandle(impl->handle);
    delete impl;
    thread.impl = nullptr;
}

bool ThreadStarted(const Thread& thread) {
    return thread.impl != nullptr;
}

}  // namespace kiv::platform
