// The download thread.
#include "write/download_thread.h"
#include "instance/monitor.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "instance/host_tags.h"
#include "instance/instance_sync.h"
#include "instance/thread_waits.h"
#include "link/transaction.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qorpro/qorpro.h"
#include "write/download_file.h"

namespace kiv {

namespace {

constexpr uint32_t kPauseMs = 100;
// The 4096 bytes Windows commits for the thread at first; its stack grows beyond them.
constexpr size_t kDownloadStack = 4096;
constexpr size_t kProgressSteps = 10;

const AttemptLines kDownloadLines = {
    [](uint32_t error) {
        err(32, "RIRODI: DownLoadFromFile() error, ResetEvent() failed, err %u", error);
    },
    [](uint32_t /*error*/) { err(32, "RIRODI: DownLoadFromFile() error, waiting for semaphore"); },
    [] { err(32, "RIRODI: DownLoadFromFile() error, time-out waiting for answer"); },
};
// The same attempts without their lines, for the lines whose sending failed after the first
// kDownloadLinesLoggedInFull.
const AttemptLines kUnloggedDownloadLines = {
    [](uint32_t /*error*/) {},
    [](uint32_t /*error*/) {},
    [] {},
};

// Sends one frame line as a transaction; true when it was acknowledged. The lock is free for
// 100 ms after it, so that other commands can go between two lines.
bool SendLine(DriverInstance& instance, const char (&frame)[kFrameBufferSize], size_t length,
              const AttemptLines& lines) {
    bool answered = false;
    {
        const platform::LockGuard transaction(instance.transactionLock);
        std::memcpy(instance.txBuffer, frame, sizeof frame);
        answered = SendWithRetries(instance, instance.txBuffer, length,
                                   AnswerWaitMs(instance, AnswerWait::kDownloadLine),
                                   lines) == AttemptResult::kAnswered;
    }
    PauseUnlessShutdown(instance, kPauseMs);
    return answered;
}

struct Progress {
    size_t total = 0;
    size_t sent = 0;
    size_t failed = 0;
    size_t sendFailures = 0;      // lines whose sending failed
    size_t unloggedFailures = 0;  // of them, those whose time-outs were not logged
    size_t unloggedRefusals = 0;
    size_t nextReport = 1;  // the tenth to report next

    const AttemptLines& LinesForNextSend() const {
        return sendFailures < kDownloadLinesLoggedInFull ? kDownloadLines : kUnloggedDownloadLines;
    }
    void CountSend(bool ok) {
        if (!ok && ++sendFailures > kDownloadLinesLoggedInFull) {
            ++unloggedFailures;
        }
        Count(ok);
    }

    void Count(bool ok) {
        (ok ? sent : failed) += 1;
        const size_t done = sent + failed;
        if (done < total && done * kProgressSteps >= nextReport * total) {
            err(32, "RIRODI: DownLoadFromFile() %u of %u lines sent, %u failed",
                static_cast<unsigned>(sent), static_cast<unsigned>(total),
                static_cast<unsigned>(failed));
            while (nextReport * total <= done * kProgressSteps) {
                ++nextReport;
            }
        }
    }
};

void SendFile(DriverInstance& instance, Progress& progress) {
    std::optional<DownloadFile> file = DownloadFile::Open(instance.instanceNumber);
    if (!file) {
        return;
    }
    progress.total = file->CountFrameLines();
    char frame[kFrameBufferSize];
    size_t length = 0;
    bool more = true;
    while (more && !ShutdownRequested(instance)) {
        switch (file->Next(frame, length)) {
        case DownloadFile::NextResult::kEnd: more = false; break;
        case DownloadFile::NextResult::kRefused: progress.Count(false); break;
        case DownloadFile::NextResult::kFrame:
            progress.CountSend(SendLine(instance, frame, length, progress.LinesForNextSend()));
            break;
        }
    }
    progress.unloggedRefusals = file->UnloggedRefusals();
}

void LogUnloggedLines(const Progress& progress) {
    if (progress.unloggedRefusals > 0) {
        err(32,
            "RIRODI: DownLoadFromFile() %u more lines were refused; only the first %u were logged",
            static_cast<unsigned>(progress.unloggedRefusals),
            static_cast<unsigned>(kDownloadLinesLoggedInFull));
    }
    if (progress.unloggedFailures > 0) {
        err(32,
            "RIRODI: DownLoadFromFile() %u more lines were not answered; only the time-outs of the "
            "first %u were logged",
            static_cast<unsigned>(progress.unloggedFailures),
            static_cast<unsigned>(kDownloadLinesLoggedInFull));
    }
}

}  // namespace

DownloadStart StartDownload(DriverInstance& instance, int32_t controller, uint32_t& error) {
    error = 0;
    const platform::LockGuard guard(instance.downloadLock);
    if (ShutdownRequested(instance)) {
        return DownloadStart::kShuttingDown;
    }
    for (DownloadSlot& slot : instance.threads.downloads) {
        if (platform::ThreadStarted(slot.thread)) {
            if (slot.finished.load() != 1) {
                continue;
            }
            platform::ThreadJoin(slot.thread);
        }
        slot.instance = &instance;
        slot.controller = controller;
        slot.finished = 0;
        return platform::ThreadStart(slot.thread, SendDownloadFile, &slot, kDownloadStack, &error)
                   ? DownloadStart::kStarted
                   : DownloadStart::kThreadFailed;
    }
    return DownloadStart::kAllBusy;
}

void JoinDownloads(DriverInstance& instance) {
    const platform::LockGuard guard(instance.downloadLock);
    for (DownloadSlot& slot : instance.threads.downloads) {
        platform::ThreadJoin(slot.thread);
    }
}

void SendDownloadFile(void* argument) {
    auto& slot = *static_cast<DownloadSlot*>(argument);
    DriverInstance& instance = *slot.instance;
    MonitorThread(instance);
    Progress progress;
    SendFile(instance, progress);
    LogUnloggedLines(progress);
    err(32, "RIRODI: DownLoadFromFile() done, %u of %u lines sent, %u failed",
        static_cast<unsigned>(progress.sent), static_cast<unsigned>(progress.total),
        static_cast<unsigned>(progress.failed));
    char address[24];
    std::snprintf(address, sizeof address, "%dFSPARS", static_cast<int>(slot.controller));
    {
        const PortLockGuard lock(instance);
        PutTagValue(instance, address, 0.0);
    }
    slot.finished = 1;
}

}  // namespace kiv
