// The monitoring tags of received frames.
#include "receive/incoming_tags.h"

#include <cstring>

#include "instance/host_tags.h"
#include "link/frame_codec.h"

namespace kiv {

namespace {

// The text area InvertBadgeCode reads "INCOMING" into, and the part of it that it turns.
constexpr size_t kBadgeAreaSize = 100;
constexpr size_t kBadgeFirst = 4;
constexpr size_t kBadgeLength = 10;

}  // namespace

void PublishIncoming(const DriverInstance& instance, const char* frame, size_t count) {
    const size_t n = strnlen(frame, count);
    PublishCopy(instance, "INCOMING", frame, n > 0 ? n - 1 : 0);
    InvertBadgeCode(instance);
}

void InvertBadgeCode(const DriverInstance& instance) {
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
