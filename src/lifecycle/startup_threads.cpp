// The event-format command and the controller poll.
#include "lifecycle/startup_threads.h"
#include "instance/monitor.h"

#include <cstdio>
#include <cstring>

#include "instance/instance_sync.h"
#include "instance/thread_waits.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link/transaction.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// The poll waits one step and then up to three more while the controller has not answered.
constexpr int kPollSteps = 4;

const AttemptLines kEventFormatLines = {
    [](uint32_t error) {
        err(32, "RIRODI: EventV_Format() error, ResetEvent() failed, err %u", error);
    },
    [](uint32_t /*error*/) { err(32, "RIRODI: EventV_Format() error, waiting for semaphore"); },
    [] { err(32, "RIRODI: EventV_Format() error, time-out waiting for answer"); },
};

// Finishes LF ";" and the text into a frame in the buffer; returns its length.
size_t BuildFrame(char (&frame)[kFrameBufferSize], const char* text) {
    std::memset(frame, 0, sizeof frame);
    std::snprintf(frame, sizeof frame, "\n;%s", text);
    return FinishFrame(frame, kFrameCapacity);
}

}  // namespace

void SendEventFormat(void* argument) {
    auto& instance = *static_cast<DriverInstance*>(argument);
    MonitorThread(instance);
    char frame[kFrameBufferSize];
    const size_t length = BuildFrame(frame, "S V,Y");

    const platform::LockGuard transaction(instance.transactionLock);
    std::memcpy(instance.txBuffer, frame, sizeof frame);
    const AttemptResult result =
        SendWithRetries(instance, instance.txBuffer, length,
                        AnswerWaitMs(instance, AnswerWait::kCommand), kEventFormatLines);
    // Stopped by shut-down before a frame went out: nothing failed on the line.
    if (result != AttemptResult::kAnswered && result != AttemptResult::kShutDown) {
        err(32, "RIRODI: EventV_Format() error,  Ack wasn't received");
    }
}

void PollControllers(void* argument) {
    auto& instance = *static_cast<DriverInstance*>(argument);
    MonitorThread(instance);
    if (!PauseUnlessShutdown(instance, instance.timings.pollDelayMs)) {
        return;
    }
    for (int controller = 0; controller < kControllerCount; ++controller) {
        char frame[kFrameBufferSize];
        char text[16];
        if (controller == 0) {
            std::snprintf(text, sizeof text, "S Q");
        } else {
            std::snprintf(text, sizeof text, ">%dS Q", controller);
        }
        const size_t length = BuildFrame(frame, text);

        const platform::LockGuard transaction(instance.transactionLock);
        std::atomic<int32_t>& pending = instance.pollPending[controller];
        {
            const PortLockGuard lock(instance);
            if (ShutdownRequested(instance)) {
                return;  // no frame once shut-down is requested
            }
            pending = 1;
            std::memcpy(instance.txBuffer, frame, sizeof frame);
            SendFrame(instance, instance.txBuffer, length);
        }
        bool waited = true;
        for (int step = 0; step < kPollSteps && waited && (step == 0 || pending.load() == 1);
             ++step) {
            waited = PauseUnlessShutdown(instance, instance.timings.pollStepMs);
        }
        if (!waited) {
            return;  // shut-down: no verdict on a controller whose wait was cut short
        }
        if (pending.load() == 1) {
            MonitorPollSilent(instance, controller);
            err(32, "RIRODI: Initialize() error, controler %i not answer", controller);
        }
    }
}

}  // namespace kiv
