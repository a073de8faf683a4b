// Waits that end on shut-down. A pause waits on the instance's shut-down event, which wakes it
// at once; the answer wait, which waits on answerEvent, looks at the flag between short slices.
#include "instance/thread_waits.h"

#include <algorithm>

namespace kiv {

namespace {

constexpr uint32_t kSliceMs = 20;

}  // namespace

void RequestShutdown(DriverInstance& instance) {
    instance.shutdownRequested = 1;
    platform::EventSet(instance.shutdownEvent);
}

bool PauseUnlessShutdown(DriverInstance& instance, uint32_t ms) {
    if (ShutdownRequested(instance)) {
        return false;
    }
    return platform::EventWait(instance.shutdownEvent, ms) == platform::WaitResult::TimedOut &&
           !ShutdownRequested(instance);
}

void AwaitReceiver(DriverInstance& instance) {
    constexpr uint32_t kMarginMs = 2000;
    if (!instance.hasLine.load()) {
        return;  // no receiver runs (a test that drives the receiver's steps itself)
    }
    platform::EventWait(instance.receiverReady, instance.timings.receiverStartDelayMs + kMarginMs);
}

platform::WaitResult WaitForAnswer(DriverInstance& instance, uint32_t ms) {
    const uint64_t end = platform::MonotonicMs() + ms;
    for (;;) {
        const uint64_t now = platform::MonotonicMs();
        const auto slice =
            static_cast<uint32_t>(std::min<uint64_t>(end > now ? end - now : 0, kSliceMs));
        const platform::WaitResult result = platform::EventWait(instance.answerEvent, slice);
        if (result != platform::WaitResult::TimedOut) {
            return result;
        }
        if (platform::MonotonicMs() >= end || ShutdownRequested(instance)) {
            return platform::WaitResult::TimedOut;
        }
    }
}

}  // namespace kiv
