// SingleWrite: the dispatch of a write and the command transactions.
#include "write/single_write.h"

#include <cstring>

#include "instance/driver_instance.h"
#include "instance/host_tags.h"
#include "instance/thread_waits.h"
#include "link/frame_codec.h"
#include "link/port_lock_scope.h"
#include "link/transaction.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"
#include "receive/badge_database.h"
#include "tags/address_grammar.h"
#include "tags/command_composer.h"
#include "tags/gate_value.h"
#include "tags/operation_codes.h"
#include "write/command_list_file.h"
#include "write/download_thread.h"
#include "write/setup_staging.h"

namespace kiv {

namespace {

constexpr int kAttempts = 3;
constexpr uint32_t kMsPerTimeoutUnit = 10;
constexpr uint32_t kPauseMs = 100;

// What a transaction came to; the numbers are the host's results.
enum class Outcome : int32_t {
    kDone = KIV_OK,
    kBadAnswer = KIV_REJECTED,  // the key answer was rejected
    kFailed = KIV_FAILED,       // no answer
};

// The write as SingleWrite sees it.
struct Write {
    DriverInstance& instance;
    KivRequest& request;
    const GateAccess& gate;
    char upper[kAddressCopySize];  // the address upper-cased: every name test uses it
    ShownAddress shown;            // the address as given, bounded, for log lines
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
        return KIV_REJECTED;  // no text area to read
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

void LogSingleWriteResetFailure(uint32_t error) {
    err(32, "RIRODI: SingleWrite() error, ResetEvent() failed, err %u", error);
}

// Logs a failed attempt; pauses after a time-out.
void LogFailedAttempt(Write& write, const Attempt& attempt) {
    if (attempt.result == AttemptResult::kWaitFailed) {
        err(32, "RIRODI: SingleWrite() error, waiting for semaphore, err %u, '%s'",
            attempt.systemError, write.shown.text);
    } else {
        err(32, "RIRODI: SingleWrite() error, time-out waiting for answer, '%s'", write.shown.text);
        PauseUnlessShutdown(write.instance, kPauseMs);
    }
}

// The data answer of a key query: acknowledged, then checked. The copy is taken under the port
// lock, where the receiver writes it.
Outcome TakeKeyAnswer(Write& write) {
    DriverInstance& instance = write.instance;
    char answer[kFrameBufferSize] = {};
    {
        const PortLockScope lock(instance);
        std::memcpy(answer, instance.answerCopy, kFrameCapacity);
        SendAcknowledgement(instance);
    }
    return CheckKeyAnswer(write.request, answer, std::strlen(answer)) == KeyAnswerCheck::kAccepted
               ? Outcome::kDone
               : Outcome::kBadAnswer;
}

// The first phase: the command built by the composer, up to three attempts. The caller holds
// transactionLock.
Outcome SendCommand(Write& write, bool& built) {
    DriverInstance& instance = write.instance;
    Outcome outcome = Outcome::kFailed;
    built = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0 && (outcome == Outcome::kDone || ShutdownRequested(instance))) {
            break;
        }
        CommandFrame frame{};
        if (BuildCommand(write.request, instance.txBuffer, frame) != BuildResult::kBuilt) {
            return Outcome::kBadAnswer;  // refused, and logged by the composer
        }
        built = true;
        const Attempt result =
            SendAndAwait(instance, instance.txBuffer, frame.length,
                         static_cast<AnswerMode>(frame.answerMode), frame.expectedAnswer,
                         AnswerWaitMs(instance, kMsPerTimeoutUnit), LogSingleWriteResetFailure);
        if (result.result == AttemptResult::kAnswered) {
            outcome = frame.answerMode == kAnswerData ? TakeKeyAnswer(write) : Outcome::kDone;
            instance.answerMode = kAnswerNone;
        } else {
            instance.answerMode = kAnswerNone;
            outcome = Outcome::kFailed;
            LogFailedAttempt(write, result);
        }
    }
    return outcome;
}

// The second phase of FADDK and FDELK: the key record, then the badge database.
Outcome SendKeyRecord(Write& write) {
    DriverInstance& instance = write.instance;
    PauseUnlessShutdown(instance, kPauseMs);
    Outcome outcome = Outcome::kFailed;
    for (int attempt = 0; attempt < kAttempts && outcome != Outcome::kDone; ++attempt) {
        if (attempt > 0 && ShutdownRequested(instance)) {
            break;
        }
        const uint16_t length = BuildKeyRecord(write.request, instance.txBuffer);
        const Attempt result =
            SendAndAwait(instance, instance.txBuffer, length, kAnswerAck, 0,
                         AnswerWaitMs(instance, kMsPerTimeoutUnit), LogSingleWriteResetFailure);
        instance.answerMode = kAnswerNone;
        if (result.result != AttemptResult::kAnswered) {
            LogFailedAttempt(write, result);
            continue;
        }
        outcome = Outcome::kDone;
        if (!BadgeDbUpdate(instance, instance.txBuffer)) {
            err(32, "RIRODI: There is a problem with writting Event information into file!");
        }
    }
    return outcome;
}

// After a modify-key command: the badge's stored values staged again, its names published.
void ReloadBadge(DriverInstance& instance) {
    StageBadgeValues(instance, FindBadgeByCode(instance, instance.stage.currentBadgeCode));
}

// An add-key command whose badge line could not be read back is refused before anything is sent.
bool AddKeyComplete(const Write& write) {
    const SetupStage& stage = write.instance.stage;
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

// One entry of the command-list file, sent as it stands.
int32_t SendFromFile(Write& write) {
    DriverInstance& instance = write.instance;
    const int number = GateNumber(write.gate);
    char text[kCommandTextSize];
    if (CommandListLookup(number, text) != CommandListResult::kFound) {
        return KIV_REJECTED;
    }
    const size_t length = std::strlen(text);
    if (length == 0) {
        err(32, "RIRODI: command list entry %d is empty, nothing sent", number);
        return KIV_REJECTED;
    }
    const platform::LockGuard transaction(instance.transactionLock);
    const PortLockScope lock(instance);
    return SendFrame(instance, text, length) == SendResult::kSent ? KIV_OK : KIV_FAILED;
}

int32_t RunCommand(Write& write) {
    DriverInstance& instance = write.instance;
    const int32_t operation = write.gate.operation;
    if (operation == kOpFaddk && !AddKeyComplete(write)) {
        return KIV_REJECTED;
    }
    Outcome outcome = Outcome::kFailed;
    {
        const platform::LockGuard transaction(instance.transactionLock);
        bool built = false;
        outcome = SendCommand(write, built);
        if (!built) {
            return KIV_REJECTED;
        }
        if (operation == kOpFmodk) {
            ReloadBadge(instance);
        }
        if (operation == kOpFaddk || operation == kOpFdelk) {
            // A key record follows only an accepted answer; a rejected one fails the command.
            outcome = outcome == Outcome::kDone ? SendKeyRecord(write) : Outcome::kFailed;
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
    write.instance.downloadController = write.gate.controller;
    uint32_t error = 0;
    if (!StartDownload(write.instance, write.gate.controller, error)) {
        err(32, "RIRODI: SingleWrite() error, calling DownLoadFromFile() thread, err %u", error);
        return KIV_REJECTED;
    }
    return KIV_OK;
}

// Whether the instance has a line to send on: its port was opened at cold start, so that its
// locks and its receiver exist.
bool HasLine(Write& write) {
    if (platform::LockIsInitialised(write.instance.transactionLock)) {
        return true;
    }
    err(32, "RIRODI: SingleWrite() error, the instance was started without its line, GAS %s",
        write.shown.text);
    return false;
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
        return StageSetup(instance.stage, gate, write.upper) == StageResult::kStored ? KIV_OK
                                                                                     : KIV_REJECTED;
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
    if (IsCommandOption(write, "FSPARD") &&
        (instance.stage.dateText[0] == '\0' || instance.stage.timeText[0] == '\0')) {
        err(32, "RIRODI: NULL date or NULL time, GAS %s", write.shown.text);
        return KIV_REJECTED;
    }
    if (!HasLine(write)) {
        return KIV_FAILED;
    }
    if (IsCommandOption(write, "FSPARS")) {
        return StartSetupDownload(write);
    }
    return RunCommand(write);
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
    if (instance.startedMarker != kStartedMarker) {
        err(32, "RIRODI: SingleWrite() refused, the instance is not started");
        return KIV_FAILED;
    }
    Write write{instance, *request, gate, {}, Shown(CopyAddress(gate.address))};
    CopyUpperCaseAddress(gate.address, write.upper);
    return Dispatch(write);
}

}  // namespace kiv
