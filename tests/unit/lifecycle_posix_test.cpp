// Instances started and stopped many times on one line leave no thread, descriptor or memory
// behind; two instances on two lines in one process live independently; a key answer that the
// driver rejects fails the command the way its kind says. The controllers are the line simulator
// in this process, or the test itself on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "directory_entries.h"
#include "frames.h"
#include "host_fixture.h"
#include "host_instance.h"
#include "link/frame_format.h"
#include "pty_device.h"
#include "stage_instance.h"
#include "vxs_sim/simulator.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using kivtest::HostInstance;
using kivtest::TagValue;
using kivtest::WaitForTagValue;

constexpr int kPrompt = 5000;

// Under AddressSanitizer freed memory waits in quarantine, and ThreadSanitizer keeps memory of
// its own for the threads and descriptors (each event's eventfd) it has seen, so resident memory
// says nothing of leaks there (LeakSanitizer looks for them at the end instead).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

using kivtest::EntriesOf;

// Resident memory in pages.
long ResidentPages() {
    long size = 0;
    long resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident;
}

// "pts/N", the name the host's twelve-character field holds.
std::string PortNameOf(const vxs_sim::Simulator& sim) {
    return sim.DevicePath().substr(5);
}

class LifecyclePosixTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 10;
    }
    void TearDown() override {
        kiv::timingDefaults = kiv::kDriverTimings;
        WorkDirFixture::TearDown();
    }
    static vxs_sim::SimulatorOptions Quick(std::vector<int> controllers = {0}) {
        vxs_sim::SimulatorOptions options;
        options.controllers = std::move(controllers);
        options.timing.ackDelay = 2ms;
        options.timing.answerGap = 2ms;
        options.transcriptLimit = 1000;
        return options;
    }
};

TEST_F(LifecyclePosixTest, AThousandStartsAndClosesLeaveNothingBehind) {
    const auto sim = vxs_sim::Simulator::OnPty(Quick());
    const std::string port = PortNameOf(*sim);
    HostInstance instance(1);
    // A few rounds first, so that what the C library keeps for good is there before counting.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(instance.ColdStart(port), KIV_OK);
        ASSERT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK);
    }
    // The receiver's start delay as it is: a close during it ends the receiver at once.
    kiv::timingDefaults = kiv::kDriverTimings;
    const size_t threads = EntriesOf("/proc/self/task");
    const size_t descriptors = EntriesOf("/proc/self/fd");
    const long memory = ResidentPages();
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(instance.ColdStart(port), KIV_OK) << round;
        ASSERT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK) << round;
        qorClearLog();
    }
    EXPECT_EQ(EntriesOf("/proc/self/task"), threads);
    EXPECT_EQ(EntriesOf("/proc/self/fd"), descriptors);
    EXPECT_EQ(qorClientCount(), 0);
    // A leak of even one small block per round would show as 1000 blocks.
    if (kMemoryIsMeasurable) {
        EXPECT_LT(ResidentPages() - memory, 64) << "pages of resident memory gained";
    }
}

TEST_F(LifecyclePosixTest, TwoInstancesOnTwoLinesLiveApart) {
    const auto first = vxs_sim::Simulator::OnPty(Quick());
    const auto second = vxs_sim::Simulator::OnPty(Quick());
    qorDefineTag("PENUM1", "PENUM", 1, KIV_TYPE_ANALOG);
    qorDefineTag("PENUM2", "PENUM", 2, KIV_TYPE_ANALOG);
    auto one = std::make_unique<HostInstance>(1);
    HostInstance two(2);
    ASSERT_EQ(one->ColdStart(PortNameOf(*first)), KIV_OK);
    ASSERT_EQ(two.ColdStart(PortNameOf(*second)), KIV_OK);

    first->InjectEvent({0, 9, 1, 0, "", ""});
    second->InjectEvent({0, 10, 1, 0, "", ""});
    EXPECT_TRUE(WaitForTagValue("PENUM1", 9, kPrompt));
    EXPECT_TRUE(WaitForTagValue("PENUM2", 10, kPrompt));

    // The first stops; the second goes on.
    ASSERT_EQ(one->Call(KIV_FN_CLOSE), KIV_OK);
    one.reset();
    second->InjectEvent({0, 7, 1, 0, "", ""});
    EXPECT_TRUE(WaitForTagValue("PENUM2", 7, kPrompt));
    EXPECT_EQ(TagValue("PENUM1"), 9.0);
    EXPECT_EQ(qorClientCount(), 1);
}

// The test plays the controller: it acknowledges the key query and answers with frames the
// driver's check refuses.
TEST_F(LifecyclePosixTest, ARejectedKeyAnswerFailsModifyWithOneAndAddWithTwo) {
    kivtest::PtyDevice pty;
    ASSERT_TRUE(pty.Ok());
    HostInstance instance(1);
    ASSERT_EQ(instance.ColdStart(pty.PortName()), KIV_OK);
    instance->answerTimeoutUnit = 30;
    kivtest::PutText(instance->stage.currentBadgeCode, "0000000001");
    const auto frame = kivtest::FinishedCommand;
    // An answer with a wrong checksum is not even taken in: the command gets no answer (2).
    std::string wrongChecksum = frame("L 1,2");
    wrongChecksum[8] = wrongChecksum[8] == '0' ? '1' : '0';
    const std::tuple<std::string, int32_t> answers[] = {{frame("L 12"), KIV_REJECTED},
                                                        {frame("L 1A,2"), KIV_REJECTED},
                                                        {wrongChecksum, KIV_FAILED}};
    for (const auto& [answer, modifyResult] : answers) {
        for (const auto& [address, operation, expected] :
             {std::tuple<const char*, int32_t, int32_t>{"0FMODK", 2, modifyResult},
              {"0FADDK", 0, KIV_FAILED},
              {"0FDELK", 1, KIV_FAILED}}) {
            SCOPED_TRACE(address + (": " + answer));
            // (A modify-key command of a badge the database lacks clears the staged date.)
            kivtest::PutText(instance->stage.dateText, "01/01/30");
            std::atomic<bool> stop{false};
            // Every key query is acknowledged and answered with the bad answer.
            std::thread controller([&, bad = answer] {
                while (!stop) {
                    if (pty.Receive(64, 50).find(";K ") != std::string::npos) {
                        pty.Send("\nA\r" + bad);
                    }
                }
            });
            kivtest::TestTag tag(address, operation, KIV_TYPE_ANALOG, 0, -1, 0);
            tag.SetNumber(1);
            KivRequest request = tag.Request(*instance, KIV_FN_SINGLE_WRITE);
            EXPECT_EQ(KivMain(&request), expected);
            EXPECT_EQ(tag.Number(), 1);  // not reset after a failure
            stop = true;
            controller.join();
        }
    }
}

}  // namespace
