// The setup download: the lines of the download file sent one transaction each, started by a
// write of 1 to an FSPARS command tag.
//
// Each frame line is sent with up to three attempts, each waiting answerTimeoutUnit x 15 ms for
// the acknowledgement; transactionLock is held for one line at a time and released for 100 ms
// between lines, so that other commands can go between two lines. A line that is not
// acknowledged after three attempts is logged and counted as failed; the download goes on.
// Shut-down stops the download after the current attempt: no further line is sent.
//
// Progress goes to the log at level 32, about every tenth of the file and at the end:
// "RIRODI: DownLoadFromFile() N of M lines sent, F failed" while it runs and
// "RIRODI: DownLoadFromFile() done, N of M lines sent, F failed" at the end (M counts the
// lines that are sent or refused; refused lines count as failed). At the end, also after a
// shut-down or without a file, the FSPARS tag of the download's controller is set back to 0.
#pragma once

#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

enum class DownloadStart {
    kStarted,
    kAllBusy,       // kMaxDownloads downloads run already
    kThreadFailed,  // the thread could not be started; 'error' holds the system's number
    kShuttingDown,  // shut-down was requested: nothing more is started
};

// Starts a download for the controller in a free slot of the instance (finished downloads are
// joined and their slots reused). Slots are chosen, filled, joined and released under
// downloadLock, so that downloads started on several host threads at once each get a slot of
// their own and close joins every one.
DownloadStart StartDownload(DriverInstance& instance, int32_t controller, uint32_t& error);

// Close: joins every download thread (shut-down has been requested, so each ends promptly).
void JoinDownloads(DriverInstance& instance);

// The thread body; its argument is the DownloadSlot.
void SendDownloadFile(void* argument);

}  // namespace kiv
