// From the port name the host gives to the path the system opens.
//
// The host's name field holds 12 bytes. On Windows, COM10 and above need the "\\.\" prefix;
// every other name is opened as given. On Linux a name that does not begin with "/" is taken
// relative to /dev ("ttyUSB0", "pts/3", or "COM1" for a /dev/COM1 link that udev or an
// administrator makes), so that the short field reaches any device; "NUL" is the null device on
// both.
#pragma once

#include <cstddef>

namespace kiv::platform {

// Room for any path built from a name of the host's field.
inline constexpr size_t kDevicePathSize = 32;

// Whether the name is exactly "NUL".
bool IsNullDeviceName(const char* name);

// The path CreateFileA gets; false when it does not fit 'size' bytes.
bool Win32DevicePath(const char* name, char* path, size_t size);

// The path open(2) gets; false when it does not fit 'size' bytes or the name is empty.
bool PosixDevicePath(const char* name, char* path, size_t size);

}  // namespace kiv::platform
