// The event log and the setup upload file: what the controllers send without being asked.
//
// "zezEvents%02d.dat" gets one record per event frame, "zezSetup%02d.dat" one per line of a
// setup upload ("%02d" is the instance number). Both are opened by that bare name, in the
// process's current directory (the host's working directory), and opened and closed for every
// record, so each record is on disk when the call returns.
//
// Each file is created afresh, with its header line, by the first record after its state
// member was reset, and appended to afterwards:
//   eventsFileState  0 at instance start; set to 1 once the event log was created; never reset
//                    while the instance lives, so a new instance truncates the old log at its
//                    first event.
//   setupFileState   0 at instance start; set to 1 once the upload file was created; the
//                    receiver sets it back to 0 at each end of upload, so each upload replaces
//                    the previous file.
// A file that cannot be opened (or written) leaves the state as it was, so the next record
// tries again: in state 0 it again creates the file with its header. A file deleted or emptied
// while the instance runs is begun again with its header by the next record. Header and record
// go out in one write.
//
// The bytes on disk are the same on every platform: the header line ends in CR LF; each record
// is the frame as received, up to its first NUL (at most 'length' bytes), with every LF in it
// written as CR LF. A frame LF ";...;XXXX" CR thus reads CR LF, the frame text, CR: the file is
// the header line followed by the records, each beginning with CR LF and ending with the
// frame's own CR, with no line end after the last record.
//
// Only the receiver thread calls these, under the port lock. Each writer opens a file handle
// of its own. Nothing is logged here: the caller logs a failure.
#pragma once

#include <cstddef>

#include "instance/driver_instance.h"

namespace kiv {

// The header lines, each followed by CR LF in the file. The setup upload file's header also
// begins the download file, which the download skips.
inline constexpr char kEventFileHeader[] = "LIST OF INPUT EVENTS.";
inline constexpr char kSetupFileHeader[] = "CONTENT OF SETUP PARAMETERS.";

// Appends one event record to "zezEvents%02d.dat"; true when it was written, false when the
// file could not be opened or written.
bool AppendEventRecord(DriverInstance& instance, const char* frame, size_t length);

// Appends one setup upload record to "zezSetup%02d.dat"; true when it was written, false when
// the file could not be opened or written.
bool AppendUploadRecord(DriverInstance& instance, const char* frame, size_t length);

}  // namespace kiv
