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

// Drops the notes whose echo is overdue.
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

// The note the frame is the echo of: -1 when none. An acknowledgement only at the head of the
// notes, on a port that echoes.
int FindEcho(const LineEcho& echo, const char* frame, size_t length) {
    if (IsAckFrame(frame, length) && length == kAckFrameLength) {
        return echo.echoes && echo.count > 0 && SameFrame(echo.sent[0], frame, length) ? 0 : -1;
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
}

bool TakeEcho(DriverInstance& instance, const char* frame, size_t length) {
    LineEcho& echo = instance.echo;
    DropOverdue(echo, platform::MonotonicMs());
    const int found = FindEcho(echo, frame, length);
    if (found < 0) {
        return false;
    }
    DropFirst(echo, found + 1);
    if (!echo.echoes) {
        echo.echoes = true;
        err(32,
            "RIRODI: COMM port %s hands back what the driver sends (an echoing adapter); its own "
            "frames are passed over",
            PortName(instance.portSettings).text);
    }
    return true;
}

void ForgetSentFrames(DriverInstance& instance) {
    instance.echo.count = 0;
    instance.echo.echoes = false;
}

}  // namespace kiv
