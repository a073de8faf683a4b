// The send-and-wait attempt shared by every transaction.
#include "link/transaction.h"
#include "instance/monitor.h"

#include <cstdint>

#include "instance/instance_sync.h"
#include "instance/thread_waits.h"
#include "link/frame_codec.h"
#include "platform/sync.h"

namespace kiv {

Attempt SendAndAwait(DriverInstance& instance, const char* frame, size_t length, AnswerMode mode,
                     int32_t expectedAnswer, uint32_t waitMs, ResetFailureLog logResetFailure) {
    AwaitReceiver(instance);
    instance.uploadAckSeen = 0;
    instance.uploadDataSeen = 0;
    {
        const PortLockGuard lock(instance);
        if (!platform::EventReset(instance.answerEvent) && logResetFailure != nullptr) {
            logResetFailure(platform::LastErrorCode());
        }
        if (mode == kAnswerData) {
            instance.expectedAnswer = expectedAnswer;
        }
        if (ShutdownRequested(instance)) {
            return {AttemptResult::kShutDown, 0};
        }
        if (SendFrame(instance, frame, length, mode) != SendResult::kSent) {
            return {AttemptResult::kSendFailed, 0};
        }
    }
    switch (WaitForAnswer(instance, waitMs)) {
    case platform::WaitResult::Signalled:
    case platform::WaitResult::Abandoned: return {AttemptResult::kAnswered, 0};
    case platform::WaitResult::TimedOut:
        // A wait that shut-down cut short is no time-out of the line.
        return {ShutdownRequested(instance) ? AttemptResult::kShutDown : AttemptResult::kTimedOut,
                0};
    case platform::WaitResult::Failed: break;
    }
    return {AttemptResult::kWaitFailed, platform::LastErrorCode()};
}

AttemptResult SendWithRetries(DriverInstance& instance, const char* frame, size_t length,
                              uint32_t waitMs, const AttemptLines& lines) {
    constexpr int kAttempts = 3;
    constexpr uint32_t kPauseAfterTimeoutMs = 100;
    AttemptResult last = AttemptResult::kShutDown;  // what a loop that sends nothing comes to
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0 && ShutdownRequested(instance)) {
            break;
        }
        const Attempt outcome =
            SendAndAwait(instance, frame, length, kAnswerAck, 0, waitMs, lines.resetFailed);
        MonitorAttempt(instance, frame, length, attempt, static_cast<int32_t>(outcome.result));
        instance.answerMode = kAnswerNone;
        switch (outcome.result) {
        case AttemptResult::kAnswered: return AttemptResult::kAnswered;
        case AttemptResult::kShutDown: return AttemptResult::kShutDown;
        case AttemptResult::kWaitFailed: lines.waitFailed(outcome.systemError); break;
        case AttemptResult::kTimedOut:
            lines.timedOut();
            PauseUnlessShutdown(instance, kPauseAfterTimeoutMs);
            break;
        case AttemptResult::kSendFailed:
            if (instance.portLost.load()) {
                return AttemptResult::kSendFailed;  // no attempt can go out until it is back
            }
            PauseUnlessShutdown(instance, kPauseAfterTimeoutMs);
            break;
        }
        last = outcome.result;
    }
    return last;
}

uint32_t AnswerWaitMs(const DriverInstance& instance, AnswerWait kind) {
    const int32_t units = instance.answerTimeoutUnit.load();
    if (units <= 0) {
        return 0;
    }
    const uint64_t ms = static_cast<uint64_t>(units) * static_cast<uint32_t>(kind);
    return ms < UINT32_MAX ? static_cast<uint32_t>(ms) : UINT32_MAX - 1;
}

}  // namespace kiv
