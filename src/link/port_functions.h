// Functions 12, 13 and 15: close, open and reconfigure the port of a running instance.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

int32_t PortClose(KivRequest* request);
int32_t PortOpen(KivRequest* request);
int32_t PortReconfigure(KivRequest* request);

}  // namespace kiv
