// Each test in a fresh working directory.
#include "work_dir_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace kivtest {

void WorkDirFixture::SetUp() {
    HostFixture::SetUp();
    previous_ = std::filesystem::current_path();
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string stem = std::string("kiv-") + test->test_suite_name() + "-" + test->name();
    for (char& c : stem) {
        if (c == '/') {
            c = '-';
        }
    }
    std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                                (stem + "-" + std::to_string(random() % 1000000));
        if (std::filesystem::create_directory(candidate, error)) {
            directory_ = candidate;
            break;
        }
    }
    ASSERT_FALSE(directory_.empty()) << "no fresh directory under the temporary directory";
    std::filesystem::current_path(directory_);
}

void WorkDirFixture::TearDown() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    if (!directory_.empty()) {
        std::filesystem::remove_all(directory_, error);
    }
    HostFixture::TearDown();
}

std::string WorkDirFixture::ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WorkDirFixture::WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "could not write " << name;
}

bool WorkDirFixture::Exists(const std::string& name) {
    std::error_code error;
    return std::filesystem::exists(name, error);
}

}  // namespace kivtest
