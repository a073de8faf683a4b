// Placeholder until the event and setup files land: appends records without headers.
#pragma once

#include <cstddef>

#include "instance/driver_instance.h"

namespace kiv {

bool AppendEventRecord(DriverInstance& instance, const char* frame, size_t length);
bool AppendUploadRecord(DriverInstance& instance, const char* frame, size_t length);

}  // namespace kiv
