// A line whose device goes away while the instance runs, as a USB-serial adapter pulled and
// plugged back: the instance opens its port by a stable name (a symbolic link, as udev gives a
// by-id name) onto the simulator's pseudo-terminal; the simulator is destroyed (its side of the
// pseudo-terminal closes: reads fail, the line hangs up) and a new one appears under the same
// name. The real error path of the POSIX port layer, no seam.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "host_fixture.h"
#include "host_instance.h"
#include "platform/sync.h"
#include "stage_instance.h"
#include "vxs_sim/simulator.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using kivtest::HostInstance;
using kivtest::LinesWith;
using kivtest::WaitForLine;

constexpr int kPrompt = 5000;

// A symbolic link of at most twelve characters (the host's port name field), "/tmp/kvNNNNN",
// that can be pointed at another device; removed at the end.
class StableName {
public:
    explicit StableName(const std::string& device) {
        for (unsigned n = static_cast<unsigned>(getpid()) % 100000; name_.empty(); ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "/tmp/kv%05u", n % 100000);
            if (symlink(device.c_str(), name) == 0) {
                name_ = name;
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    ~StableName() {
        if (!name_.empty()) {
            unlink(name_.c_str());
        }
    }
    StableName(const StableName&) = delete;
    StableName& operator=(const StableName&) = delete;

    const std::string& Name() const { return name_; }
    // The adapter is pulled: its name goes away, as udev removes a by-id name. The name must not
    // lead on to the old device, whose number the system gives to the next pseudo-terminal made
    // (another test's simulator, which the instance would open and hold).
    void Remove() const { unlink(name_.c_str()); }
    // Points the name at another device in one step, as udev does when the adapter returns.
    bool PointTo(const std::string& device) const {
        const std::string next = name_ + ".next";
        unlink(next.c_str());
        return symlink(device.c_str(), next.c_str()) == 0 &&
               std::rename(next.c_str(), name_.c_str()) == 0;
    }

private:
    std::string name_;
};

// CPU time of the whole process, in milliseconds.
double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

class LineLossTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 10;
        qorDefineTag("PENUM", "PENUM", 1, KIV_TYPE_ANALOG);
        sim_ = vxs_sim::Simulator::OnPty(Options());
        name_ = std::make_unique<StableName>(sim_->DevicePath());
        ASSERT_FALSE(name_->Name().empty());
        ASSERT_EQ(instance_.ColdStart(name_->Name()), KIV_OK);
        ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
        // The event-format command of the start is answered before the line goes: it holds the
        // transaction from before its frame goes out until its answer.
        ASSERT_TRUE(
            sim_->WaitFor(vxs_sim::IsEntry(vxs_sim::TranscriptEntry::Direction::kReceived, "frame"),
                          std::chrono::milliseconds(kPrompt)));
        const kiv::platform::LockGuard answered(instance_->transactionLock);
    }
    void TearDown() override {
        instance_.Call(KIV_FN_CLOSE);
        kiv::timingDefaults = kiv::kDriverTimings;
        WorkDirFixture::TearDown();
    }
    static vxs_sim::SimulatorOptions Options() {
        vxs_sim::SimulatorOptions options;
        options.controllers = {0};
        options.timing.ackDelay = 2ms;
        options.timing.answerGap = 2ms;
        return options;
    }
    // Pulls the adapter: the simulator's side of the line closes.
    void Pull() {
        name_->Remove();
        sim_.reset();
        ASSERT_TRUE(WaitForLine("RIRODI: COMM port " + name_->Name() + " failed: ", kPrompt));
    }
    int32_t StatusQuery() {
        kivtest::TestTag tag("0FSTAT", 13, KIV_TYPE_ANALOG, 0, -1, 0);
        tag.SetNumber(1);
        KivRequest request = tag.Request(*instance_);
        return KivMain(&request);
    }
    // The events of the event log (its lines after the header that hold an event's time).
    size_t EventsFiled() {
        const std::string log = ReadFile("zezEvents01.dat");
        size_t count = 0;
        for (size_t at = log.find(",09,01"); at != std::string::npos;
             at = log.find(",09,01", at + 1)) {
            ++count;
        }
        return count;
    }

    std::unique_ptr<vxs_sim::Simulator> sim_;
    std::unique_ptr<StableName> name_;
    HostInstance instance_{1};
};

TEST_F(LineLossTest, APulledAdapterIsOpenedAgainWhenItReturnsAndNoEventIsLost) {
    sim_->InjectEvent({0, 9, 1, 0, "", ""});
    ASSERT_TRUE(kivtest::WaitForTagValue("PENUM", 9, kPrompt));
    ASSERT_NO_FATAL_FAILURE(Pull());

    // While it is gone: no spinning, and a command fails at once, saying why.
    const double cpuBefore = ProcessCpuMs();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 100.0) << "CPU milliseconds in one second";
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusQuery(), KIV_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    EXPECT_EQ(
        LinesWith("RIRODI: COMM port " + name_->Name() + " is gone, the frame was not sent").size(),
        1U);
    EXPECT_TRUE(LinesWith("time-out").empty());

    // Plugged back under the same name: opened again by itself, events flow, none lost.
    sim_ = vxs_sim::Simulator::OnPty(Options());
    const auto returned = std::chrono::steady_clock::now();
    ASSERT_TRUE(name_->PointTo(sim_->DevicePath()));
    ASSERT_TRUE(
        WaitForLine("RIRODI: COMM port " + name_->Name() + " is back, opened again", kPrompt));
    std::printf("[ info ] the line was open again %lld ms after it returned\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - returned)
                                           .count()));
    constexpr size_t kEvents = 20;
    for (size_t n = 0; n < kEvents; ++n) {
        sim_->InjectEvent({0, 9, 1, 0, "", ""});
    }
    ASSERT_TRUE(sim_->WaitUntilIdle(std::chrono::milliseconds(kPrompt)));
    // The acknowledgement goes out before the event is filed: the last one may be on its way.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPrompt);
    while (EventsFiled() < kEvents + 1 && std::chrono::steady_clock::now() < bound) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(EventsFiled(), kEvents + 1);
    EXPECT_EQ(StatusQuery(), KIV_OK);
    EXPECT_EQ(LinesWith(" failed: ").size(), 1U);
    EXPECT_EQ(LinesWith(" is back, opened again").size(), 1U);
}

// Close while the line is gone returns at once; function 12 during the outage ends the tries to
// open it again, and function 13 opens it when the host wants.
TEST_F(LineLossTest, CloseAndThePortFunctionsDuringTheOutage) {
    ASSERT_NO_FATAL_FAILURE(Pull());
    sim_ = vxs_sim::Simulator::OnPty(Options());
    EXPECT_EQ(instance_.Call(KIV_FN_PORT_CLOSE), KIV_OK);
    ASSERT_TRUE(name_->PointTo(sim_->DevicePath()));
    EXPECT_FALSE(WaitForLine(" is back, opened again", 2500));  // the host closed it
    EXPECT_EQ(instance_.Call(KIV_FN_PORT_OPEN), KIV_OK);
    sim_->InjectEvent({0, 9, 1, 0, "", ""});
    EXPECT_TRUE(kivtest::WaitForTagValue("PENUM", 9, kPrompt));

    name_->Remove();
    sim_.reset();
    ASSERT_TRUE(kivtest::WaitForLines(" failed: ", 2, kPrompt));
    auto closed = std::async(std::launch::async, [&] { return instance_.Call(KIV_FN_CLOSE); });
    ASSERT_EQ(closed.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(closed.get(), KIV_OK);
}

}  // namespace
