// A test fixture that runs each test in a fresh, empty working directory of its own (the driver
// opens its files by bare name there), over a clean stand-in host; and byte-exact file access.
#pragma once

#include <filesystem>
#include <string>

#include "host_fixture.h"

namespace kivtest {

class WorkDirFixture : public HostFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // The whole file, byte for byte; empty when it cannot be read.
    static std::string ReadFile(const std::string& name);
    // Replaces the file by these bytes.
    static void WriteFile(const std::string& name, const std::string& bytes);
    static bool Exists(const std::string& name);

private:
    std::filesystem::path previous_;
    std::filesystem::path directory_;
};

}  // namespace kivtest
