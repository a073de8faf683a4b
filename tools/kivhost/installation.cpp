// The places relative to the program's own folder.
#include "installation.h"

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

}  // namespace kivhost
