// Cutting frames from what the line brought.
#include "link/line_input.h"

#include "link/frame_format.h"

namespace kiv {

FrameCut CutFrame(LineInput& input, char* frame, size_t& count, size_t capacity) {
    while (count < capacity) {
        if (!HasInput(input)) {
            return FrameCut::kOpen;
        }
        const char byte = input.bytes[input.start];
        if (byte == kLineFeed && count > 0) {
            return FrameCut::kAtNextLineFeed;
        }
        ++input.start;
        frame[count++] = byte;
        if (byte == kCarriageReturn) {
            return FrameCut::kAtCarriageReturn;
        }
    }
    return FrameCut::kFull;
}

void AddInput(LineInput& input, size_t count, uint64_t nowMs) {
    input.start = 0;
    input.end = count < sizeof input.bytes ? count : sizeof input.bytes;
    input.arrivedAtMs = nowMs;
}

}  // namespace kiv
