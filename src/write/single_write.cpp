// SingleWrite: the dispatch of a write and the command transactions.
#include "write/single_write.h"
#include "instance/monitor.h"

#include <cstring>

#include "instance/driver_instance.h"
#include "instance/host_tags.h"
#include "instance/instance_sync.h"
#include "instance/thread_waits.h"
#include "link/frame_codec.h"
#include "link/transaction.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"
#include "receive/badge_database.h"
#include "receive/incoming_tags.h"
#include "tags/address_grammar.h"
#include "tags/command_composer.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "write/command_list_file.h"
#include "write/download_thread.h"
#include "write/setup_staging.h"

namespace kiv {

// The monitoring interface numbers an attempt's outcome as the link does.
static_assert(static_cast<int>(AttemptResult::kAnswered) == KIV_MON_ANSWERED &&
              static_cast<int>(AttemptResult::kWaitFailed) == KIV_MON_WAIT_FAILED &&
              static_cast<int>(AttemptResult::kTimedOut) == KIV_MON_TIMED_OUT &&
              static_cast<int>(AttemptResult::kShutDown) == KIV_MON_SHUT_DOWN &&
              static_cast<int>(AttemptResult::kSendFailed) == KIV_MON_SEND_FAILED);

namespace {

constexpr int kAttempts = 3;
constexpr uint32_t kPauseMs = 100;

// What a transaction came to; the numbers are the host's results.
enum class Outcome : int32_t {
    kDone = KIV_OK,
    kBadAnswer = KIV_REJECTED,  // the key answer was rejected
    kFailed = KIV_FAILED,       // no answer, or shut-down stopped it
};

// The write as SingleWrite sees it.
struct Write {
    DriverInstance& instance;
    KivRequest& request;
    const GateAccess& gate;
    char upper[kAddressCopySize];  // the address upper-cased: every name test uses it
    ShownAddress shown;            // the address as given, bounded, for log lines
};

// What a command uses of the staged values and the holder's names, taken once at its start: the
// key query, the key record and the badge database line of one write always name one badge,
// whatever other host threads stage meanwhile.
struct CommandSnapshot {
    SetupStage stage;
    BadgeHolder holder;  // FADDK: the names the badge database line gets
    bool namesRead;      // false when a name tag could not be read (FADDK only)
};

bool Is(const Write& write, const char* name) {
    return std::strcmp(write.upper, name) == 0;
}

// The six characters after the controller digit of a command tag.
bool IsCommandOption(const Write& write, const char* keywordAndOption) {
    return std::strncmp(write.upper + 1, keywordAndOption, 6) == 0 && write.upper[7] == '\0';
}

bool IsCommandTag(const Write& write) {
    return write.upper[0] >= '0' && write.upper[0] <= '7' &&
           FindKeyword(write.upper + 1, kCommandKeywords, nullptr) &&
           write.gate.operation >= kFirstCommandOp && write.gate.operation <= kLastCommandOp;
}

// PBINM and PBIN2: the text must not hold the characters that separate the fields of a badge
// line.
int32_t CheckName(const Write& write, bool second) {
    if (write.gate.dataType != KIV_TYPE_STRING) {
        err(32, "RIRODI: %s takes a text, its tag is not of STRING type, GAS %s",
            second ? "PBIN2" : "PBINM", write.shown.text);
        return KIV_REJECTED;
    }
    char text[kTextValueSize];
    CopyGateText(write.gate, text);
    if (std::strpbrk(text, ".;,@") == nullptr) {
        return KIV_OK;
    }
    if (second) {
        err(32, "RIRODI:   . ; , @ not allowed at name %s", text);
    } else {
        err(32, "RIRODI:  . ; , @ not allowed at name  %s", text);
    }
    return KIV_REJECTED;
}

bool ValueIsOne(const Write& write) {
    if (GateNumber(write.gate) == 1) {
        return true;
    }
    err(32, "RIRODI: write value for operation tags has to be 1, GAS %s", write.shown.text);
    return false;
}

// A write that reaches the line after shut-down was requested (close has begun, or the host
// signalled shut-down) sends nothing.
int32_t RefuseShuttingDown(const Write& write) {
    err(32, "RIRODI: SingleWrite() stopped, the instance is shutting down, GAS %s",
        write.shown.text);
    return KIV_FAILED;
}

void LogSingleWriteResetFailure(uint32_t error) {
    err(32, "RIRODI: SingleWrite() error, ResetEvent() failed, err %u", error);
}

// Logs a failed attempt (a failed send is logged by the send); pauses after a time-out or a
// failed send.
void LogFailedAttempt(Write& write, const Attempt& attempt) {
    if (attempt.result == AttemptResult::kWaitFailed) {
        err(32, "RIRODI: SingleWrite() error, waiting for semaphore, err %u, '%s'",
            attempt.systemError, write.shown.text);
        return;
    }
    if (attempt.result == AttemptResult::kTimedOut) {
        err(32, "RIRODI: SingleWrite() error, time-out waiting for answer, '%s'", write.shown.text);
    }
    PauseUnlessShutdown(write.instance, kPauseMs);
}

// The data answer of a key query: acknowledged, then checked. The copy is taken under the port
// lock, where the receiver writes it.
Outcome TakeKeyAnswer(Write& write) {
    DriverInstance& instance = write.instance;
    char answer[kFrameBufferSize] = {};
    {
        const PortLockGuard lock(instance);
        std::memcpy(answer, instance.answerCopy, kFrameCapacity);
        SendAcknowledgement(instance);
    }
    return CheckKeyAnswer(write.request, answer, std::strlen(answer)) == KeyAnswerCheck::kAccepted
               ? Outcome::kDone
               : Outcome::kBadAnswer;
}

// An acknowledged xFSTAT keeps the line until its status report has come (the receiver hands it
// to the controller asked) or its answer time has passed, so that the report of one query is
// never taken for another's. The caller holds transactionLock.
void AwaitStatusReport(DriverInstance& instance) {
    {
        const PortLockGuard lock(instance);
        if (instance.answerMode.load() != kAnswerStatus) {
            return;  // it came with the acknowledgement
        }
        if (!platform::EventReset(instance.answerEvent)) {
            LogSingleWriteResetFailure(platform::LastErrorCode());
        }
    }
    WaitForAnswer(instance, AnswerWaitMs(instance, AnswerWait::kCommand));
}

// A new upload begins its setup file anew, whatever an earlier one that was given up left in it.
void BeginUploadFile(DriverInstance& instance) {
    const PortLockGuard lock(instance);
    instance.setupFileState = 0;
}

// Sends the frame in txBuffer with up to three attempts; a data answer is taken and checked.
// The caller holds transactionLock.
Outcome SendWithAttempts(Write& write, const CommandFrame& frame) {
    DriverInstance& instance = write.instance;
    Outcome outcome = Outcome::kFailed;
    for (int attempt = 0; attempt < kAttempts && outcome != Outcome::kDone; ++attempt) {
        if (attempt > 0 && ShutdownRequested(instance)) {
            break;
        }
        const Attempt result = SendAndAwait(
            instance, instance.txBuffer, frame.length, frame.answerMode, frame.expectedAnswer,
            AnswerWaitMs(instance, AnswerWait::kCommand), LogSingleWriteResetFailure);
        MonitorAttempt(instance, instance.txBuffer, frame.length, attempt,
                       static_cast<int32_t>(result.result));
        if (result.result == AttemptResult::kAnswered) {
            outcome = frame.answerMode == kAnswerData ? TakeKeyAnswer(write) : Outcome::kDone;
            if (frame.answerMode == kAnswerAckThenStatus) {
                AwaitStatusReport(instance);
            }
            instance.answerMode = kAnswerNone;
            continue;
        }
        instance.answerMode = kAnswerNone;
        if (result.result == AttemptResult::kShutDown) {
            RefuseShuttingDown(write);
            return Outcome::kFailed;
        }
        outcome = Outcome::kFailed;
        if (result.result == AttemptResult::kSendFailed && instance.portLost.load()) {
            break;  // the line is gone: no attempt can go out until it is back
        }
        LogFailedAttempt(write, result);
    }
    return outcome;
}

// The second phase of FADDK and FDELK: the key record, then the badge database (which records
// the badges of controller 0 only: BadgeDbUpdate leaves a key frame for another controller
// aside).
Outcome SendKeyRecord(Write& write, const CommandSnapshot& snapshot) {
    DriverInstance& instance = write.instance;
    PauseUnlessShutdown(instance, kPauseMs);
    CommandFrame frame{};
    frame.length = BuildKeyRecord(write.request, snapshot.stage, instance.txBuffer);
    frame.answerMode = kAnswerAck;
    const Outcome outcome = SendWithAttempts(write, frame);
    if (outcome == Outcome::kDone) {
        BadgeDbUpdate(instance, instance.txBuffer,
                      BadgeUpdate{snapshot.stage.currentBadgeCode, snapshot.holder});
    }
    return outcome;
}

// An add-key command needs the badge code and the date its badge line is read back by.
bool AddKeyComplete(const Write& write, const SetupStage& stage) {
    if (stage.currentBadgeCode[0] == '\0') {
        err(32, "RIRODI: add key needs a badge code, PKCOD is not staged, GAS %s",
            write.shown.text);
        return false;
    }
    if (stage.dateText[0] == '\0') {
        err(32, "RIRODI: add key needs a date, PDATE is not staged, GAS %s", write.shown.text);
        return false;
    }
    return true;
}

CommandSnapshot TakeSnapshot(const Write& write) {
    DriverInstance& instance = write.instance;
    CommandSnapshot snapshot{};
    {
        const platform::LockGuard guard(instance.stageLock);
        snapshot.stage = instance.stage;
    }
    snapshot.namesRead = true;
    if (write.gate.operation == kOpFaddk) {
        snapshot.namesRead = ReadBadgeHolder(instance, snapshot.holder);
    }
    return snapshot;
}

// One entry of the command-list file, sent as it stands.
int32_t SendFromFile(Write& write) {
    DriverInstance& instance = write.instance;
    const int number = GateNumber(write.gate);
    char text[kCommandTextSize];
    switch (CommandListLookup(number, text)) {
    case CommandListResult::kFound: break;
    case CommandListResult::kNoFile:
        err(32, "RIRODI: SEND_STR_FROM_FILE: %s cannot be opened, entry %d not sent",
            kCommandListFileName, number);
        return KIV_REJECTED;
    case CommandListResult::kNotFound:
        err(32, "RIRODI: SEND_STR_FROM_FILE: %s has no entry %d, nothing sent",
            kCommandListFileName, number);
        return KIV_REJECTED;
    case CommandListResult::kRefused:
    case CommandListResult::kPastLimit: return KIV_REJECTED;  // logged by the look-up
    }
    const size_t length = std::strlen(text);
    if (length == 0) {
        err(32, "RIRODI: command list entry %d is empty, nothing sent", number);
        return KIV_REJECTED;
    }
    const platform::LockGuard transaction(instance.transactionLock);
    const PortLockGuard lock(instance);
    if (ShutdownRequested(instance)) {
        return RefuseShuttingDown(write);
    }
    return SendFrame(instance, text, length) == SendResult::kSent ? KIV_OK : KIV_FAILED;
}

int32_t RunCommand(Write& write, const CommandSnapshot& snapshot) {
    DriverInstance& instance = write.instance;
    const int32_t operation = write.gate.operation;
    Outcome outcome = Outcome::kFailed;
    {
        const platform::LockGuard transaction(instance.transactionLock);
        if (ShutdownRequested(instance)) {
            return RefuseShuttingDown(write);
        }
        CommandFrame frame{};
        if (BuildCommand(write.request, snapshot.stage, instance.txBuffer, frame) !=
            BuildResult::kBuilt) {
            return KIV_REJECTED;  // logged by the composer
        }
        if (operation == kOpFaddk) {
            if (!AddKeyComplete(write, snapshot.stage)) {
                return KIV_REJECTED;
            }
            if (!snapshot.namesRead) {
                err(32,
                    "RIRODI: add key needs the holder's names, PBINM or PBIN2 cannot be read, "
                    "GAS %s",
                    write.shown.text);
                return KIV_REJECTED;
            }
        }
        if (operation == kOpFstat) {
            instance.statusAskedOf = write.gate.controller;
            frame.answerMode = kAnswerAckThenStatus;
        }
        const bool upload = IsCommandOption(write, "FSPARU");
        if (upload) {
            BeginUploadFile(instance);
        }
        outcome = SendWithAttempts(write, frame);
        if (upload) {
            // Not acknowledged: the next FSPAR U may ask again, and the lines of this one are
            // filed if the controller took it all the same.
            instance.uploadAliveAt = platform::MonotonicMs();
            if (outcome != Outcome::kDone) {
                instance.uploadSetupRunning = kUploadUnconfirmed;
            }
        }
        if (operation == kOpFmodk) {
            ReloadBadge(instance, snapshot.stage.currentBadgeCode);
        }
        if (operation == kOpFaddk || operation == kOpFdelk) {
            // A key record follows only an accepted answer; a rejected one fails the command.
            outcome = outcome == Outcome::kDone ? SendKeyRecord(write, snapshot) : Outcome::kFailed;
        }
    }
    if (outcome == Outcome::kDone) {
        SetGateNumber(write.gate, 0);
    }
    return static_cast<int32_t>(outcome);
}

int32_t StartSetupDownload(Write& write) {
    if (!ValueIsOne(write)) {
        return KIV_REJECTED;
    }
    DriverInstance& instance = write.instance;
    {
        const platform::LockGuard guard(instance.stageLock);
        instance.downloadController = write.gate.controller;
    }
    uint32_t error = 0;
    switch (StartDownload(instance, write.gate.controller, error)) {
    case DownloadStart::kStarted: return KIV_OK;
    case DownloadStart::kAllBusy:
        err(32,
            "RIRODI: SingleWrite() refused, %d setup downloads run already (the most at once), "
            "GAS %s",
            kMaxDownloads, write.shown.text);
        return KIV_REJECTED;
    case DownloadStart::kShuttingDown: return RefuseShuttingDown(write);
    case DownloadStart::kThreadFailed: break;
    }
    err(32, "RIRODI: SingleWrite() error, calling DownLoadFromFile() thread, err %u", error);
    return KIV_REJECTED;
}

// Whether the instance has a line to send on: its port was opened at cold start, so that its
// receiver runs.
bool HasLine(Write& write) {
    if (write.instance.hasLine.load()) {
        return true;
    }
    err(32, "RIRODI: SingleWrite() error, the instance was started without its line, GAS %s",
        write.shown.text);
    return false;
}

int32_t Stage(Write& write) {
    DriverInstance& instance = write.instance;
    const platform::LockGuard guard(instance.stageLock);
    return StageSetup(instance.stage, write.gate, write.upper) == StageResult::kStored
               ? KIV_OK
               : KIV_REJECTED;
}

int32_t Dispatch(Write& write) {
    const GateAccess& gate = write.gate;
    DriverInstance& instance = write.instance;
    if (Is(write, "PBINM") || Is(write, "PBIN2")) {
        return CheckName(write, Is(write, "PBIN2"));
    }
    if (Is(write, "SEND_ACK")) {
        sendAckSetting = GateNumber(gate);
        return KIV_OK;
    }
    if (IsStagedOperation(gate.operation)) {
        return Stage(write);
    }
    if (gate.operation == kOpInput) {
        err(32, "RIRODI: write operation is not available, GAS %s", write.upper);
        return KIV_REJECTED;
    }
    if (Is(write, "DOWNLOAD")) {
        if (!ValueIsOne(write)) {
            return KIV_REJECTED;
        }
        DownloadNextBadge(instance);
        return KIV_OK;
    }
    if (Is(write, "COUNTERD") || Is(write, "PENUM")) {
        return KIV_OK;
    }
    if (Is(write, "INVERT")) {
        InvertBadgeCode(instance);
        return KIV_OK;
    }
    if (Is(write, "SEND_STR_FROM_FILE")) {
        return HasLine(write) ? SendFromFile(write) : KIV_FAILED;
    }
    if (!IsCommandTag(write)) {
        err(32, "RIRODI: write operation is not available, GAS %s", write.upper);
        return KIV_REJECTED;
    }
    const CommandSnapshot snapshot = TakeSnapshot(write);
    if (IsCommandOption(write, "FSPARD") &&
        (snapshot.stage.dateText[0] == '\0' || snapshot.stage.timeText[0] == '\0')) {
        err(32, "RIRODI: NULL date or NULL time, GAS %s", write.shown.text);
        return KIV_REJECTED;
    }
    if (!HasLine(write)) {
        return KIV_FAILED;
    }
    if (IsCommandOption(write, "FSPARS")) {
        return StartSetupDownload(write);
    }
    return RunCommand(write, snapshot);
}

}  // namespace

int32_t SingleWrite(KivRequest* request) {
    const GateAccess* record = GateOfRequest(*request);
    if (record == nullptr) {
        return KIV_FAILED;
    }
    const GateAccess& gate = *record;
    auto& instance = *static_cast<DriverInstance*>(request->instance);
    // Before cold start the host's memory holds nothing the driver put there.
    if (!IsStarted(instance)) {
        err(32, "RIRODI: SingleWrite() refused, the instance is not started");
        return KIV_FAILED;
    }
    Write write{instance, *request, gate, {}, Shown(CopyAddress(gate.address))};
    CopyUpperCaseAddress(gate.address, write.upper);
    return Dispatch(write);
}

}  // namespace kiv
