// One attempt of a command-and-answer transaction, as the event-format thread, SingleWrite and
// the download thread make it.
//
// The caller holds transactionLock for the whole transaction (all its attempts). An attempt
// takes portLock only to reset answerEvent, set answerMode and send; it then waits without any
// lock for the receiver to set answerEvent when the awaited answer has come. Each caller logs
// the outcome in its own words and sets answerMode back to kAnswerNone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

enum class AttemptResult {
    kAnswered,    // answerEvent was set (or the wait was abandoned, which counts the same)
    kWaitFailed,  // the wait itself failed
    kTimedOut,    // no answer within the time
    kShutDown,    // shut-down was requested: nothing was sent, or the wait was cut short
    kSendFailed,  // the frame did not go out (the send logged why); nothing was awaited
};

struct Attempt {
    AttemptResult result;
    uint32_t systemError;  // the system's last error after a failed wait
};

// Logs the failed reset of answerEvent in the caller's words; the attempt goes on.
using ResetFailureLog = void (*)(uint32_t systemError);

// Sends the frame as one attempt and waits up to 'waitMs' for its answer. A transaction started
// before the receiver reads the line (in the first second after cold start) waits for it first,
// so that its answer is not left unread. Once shut-down is requested no frame is sent (the check
// is made under the port lock, just before the send): the attempt ends as kShutDown. For
// kAnswerData,
// 'expectedAnswer' is stored for the receiver; uploadAckSeen and uploadDataSeen are cleared
// before the send. A frame that did not go out ends the attempt at once as kSendFailed.
Attempt SendAndAwait(DriverInstance& instance, const char* frame, size_t length, AnswerMode mode,
                     int32_t expectedAnswer, uint32_t waitMs, ResetFailureLog logResetFailure);

// How one kind of transaction words its failed attempts (each line at level 32).
struct AttemptLines {
    ResetFailureLog resetFailed;
    void (*waitFailed)(uint32_t systemError);
    void (*timedOut)();
};

// Sends the frame, awaiting its acknowledgement, with up to three attempts of 'waitMs' each:
// after a failed attempt the next follows (100 ms after a time-out or a failed send) unless
// shut-down has been requested, or the send failed because the port is lost (no attempt could go
// out until the receiver has opened it again). answerMode is set back after every attempt.
// kAnswered when an attempt was answered; kShutDown when shut-down stopped it before it sent its
// first frame (no failure was logged); otherwise the last failed attempt's result. The caller holds
// transactionLock.
AttemptResult SendWithRetries(DriverInstance& instance, const char* frame, size_t length,
                              uint32_t waitMs, const AttemptLines& lines);

// What a transaction waits for its answer: answerTimeoutUnit (set in units of 10 ms) times the
// milliseconds per unit of its kind: a download line waits half as long again as a command.
enum class AnswerWait : uint32_t {
    kCommand = 10,       // single writes, the event-format command, the poll
    kDownloadLine = 15,  // a line of the setup download
};

// The answer wait of a transaction of the given kind. A negative time-out counts as 0.
uint32_t AnswerWaitMs(const DriverInstance& instance, AnswerWait kind);

}  // namespace kiv
