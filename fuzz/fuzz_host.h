// What the fuzz targets share: the stand-in host with the tags the driver's host calls look up,
// and a driver instance as a host hands it over.
#pragma once

#include <cstdint>

#include "instance/driver_instance.h"

namespace kivfuzz {

// The host's number of the fuzzed instance; the host's tags belong to it.
inline constexpr int32_t kInstanceNumber = 1;

// Call first in every run: sets the host up once (the tags "INCOMING", "OUTGOING",
// "BADGECODE", "PWKDS" and "INPUT" of the instance) and forgets the log lines of the last run.
void BeginRun();

// A started instance made by hand: zeroed, with the host's client handle and the instance
// number filled in and its locks and events created. Made anew on every call.
kiv::DriverInstance& ZeroedInstance();

}  // namespace kivfuzz
