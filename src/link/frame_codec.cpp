// Sending, receiving and classifying frames.
#include "link/frame_codec.h"
#include "instance/monitor.h"

#include <cstring>
#include <utility>

#include "instance/host_tags.h"
#include "link/frame_format.h"
#include "link/instance_port.h"
#include "link/line_echo.h"
#include "platform/serial_port.h"
#include "qorpro/qorpro.h"

namespace kiv {

static_assert(EscapedSize(kMonitorCopyLength) <= kLongestTagText + 1,
              "tags are read back through an area that holds every monitoring copy");

namespace {

// A valid frame other than the acknowledgement: LF ";" command character, at least, then
// ";" four digits and CR.
constexpr size_t kShortestFrame = 8;
constexpr size_t kChecksumDigits = 4;

// Settles what the line holds before a command frame: handled by the receiver's settler, or
// discarded when no receiver runs. False when the discard failed (logged).
bool SettleInput(DriverInstance& instance) {
    const InputSettler settle = instance.inputSettler.load();
    if (settle != nullptr) {
        settle(instance);
        return true;
    }
    if (platform::DiscardInput(instance.port) != platform::kPortOk) {
        err(32, "DUZED:Fail to flush comm port.");
        return false;
    }
    return true;
}

// A command frame settles the input first and sets the answer mode it awaits (kAnswerNone for
// none); the acknowledgement ('command' false) leaves both alone.
SendResult Send(DriverInstance& instance, const char* frame, size_t length, bool command,
                AnswerMode awaited) {
    if (sendAckSetting.load() == 1 && IsAckFrame(frame, length)) {
        return SendResult::kSent;
    }
    // The settling may acknowledge frames it finds: their copies go out first, so that
    // "OUTGOING" shows what really leaves last.
    if (command && !SettleInput(instance)) {
        PublishCopy(instance, "OUTGOING", frame, length);
        return SendResult::kFailed;
    }
    PublishCopy(instance, "OUTGOING", frame, length);
    if (command) {
        instance.answerMode = awaited;
    }
    if (instance.port == nullptr) {
        // Once until a port is open again: a download of many lines must not log each of them.
        if (std::exchange(instance.noPortSaid, true)) {
            return SendResult::kFailed;
        }
        if (instance.portLost.load()) {
            err(32, "RIRODI: COMM port %s is gone, the frame was not sent",
                PortName(instance.portSettings).text);
        } else {
            err(32, "RIRODI: no COMM port is open, the frame was not sent");
        }
        return SendResult::kFailed;
    }
    size_t written = 0;
    uint32_t error = 0;
    const int32_t result = platform::WriteBytes(instance.port, frame, length, written, &error);
    if (result == platform::kPortOk && written == length) {
        NoteSentFrame(instance, frame, length);
        MonitorFrame(instance, KIV_MON_FRAME_SENT, frame, length);
        return SendResult::kSent;
    }
    if (result == platform::kPortIoFailed) {
        char reason[platform::kErrorTextSize];
        platform::SystemErrorText(error, reason, sizeof reason);
        err(32, "RIRODI: the frame could not be written to the COMM port: %s (error %u)", reason,
            static_cast<unsigned>(error));
    } else {
        err(32, "RIRODI: the frame went out cut short, %u of %u bytes",
            static_cast<unsigned>(written), static_cast<unsigned>(length));
    }
    return SendResult::kFailed;
}

MessageKind KindOf(const char* frame) {
    switch (frame[2]) {
    case 'A': return kKindUploadA;
    case 'T': return kKindUploadT;
    case 'S': return frame[4] == 'T' ? kKindStatusReport : kKindUploadS;
    case 'L': return kKindDataAnswer;
    case 'V': return kKindEvent;
    case ';': return kKindEndOfUpload;
    default: return kKindOther;
    }
}

// Reads a frame's first byte: within the port's read time-out, or within 'waitMs' (then a read
// that fails because the line failed stores its error in 'lineFailure', when given).
bool ReadFirstByte(platform::PortHandle port, uint32_t waitMs, char& byte, uint32_t* lineFailure) {
    if (waitMs == kFirstByteAtReadTimeout) {
        size_t received = 0;
        return platform::ReadBytes(port, &byte, 1, &received) == platform::kPortOk && received == 1;
    }
    const platform::ReadOutcome outcome = platform::ReadAvailable(port, &byte, 1, waitMs);
    if (outcome.result != platform::kPortOk && lineFailure != nullptr) {
        *lineFailure = outcome.systemError;
    }
    return outcome.result == platform::kPortOk && outcome.count == 1;
}

}  // namespace

void PublishCopy(const DriverInstance& instance, const char* address, const char* bytes,
                 size_t count) {
    char copy[EscapedSize(kMonitorCopyLength)];
    EscapeControlChars(bytes, count < kMonitorCopyLength ? count : kMonitorCopyLength, copy,
                       sizeof copy);
    PutTagText(instance, address, copy);
}

SendResult SendFrame(DriverInstance& instance, const char* frame, size_t length,
                     AnswerMode awaited) {
    return Send(instance, frame, length, true, awaited);
}

SendResult SendAcknowledgement(DriverInstance& instance) {
    return Send(instance, kAckFrame, kAckFrameLength, false, kAnswerNone);
}

size_t ReceiveFrame(DriverInstance& instance, char (&buffer)[kFrameBufferSize],
                    uint32_t firstByteWaitMs, uint32_t* lineFailure) {
    std::memset(buffer, 0, sizeof buffer);
    size_t count = 0;
    const platform::PortHandle port = instance.port;
    if (port == nullptr) {
        return 0;
    }
    // The LF that ended the previous receive begins this frame.
    if (instance.heldLineFeed) {
        instance.heldLineFeed = false;
        buffer[count++] = kLineFeed;
        platform::SetReadTimeout(port, kInterByteTimeoutUnits);
    }
    while (count < kFrameCapacity) {
        char byte = 0;
        size_t received = 0;
        if (count == 0 ? !ReadFirstByte(port, firstByteWaitMs, byte, lineFailure)
                       : platform::ReadBytes(port, &byte, 1, &received) != platform::kPortOk ||
                             received != 1) {
            break;
        }
        if (byte == kLineFeed && count > 0) {
            // A frame begins here: what came before it was noise or a frame cut short. It is
            // handed over on its own, and the LF is kept for the next receive.
            instance.heldLineFeed = true;
            break;
        }
        if (count == 0) {
            // From the first byte on, a gap of 60 ms ends the frame.
            platform::SetReadTimeout(port, kInterByteTimeoutUnits);
        }
        buffer[count++] = byte;
        if (byte == kCarriageReturn) {
            break;  // what follows is the next frame
        }
    }
    platform::SetReadTimeout(port, instance.readTimeout);
    return count;
}

std::optional<MessageKind> ClassifyFrame(const char* frame, size_t count) {
    const size_t n = strnlen(frame, count);
    if (n == kAckFrameLength) {
        if (!IsAckFrame(frame, n)) {
            return std::nullopt;
        }
        return kKindAcknowledgement;
    }
    if (n < kShortestFrame) {
        return std::nullopt;
    }
    // The checksum covers the first ";" to the second; its digits follow, then the last byte.
    const size_t checksummed = n - 2 - kChecksumDigits;
    unsigned received = 0;
    // The digits are read as a formatted scan of width 4 reads them: at least one, either case.
    if (ReadHexField(frame + n - 1 - kChecksumDigits, kChecksumDigits, received) == 0 ||
        received != Crc16(frame + 1, checksummed)) {
        return std::nullopt;
    }
    return KindOf(frame);
}

}  // namespace kiv
