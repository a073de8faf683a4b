// A fresh, empty working directory for a test: the driver opens its files by bare name there.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "host_fixture.h"

namespace kivtest {

// Makes a new directory under the system's temporary directory and removes it with everything in
// it when it goes.
class TempDirectory {
public:
    TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes the bytes to the file as they are (binary: no line-end translation).
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

// A clean host, and a temporary directory as the working directory for the test's duration.
class WorkingDirectoryFixture : public HostFixture {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    std::filesystem::path previous_;
    std::optional<TempDirectory> directory_;
};

}  // namespace kivtest
