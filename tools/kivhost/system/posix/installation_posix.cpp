// The user's own folder for the driver's files on POSIX systems (the XDG state folder).
#include <cstdlib>
#include <string>

#include "system/installation.h"

namespace kivhost {

std::string DefaultWorkFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/vududidi";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/state/vududidi";
    }
    return "";
}

const char* DefaultWorkFolderRule() {
    return "$XDG_STATE_HOME/vududidi, else ~/.local/state/vududidi";
}

}  // namespace kivhost
