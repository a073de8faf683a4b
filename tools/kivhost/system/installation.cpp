// The places relative to the program's own folder.
#include "system/installation.h"

#include <cstdio>
#include <filesystem>

#include "platform/dynamic_library.h"

namespace kivhost {

namespace {

// A path below the program's folder, written the short way.
std::string FromProgramFolder(const std::string& relative) {
    return (std::filesystem::path(kiv::platform::ExecutableDirectory()) / relative)
        .lexically_normal()
        .string();
}

}  // namespace

std::vector<std::string> DriverCandidates() {
    const std::string name = kiv::platform::DriverLibraryFileName();
    std::vector<std::string> candidates = {FromProgramFolder(name)};
    const std::string installed = FromProgramFolder(std::string(KIV_LIBDIR_FROM_BIN) + "/" + name);
    if (installed != candidates.front()) {
        candidates.push_back(installed);
    }
    return candidates;
}

std::string DefaultTagFile() {
    return FromProgramFolder(std::string(KIV_DATADIR_FROM_BIN) + "/examples/vxs100-line.tags");
}

bool MoveToWorkFolder(const char* command, const std::string& chosen, std::string& workDir) {
    const std::string folder = chosen.empty() ? DefaultWorkFolder() : chosen;
    if (folder.empty()) {
        (void)std::fprintf(stderr,
                           "kivhost %s: the environment names no default working folder (%s): "
                           "name one with --workdir\n",
                           command, DefaultWorkFolderRule());
        return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    if (!failure) {
        std::filesystem::current_path(folder, failure);
    }
    if (failure) {
        (void)std::fprintf(stderr, "kivhost %s: cannot work in '%s': %s\n", command, folder.c_str(),
                           failure.message().c_str());
        return false;
    }
    workDir = std::filesystem::current_path(failure).string();
    return true;
}

}  // namespace kivhost
