// The badge database against a process killed in the middle of its updates: whatever moment the
// kill comes, the file is one that an update left whole, never a mix of two.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "receive/badge_database.h"
#include "stage_instance.h"
#include "work_dir_fixture.h"

namespace {

constexpr int kUpdates = 200;
constexpr const char* kDatabase = "zezSetupDB01.dat";

// Update n adds badge 000000000n % 7 under key n with the holder "Holder n": each replaces the
// line of the badge with the same code.
// 'after' runs after each update.
void RunUpdates(kiv::DriverInstance& instance, int count, const std::function<void()>& after) {
    const int32_t name = qorFindTag("PBINM");
    for (int n = 1; n <= count; ++n) {
        const std::string code = "000000000" + std::to_string(n % 7);
        const std::string frame =
            "\n;A 7," + std::to_string(n) + "," + code + ",3F,01/02/24,12;89AB\r";
        qorSetText(name, ("Holder " + std::to_string(n)).c_str());
        kiv::BadgeUpdate update{code.c_str(), {}};
        kiv::ReadBadgeHolder(instance, update.holder);
        kiv::BadgeDbUpdate(instance, frame.c_str(), update);
        after();
    }
}

class BadgeDatabaseKillTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        qorDefineTag("PBINM", "PBINM", kivtest::kTestInstanceNumber, KIV_TYPE_STRING);
        qorDefineTag("PBIN2", "PBIN2", kivtest::kTestInstanceNumber, KIV_TYPE_STRING);
    }
};

TEST_F(BadgeDatabaseKillTest, AKilledUpdateLeavesTheFileBeforeOrAfter) {
    // Every file the updates leave, in order, made without a kill in a folder of its own.
    std::set<std::string> states{""};
    {
        const std::filesystem::path here = std::filesystem::current_path();
        std::filesystem::create_directory("reference");
        std::filesystem::current_path("reference");
        auto instance = kivtest::MakeStageInstance();
        RunUpdates(*instance, kUpdates, [&] { states.insert(ReadFile(kDatabase)); });
        std::filesystem::current_path(here);
    }
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(kDatabase);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto instance = kivtest::MakeStageInstance();
            RunUpdates(*instance, kUpdates, [] {});
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 200000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string file = Exists(kDatabase) ? ReadFile(kDatabase) : "";
        EXPECT_EQ(states.count(file), 1U) << "a file no update leaves:\n" << file;
    }
}

}  // namespace
