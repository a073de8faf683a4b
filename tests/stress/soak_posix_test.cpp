// A soak across the start-up poll: four controllers send events as fast as a 19200-baud wire
// carries them (the simulator on a device of its own, a paced relay between it and the driver's
// terminal) while the poll runs at its real delay (50 s after the start) and asks every controller
// for its status, four of them absent. The simulated controllers take any acknowledgement for their
// oldest unacknowledged frame, so an acknowledgement sent for anything but an event would
// lose that event. Every event must be filed exactly once.
//
// KIV_SOAK_SECONDS sets how long events flow (default 65, which spans the poll; 600 for the
// ten-minute soak).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host_fixture.h"
#include "host_instance.h"
#include "instance/driver_instance.h"
#include "paced_relay.h"
#include "vxs_sim/simulator.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int SoakSeconds() {
    const char* text = std::getenv("KIV_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 65;
}

// How often each badge number occurs in the event log's records (";V date time,code,unit,badge;").
std::map<unsigned long, int> BadgesFiled(const std::string& log) {
    std::map<unsigned long, int> filed;
    for (size_t at = log.find(";V "); at != std::string::npos; at = log.find(";V ", at + 1)) {
        const size_t end = log.find(';', at + 1);
        const size_t comma = log.rfind(',', end);
        if (end == std::string::npos || comma == std::string::npos || comma < at) {
            continue;
        }
        ++filed[std::stoul(log.substr(comma + 1, end - comma - 1), nullptr, 16)];
    }
    return filed;
}

// How long the simulated controllers waited for the driver's acknowledgements: the longest time
// from an event's first send to its acknowledgement, and which events went again because none
// came within the controllers' resend time. A lost or doubled event is read against these.
class AckWatch {
public:
    void See(const vxs_sim::TranscriptEntry& entry) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const int controller = entry.controller & 7;
        if (entry.direction == vxs_sim::TranscriptEntry::Direction::kSent &&
            entry.kind == "event") {
            if (waiting_[controller]) {  // the wait goes on from the first send
                resent_ += " " + std::to_string(controller) + "@" +
                           std::to_string(entry.at.count() / 1000) + "ms";
                ++resends_;
                return;
            }
            waiting_[controller] = true;
            sentAt_[controller] = entry.at;
        } else if (entry.kind == "acknowledged" && waiting_[controller]) {
            waiting_[controller] = false;
            longest_ = std::max(longest_, entry.at - sentAt_[controller]);
        }
    }
    std::string Said() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return "longest wait for an acknowledgement " + std::to_string(longest_.count() / 1000) +
               " ms, events sent again " + std::to_string(resends_) +
               " (controller@time:" + resent_.substr(0, 200) + ")";
    }

private:
    std::mutex mutex_;
    bool waiting_[8] = {};
    std::chrono::microseconds sentAt_[8] = {};
    std::chrono::microseconds longest_{0};
    int resends_ = 0;
    std::string resent_;
};

class SoakTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::timingDefaults = kiv::kDriverTimings;  // the poll at its real delay
        qorDefineTag("PENUM", "PENUM", 1, KIV_TYPE_ANALOG);
    }
    void TearDown() override {
        kiv::timingDefaults = kiv::kDriverTimings;
        WorkDirFixture::TearDown();
    }
};

TEST_F(SoakTest, EveryEventIsFiledExactlyOnceAcrossThePoll) {
    vxs_sim::SimulatorOptions options;
    options.controllers = {0, 1, 2, 3};
    options.timing.ackDelay = 2ms;
    options.timing.answerGap = 2ms;
    // The controllers send an unacknowledged event again after 4 s, not the field's second: an
    // acknowledgement that a loaded test machine (sanitizers, two cores, other suites) holds back
    // past the resend time makes a second copy that the driver rightly files again. Copies that
    // wait through the receiver's start delay are LifecycleTest's, with a resend time of its own.
    options.timing.resendAfter = 4s;
    options.transcriptLimit = 2000;
    constexpr int kBaud = 19200;
    const kivtest::Pty simulatorSide;
    const kivtest::Pty driverSide;
    AckWatch acks;  // outlives the simulator, whose thread calls it
    const auto sim = vxs_sim::Simulator::OnDevice(simulatorSide.name, kBaud, options);
    sim->SetListener([&acks](const vxs_sim::TranscriptEntry& entry) { acks.See(entry); });
    const kivtest::PacedRelay wire(simulatorSide.master, driverSide.master, kBaud);
    kivtest::HostInstance instance(1);
    ASSERT_EQ(instance.ColdStart(driverSide.name.substr(5)), KIV_OK);

    // The queue is kept full: never more than kAhead events injected beyond those published.
    constexpr uint32_t kAhead = 16;
    const int32_t penum = qorFindTag("PENUM");
    uint32_t injected = 0;
    const auto end = Clock::now() + std::chrono::seconds(SoakSeconds());
    while (Clock::now() < end) {
        if (injected - qorWriteCount(penum) < kAhead) {
            ++injected;
            sim->InjectEvent({static_cast<int>(injected % 4), 0, 1, injected, "", ""});
        } else {
            qorWaitForChange(qorChangeCount(), 10);
        }
    }
    ASSERT_TRUE(sim->WaitUntilIdle(30s));
    ASSERT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK);

    // The poll ran meanwhile: the absent controllers were named.
    EXPECT_EQ(kivtest::LinesWith("RIRODI: Initialize() error, controler 7 not answer").size(), 1U);
    const std::map<unsigned long, int> filed = BadgesFiled(ReadFile("zezEvents01.dat"));
    size_t missing = 0;
    size_t twice = 0;
    for (uint32_t badge = 1; badge <= injected; ++badge) {
        const auto found = filed.find(badge);
        missing += found == filed.end() ? 1 : 0;
        twice += found != filed.end() && found->second > 1 ? 1 : 0;
    }
    std::printf("[ info ] %u events in %d s; %s\n", injected, SoakSeconds(), acks.Said().c_str());
    EXPECT_EQ(missing, 0U) << "of " << injected << " events; " << acks.Said();
    EXPECT_EQ(twice, 0U) << "of " << injected << " events; " << acks.Said();
    EXPECT_EQ(filed.size(), injected);
}

}  // namespace
