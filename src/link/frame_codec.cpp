// Sending, receiving and classifying frames.
#include "link/frame_codec.h"
#include "instance/monitor.h"

#include <cstring>
#include <utility>

#include "instance/host_tags.h"
#include "link/frame_format.h"
#include "link/instance_port.h"
#include "link/line_echo.h"
#include "link/line_input.h"
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
    ClearInput(instance.lineInput);  // read already, and as stale as what the line holds
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

// The longest silence between two bytes of a frame.
constexpr uint64_t kInterByteGapMs = static_cast<uint64_t>(kInterByteTimeoutUnits) * 10;

// Reads a frame's first bytes into the (empty) input: all the line holds once a byte is there,
// within 'waitMs' (then a read that fails because the line failed stores its error in
// 'lineFailure', when given); or, for kFirstByteAtReadTimeout, one byte within the port's read
// time-out.
bool ReadFirstBytes(platform::PortHandle port, LineInput& input, uint32_t waitMs,
                    uint32_t* lineFailure) {
    if (waitMs == kFirstByteAtReadTimeout) {
        size_t received = 0;
        const bool read =
            platform::ReadBytes(port, input.bytes, 1, &received) == platform::kPortOk &&
            received == 1;
        AddInput(input, read ? 1 : 0, platform::MonotonicMs());
        return read;
    }
    const platform::ReadOutcome outcome =
        platform::ReadAvailable(port, input.bytes, InputRoom(input), waitMs);
    if (outcome.result != platform::kPortOk) {
        if (lineFailure != nullptr) {
            *lineFailure = outcome.systemError;
        }
        return false;
    }
    AddInput(input, outcome.count, platform::MonotonicMs());
    return outcome.count > 0;
}

// Reads what comes of the frame in hand (the input is used up): all the line holds, once a byte
// is there within the gap after the last bytes came. False at the gap, or when the read failed
// (the next receive's read meets the failure).
bool ReadWithinGap(platform::PortHandle port, LineInput& input) {
    const uint64_t now = platform::MonotonicMs();
    const uint64_t end = input.arrivedAtMs + kInterByteGapMs;
    const auto wait = static_cast<uint32_t>(end > now ? end - now : 0);
    const platform::ReadOutcome outcome =
        platform::ReadAvailable(port, input.bytes, InputRoom(input), wait);
    if (outcome.result != platform::kPortOk || outcome.count == 0) {
        return false;
    }
    AddInput(input, outcome.count, platform::MonotonicMs());
    return true;
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
    LineInput& input = instance.lineInput;
    // What the last read brought beyond the previous frame is this one's beginning.
    if (HasInput(input) || ReadFirstBytes(port, input, firstByteWaitMs, lineFailure)) {
        while (CutFrame(input, buffer, count, kFrameCapacity) == FrameCut::kOpen &&
               ReadWithinGap(port, input)) {
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
