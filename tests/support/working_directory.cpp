// Temporary working directories for the tests of the driver's files.
#include "working_directory.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>

namespace kivtest {

TempDirectory::TempDirectory() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "kivtest-" + std::to_string(random()) + "-" +
                                 std::to_string(stamp) + "-" + std::to_string(counter++);
        path_ = std::filesystem::temp_directory_path() / name;
        if (std::filesystem::create_directory(path_)) {
            return;
        }
    }
    throw std::runtime_error("no temporary directory could be made");
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void WorkingDirectoryFixture::SetUp() {
    HostFixture::SetUp();
    previous_ = std::filesystem::current_path();
    directory_.emplace();
    std::filesystem::current_path(directory_->path());
}

void WorkingDirectoryFixture::TearDown() {
    std::filesystem::current_path(previous_);
    directory_.reset();
    HostFixture::TearDown();
}

}  // namespace kivtest
