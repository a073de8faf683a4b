// Joinable threads with a chosen stack size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::platform {

struct Thread {
    void* impl;
};

using ThreadBody = void (*)(void* argument);

// Starts body(argument) on a new thread. stackSize 0 takes the system default. On failure
// returns false and stores the system's error number in errorCode.
bool ThreadStart(Thread& thread, ThreadBody body, void* argument, size_t stackSize,
                 uint32_t* errorCode);
// Waits for the thread to end and releases it; a thread never started is ignored.
void ThreadJoin(Thread& thread);
// Lets the thread run on by itself: it is not waited for, and what it holds of the system is
// released when it ends. A thread never started is ignored.
void ThreadDetach(Thread& thread);
bool ThreadStarted(const Thread& thread);

}  // namespace kiv::platform
