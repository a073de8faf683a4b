// Port names to system paths.
#include "platform/port_name.h"

#include <cstdio>
#include <cstring>

#include "platform/serial_port.h"

namespace kiv::platform {

namespace {

// "COM" in any case followed by digits only, with a value of 10 or more.
bool IsHighComName(const char* name) {
    if (std::strlen(name) < 5) {
        return false;
    }
    for (size_t i = 0; i < 3; ++i) {
        const char upper = static_cast<char>(name[i] & ~0x20);
        if (upper != "COM"[i]) {
            return false;
        }
    }
    unsigned long number = 0;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
        // Only "10 or more" matters; holding the value there keeps long names from overflowing.
        number = number * 10U + static_cast<unsigned long>(*digit - '0');
        if (number > 10U) {
            number = 10U;
        }
    }
    return number >= 10U;
}

bool Format(char* path, size_t size, const char* prefix, const char* name) {
    const int n = std::snprintf(path, size, "%s%s", prefix, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

}  // namespace

bool IsNullDeviceName(const char* name) {
    return std::strcmp(name, kNullDeviceName) == 0;
}

bool Win32DevicePath(const char* name, char* path, size_t size) {
    return Format(path, size, IsHighComName(name) ? "\\\\.\\" : "", name);
}

bool PosixDevicePath(const char* name, char* path, size_t size) {
    if (*name == '\0') {
        return false;
    }
    if (IsNullDeviceName(name)) {
        return Format(path, size, "", "/dev/null");
    }
    return Format(path, size, name[0] != '/' ? "/dev/" : "", name);
}

}  // namespace kiv::platform
