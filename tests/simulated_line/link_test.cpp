// The driver's link against the line simulator: the driver's own port layer and frame codec on a
// real line (a pseudo-terminal on Linux, a Wine COM port onto it under Wine), vxs-sim playing
// the controllers. Frames both ways, answers that follow each other at once, two events back
// to back, a frame cut short, noise, silence, the read time-out after every receive, and "NUL".
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "frames.h"
#include "host_fixture.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link_instance.h"
#include "platform/serial_port.h"
#include "simulator_channel.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using linktest::Sim;

// The idle read time-out of a running instance, in units of 10 ms.
constexpr int32_t kReadTimeout = 20;

// How long a test waits for something the simulator sends at once: generous, since a loaded
// machine and Wine may be slow, and only a failing test waits that long.
constexpr auto kArrivalBound = 3s;

// What ClassifyFrame says: the kind of a valid frame, or -1 for an invalid one.
constexpr int32_t kInvalid = -1;

const std::string kAck = "\nA\r";

class LinkTest : public kivtest::HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        kiv::sendAckSetting = 0;
        // Quick answers, and a quick resend of an event that was not acknowledged.
        ASSERT_TRUE(Sim("timing ack=5 gap=20 resend=1000 resends=3 data-ack=1000"));
        instance_->readTimeout = kReadTimeout;
        ASSERT_TRUE(instance_.Open(linktest::PortName())) << linktest::PortName();
        // An earlier test's leftovers are not this test's frames.
        kiv::platform::DiscardInput(instance_->port);
    }

    void TearDown() override {
        // Every frame the controllers sent unasked has been acknowledged by now...
        EXPECT_TRUE(Sim("idle 5000"));
        // ...and the next test finds the simulator as it started.
        for (const char* fault : {"silent", "late", "badcrc", "lowercrc", "noack", "backtoback",
                                  "noise", "cut", "echo"}) {
            EXPECT_TRUE(Sim(std::string("fault ") + fault + " off all"));
        }
        EXPECT_TRUE(Sim("present 5 on"));
        EXPECT_TRUE(Sim("order ack-first"));
        HostFixture::TearDown();
    }

    kiv::SendResult Send(const std::string& frame) {
        return kiv::SendFrame(*instance_, frame.data(), frame.size());
    }

    // One receive. Whatever ended it, the port's read time-out is back at readTimeout after it.
    std::string ReceiveOnce() {
        const size_t count = kiv::ReceiveFrame(*instance_, instance_->rxBuffer);
        EXPECT_LE(count, kiv::kFrameCapacity);
        EXPECT_EQ(kiv::platform::SetReadTimeout(instance_->port, kReadTimeout), kReadTimeout)
            << "the read time-out after a receive of " << count << " bytes";
        return std::string(instance_->rxBuffer, count);
    }

    // The next frame, received within 'bound'; empty when none came.
    std::string Receive(std::chrono::milliseconds bound = kArrivalBound) {
        const auto deadline = Clock::now() + bound;
        do {
            std::string frame = ReceiveOnce();
            if (!frame.empty()) {
                return frame;
            }
        } while (Clock::now() < deadline);
        return {};
    }

    int32_t Classify(const std::string& frame) {
        const auto kind = kiv::ClassifyFrame(frame.data(), frame.size());
        return kind ? *kind : kInvalid;
    }

    void Acknowledge() { EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent); }

    kivtest::LinkInstance instance_;
};

TEST_F(LinkTest, StatusQueriesAreAnsweredWithStatusReports) {
    // Every field given: another test of the program may have set the others (the order of the
    // test files differs between the platforms).
    ASSERT_TRUE(
        Sim("status 0 mode=2 keys=4 word=513 text=LINK0 ai1=7 ai2=0 ai3=0 ai4=65535 "
            "version=2.10"));
    ASSERT_TRUE(
        Sim("status 3 mode=9 keys=0 word=0 text=LINK3 ai1=0 ai2=1 ai3=0 ai4=0 version=1.01"));
    struct Case {
        std::string query;
        std::string report;
    };
    const Case cases[] = {
        {"S Q", "S T,2,4,513,LINK0,7,0,0,65535,2.10"},
        {">3S Q", "S T,9,0,0,LINK3,0,1,0,0,1.01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        ASSERT_EQ(Send(kivtest::FinishedCommand(c.query)), kiv::SendResult::kSent);
        // The controller acknowledges only a frame whose checksum it found right.
        const std::string ack = Receive();
        EXPECT_EQ(ack, kAck);
        EXPECT_EQ(Classify(ack), kiv::kKindAcknowledgement);
        const std::string report = Receive();
        EXPECT_EQ(report, kivtest::FinishedCommand(c.report));
        EXPECT_EQ(Classify(report), kiv::kKindStatusReport);
    }
}

TEST_F(LinkTest, AnAcknowledgementAndADataAnswerInOneWriteAreTwoFrames) {
    ASSERT_TRUE(Sim("key 3 0000001234 42"));
    const std::string answer = kivtest::FinishedCommand("L 1,42");
    struct Case {
        const char* order;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {"ack-first", {kAck, answer}},
        {"data-first", {answer, kAck}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order);
        ASSERT_TRUE(Sim(std::string("order ") + c.order));
        ASSERT_TRUE(Sim("fault backtoback on 3 count=1"));
        ASSERT_EQ(Send(kivtest::FinishedCommand(">3K 0000001234")), kiv::SendResult::kSent);
        for (const std::string& expected : c.frames) {
            const std::string frame = Receive();
            EXPECT_EQ(frame, expected);
            EXPECT_EQ(Classify(frame),
                      expected == kAck ? kiv::kKindAcknowledgement : kiv::kKindDataAnswer);
        }
        // The controller waits for the data answer's acknowledgement.
        Acknowledge();
        ASSERT_TRUE(Sim("idle 2000"));
    }
}

TEST_F(LinkTest, TwoEventsBackToBackAreBothReceivedAsValidFrames) {
    // Held back while the controller is silent, both events go out in one write when it speaks.
    ASSERT_TRUE(Sim("fault silent on 0"));
    ASSERT_TRUE(Sim("event 0 1 unit=1 badge=1F time=12:00:00 date=01/02/24"));
    ASSERT_TRUE(Sim("event 0 7 unit=2 badge=20 time=12:00:01 date=01/02/24"));
    ASSERT_TRUE(Sim("fault backtoback on 0 count=1"));
    ASSERT_TRUE(Sim("fault silent off 0"));
    const std::string first = Receive();
    const std::string second = Receive();
    EXPECT_EQ(first, kivtest::FinishedCommand("V 01/02/24 12:00:00,01,01,1F"));
    EXPECT_EQ(second, kivtest::FinishedCommand("V 01/02/24 12:00:01,07,02,20"));
    EXPECT_EQ(Classify(first), kiv::kKindEvent);
    EXPECT_EQ(Classify(second), kiv::kKindEvent);
    Acknowledge();
    Acknowledge();
}

TEST_F(LinkTest, AFrameCutShortEndsAtTheGapAndTheNextComesWhole) {
    ASSERT_TRUE(Sim("fault cut on 0 count=1"));
    ASSERT_EQ(Send(kivtest::FinishedCommand("S Q")), kiv::SendResult::kSent);
    EXPECT_EQ(Receive(), kAck);
    // The report stops half way, without its CR: the silence after it ends the receive.
    const std::string cut = Receive();
    EXPECT_EQ(Classify(cut), kInvalid) << cut;

    ASSERT_EQ(Send(kivtest::FinishedCommand("S Q")), kiv::SendResult::kSent);
    EXPECT_EQ(Receive(), kAck);
    const std::string whole = Receive();
    EXPECT_EQ(Classify(whole), kiv::kKindStatusReport) << whole;
    EXPECT_EQ(whole.back(), kiv::kCarriageReturn);
    EXPECT_EQ(cut, whole.substr(0, whole.size() / 2));
}

TEST_F(LinkTest, NoiseBeforeAnEventIsReceivedApartAndTheEventWhole) {
    ASSERT_TRUE(Sim("fault noise on 0 count=1 bytes=6"));
    ASSERT_TRUE(Sim("event 0 12 unit=1 badge=2A time=08:15:00 date=31/12/23"));
    const std::string event = kivtest::FinishedCommand("V 31/12/23 08:15:00,12,01,2A");
    // The noise ends at the frame's LF and is invalid on its own; the frame follows whole.
    const std::string noise = Receive();
    EXPECT_EQ(noise.size(), 6U);
    EXPECT_EQ(Classify(noise), kInvalid);
    const std::string frame = Receive();
    EXPECT_EQ(frame, event);
    EXPECT_EQ(Classify(frame), kiv::kKindEvent);
    Acknowledge();
}

TEST_F(LinkTest, AReceiveWithNothingOnTheLineRestoresTheReadTimeOut) {
    // Whatever time-out the port had before, the receive ends with readTimeout in force.
    EXPECT_EQ(kiv::platform::SetReadTimeout(instance_->port, 3), kReadTimeout);
    EXPECT_EQ(ReceiveOnce(), "");
    EXPECT_EQ(kiv::platform::SetReadTimeout(instance_->port, 50), kReadTimeout);
    EXPECT_EQ(ReceiveOnce(), "");
}

TEST_F(LinkTest, AnAbsentControllerStaysSilent) {
    ASSERT_TRUE(Sim("present 5 off"));
    ASSERT_EQ(Send(kivtest::FinishedCommand(">5S Q")), kiv::SendResult::kSent);
    EXPECT_EQ(kiv::ReceiveFrame(*instance_, instance_->rxBuffer), 0U);
    EXPECT_EQ(Receive(600ms), "");
    // The line itself still works: a present controller answers.
    ASSERT_EQ(Send(kivtest::FinishedCommand(">3S Q")), kiv::SendResult::kSent);
    EXPECT_EQ(Receive(), kAck);
    EXPECT_EQ(Classify(Receive()), kiv::kKindStatusReport);
}

class NullDeviceTest : public kivtest::HostFixture {};

TEST_F(NullDeviceTest, OpensReadsNothingAtOnceAndTakesEveryWrite) {
    kivtest::LinkInstance instance;
    // A time-out the receive would notice if the null device waited for it.
    instance->readTimeout = 3000;
    ASSERT_TRUE(instance.Open(kiv::platform::kNullDeviceName));
    EXPECT_EQ(kiv::platform::SetReadTimeout(instance->port, 20), 0);
    const auto start = Clock::now();
    EXPECT_EQ(kiv::ReceiveFrame(*instance, instance->rxBuffer), 0U);
    EXPECT_LT(Clock::now() - start, 10s) << "the read waited for the read time-out";
    const std::string query = kivtest::FinishedCommand("S Q");
    EXPECT_EQ(kiv::SendFrame(*instance, query.data(), query.size()), kiv::SendResult::kSent);
    EXPECT_EQ(kiv::SendAcknowledgement(*instance), kiv::SendResult::kSent);
}

}  // namespace
