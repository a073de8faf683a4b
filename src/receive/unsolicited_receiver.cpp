// The receiver thread and its handling of each frame.
#include "receive/unsolicited_receiver.h"

#include <cstring>

#include "instance/thread_waits.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"
#include "receive/event_files.h"
#include "receive/event_report.h"
#include "receive/report_text.h"
#include "receive/status_report.h"

namespace kiv {

namespace {

bool IsUploadLine(MessageKind kind) {
    return kind == kKindUploadA || kind == kKindUploadT || kind == kKindUploadS;
}

void SignalAnswer(DriverInstance& instance) {
    if (!platform::EventSet(instance.answerEvent)) {
        err(32, "RIRODI: UnsolThread() error, SetEvent() failed, err %u",
            static_cast<unsigned>(platform::LastErrorCode()));
    }
}

void FileUploadLine(DriverInstance& instance, const char* failure) {
    if (instance.uploadSetupRunning.load() == 1 &&
        !AppendUploadRecord(instance, instance.rxBuffer, static_cast<size_t>(instance.rxLength))) {
        err(32, "%s", failure);
    }
}

void EndUpload(DriverInstance& instance) {
    instance.uploadSetupRunning = 0;
    instance.setupFileState = 0;  // the next upload starts a fresh file
}

// Files an event in the event log and keeps its text for INPUT; publishes its tags when
// 'publish' is set.
void HandleEvent(DriverInstance& instance, bool publish) {
    char text[kEventTextSize];
    CopyWorkText(instance.rxBuffer, static_cast<size_t>(instance.rxLength), true, text);
    {
        // Host threads read it through INPUT.
        const platform::LockGuard guard(instance.textLock);
        std::memcpy(instance.lastEventText, text, sizeof text);
    }
    if (!AppendEventRecord(instance, instance.rxBuffer, static_cast<size_t>(instance.rxLength))) {
        err(32, "RIRODI: There is a problem with writting Event information into file!");
    }
    if (publish) {
        PublishEvent(instance, ParseEvent(text));
    }
}

// The controller whose poll waits for a status, the highest first; its flag is cleared. -1 when
// no poll waits.
int TakePolledController(DriverInstance& instance) {
    for (int controller = kControllerCount - 1; controller >= 0; --controller) {
        if (instance.pollPending[controller].load() == 1) {
            instance.pollPending[controller] = 0;
            return controller;
        }
    }
    return -1;
}

void HandleUnasked(DriverInstance& instance, MessageKind kind) {
    if (kind == kKindStatusReport) {
        const int controller = TakePolledController(instance);
        // A report nobody asked for names no controller, so it changes no tag.
        if (controller >= 0) {
            PublishStatusReport(
                instance, controller,
                ParseStatusReport(instance.rxBuffer, static_cast<size_t>(instance.rxLength)));
        }
        return;
    }
    SendAcknowledgement(instance);
    if (kind == kKindEvent) {
        HandleEvent(instance, true);
    } else if (IsUploadLine(kind)) {
        FileUploadLine(
            instance,
            "RIRODI: There is a problem with writting UploadSetup information into file!");
    } else if (kind == kKindEndOfUpload) {
        EndUpload(instance);
    }
}

void HandleDuringDataAnswer(DriverInstance& instance, MessageKind kind) {
    if (kind == kKindAcknowledgement) {
        instance.uploadAckSeen = 1;
    } else if (kind == kKindDataAnswer) {
        // The answer is kept when it comes, whichever of the pair comes second: the waiting
        // transaction must read this answer, not the one of an earlier command.
        const auto length = static_cast<size_t>(instance.rxLength);
        std::memset(instance.answerCopy, 0, sizeof instance.answerCopy);
        std::memcpy(instance.answerCopy, instance.rxBuffer,
                    length < kFrameCapacity ? length : kFrameCapacity);
        instance.uploadDataSeen = 1;
    } else {
        SendAcknowledgement(instance);
        if (kind == kKindEvent) {
            HandleEvent(instance, false);
        } else if (IsUploadLine(kind)) {
            FileUploadLine(instance, "RIRODI: There is problem for writing UploadSetup");
        } else if (kind == kKindEndOfUpload) {
            EndUpload(instance);
        }
    }
    if (instance.uploadAckSeen.load() == 1 && instance.uploadDataSeen.load() == 1) {
        instance.uploadAckSeen = 0;
        instance.uploadDataSeen = 0;
        SignalAnswer(instance);
    }
}

// One cycle: a frame received, classified and handled, all under the port lock. An invalid
// frame is logged after the lock is released (only this thread writes rxBuffer).
void RunCycle(DriverInstance& instance) {
    {
        const platform::LockGuard lock(instance.portLock);
        const size_t count = ReceiveFrame(instance, instance.rxBuffer);
        if (count == 0) {
            return;
        }
        instance.rxLength = static_cast<int16_t>(count);
        if (const std::optional<MessageKind> kind =
                ClassifyFrame(instance, instance.rxBuffer, count)) {
            HandleFrame(instance, *kind);
            return;
        }
    }
    err(32, "RIRODI: Illegal message was received '%s'", instance.rxBuffer);
}

}  // namespace

void HandleFrame(DriverInstance& instance, MessageKind kind) {
    switch (instance.answerMode.load()) {
    case kAnswerAck:
        if (kind == kKindAcknowledgement) {
            SignalAnswer(instance);
        }
        break;
    case kAnswerData: HandleDuringDataAnswer(instance, kind); break;
    default: HandleUnasked(instance, kind); break;
    }
}

void UnsolThread(void* argument) {
    auto& instance = *static_cast<DriverInstance*>(argument);
    {
        const platform::LockGuard lock(instance.portLock);
        platform::PurgeInput(instance.port);
    }
    PauseUnlessShutdown(instance, instance.timings.receiverStartDelayMs);
    platform::EventSet(instance.receiverReady);
    err(32, "RIRODI: Start of Unsolicited Thread");
    while (!ShutdownRequested(instance)) {
        if (!PauseUnlessShutdown(instance, instance.timings.receiverCycleMs)) {
            break;
        }
        RunCycle(instance);
    }
    err(32, "RIRODI: End of Unsolicited Thread");
}

}  // namespace kiv
