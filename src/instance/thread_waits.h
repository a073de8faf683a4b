// The waits of the driver's threads. Every wait and pause ends promptly once shut-down is
// requested, so that close can join the threads without waiting out a long delay.
#pragma once

#include <cstdint>

#include "instance/driver_instance.h"
#include "platform/sync.h"

namespace kiv {

inline bool ShutdownRequested(const DriverInstance& instance) {
    return instance.shutdownRequested.load() != 0;
}

// Asks every thread of the instance to end: sets shutdownRequested and wakes every pause.
void RequestShutdown(DriverInstance& instance);

// Pauses for 'ms'; true when the whole pause passed, false as soon as shut-down is requested
// (at once when it already was).
bool PauseUnlessShutdown(DriverInstance& instance, uint32_t ms);

// Waits until the receiver reads the line (it begins after its start delay): an answer sent for
// before that would wait unread. At most the start delay and two seconds.
void AwaitReceiver(DriverInstance& instance);

// Waits up to 'ms' for answerEvent. A wait cut short by shut-down ends as a time-out: the answer
// did not come.
platform::WaitResult WaitForAnswer(DriverInstance& instance, uint32_t ms);

}  // namespace kiv
