// A received frame: the bytes as the receiver collects them (up to the first CR, at most a
// frame's capacity, in a zeroed buffer), classified, with the monitoring tags and BADGECODE
// written on the way; and the hexadecimal reader over the whole buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz_host.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "receive/incoming_tags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kivfuzz::BeginRun();
    char frame[kiv::kFrameBufferSize] = {};
    const auto* bytes = reinterpret_cast<const char*>(data);
    const size_t limit = std::min(size, kiv::kFrameCapacity);
    const auto* cr = std::find(bytes, bytes + limit, kiv::kCarriageReturn);
    const size_t count = cr == bytes + limit ? limit : static_cast<size_t>(cr - bytes) + 1;
    std::memcpy(frame, bytes, count);
    kiv::PublishIncoming(kivfuzz::ZeroedInstance(), frame, count);
    kiv::ClassifyFrame(frame, count);
    unsigned value = 0;
    kiv::ReadHexField(frame, sizeof frame - 1, value);
    return 0;
}
