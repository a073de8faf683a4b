// The per-line state of one driver instance.
//
// The host provides the memory (of the size GetKIVinfo reports) and passes its address with
// every request; the driver never allocates or frees the record itself. Cold start constructs
// the members in place and close destroys what they own. Members that the driver's threads
// share without a lock are atomics; everything else has one guard, named in the table above
// DriverInstance.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kiv/kiv_abi.h"
#include "kiv/kiv_monitor.h"
#include "platform/port_handle.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace kiv {

// A full frame is at most 255 bytes; frame buffers keep one more byte so that a frame that
// fills them still has its terminator.
inline constexpr size_t kFrameCapacity = 256;
inline constexpr size_t kFrameBufferSize = kFrameCapacity + 1;

inline constexpr int kControllerCount = 8;
inline constexpr int kLockCount = 16;
inline constexpr int kBadgeCount = 5000;
inline constexpr size_t kStageTextSize = 15;
inline constexpr size_t kEventTextSize = 80;
inline constexpr size_t kKeyAnswerTextSize = 15;
// The smallest answer time-out cold start accepts, in units of 10 ms.
inline constexpr int kMinAnswerTimeoutUnits = 100;

// The most digits a key number has: what the key answer check accepts and the badge table keeps
// are one limit, so that every key the driver adds can be named in its events (an event's
// badge field of seven hexadecimal digits names key numbers of up to nine digits).
inline constexpr size_t kKeyNumberDigits = 9;

// The sizes of a badge's texts, terminator included.
inline constexpr size_t kBadgeNameSize = 51;
inline constexpr size_t kBadgeName2Size = 21;
inline constexpr size_t kBadgeKeyNumberSize = kKeyNumberDigits + 1;
inline constexpr size_t kBadgeCodeSize = 11;
inline constexpr size_t kBadgeDoorMaskSize = 5;
inline constexpr size_t kBadgeDateSize = 9;
inline constexpr size_t kBadgeTimeZonesSize = 3;

// One badge of the badge database; every field is a NUL-terminated text.
struct BadgeRecord {
    char name[kBadgeNameSize];
    char name2[kBadgeName2Size];
    char keyNumber[kBadgeKeyNumberSize];
    char badgeCode[kBadgeCodeSize];
    char doorMaskHex[kBadgeDoorMaskSize];
    char date[kBadgeDateSize];
    char timeZones[kBadgeTimeZonesSize];
};

// The port as it was opened, so that it can be opened again.
struct PortSettings {
    char portName[KIV_PORT_NAME_SIZE];
    LineSettings lineSettings;
    uint16_t controlFlags;
};

// Setup values staged by tag writes for later controller commands. Per-lock members are
// indexed by lock number - 1 (locks 1 to 16).
struct SetupStage {
    char currentBadgeCode[kStageTextSize];
    char fromTime[kStageTextSize];
    char toTime[kStageTextSize];
    char timeText[kStageTextSize];
    char dateText[kStageTextSize];
    uint16_t doorMask;
    uint16_t weekdayMask;
    uint16_t holidayType;
    uint16_t holidayDateIndex;
    uint16_t dfrmFlag;
    uint16_t efrmFlag;
    uint16_t password1;
    uint16_t password2;
    uint16_t lfrtFlag;
    uint16_t dipMode;
    uint16_t timeZone1;
    uint16_t timeZone2;
    uint16_t pevsFlag;
    uint8_t extendedLock[kLockCount];
    uint8_t unlockDuration[kLockCount];
};

// How long the driver's threads wait, in milliseconds. Cold start copies the process-wide
// timingDefaults into the instance. These are the driver's own delays; only tests that link the
// driver shorten them (the host cannot reach them).
struct DriverTimings {
    uint32_t receiverStartDelayMs;  // before the receiver's first cycle
    uint32_t receiverCycleMs;       // the receiver's pause while it has no line to wait on
    uint32_t pollDelayMs;           // from cold start to the controller poll
    uint32_t pollStepMs;            // each wait for a polled controller's status
    uint32_t receiverQuietWaitMs;   // the receiver's wait for input on a quiet line, after which
                                    // it waits again (shut-down and a port close end it at once)
    uint32_t uploadStallMs;         // a setup upload with no sign of life for this long is given up
};
inline constexpr DriverTimings kDriverTimings{1000, 30, 50000, 300, 1000, 30000};

// The setup downloads that may run at once on one instance.
inline constexpr int kMaxDownloads = 4;

struct DriverInstance;

// One setup download: its thread, the instance it works for and the controller whose FSPARS tag
// it resets at its end (each download keeps its own, so that a second download started meanwhile
// does not change it).
struct DownloadSlot {
    platform::Thread thread;
    DriverInstance* instance;
    int32_t controller;
    std::atomic<int32_t> finished;  // 1 once the thread has done its last step
};

// The instance's threads, each joined before close lets the instance go (the thread that waits
// for host messages may be let go instead: it holds nothing of the instance, lifecycle/).
struct InstanceThreads {
    platform::Thread receiver;
    platform::Thread poll;
    platform::Thread eventFormat;
    platform::Thread shutdown;
    // Chosen, filled, joined and released only under downloadLock.
    DownloadSlot downloads[kMaxDownloads];
};

// Hands the frames that are on the line, or arriving, to the receiver's handling before a
// command frame goes out (receive/unsolicited_receiver.h). The caller holds portLock.
using InputSettler = void (*)(DriverInstance& instance);

// What the receiver does with an answer.
enum AnswerMode : int32_t {
    kAnswerNone = 0,           // nothing awaited
    kAnswerAck = 1,            // an acknowledgement awaited
    kAnswerData = 2,           // an acknowledgement and a data answer awaited
    kAnswerAckThenStatus = 3,  // an xFSTAT's acknowledgement awaited, then its status report
    kAnswerStatus = 4,         // the acknowledged xFSTAT's status report awaited
};

// uploadSetupRunning: no upload; an upload asked for and acknowledged; an upload asked for whose
// acknowledgement did not come (the controller may have taken the request all the same: its
// lines are filed while they come within uploadStallMs).
inline constexpr int32_t kUploadNone = 0;
inline constexpr int32_t kUploadRunning = 1;
inline constexpr int32_t kUploadUnconfirmed = 2;

// What the driver sent lately on its port, to know its own bytes when the line hands them back
// (a half-duplex adapter that echoes): the frames in the order sent, each until its echo is due
// at the latest (link/line_echo.h).
inline constexpr int kEchoSlots = 4;
struct SentFrame {
    char bytes[kFrameBufferSize];
    uint32_t length;
    uint64_t dueBy;  // MonotonicMs
};
struct LineEcho {
    SentFrame sent[kEchoSlots];  // the oldest first
    int32_t count;
    bool echoes;  // a frame of the driver's came back on this port
};

// What the line brought and no frame has taken yet: the receiver reads in blocks and cuts its
// frames from here (link/line_input.h).
inline constexpr size_t kLineInputSize = 1024;
struct LineInput {
    char bytes[kLineInputSize];
    size_t start;          // the first byte not taken
    size_t end;            // one past the last byte read
    uint64_t arrivedAtMs;  // when the read that brought them returned (MonotonicMs)
};

// The host calls in progress on a started instance, and whether close has begun: the count in
// the low bits, kClosingBit above them. Close sets the bit, wakes every wait and lets the
// instance go only once the count is back at 0; a call that finds the bit set is refused.
inline constexpr uint32_t kClosingBit = 0x80000000U;

// A failed host call remembered so that it is logged once until the call works again.
inline constexpr size_t kHostFailureAddressSize = 24;
inline constexpr size_t kHostFailureSlots = 32;
struct HostFailure {
    char address[kHostFailureAddressSize];
    int32_t call;  // which host call (instance/host_tags.h)
};
struct HostFailures {
    platform::Lock lock;
    std::atomic<int32_t> count;  // entries in use; 0 lets a working call skip the lock
    HostFailure entries[kHostFailureSlots];
    bool overflowLogged;
};

struct MessageWaiter;  // lifecycle/shutdown_thread.h

// One line's state. Who touches what, and under which guard (the locks are taken in the order
// transactionLock, then portLock; stageLock, textLock, badgeLock, downloadLock and the host
// failures' lock are leaves: nothing else is taken while one of them is held):
//
//   member                         written by                           guard
//   clientId, instanceNumber, monitor  cold start                       read-only afterwards
//   answerTimeoutUnit              cold start, function 15              atomic
//   port, portGeneration, portSettings, readTimeout, portLost, echo, noPortSaid
//                                  cold start, functions 12, 13, 15, the receiver when the line
//                                  fails and comes back; echo: every send and receive  portLock
//   txBuffer, keyAnswerNumber1/2   transactions (SingleWrite, the start-up threads, downloads)
//                                                                       transactionLock
//   answerMode, expectedAnswer,    the transaction in progress (set under portLock with the
//   answerCopy, uploadAck/DataSeen   send), the receiver                portLock (flags atomic)
//   rxBuffer, rxLength, lineInput, setupFileState, eventsFileState
//                                  the receiver; a sender settling the input before its
//                                  command frame                        portLock
//   lastEventText                  the receiver; read by function 5     textLock
//   stage                          staging (SingleWrite), DOWNLOAD, the modify-key reload; read
//                                  by commands (one snapshot each) and function 5   stageLock
//   badges, badgeKeyOrder, badgeCount  the badge table load             badgeLock
//   threads.downloads              SingleWrite (FSPARS), close          downloadLock
//   shutdownRequested, pollPending, uploadSetupRunning, hasLine, startedMarker, hostCalls,
//   portLockWanted, statusAskedOf, uploadAliveAt, inputSettler
//                                                                       atomic
//   hostFailures                   every thread that calls the host     its own lock
struct DriverInstance {
    uint8_t clientId;  // host client handle; first byte of the record
    std::atomic<int32_t> answerTimeoutUnit;
    int32_t readTimeout;
    platform::PortHandle port;
    // Counted up whenever the port changes (link/instance_port.h): a failure met on a port is
    // told apart from the port that replaced it, even at the same address.
    uint32_t portGeneration;
    PortSettings portSettings;
    int32_t instanceNumber;
    platform::Event answerEvent;
    platform::Lock portLock;
    platform::Lock transactionLock;
    char txBuffer[kFrameBufferSize];
    char rxBuffer[kFrameBufferSize];
    char answerCopy[kFrameBufferSize];
    char lastEventText[kEventTextSize];
    char keyAnswerNumber1[kKeyAnswerTextSize];
    char keyAnswerNumber2[kKeyAnswerTextSize];
    // The badge table, filled from the start by the last load; the index lists the filled
    // records by key number. A load replaces all three under badgeLock, and every look-up reads
    // them under it (receive/badge_database.h).
    BadgeRecord badges[kBadgeCount];
    uint16_t badgeKeyOrder[kBadgeCount];
    int32_t badgeCount;
    platform::Lock badgeLock;
    int16_t rxLength;
    std::atomic<AnswerMode> answerMode;
    int32_t expectedAnswer;
    std::atomic<int32_t> uploadAckSeen;
    std::atomic<int32_t> uploadDataSeen;
    std::atomic<int32_t> uploadSetupRunning;
    // When the running setup upload last showed life (MonotonicMs): its FSPAR U acknowledged, a
    // line of it filed.
    std::atomic<uint64_t> uploadAliveAt;
    int32_t setupFileState;
    int32_t eventsFileState;
    std::atomic<int32_t> shutdownRequested;
    std::atomic<int32_t> pollPending[kControllerCount];
    int32_t downloadController;  // the controller of the download started last (stageLock)
    SetupStage stage;
    // Below: what the driver keeps to start and stop the instance safely.
    platform::Lock stageLock;
    platform::Lock textLock;
    platform::Lock downloadLock;
    LineInput lineInput;                  // read from the line, not yet taken by a frame
    platform::Event shutdownEvent;        // set with shutdownRequested: it ends every pause at once
    platform::Event receiverReady;        // set once the receiver reads the line
    std::atomic<uint64_t> startedMarker;  // kStartedMarker from cold start until close
    std::atomic<bool> hasLine;            // the port was opened and the threads started
    // The port failed (its device gone) and was closed; the receiver opens it again once the
    // device is back. Written under portLock.
    std::atomic<bool> portLost;
    std::atomic<uint32_t> hostCalls;      // host calls in progress, and kClosingBit
    std::atomic<int32_t> portLockWanted;  // threads waiting for portLock through PortLockGuard
    // The controller whose xFSTAT is on the line: set by the command before it is sent, read by
    // the receiver in kAnswerStatus.
    std::atomic<int32_t> statusAskedOf;
    // Set at cold start when the line opens; without it a sender discards pending input instead.
    std::atomic<InputSettler> inputSettler;
    LineEcho echo;
    bool noPortSaid;  // a send found no port and said so; cleared when the port changes
    MessageWaiter* messageWaiter;  // shared with the thread that waits for host messages
    mutable HostFailures hostFailures;
    DriverTimings timings;
    InstanceThreads threads;
    KivMonitorHook monitor;  // a tool's sink (instance/monitor.h); none for a host
};

// The value of startedMarker while an instance is started; anything else (the host's memory as
// it was handed over included) means it is not.
inline constexpr uint64_t kStartedMarker = 0x5249524F44495354ULL;

inline bool IsStarted(const DriverInstance& instance) {
    return instance.startedMarker.load() == kStartedMarker;
}

static_assert(offsetof(DriverInstance, clientId) == 0, "the host writes the client handle first");

// Values shared by every instance in the process.
// While sendAckSetting is 1 the send routine drops acknowledgement frames.
extern std::atomic<int32_t> sendAckSetting;
// The client handle of the instance started last; used where no instance is at hand.
extern std::atomic<uint8_t> processClientId;
// The delays cold start gives each instance: kDriverTimings, unless a test shortened them.
extern DriverTimings timingDefaults;

// The instance a request works on.
inline DriverInstance& InstanceOf(const KivRequest& request) {
    return *static_cast<DriverInstance*>(request.instance);
}

}  // namespace kiv
