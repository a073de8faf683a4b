// Sending, receiving and classifying frames on the instance's port.
//
// The callers hold the instance's port lock: the receiver for each receive-classify-handle
// step, the senders for each send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "instance/driver_instance.h"

namespace kiv {

// What a received frame is, by its command character (the third byte).
enum MessageKind : int32_t {
    kKindUploadA = 0,           // "A": a setup upload line
    kKindUploadT = 3,           // "T": a setup upload line
    kKindUploadS = 7,           // "S" whose fifth byte is not "T": a setup upload line
    kKindStatusReport = 13,     // "S" whose fifth byte is "T": a controller status report
    kKindDataAnswer = 15,       // "L": the data answer of a key query
    kKindEvent = 16,            // "V": an event
    kKindEndOfUpload = 17,      // ";": an empty command text ends a setup upload
    kKindAcknowledgement = 18,  // LF "A" CR
    kKindOther = 1000,          // any other command character
};

// The longest part of a frame that the monitoring tags "OUTGOING" and "INCOMING" show.
inline constexpr size_t kMonitorCopyLength = 200;

// The gap that ends a frame, in units of 10 ms: no byte within it after the read that brought the
// frame's last bytes (link/line_input.h).
inline constexpr int32_t kInterByteTimeoutUnits = 6;

enum class SendResult {
    kSent,    // every byte went out, or a suppressed acknowledgement was dropped
    kFailed,  // the discard of pending input or the write failed, or fewer bytes went out
};

// Sends a command frame: settles pending input, publishes its escaped copy in "OUTGOING" (when
// that tag exists; after the settling, whose acknowledgements would overwrite it), sets
// answerMode to 'awaited', then writes the frame.
//
// Settling: what the line holds, or is bringing, was sent before this command and answers
// nothing of it. With the receiver's settler installed (a running instance) every frame there
// is received whole (a frame arriving is let finish) and handled as the receiver handles it,
// in the answer mode before this command; so an event in flight is acknowledged and filed, and
// a late acknowledgement of an earlier attempt is not taken for this one's. Without it (no
// receiver) pending input is discarded; a failed discard logs "DUZED:Fail to flush comm port."
// and writes nothing. While sendAckSetting is 1 an acknowledgement frame is dropped at once
// (nothing published, nothing written) and counts as sent. A send that finds no port open says
// so once until the port changes, so that a download of many lines cannot flood the log.
SendResult SendFrame(DriverInstance& instance, const char* frame, size_t length,
                     AnswerMode awaited = kAnswerNone);

// Sends the acknowledgement LF "A" CR the receiver answers with. Like SendFrame, but pending
// input stays: it is the next frame, already on its way.
SendResult SendAcknowledgement(DriverInstance& instance);

// How long ReceiveFrame awaits a frame's first byte: the port's current read time-out.
inline constexpr uint32_t kFirstByteAtReadTimeout = UINT32_MAX;

// Receives one frame into 'buffer' (zeroed first; kFrameBufferSize bytes, so that even a full
// frame stays terminated). The first byte is awaited for 'firstByteWaitMs' (0: only a byte that
// is there already is taken), or for the port's current read time-out; after it the frame ends at
// its CR (which ends the acknowledgement after its third byte too), at a gap of 60 ms, at an LF
// that is not its first byte (a frame that begins after noise or after a frame cut short: the bytes
// before it are handed over alone and the LF begins the next receive), or after kFrameCapacity
// bytes. Bytes after the CR stay on the port for the next receive. The read time-out is back at the
// instance's readTimeout whenever this returns. Returns the number of bytes received: 0 when
// nothing arrived (also when no port is open). With a 'firstByteWaitMs' of its own, a first read
// that fails because the line failed (its device gone) stores the system's error in
// 'lineFailure' (when given).
size_t ReceiveFrame(DriverInstance& instance, char (&buffer)[kFrameBufferSize],
                    uint32_t firstByteWaitMs = kFirstByteAtReadTimeout,
                    uint32_t* lineFailure = nullptr);

// Classifies a received frame of 'count' bytes (it ends at a NUL before that, if any). A valid
// frame is the acknowledgement, or at least 8 bytes whose four characters before the last one
// are the hexadecimal CRC (either case) of the bytes between the leading LF and them. The kind
// of a valid frame; empty for an invalid one.
std::optional<MessageKind> ClassifyFrame(const char* frame, size_t count);

// Publishes the escaped copy of at most kMonitorCopyLength of the bytes in a monitoring tag
// ("OUTGOING", "INCOMING").
void PublishCopy(const DriverInstance& instance, const char* address, const char* bytes,
                 size_t count);

}  // namespace kiv
