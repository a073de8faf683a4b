// The monitoring tags of what the line brings: "INCOMING" shows every frame the receiver reads,
// valid or not, and "BADGECODE" the badge code read from it.
#pragma once

#include <cstddef>

#include "instance/driver_instance.h"

namespace kiv {

// Publishes a received frame of 'count' bytes (it ends at a NUL before that, if any) in
// "INCOMING" without its last byte (at most 200 bytes, escaped), then derives "BADGECODE".
void PublishIncoming(const DriverInstance& instance, const char* frame, size_t count);

// Writes "BADGECODE" (when that tag exists) with characters 4 to 13 of "INCOMING" taken in
// pairs, each pair swapped (5, 4, 7, 6, ... 13, 12); a missing "INCOMING" gives an empty text.
void InvertBadgeCode(const DriverInstance& instance);

}  // namespace kiv
