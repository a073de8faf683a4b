// Waits that end on shut-down. They wait in short slices and look at the flag between them:
// the flag is the one signal every thread shares, and a slice is short enough for close.
#include "instance/thread_waits.h"

#include <algorithm>

namespace kiv {

namespace {

constexpr uint32_t kSliceMs = 20;

}  // namespace

bool PauseUnlessShutdown(const DriverInstance& instance, uint32_t ms) {
    const uint64_t end = platform::MonotonicMs() + ms;
    for (;;) {
        if (ShutdownRequested(instance)) {
            return false;
        }
        const uint64_t now = platform::MonotonicMs();
        if (now >= end) {
            return true;
        }
        platform::SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, kSliceMs)));
    }
}

platform::WaitResult WaitForAnswer(DriverInstance& instance, uint32_t ms) {
    const uint64_t end = platform::MonotonicMs() + ms;
    for (;;) {
        const uint64_t now = platform::MonotonicMs();
        const auto slice = static_cast<uint32_t>(std::min<uint64_t>(end > now ? end - now : 0, kSliceMs));
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
