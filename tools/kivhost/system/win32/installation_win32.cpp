// The user's own folder for the driver's files on Windows (the local application data).
#include <cstdlib>
#include <string>

#include "system/installation.h"

namespace kivhost {

std::string DefaultWorkFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    if (local != nullptr && local[0] != '\0') {
        return std::string(local) + "\\VUDUDIDI";
    }
    return "";
}

const char* DefaultWorkFolderRule() {
    return "%LOCALAPPDATA%\\VUDUDIDI";
}

}  // namespace kivhost
