// Why a line did not open, on Windows: the error of CreateFileA or SetCommState.
#include <string>

#include "platform/port_name.h"
#include "platform/serial_port.h"
#include "system/line_settings.h"
#include "system/port_check.h"

namespace kivhost {

namespace {

// The system's error codes the causes are told by (winerror.h).
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kFilenameTooLong = 206;

}  // namespace

std::string DevicePathOf(const std::string& port) {
    char path[kiv::platform::kDevicePathSize];
    if (!kiv::platform::Win32DevicePath(port.c_str(), path, sizeof path)) {
        return port;
    }
    return path;
}

void ExplainOpenFailure(const std::string& port, const LineSettings& settings, int32_t result,
                        uint32_t systemError, PortCheck& check) {
    if (systemError == kFilenameTooLong) {
        check.cause = "name";
        check.reason = "the port name '" + port + "' is too long for the host's 12 characters";
    } else if (systemError == kFileNotFound || systemError == kPathNotFound) {
        check.cause = "not-found";
        check.reason = "the port " + port +
                       " does not exist ('kivhost ports' lists the serial ports of this machine)";
    } else if (systemError == kAccessDenied || systemError == kSharingViolation) {
        check.cause = "in-use";
        check.reason = port +
                       " is in use by another program (Windows lets one program open a "
                       "port at a time)";
    } else if (result == kiv::platform::kPortStateRefused || systemError == kInvalidParameter) {
        check.cause = "settings";
        check.reason = port + " does not take " + SettingsText(settings);
    } else {
        check.cause = "other";
        char words[kiv::platform::kErrorTextSize];
        kiv::platform::SystemErrorText(systemError, words, sizeof words);
        check.reason = port + " does not open: " + words;
    }
}

}  // namespace kivhost
