// Functions 4, 6 and 10: the block functions, which the driver does not support. Each logs why
// and answers 1.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

int32_t BlockParse(KivRequest* request);
int32_t BlockRead(KivRequest* request);
int32_t BlockWrite(KivRequest* request);

}  // namespace kiv
