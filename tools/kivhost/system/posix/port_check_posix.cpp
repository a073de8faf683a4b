// Why a line did not open, on POSIX systems: the errno of the open, the device's owner and
// group for a refused permission, the programs that hold a line in use.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/port_name.h"
#include "platform/posix/line_termios.h"
#include "platform/serial_port.h"
#include "system/line_settings.h"
#include "system/port_check.h"

namespace kivhost {

namespace {

// "crw-rw----" of a mode.
std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISREG(mode) ? "-" : "?";
    constexpr mode_t kBits[] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                                S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    constexpr char kLetters[] = "rwxrwxrwx";
    for (size_t k = 0; k < 9; ++k) {
        text += (mode & kBits[k]) != 0 ? kLetters[k] : '-';
    }
    return text;
}

std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr && entry->gr_name != nullptr ? entry->gr_name : std::to_string(gid);
}

// The processes (that this user may look at) with the device open: " (held by 1234 minicom)".
std::string Holders(const std::string& device) {
    char resolved[PATH_MAX];
    if (realpath(device.c_str(), resolved) == nullptr) {
        return "";
    }
    std::string found;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return "";
    }
    const std::string self = std::to_string(getpid());
    while (const dirent* process = readdir(processes)) {
        const std::string pid = process->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == self) {
            continue;
        }
        const std::string fdFolder = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr) {
            continue;
        }
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            char target[PATH_MAX];
            const std::string link = fdFolder + "/" + fd->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0) {
                target[length] = '\0';
                if (std::strcmp(target, resolved) == 0) {
                    holds = true;
                    break;
                }
            }
        }
        closedir(fds);
        if (holds) {
            std::string name;
            std::ifstream comm("/proc/" + pid + "/comm");
            std::getline(comm, name);
            found += (found.empty() ? "" : ", ") + pid + (name.empty() ? "" : " " + name);
        }
    }
    closedir(processes);
    return found.empty() ? "" : " (held by process " + found + ")";
}

}  // namespace

std::string DevicePathOf(const std::string& port) {
    char path[kiv::platform::kDevicePathSize];
    if (!kiv::platform::PosixDevicePath(port.c_str(), path, sizeof path)) {
        return port;
    }
    return path;
}

void ExplainOpenFailure(const std::string& port, const LineSettings& settings, int32_t result,
                        uint32_t systemError, PortCheck& check) {
    const std::string& device = check.device;
    const int error = static_cast<int>(systemError);
    struct stat info {};
    const bool exists = stat(device.c_str(), &info) == 0;
    if (error == ENAMETOOLONG) {
        check.cause = "name";
        check.reason = "the port name '" + port + "' is too long for the host's 12 characters";
    } else if (error == ENOENT || error == ENODEV || error == ENXIO || !exists) {
        check.cause = "not-found";
        check.reason = "the device " + device +
                       " does not exist ('kivhost ports' lists the serial ports of this machine)";
    } else if (error == EACCES || error == EPERM) {
        check.cause = "permission";
        const std::string group = GroupName(info.st_gid);
        check.reason = "permission denied: " + device + " is " + ModeText(info.st_mode) + " " +
                       UserName(info.st_uid) + ":" + group + "; ";
        if ((info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            check.reason += "the group " + group +
                            " grants access: add the user to it (sudo usermod -aG " + group +
                            " $USER) and log in again";
        } else {
            check.reason += "only its owner may open it";
        }
    } else if (error == EBUSY) {
        check.cause = "in-use";
        check.reason = device + " is in use by another program" + Holders(device);
    } else if (result == kiv::platform::kPortStateRefused || error == EINVAL) {
        check.cause = "settings";
        if (kiv::platform::BaudConstant(settings.baudRate) == B0) {
            check.reason = "the rate " + std::to_string(settings.baudRate) +
                           " baud is not one the system takes: " + RateListText();
        } else {
            check.reason =
                device + " does not take " + SettingsText(settings) +
                " (one and a half stop bits need 5 data bits; two stop bits need 6 to 8)";
        }
    } else if (error == ENOTTY || (exists && !S_ISCHR(info.st_mode))) {
        check.cause = "not-a-serial-line";
        check.reason = device + " is not a serial line";
    } else {
        check.cause = "other";
        char words[kiv::platform::kErrorTextSize];
        kiv::platform::SystemErrorText(systemError, words, sizeof words);
        check.reason = device + " does not open: " + words;
    }
}

}  // namespace kivhost
