// Sending, receiving and classifying frames.
#include "link/frame_codec.h"

#include <cstring>

#include "host/host_tags.h"
#include "link/frame_format.h"
#include "platform/serial_port.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// The text area InvertBadgeCode reads "INCOMING" into, and the part of it that it turns.
constexpr size_t kBadgeAreaSize = 100;
constexpr size_t kBadgeFirst = 4;
constexpr size_t kBadgeLength = 10;

// A valid frame other than the acknowledgement: LF ";" command character, at least, then
// ";" four digits and CR.
constexpr size_t kShortestFrame = 8;
constexpr size_t kChecksumDigits = 4;

// Publishes the escaped copy of at most kMonitorCopyLength bytes in a monitoring tag.
void PublishCopy(const DriverInstance& instance, const char* address, const char* bytes,
                 size_t count) {
    char copy[EscapedSize(kMonitorCopyLength)];
    EscapeControlChars(bytes, count < kMonitorCopyLength ? count : kMonitorCopyLength, copy,
                       sizeof copy);
    PutTagText(instance, address, copy);
}

int32_t Send(DriverInstance& instance, const char* frame, size_t length, bool discardInput) {
    if (sendAckSetting.load() == 1 && IsAckFrame(frame, length)) {
        return KIV_OK;
    }
    PublishCopy(instance, "OUTGOING", frame, length);
    if (discardInput && platform::DiscardInput(instance.port) != platform::kPortOk) {
        err(32, "DUZED:Fail to flush comm port.");
        return KIV_FAILED;
    }
    size_t written = 0;
    const int32_t result = platform::WriteBytes(instance.port, frame, length, written);
    return result == platform::kPortOk && written == length ? KIV_OK : KIV_FAILED;
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

}  // namespace

int32_t SendFrame(DriverInstance& instance, const char* frame, size_t length) {
    return Send(instance, frame, length, true);
}

int32_t SendAcknowledgement(DriverInstance& instance) {
    return Send(instance, kAckFrame, kAckFrameLength, false);
}

int32_t ReceiveFrame(DriverInstance& instance, char (&buffer)[kFrameBufferSize], size_t& count) {
    std::memset(buffer, 0, sizeof buffer);
    count = 0;
    const platform::PortHandle port = instance.port;
    if (port == nullptr) {
        return 0;
    }
    while (count < kFrameCapacity) {
        char byte = 0;
        size_t received = 0;
        if (platform::ReadBytes(port, &byte, 1, &received) != platform::kPortOk || received != 1) {
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
    return count > 0 ? 1 : 0;
}

int32_t ClassifyFrame(DriverInstance& instance, const char* frame, size_t count,
                      MessageKind& kind) {
    const size_t n = strnlen(frame, count);
    PublishCopy(instance, "INCOMING", frame, n > 0 ? n - 1 : 0);
    InvertBadgeCode(instance);
    if (n == kAckFrameLength) {
        if (!IsAckFrame(frame, n)) {
            return 0;
        }
        kind = kKindAcknowledgement;
        return 1;
    }
    if (n < kShortestFrame) {
        return 0;
    }
    // The checksum covers the first ";" to the second; its digits follow, then the last byte.
    const size_t checksummed = n - 2 - kChecksumDigits;
    unsigned received = 0;
    // The digits are read as a formatted scan of width 4 reads them: at least one, either case.
    if (ReadHexField(frame + n - 1 - kChecksumDigits, kChecksumDigits, received) == 0 ||
        received != Crc16(frame + 1, checksummed)) {
        return 0;
    }
    kind = KindOf(frame);
    return 1;
}

void InvertBadgeCode(DriverInstance& instance) {
    char area[kBadgeAreaSize] = {};
    GetTagText(instance, "INCOMING", area, sizeof area);
    char code[kBadgeLength + 1] = {};
    for (size_t i = 0; i < kBadgeLength; i += 2) {
        code[i] = area[kBadgeFirst + i + 1];
        code[i + 1] = area[kBadgeFirst + i];
    }
    PutTagText(instance, "BADGECODE", code);
}

}  // namespace kiv
