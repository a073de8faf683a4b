// What the driver tells the host about itself before any instance exists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

// The information banner in code page 437: an LF, then six lines of 62 characters, each
// followed by an LF.
inline constexpr size_t kBannerLineWidth = 62;
inline constexpr size_t kBannerLength = 1 + 6 * (kBannerLineWidth + 1);

const char* InformationBanner();

// Function 14: fills in the DriverInfo of the request's argument; 0, or 2 when there is no
// record to fill in.
int32_t GetKIVinfo(KivRequest* request);

}  // namespace kiv
