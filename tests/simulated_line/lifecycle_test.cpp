// An instance's life on a real line, vxs-sim playing the controllers: cold start with the
// event-format command, events reaching the tags, the controller poll, the host's shut-down
// signal, warm start and close, and cold start's refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host_fixture.h"
#include "host_instance.h"
#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "qorpro/qorpro_embed.h"
#include "simulator_channel.h"
#include "stage_instance.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kivtest::HostInstance;
using kivtest::LinesWith;
using kivtest::LogLine;
using kivtest::LogLines;
using kivtest::TagValue;
using kivtest::WaitForLine;
using kivtest::WaitForLines;
using kivtest::WaitForTagValue;
using linktest::Sim;

const LogLine kEnteredColdStart{8, "DUZED:Entered KivMain(), with function 0"};

// Bounds for what comes at once; only a failing test waits that long.
constexpr int kPrompt = 5000;

// Log lines with the time they were written, and the event-format frames sent.
class Recorder {
public:
    Recorder() {
        qorSetLogCallback([](int /*level*/, const char* text,
                             void* self) { static_cast<Recorder*>(self)->Note(text); },
                          this);
    }
    ~Recorder() { qorSetLogCallback(nullptr, nullptr); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // When each line containing 'part' was written, once at least 'count' of them were or
    // 'timeoutMs' passed.
    std::vector<Clock::time_point> TimesOf(const std::string& part, size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::vector<Clock::time_point> times;
        noted_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            times.clear();
            for (const auto& [text, at] : lines_) {
                if (text.find(part) != std::string::npos) {
                    times.push_back(at);
                }
            }
            return times.size() >= count;
        });
        return times;
    }

private:
    void Note(const char* text) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(text, Clock::now());
        }
        noted_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable noted_;
    std::vector<std::pair<std::string, Clock::time_point>> lines_;
};

// How many event-format frames went out: each is published in "OUTGOING" before it is written.
class OutgoingCounter {
public:
    OutgoingCounter() {
        qorSetChangeCallback(
            [](int32_t gate, void* self) { static_cast<OutgoingCounter*>(self)->Note(gate); },
            this);
    }
    ~OutgoingCounter() { qorSetChangeCallback(nullptr, nullptr); }
    OutgoingCounter(const OutgoingCounter&) = delete;
    OutgoingCounter& operator=(const OutgoingCounter&) = delete;

    int EventFormatFrames() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return eventFormat_;
    }
    bool WaitForEventFormatFrames(int count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return counted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return eventFormat_ >= count; });
    }

private:
    void Note(int32_t gate) {
        if (gate != qorFindTag("OUTGOING")) {
            return;
        }
        char text[QOR_TEXT_SIZE] = {};
        qorGetText(gate, text, sizeof text);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            eventFormat_ += std::string(text).find(";S V,Y;") != std::string::npos ? 1 : 0;
        }
        counted_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable counted_;
    int eventFormat_ = 0;
};

class LifecycleTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();  // forgets the callbacks of the stand-in: set them after it
        recorder_ = std::make_unique<Recorder>();
        outgoing_ = std::make_unique<OutgoingCounter>();
        ASSERT_TRUE(Sim("timing ack=5 gap=20 resend=1000 resends=3 data-ack=1000"));
        // A quick receiver start; a poll far away unless a test brings it near.
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 50;
        kiv::timingDefaults.pollDelayMs = 600000;
        // Only shut-down and a close of the port end the receiver's wait on a quiet line.
        kiv::timingDefaults.receiverQuietWaitMs = 600000;
        for (const char* tag : {"OUTGOING", "PENUM", "PSDOR00", "PCDOR", "PBNAM"}) {
            qorDefineTag(tag, tag, 1, tag[1] == 'B' ? KIV_TYPE_STRING : KIV_TYPE_ANALOG);
        }
    }
    void TearDown() override {
        instance_.reset();  // closes it: no driver thread calls the recorders any more
        outgoing_.reset();
        recorder_.reset();
        kiv::timingDefaults = kiv::kDriverTimings;
        EXPECT_TRUE(Sim("idle 5000"));
        EXPECT_TRUE(Sim("fault silent off all"));
        for (int controller = 0; controller < 8; ++controller) {
            const std::string c = std::to_string(controller);
            EXPECT_TRUE(Sim("present " + c + " on"));
            EXPECT_TRUE(Sim("status " + c +
                            " mode=1 keys=auto word=0 text=\"\" ai1=0 ai2=0 ai3=0 "
                            "ai4=0 version=1.00"));
        }
        WorkDirFixture::TearDown();
    }

    int32_t Start(int32_t answerTimeout = 100) {
        return instance_->ColdStart(linktest::PortName(), answerTimeout);
    }

    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<OutgoingCounter> outgoing_;
    std::unique_ptr<HostInstance> instance_ = std::make_unique<HostInstance>(1);
};

TEST_F(LifecycleTest, StartsAcknowledgedAtOnceEventsReachTheTagsAndShutDownInOrder) {
    // The receiver's own start delay: the event-format command waits for it.
    kiv::timingDefaults.receiverStartDelayMs = kiv::kDriverTimings.receiverStartDelayMs;
    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    ASSERT_TRUE(Sim("event 0 10 unit=1"));
    EXPECT_TRUE(WaitForTagValue("PENUM", 10, kPrompt));
    EXPECT_EQ(TagValue("PSDOR00"), 1.0);
    EXPECT_EQ(TagValue("PCDOR"), 0.0);

    // The host's shut-down signal, then close.
    ASSERT_EQ(qorPostMessage((*instance_)->clientId, 0), 0);
    ASSERT_TRUE(WaitForLine("RIRODI: QorRmClient() succeeded!!!", kPrompt));
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(outgoing_->EventFormatFrames(), 1);
    EXPECT_TRUE(LinesWith("EventV_Format() error").empty());

    // The lines every start and stop writes, in this order; the receiver's last line follows the
    // signal (its thread and the one that removes the client end side by side).
    const std::vector<LogLine> expected = {
        {32, "RIRODI: START"},
        {32, "RIRODI: Driver loaded successfully"},
        {32, "RIRODI: Start of Unsolicited Thread"},
        {64, "RIRODI: message QOR_SIGNAL_SHUT"},
        {64, "RIRODI: QorRmClient() succeeded!!!"},
    };
    const LogLine receiverEnd{32, "RIRODI: End of Unsolicited Thread"};
    std::vector<LogLine> seen;
    bool endAfterSignal = false;
    for (const LogLine& line : LogLines()) {
        if (std::find(expected.begin(), expected.end(), line) != expected.end()) {
            seen.push_back(line);
        }
        endAfterSignal = endAfterSignal || (line == receiverEnd && seen.size() >= 4);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(endAfterSignal);
    EXPECT_EQ(LinesWith("RIRODI: Start of ThreadShutDown").size(), 1U);
    EXPECT_EQ(qorClientCount(), 0);
}

// Two events in one write, without a pause: both acknowledged, filed and published.
TEST_F(LifecycleTest, TwoEventsBackToBackAreBothHandled) {
    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    ASSERT_TRUE(Sim("fault silent on 0"));
    ASSERT_TRUE(Sim("event 0 8 unit=1"));
    ASSERT_TRUE(Sim("event 0 10 unit=2"));
    ASSERT_TRUE(Sim("fault backtoback on 0 count=1"));
    ASSERT_TRUE(Sim("fault silent off 0"));
    ASSERT_TRUE(Sim("idle 5000"));  // both acknowledged
    EXPECT_TRUE(WaitForTagValue("PENUM", 10, kPrompt));
    EXPECT_EQ(TagValue("PSDOR00"), 2.0);
    EXPECT_EQ(qorWriteCount(qorFindTag("PENUM")), 2U);
    EXPECT_TRUE(LinesWith("Illegal message").empty());
    const std::string log = ReadFile("zezEvents01.dat");
    EXPECT_EQ(log.rfind("LIST OF INPUT EVENTS.\r\n\r\n;V ", 0), 0U) << log;
    EXPECT_NE(log.find(",08,01,"), std::string::npos);
    EXPECT_NE(log.find(",10,02,"), std::string::npos);
}

// A controller sends its event again until it is acknowledged, and an acknowledgement names no
// event: copies that waited on the line while the receiver waited out its start delay, taken
// then, would each be filed and acknowledged, and the acknowledgements of the copies would be
// taken for the events after them. What came during the delay is dropped when the receiver
// starts; the copy sent after it is taken at once. (Controllers here send again every 200 ms,
// so that copies are certain to wait; with the field's second, the same happens whenever a
// copy comes just before the receiver's start.)
TEST_F(LifecycleTest, EventsSentDuringTheStartDelayAreFiledOnceEach) {
    ASSERT_TRUE(Sim("timing ack=5 gap=20 resend=200 resends=8 data-ack=1000"));
    kiv::timingDefaults.receiverStartDelayMs = 700;
    ASSERT_EQ(Start(), KIV_OK);
    for (const char* event : {"event 0 8 unit=1", "event 0 10 unit=2", "event 0 8 unit=3"}) {
        ASSERT_TRUE(Sim(event));
    }
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    ASSERT_TRUE(Sim("idle 5000"));  // every event acknowledged
    const std::string log = ReadFile("zezEvents01.dat");
    for (const char* filed : {",08,01,", ",10,02,", ",08,03,"}) {
        size_t count = 0;
        for (size_t at = log.find(filed); at != std::string::npos; at = log.find(filed, at + 1)) {
            ++count;
        }
        EXPECT_EQ(count, 1U) << filed << " in\n" << log;
    }
}

// The receiver waits on the quiet line for ten minutes unless something ends the wait: the
// host's shut-down signal ends it at once, and close then finds every thread gone.
TEST_F(LifecycleTest, ShutDownEndsTheReceiversWaitAtOnce) {
    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    ASSERT_TRUE(Sim("idle 5000"));  // the event-format command is answered: the line is quiet
    ASSERT_EQ(qorPostMessage((*instance_)->clientId, 0), 0);
    EXPECT_TRUE(WaitForLine("RIRODI: End of Unsolicited Thread", kPrompt));
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
}

TEST_F(LifecycleTest, WithoutControllersThreeFramesASecondApartThenAckWasntReceived) {
    ASSERT_TRUE(Sim("fault silent on all"));
    ASSERT_EQ(Start(30), KIV_OK);  // raised to 100 units: 1 s
    EXPECT_EQ((*instance_)->answerTimeoutUnit.load(), 100);
    ASSERT_TRUE(WaitForLine("RIRODI: EventV_Format() error,  Ack wasn't received", 4 * kPrompt));
    EXPECT_EQ(outgoing_->EventFormatFrames(), 3);
    const auto timeOuts =
        recorder_->TimesOf("RIRODI: EventV_Format() error, time-out waiting", 3, kPrompt);
    ASSERT_EQ(timeOuts.size(), 3U);
    for (size_t i = 1; i < timeOuts.size(); ++i) {
        // One second's wait and the pause of 100 ms after it.
        const auto gap = timeOuts[i] - timeOuts[i - 1];
        EXPECT_GE(gap, 1050ms);
        EXPECT_LE(gap, 2500ms);
    }
}

TEST_F(LifecycleTest, ShutDownDuringTheFirstWaitSendsNoSecondFrame) {
    ASSERT_TRUE(Sim("fault silent on all"));
    ASSERT_EQ(Start(250), KIV_OK);
    EXPECT_EQ((*instance_)->answerTimeoutUnit.load(), 250);
    ASSERT_TRUE(outgoing_->WaitForEventFormatFrames(1, kPrompt));
    ASSERT_EQ(qorPostMessage((*instance_)->clientId, 0), 0);
    // Close joins the thread that sends the frame: after it, the count is final. A wait cut
    // short by the shut-down is not a failure of the line, so it writes no failure line.
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(outgoing_->EventFormatFrames(), 1);
    EXPECT_TRUE(LinesWith("Ack wasn't received").empty());
    EXPECT_TRUE(LinesWith("time-out waiting").empty());
}

TEST_F(LifecycleTest, ThePollNamesEveryControllerThatDoesNotAnswer) {
    for (const int absent : {1, 2, 4, 5, 6, 7}) {
        ASSERT_TRUE(Sim("present " + std::to_string(absent) + " off"));
    }
    ASSERT_TRUE(Sim("status 0 mode=2 keys=4 word=16 text=DOOR0 ai1=7 version=2.10"));
    ASSERT_TRUE(Sim("status 3 mode=5 keys=0 word=64 text=DOOR3 ai4=9 version=1.01"));
    for (const char* tag : {"0PMODE", "0PKEYS", "0PAI1", "3PMODE", "3PAI4", "PSDOR06", "PSDOR07"}) {
        qorDefineTag(tag, tag, 1, KIV_TYPE_ANALOG);
    }
    qorDefineTag("3PCTRL", "3PCTRL", 1, KIV_TYPE_STRING);
    kiv::timingDefaults.pollDelayMs = 100;
    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Initialize() error, controler 7 not answer", 4 * kPrompt));
    std::vector<std::string> silent;
    for (const LogLine& line : LinesWith("not answer")) {
        silent.push_back(line.text);
    }
    std::vector<std::string> expected;
    for (const int absent : {1, 2, 4, 5, 6, 7}) {
        expected.push_back("RIRODI: Initialize() error, controler " + std::to_string(absent) +
                           " not answer");
    }
    EXPECT_EQ(silent, expected);
    EXPECT_EQ(TagValue("0PMODE"), 2.0);
    EXPECT_EQ(TagValue("0PKEYS"), 4.0);
    EXPECT_EQ(TagValue("0PAI1"), 7.0);
    EXPECT_EQ(TagValue("3PMODE"), 5.0);
    EXPECT_EQ(TagValue("3PAI4"), 9.0);
    EXPECT_EQ(kivtest::TagText("3PCTRL"), "DOOR3");
    EXPECT_EQ(TagValue("PSDOR06"), 0.0);  // bit 4 of 64 is clear...
    EXPECT_EQ(TagValue("PSDOR07"), 2.0);  // ...bit 6 is set
}

// After the poll, an xFSTAT's report goes to controller x: with only controller 0 on the line
// (every other one left waiting by the poll) and with all eight, the report following the
// acknowledgement at once or 20 ms after it.
TEST_F(LifecycleTest, AStatusQueryIsAnsweredUnderTheControllerAsked) {
    struct Case {
        bool othersPresent;
        int answerGapMs;
    };
    for (const Case& c : {Case{false, 0}, Case{false, 20}, Case{true, 0}, Case{true, 20}}) {
        SCOPED_TRACE(testing::Message()
                     << "others present " << c.othersPresent << ", gap " << c.answerGapMs);
        for (int controller = 1; controller < 8; ++controller) {
            ASSERT_TRUE(
                Sim("present " + std::to_string(controller) + (c.othersPresent ? " on" : " off")));
        }
        ASSERT_TRUE(Sim("timing ack=5 gap=" + std::to_string(c.answerGapMs) +
                        " resend=1000 resends=3 data-ack=1000"));
        ASSERT_TRUE(Sim("status 0 mode=1 keys=11"));
        ASSERT_TRUE(Sim("status 7 mode=1 keys=77"));
        for (const char* tag : {"0PKEYS", "7PKEYS"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_ANALOG);
            ASSERT_EQ(qorSetValue(qorFindTag(tag), 0), 0);
        }
        qorClearLog();
        kiv::timingDefaults.pollDelayMs = 100;
        kiv::timingDefaults.pollStepMs = 50;
        instance_ = std::make_unique<HostInstance>(1);
        ASSERT_EQ(Start(), KIV_OK);
        // The poll's own attribution, and its end: controller 7's report, or its verdict.
        ASSERT_TRUE(WaitForTagValue("0PKEYS", 11, kPrompt));
        const double keys7 = c.othersPresent ? 77 : 0;
        ASSERT_TRUE(
            c.othersPresent
                ? WaitForTagValue("7PKEYS", keys7, kPrompt)
                : WaitForLine("RIRODI: Initialize() error, controler 7 not answer", 4 * kPrompt));
        for (const int keys : {99, 98}) {
            ASSERT_TRUE(Sim("status 0 mode=1 keys=" + std::to_string(keys)));
            kivtest::TestTag tag("0FSTAT", 13, KIV_TYPE_ANALOG, 0, -1, 0);
            tag.SetNumber(1);
            KivRequest request = tag.Request(**instance_, KIV_FN_SINGLE_WRITE);
            ASSERT_EQ(KivMain(&request), KIV_OK);
            EXPECT_TRUE(WaitForTagValue("0PKEYS", keys, kPrompt));
        }
        ASSERT_TRUE(Sim("idle 5000"));
        EXPECT_EQ(TagValue("7PKEYS"), keys7);
        instance_ = std::make_unique<HostInstance>(1);  // closes the one that ran
    }
}

// The poll as a host sees it: 50 s after the start. Run on its own (it is labelled slow), in
// parallel with the rest.
TEST_F(LifecycleTest, SlowThePollBeginsFiftySecondsAfterTheStart) {
    for (const int absent : {1, 2, 3, 4, 5, 6, 7}) {
        ASSERT_TRUE(Sim("present " + std::to_string(absent) + " off"));
    }
    kiv::timingDefaults.pollDelayMs = kiv::kDriverTimings.pollDelayMs;
    const auto start = Clock::now();
    ASSERT_EQ(Start(), KIV_OK);
    const auto first = recorder_->TimesOf("controler 1 not answer", 1, 70000);
    ASSERT_EQ(first.size(), 1U);
    // 50 s, controller 0's answer within its first step of 300 ms, then controller 1's four
    // steps: about 51.5 s.
    EXPECT_GE(first[0] - start, 51s);
    EXPECT_LE(first[0] - start, 60s);
    EXPECT_TRUE(LinesWith("controler 0 not answer").empty());
}

TEST_F(LifecycleTest, ClientNamesCarryTheInstanceNumber) {
    for (const auto& [number, name] :
         {std::pair<int32_t, const char*>{7, "RIRODI No_07"}, {123, "RIRODI No_123"}}) {
        HostInstance instance(number);
        ASSERT_EQ(instance.ColdStart("", 100, false), KIV_OK);
        char registered[64] = {};
        qorClientName(instance->clientId, registered, sizeof registered);
        EXPECT_STREQ(registered, name);
        EXPECT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK);
        EXPECT_EQ(qorClientCount(), 0);  // close removes the client the host did not remove
    }
}

TEST_F(LifecycleTest, AStartThatFailsKeepsItsClientUntilClose) {
    ASSERT_EQ(instance_->ColdStart("NOSUCHPORT"), KIV_FAILED);
    const std::vector<LogLine> lines = LogLines();
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(std::vector<LogLine>(lines.begin(), lines.begin() + 3),
              (std::vector<LogLine>{kEnteredColdStart,
                                    {32, "RIRODI: START"},
                                    {32, "RIRODI: Fail to open COMM port NOSUCHPORT"}}));
    // The system's reason follows, in its own words: the file is not there (error 2).
    EXPECT_EQ(lines[3].text.rfind("RIRODI: COMM port NOSUCHPORT did not open: ", 0), 0U);
    EXPECT_NE(lines[3].text.find(" (error 2)"), std::string::npos) << lines[3].text;
    EXPECT_EQ(qorClientCount(), 1);
    // A second start is refused until the first is closed.
    EXPECT_EQ(instance_->ColdStart(linktest::PortName()), KIV_FAILED);
    EXPECT_EQ(LogLines().back().text,
              "RIRODI: ColdStart() refused, the instance is already started; close it first");
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(qorClientCount(), 0);
    EXPECT_EQ(Start(), KIV_OK);
}

TEST_F(LifecycleTest, ARefusedRegistrationWritesOnlyTheStartLine) {
    qorFailCall(QOR_CALL_MK_CLIENT, 9, 1);
    EXPECT_EQ(Start(), KIV_REJECTED);
    EXPECT_EQ(LogLines(),
              (std::vector<LogLine>{
                  kEnteredColdStart,
                  {32, "RIRODI: START"},
                  {32,
                   "RIRODI: ColdStart() error, QorMkClient() refused the client 'RIRODI No_01', "
                   "status 9"}}));
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
}

TEST_F(LifecycleTest, WarmStartCloseTwiceAndOtherHostMessages) {
    // Before any start, and without a port.
    EXPECT_EQ(instance_->Call(KIV_FN_WARM_START), KIV_OK);
    ASSERT_EQ(instance_->ColdStart("", 100, false), KIV_OK);
    EXPECT_EQ(instance_->Call(KIV_FN_WARM_START), KIV_OK);
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(LinesWith("RIRODI: Warm Start.").size(), 2U);

    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    EXPECT_EQ(instance_->Call(KIV_FN_WARM_START), KIV_OK);
    EXPECT_EQ(LinesWith("RIRODI: Warm Start.").size(), 3U);
    // A message other than the shut-down signal changes nothing: events still come in.
    ASSERT_EQ(qorPostMessage((*instance_)->clientId, 5), 0);
    ASSERT_TRUE(Sim("event 0 9 unit=1"));
    EXPECT_TRUE(WaitForTagValue("PENUM", 9, kPrompt));
    EXPECT_TRUE(LinesWith("QOR_SIGNAL_SHUT").empty());

    qorClearLog();
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(instance_->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(LinesWith("End of Unsolicited Thread").size(), 1U);
    EXPECT_EQ(qorClientCount(), 0);
}

TEST_F(LifecycleTest, ASecondColdStartLeavesTheRunningInstanceAlone) {
    ASSERT_EQ(Start(), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
    EXPECT_EQ(Start(), KIV_FAILED);
    ASSERT_TRUE(Sim("event 0 8 unit=1"));
    EXPECT_TRUE(WaitForTagValue("PSDOR00", 2, kPrompt));
}

}  // namespace
