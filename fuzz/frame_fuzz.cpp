// Received frames: the bytes arrive in blocks (the first byte picks their size, 1 to 64) and are
// cut into frames as the receiver cuts them (at a CR, before an LF that begins the next frame,
// at a frame's capacity; the end of the input stands for a gap), each in a zeroed buffer,
// classified, with the monitoring tags and BADGECODE written on the way; and the hexadecimal
// reader over the whole buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz_host.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link/line_input.h"
#include "receive/incoming_tags.h"

namespace {

void HandleFrame(const char* frame, size_t count) {
    kiv::PublishIncoming(kivfuzz::ZeroedInstance(), frame, count);
    kiv::ClassifyFrame(frame, count);
    unsigned value = 0;
    kiv::ReadHexField(frame, kiv::kFrameBufferSize - 1, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kivfuzz::BeginRun();
    if (size == 0) {
        return 0;
    }
    const size_t block = data[0] % 64U + 1;
    static kiv::LineInput input;  // 1 KiB: not on the stack
    kiv::ClearInput(input);
    char frame[kiv::kFrameBufferSize] = {};
    size_t count = 0;
    size_t at = 1;
    while (at < size || kiv::HasInput(input)) {
        if (!kiv::HasInput(input)) {
            const size_t n = std::min({block, size - at, kiv::InputRoom(input)});
            std::memcpy(input.bytes, data + at, n);
            kiv::AddInput(input, n, 0);
            at += n;
        }
        const bool ended =
            kiv::CutFrame(input, frame, count, kiv::kFrameCapacity) != kiv::FrameCut::kOpen;
        if (ended || (at == size && !kiv::HasInput(input))) {
            HandleFrame(frame, count);
            std::memset(frame, 0, sizeof frame);
            count = 0;
        }
    }
    return 0;
}
