// The receiver thread and its handling of each frame.
#include "receive/unsolicited_receiver.h"
#include "instance/monitor.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "instance/thread_waits.h"
#include "link/instance_port.h"
#include "link/line_echo.h"
#include "link/line_input.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"
#include "receive/event_files.h"
#include "receive/event_report.h"
#include "receive/incoming_tags.h"
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

// The answer the transaction awaits has come: what follows it is unasked (the transaction sets
// the same once it wakes; a frame that follows at once must not find the old mode), and the
// transaction is woken.
void AnswerCame(DriverInstance& instance) {
    instance.answerMode = kAnswerNone;
    SignalAnswer(instance);
}

// Whether an upload takes the line: one that runs, or one asked for whose acknowledgement was
// lost, while its lines come within the stall bound (the controller took the request).
bool UploadTakesLine(DriverInstance& instance, uint64_t now) {
    int32_t state = instance.uploadSetupRunning.load();
    if (state == kUploadUnconfirmed &&
        now - instance.uploadAliveAt.load() < instance.timings.uploadStallMs) {
        instance.uploadSetupRunning.compare_exchange_strong(state, kUploadRunning);
        state = instance.uploadSetupRunning.load();
    }
    return state == kUploadRunning;
}

void FileUploadLine(DriverInstance& instance, const char* failure) {
    const uint64_t now = platform::MonotonicMs();
    if (!UploadTakesLine(instance, now)) {
        return;
    }
    instance.uploadAliveAt = now;
    if (!AppendUploadRecord(instance, instance.rxBuffer, static_cast<size_t>(instance.rxLength))) {
        err(32, "%s", failure);
    }
}

void EndUpload(DriverInstance& instance) {
    instance.uploadSetupRunning = kUploadNone;
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
        PublishEvent(instance, ParseEvent(text), text);
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

void PublishReport(DriverInstance& instance, int controller) {
    if (controller >= 0 && controller < kControllerCount) {
        PublishStatusReport(
            instance, controller,
            ParseStatusReport(instance.rxBuffer, static_cast<size_t>(instance.rxLength)));
    }
}

void HandleUnasked(DriverInstance& instance, MessageKind kind) {
    if (kind == kKindAcknowledgement) {
        // A late answer of a command that gave up, or a controller's acknowledgement of a frame
        // that awaits none (the poll's query). Acknowledging it would tell a controller that its
        // oldest frame had come, which it has not.
        err(8,
            "RIRODI: an acknowledgement came while no command awaited one; it is not "
            "acknowledged");
        return;
    }
    if (kind == kKindStatusReport) {
        // Outside an xFSTAT's report window a report goes to the poll's choice; one nobody asked
        // for names no controller, so it changes no tag.
        PublishReport(instance, TakePolledController(instance));
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

// An xFSTAT's acknowledgement came: its status report is awaited next (the report may follow
// at once, before the waiting command has woken).
void HandleStatusAck(DriverInstance& instance, MessageKind kind) {
    if (kind == kKindAcknowledgement) {
        instance.answerMode = kAnswerStatus;
        SignalAnswer(instance);
    }
}

// The report that comes while an acknowledged xFSTAT waits is its answer, and goes to the
// controller it asked; anything else is handled as unasked.
void HandleDuringStatusWait(DriverInstance& instance, MessageKind kind) {
    if (kind != kKindStatusReport) {
        HandleUnasked(instance, kind);
        return;
    }
    PublishReport(instance, instance.statusAskedOf.load());
    AnswerCame(instance);
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
        AnswerCame(instance);
    }
}

// The longest the receiver lets a waiting sender go first between two frames.
constexpr uint64_t kLetSendersInMs = 20;

enum class Input {
    kThere,       // input is there (or read already and not yet taken): take it
    kQuiet,       // nothing came, or the wait was woken: wait again
    kNoLine,      // no port (closed by the host, or lost): pause before the next look
    kLineFailed,  // the line's device is gone
};

struct Awaited {
    Input input;
    uint32_t generation;  // kLineFailed: the port that failed, and why
    uint32_t systemError;
};

// Waits for input on the port without holding the port lock (readers and writers go on), beside
// the shut-down event; a close of the port ends the wait too.
Awaited AwaitInput(DriverInstance& instance) {
    platform::PortHandle port = nullptr;
    uint32_t generation = 0;
    {
        const platform::LockGuard lock(instance.portLock);
        if (HasInput(instance.lineInput)) {
            return {Input::kThere, 0, 0};  // the last read brought the next frame's beginning
        }
        if (!platform::BeginInputWait(instance.port)) {
            return {Input::kNoLine, 0, 0};
        }
        port = instance.port;
        generation = instance.portGeneration;
    }
    uint32_t error = 0;
    switch (platform::WaitForInput(port, instance.shutdownEvent,
                                   instance.timings.receiverQuietWaitMs, &error)) {
    case platform::InputWait::kReadable: return {Input::kThere, 0, 0};
    case platform::InputWait::kTimedOut:
    case platform::InputWait::kWoken: return {Input::kQuiet, 0, 0};
    case platform::InputWait::kFailed: break;
    }
    return {Input::kLineFailed, generation, error};
}

// Between two frames: lets the threads that wait for the port lock take it first.
void LetSendersIn(DriverInstance& instance) {
    const uint64_t bound = platform::MonotonicMs() + kLetSendersInMs;
    while (instance.portLockWanted.load() > 0 && platform::MonotonicMs() < bound) {
        std::this_thread::yield();
    }
}

enum class Taken {
    kNone,        // nothing was there
    kHandled,     // a valid frame was handled (or the echo of one of the driver's passed over)
    kInvalid,     // an invalid frame is in rxBuffer
    kLineFailed,  // the read failed: the line's device is gone
};

// Receives the frame that is there (or arriving: it is let finish) and handles it. The caller
// holds portLock.
Taken TakeFrame(DriverInstance& instance, uint32_t& lineFailure) {
    lineFailure = 0;
    const size_t count = ReceiveFrame(instance, instance.rxBuffer, 0, &lineFailure);
    if (count == 0) {
        return lineFailure != 0 ? Taken::kLineFailed : Taken::kNone;
    }
    if (TakeEcho(instance, instance.rxBuffer, count)) {
        return Taken::kHandled;
    }
    instance.rxLength = static_cast<int16_t>(count);
    MonitorFrame(instance, KIV_MON_FRAME_RECEIVED, instance.rxBuffer, count);
    PublishIncoming(instance, instance.rxBuffer, count);
    const std::optional<MessageKind> kind = ClassifyFrame(instance.rxBuffer, count);
    if (!kind.has_value()) {
        MonitorFrame(instance, KIV_MON_ILLEGAL_FRAME, instance.rxBuffer, count);
        return Taken::kInvalid;
    }
    HandleFrame(instance, *kind);
    return Taken::kHandled;
}

void LogInvalidFrame(const char* frame) {
    err(32, "RIRODI: Illegal message was received '%s'", frame);
}

// Receives, classifies and handles the frame the port holds, and each that the same read brought,
// one frame per hold of the port lock. An invalid frame is logged after the lock is released, from
// a copy; a line that failed is given up (LoseInstancePort).
void HandleArrivedFrames(DriverInstance& instance) {
    while (!ShutdownRequested(instance)) {
        char invalid[kFrameBufferSize];
        invalid[0] = '\0';
        uint32_t lineFailure = 0;
        bool failed = false;
        bool held = false;  // the last read brought the next frame's beginning
        uint32_t generation = 0;
        {
            const platform::LockGuard lock(instance.portLock);
            generation = instance.portGeneration;
            switch (TakeFrame(instance, lineFailure)) {
            case Taken::kNone: return;
            case Taken::kHandled: break;
            case Taken::kInvalid: std::memcpy(invalid, instance.rxBuffer, sizeof invalid); break;
            case Taken::kLineFailed: failed = true; break;
            }
            held = HasInput(instance.lineInput);
        }
        if (failed) {
            LoseInstancePort(instance, generation, lineFailure);
            return;
        }
        if (invalid[0] != '\0') {
            LogInvalidFrame(invalid);
        }
        LetSendersIn(instance);
        if (!held) {
            return;  // the wait for input sees at once what came meanwhile: no look of its own
        }
    }
}

// While the port is lost, the receiver tries to open it again: first after kReopenFirstMs, then
// twice as long after each failed try, at most kReopenLongestMs apart.
constexpr uint32_t kReopenFirstMs = 100;
constexpr uint32_t kReopenLongestMs = 2000;

// Drops what the line holds and what was read of it.
void DropInput(DriverInstance& instance) {
    const platform::LockGuard lock(instance.portLock);
    ClearInput(instance.lineInput);
    platform::PurgeInput(instance.port);
}

}  // namespace

void HandleFrame(DriverInstance& instance, MessageKind kind) {
    switch (instance.answerMode.load()) {
    case kAnswerAck:
        if (kind == kKindAcknowledgement) {
            AnswerCame(instance);
        }
        break;
    case kAnswerData: HandleDuringDataAnswer(instance, kind); break;
    case kAnswerAckThenStatus: HandleStatusAck(instance, kind); break;
    case kAnswerStatus: HandleDuringStatusWait(instance, kind); break;
    default: HandleUnasked(instance, kind); break;
    }
}

void SettleArrivedInput(DriverInstance& instance) {
    for (int frame = 0; frame < kSettleFrameLimit; ++frame) {
        uint32_t lineFailure = 0;
        const Taken taken = TakeFrame(instance, lineFailure);
        if (taken == Taken::kNone || taken == Taken::kLineFailed) {
            return;  // a failed line is the receiver's to handle
        }
        if (taken == Taken::kInvalid) {
            LogInvalidFrame(instance.rxBuffer);
        }
    }
}

void RunReceiver(void* argument) {
    auto& instance = *static_cast<DriverInstance*>(argument);
    MonitorThread(instance);
    DropInput(instance);
    PauseUnlessShutdown(instance, instance.timings.receiverStartDelayMs);
    // Again after the delay: a controller sends an event again until it is acknowledged, and an
    // acknowledgement names no event. Copies that waited through the delay, taken now, would
    // each be filed, and their acknowledgements taken for the events after them (lost). The
    // copy sent from now on is taken at once.
    DropInput(instance);
    platform::EventSet(instance.receiverReady);
    err(32, "RIRODI: Start of Unsolicited Thread");
    uint32_t reopenPauseMs = kReopenFirstMs;
    while (!ShutdownRequested(instance)) {
        const Awaited awaited = AwaitInput(instance);
        switch (awaited.input) {
        case Input::kThere: HandleArrivedFrames(instance); break;
        case Input::kQuiet: break;
        case Input::kLineFailed:
            LoseInstancePort(instance, awaited.generation, awaited.systemError);
            break;
        case Input::kNoLine:
            if (!instance.portLost.load()) {
                PauseUnlessShutdown(instance, instance.timings.receiverCycleMs);
                reopenPauseMs = kReopenFirstMs;
            } else if (PauseUnlessShutdown(instance, reopenPauseMs)) {
                reopenPauseMs = ReopenLostPort(instance)
                                    ? kReopenFirstMs
                                    : std::min(reopenPauseMs * 2, kReopenLongestMs);
            }
            break;
        }
    }
    err(32, "RIRODI: End of Unsolicited Thread");
}

}  // namespace kiv
