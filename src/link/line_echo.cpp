// Telling the driver's own frames apart when the line hands them back.
#include "link/line_echo.h"

#include <algorithm>
#include <cstring>

#include "link/frame_format.h"
#include "link/instance_port.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// A byte on the wire: start bit, eight data bits, parity, stop bit at the most.
constexpr uint64_t kBitsPerByte = 11;
constexpr uint64_t kSlowestBaud = 300;

uint64_t WireMs(const DriverInstance& instance, size_t length) {
    const uint64_t baud =
        std::max<uint64_t>(instance.portSettings.lineSettings.baudRate, kSlowestBaud);
    return (length * kBitsPerByte * 1000 + baud - 1) / baud;
}

// Drops the notes whose echo is overdue (what is left is due at 'now' or later).
void DropOverdue(LineEcho& echo, uint64_t now) {
    int kept = 0;
    for (int i = 0; i < echo.count; ++i) {
        if (echo.sent[i].dueBy >= now) {
            echo.sent[kept++] = echo.sent[i];
        }
    }
    echo.count = kept;
}

void DropFirst(LineEcho& echo, int count) {
    std::copy(echo.sent + count, echo.sent + echo.count, echo.sent);
    echo.count -= count;
}

bool SameFrame(const SentFrame& sent, const char* frame, size_t length) {
    return sent.length == length && std::memcmp(sent.bytes, frame, length) == 0;
}

bool IsAck(const char* frame, size_t length) {
    return length == kAckFrameLength && IsAckFrame(frame, length);
}

// Brings the notes and the port's echo state up to 'now'.
void Update(LineEcho& echo, uint64_t now) {
    DropOverdue(echo, now);
    if (echo.state == kEchoUnknown && echo.probeDueBy != 0 && now > echo.probeDueBy) {
        echo.state = kNoEcho;
    }
}

// The note the frame is the echo of: -1 when none. An acknowledgement only at the head of the
// notes, on a port that echoes (or, where it can answer nothing, on one not yet known).
int FindEcho(const LineEcho& echo, const char* frame, size_t length, bool ackMayAnswer) {
    if (IsAck(frame, length)) {
        const bool mayEcho = echo.state == kEchoes || (!ackMayAnswer && echo.state == kEchoUnknown);
        return mayEcho && echo.count > 0 && SameFrame(echo.sent[0], frame, length) ? 0 : -1;
    }
    for (int i = 0; i < echo.count; ++i) {
        if (SameFrame(echo.sent[i], frame, length)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

void NoteSentFrame(DriverInstance& instance, const char* frame, size_t length) {
    LineEcho& echo = instance.echo;
    const uint64_t now = platform::MonotonicMs();
    DropOverdue(echo, now);
    if (length > kFrameCapacity) {
        return;
    }
    if (echo.count == kEchoSlots) {
        DropFirst(echo, 1);
    }
    SentFrame& sent = echo.sent[echo.count++];
    std::memcpy(sent.bytes, frame, length);
    sent.length = static_cast<uint32_t>(length);
    sent.dueBy = now + WireMs(instance, length) + kEchoLatencyMs;
    if (echo.state == kEchoUnknown && echo.probeDueBy == 0 && !IsAck(frame, length)) {
        echo.probeDueBy = sent.dueBy;
    }
}

bool TakeEcho(DriverInstance& instance, const char* frame, size_t length, bool ackMayAnswer) {
    LineEcho& echo = instance.echo;
    Update(echo, platform::MonotonicMs());
    const int found = FindEcho(echo, frame, length, ackMayAnswer);
    if (found < 0) {
        return false;
    }
    DropFirst(echo, found + 1);
    if (!IsAck(frame, length) && echo.state != kEchoes) {
        echo.state = kEchoes;
        err(32,
            "RIRODI: COMM port %s hands back what the driver sends (an echoing adapter); its own "
            "frames are passed over",
            PortName(instance.portSettings).text);
    }
    return true;
}

uint32_t AckEchoWaitMs(DriverInstance& instance) {
    LineEcho& echo = instance.echo;
    const uint64_t now = platform::MonotonicMs();
    Update(echo, now);
    if (echo.state != kEchoUnknown) {
        return 0;
    }
    for (int i = 0; i < echo.count; ++i) {
        if (IsAck(echo.sent[i].bytes, echo.sent[i].length)) {
            return static_cast<uint32_t>(echo.sent[i].dueBy - now);
        }
    }
    return 0;
}

void ForgetSentFrames(DriverInstance& instance) {
    instance.echo.count = 0;
    instance.echo.state = kEchoUnknown;
    instance.echo.probeDueBy = 0;
}

}  // namespace kiv
