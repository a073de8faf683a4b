// The handle of an open serial line, as the instance record keeps it.
#pragma once

namespace kiv::platform {

struct PortObject;
// nullptr: no port open.
using PortHandle = PortObject*;

}  // namespace kiv::platform
