// A fresh folder of a benchmark's own under the temporary folder, the working folder while it
// lives (the driver opens its files by bare name); removed with all it holds.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace kivbench {

class ScratchFolder {
public:
    explicit ScratchFolder(const char* stem) : previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / stem).string() + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        std::filesystem::current_path(folder_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(folder_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

}  // namespace kivbench
