// The frame codec over a real pseudo-terminal, the test playing the controllers: frames both
// ways, where a received frame ends, and the read time-out after every receive.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "host_fixture.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link/instance_port.h"
#include "link/line_input.h"
#include "link/transaction.h"
#include "link_instance.h"
#include "platform/serial_port.h"
#include "pty_device.h"
#include "qorpro/qorpro_embed.h"
#include "receive/unsolicited_receiver.h"
#include "work_dir_fixture.h"

namespace {

using kiv::MessageKind;
using kivtest::LinkInstance;
using kivtest::PtyDevice;

// In a working directory of its own: a frame the sender settles may be an event, which is filed.
class FrameLinkTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::sendAckSetting = 0;
        ASSERT_TRUE(pty_.Ok());
        // 300 ms for the first byte: long enough for a loaded machine, short for a test.
        instance_->readTimeout = 30;
        ASSERT_TRUE(instance_.Open(pty_.PortName()));
    }

    // One receive; the read time-out must be back at readTimeout afterwards, whatever ended it.
    std::string Receive() {
        const size_t count = kiv::ReceiveFrame(*instance_, instance_->rxBuffer);
        EXPECT_EQ(instance_->rxBuffer[count], '\0');
        const int32_t timeout = instance_->readTimeout;
        EXPECT_EQ(kiv::platform::SetReadTimeout(instance_->port, timeout), timeout);
        return std::string(instance_->rxBuffer, count);
    }

    MessageKind KindOf(const std::string& frame) {
        const auto kind = kiv::ClassifyFrame(frame.data(), frame.size());
        EXPECT_TRUE(kind.has_value()) << frame;
        return kind.value_or(kiv::kKindOther);
    }

    PtyDevice pty_;
    LinkInstance instance_;
};

TEST_F(FrameLinkTest, FramesBothWays) {
    const std::string query = kivtest::FinishedFrame("\n;>3S Q");
    EXPECT_EQ(kiv::SendFrame(*instance_, query.data(), query.size()), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(query.size(), 2000), "\n;>3S Q;8D26\r");
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(3, 2000), "\nA\r");

    const std::string report = kivtest::FinishedFrame("\n;S T,1,12,16,CTRL,1,2,3,4,V1.0");
    ASSERT_TRUE(pty_.Send(report));
    const std::string received = Receive();
    EXPECT_EQ(received, report);
    EXPECT_EQ(KindOf(received), kiv::kKindStatusReport);
}

TEST_F(FrameLinkTest, NothingWithinTheReadTimeOut) {
    // Whatever time-out the port had, the receive leaves readTimeout behind.
    kiv::platform::SetReadTimeout(instance_->port, 3);
    EXPECT_EQ(Receive(), "");
    EXPECT_EQ(Receive(), "");
}

TEST_F(FrameLinkTest, AFrameWithoutItsEndEndsAtAGapOf60Ms) {
    const std::string event = kivtest::FinishedFrame("\n;V 12:00:00,00,01,1F");
    const std::string head = event.substr(0, 9);
    std::thread device([&] {
        pty_.Send(head);
        // The gap starts once the driver has read the head.
        if (pty_.WaitDriverHasRead(5000)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        pty_.Send(event.substr(9));
    });
    EXPECT_EQ(Receive(), head);
    // The second receive waits for the rest (readTimeout 300 ms, the rest comes after 150 ms).
    std::string tail = Receive();
    device.join();
    if (tail.empty()) {
        tail = Receive();
    }
    EXPECT_EQ(tail, event.substr(9));
}

TEST_F(FrameLinkTest, TwoFramesBackToBackAreReceivedAsTwo) {
    const std::string first = kivtest::FinishedFrame("\n;V 12:00:00,00,01,1F");
    const std::string second = kivtest::FinishedFrame("\n;V 12:00:01,07,02,20");
    ASSERT_TRUE(pty_.Send(first + second));
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    const std::string a = Receive();
    // One read took all the line held: the second frame waits in the driver, not on the line.
    EXPECT_TRUE(kiv::HasInput(instance_->lineInput));
    const std::string b = Receive();
    EXPECT_EQ(a, first);
    EXPECT_EQ(b, second);
    EXPECT_EQ(KindOf(a), kiv::kKindEvent);
    EXPECT_EQ(KindOf(b), kiv::kKindEvent);
}

TEST_F(FrameLinkTest, AnAcknowledgementFollowedAtOnceByADataAnswer) {
    const std::string answer = kivtest::FinishedFrame("\n;L 12,13");
    ASSERT_TRUE(pty_.Send("\nA\r" + answer));
    const std::string ack = Receive();
    EXPECT_EQ(ack, "\nA\r");
    EXPECT_EQ(KindOf(ack), kiv::kKindAcknowledgement);
    const std::string data = Receive();
    EXPECT_EQ(data, answer);
    EXPECT_EQ(KindOf(data), kiv::kKindDataAnswer);
}

TEST_F(FrameLinkTest, AReceiveEndsAfter256BytesAndTheRestFollows) {
    std::string noise(300, 'N');
    noise[299] = '\r';
    ASSERT_TRUE(pty_.Send(noise));
    const std::string full = Receive();
    EXPECT_EQ(full, noise.substr(0, 256));
    EXPECT_EQ(Receive(), noise.substr(256));
    EXPECT_EQ(kiv::ClassifyFrame(full.data(), full.size()), std::nullopt);
}

// A frame that begins after noise, or after a frame cut short, is received whole: the bytes
// before its LF come alone.
TEST_F(FrameLinkTest, AFrameBeginsAtItsLineFeedWhateverCameBefore) {
    const std::string event = kivtest::FinishedFrame("\n;V 12:00:00,00,01,1F");
    for (const std::string& before :
         {std::string("XYZ"), kivtest::FinishedFrame("\n;L 1,2").substr(0, 6)}) {
        ASSERT_TRUE(pty_.Send(before + event + "\nA\r"));
        EXPECT_EQ(Receive(), before);
        EXPECT_EQ(Receive(), event);
        EXPECT_EQ(KindOf(event), kiv::kKindEvent);
        EXPECT_EQ(Receive(), "\nA\r");
    }
}

TEST_F(FrameLinkTest, ACommandSendDropsStaleInputTheAcknowledgementKeepsTheNextFrame) {
    ASSERT_TRUE(pty_.Send("\nA\r"));  // a late answer to an earlier command
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    const std::string query = kivtest::FinishedFrame("\n;S Q");
    EXPECT_EQ(kiv::SendFrame(*instance_, query.data(), query.size()), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(query.size(), 2000), query);
    EXPECT_EQ(Receive(), "");

    const std::string event = kivtest::FinishedFrame("\n;V 12:00:00,00,01,1F");
    ASSERT_TRUE(pty_.Send(event));
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent);
    EXPECT_EQ(pty_.Receive(3, 2000), "\nA\r");
    EXPECT_EQ(Receive(), event);
}

// With the receiver's settler (a running instance), what the line holds before a command is
// handled, not dropped: a late acknowledgement is not acknowledged and not taken for the new
// command's answer; an event that is still arriving is let finish, acknowledged and filed, and
// only then does the command go out.
TEST_F(FrameLinkTest, ACommandSendHandlesWhatArrivesBeforeItWithoutDroppingIt) {
    instance_->inputSettler = kiv::SettleArrivedInput;
    const int32_t outgoing =
        qorDefineTag("OUTGOING", "OUTGOING", instance_->instanceNumber, KIV_TYPE_STRING);
    const std::string event = kivtest::FinishedFrame("\n;V 01/02/24 12:00:00,23,01,1F");
    std::thread device([&] {
        pty_.Send("\nA\r" + event.substr(0, 9));
        // The rest follows while the sender reads the head, well within the 60 ms gap.
        if (pty_.WaitDriverHasRead(5000)) {
            pty_.Send(event.substr(9));
        }
    });
    ASSERT_TRUE(pty_.WaitPendingForDriver(2000));
    const std::string query = kivtest::FinishedFrame("\n;S Q");
    kiv::platform::EventReset(instance_->answerEvent);
    EXPECT_EQ(kiv::SendFrame(*instance_, query.data(), query.size(), kiv::kAnswerAck),
              kiv::SendResult::kSent);
    device.join();
    EXPECT_EQ(pty_.Receive(3 + query.size(), 2000), "\nA\r" + query);
    // "OUTGOING" shows the command that went out last, not the acknowledgement before it.
    char shown[128] = {};
    ASSERT_EQ(qorGetText(outgoing, shown, sizeof shown), 0);
    EXPECT_EQ(std::string(shown), "<LF>" + query.substr(1, query.size() - 2) + "<CR>");
    EXPECT_FALSE(kiv::platform::EventIsSet(instance_->answerEvent));
    EXPECT_EQ(instance_->answerMode.load(), kiv::kAnswerAck);
    EXPECT_NE(ReadFile("zezEvents01.dat").find("12:00:00,23,01,1F"), std::string::npos);
    EXPECT_EQ(kivtest::LinesWith("an acknowledgement came while no command awaited one").size(),
              1U);
    EXPECT_TRUE(kivtest::LinesWith("Illegal message").empty());
}

// A line whose device is gone refuses the write: the send says why, and a command's attempts
// each end at once without waiting for an answer (no time-out).
TEST_F(FrameLinkTest, AWriteTheLineRefusesFailsAtOnceWithItsReason) {
    pty_.HangUp();
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kFailed);
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<kivtest::LogLine>{
                  {32,
                   "RIRODI: the frame could not be written to the COMM port: Input/output "
                   "error (error 5)"}}));
    static int timeOuts = 0;
    const kiv::AttemptLines lines{nullptr, [](uint32_t) {}, [] { ++timeOuts; }};
    kiv::platform::EventSet(instance_->receiverReady);
    const std::string frame = kivtest::FinishedFrame("\n;S Q");
    const kiv::platform::LockGuard transaction(instance_->transactionLock);
    EXPECT_EQ(kiv::SendWithRetries(*instance_, frame.data(), frame.size(), 5000, lines),
              kiv::AttemptResult::kSendFailed);
    EXPECT_EQ(timeOuts, 0);
}

// A failure met on a port that has been replaced meanwhile (functions 12 and 13 can give the new
// port the old one's address) leaves the new port alone; one on the port in use loses it.
TEST_F(FrameLinkTest, AFailureOfAReplacedPortLeavesTheNewOneAlone) {
    const uint32_t replaced = instance_->portGeneration;
    {
        const kiv::platform::LockGuard lock(instance_->portLock);
        kiv::SetInstancePort(*instance_, instance_->port);  // the same address, a new port
    }
    kiv::LoseInstancePort(*instance_, replaced, 5);
    EXPECT_NE(instance_->port, nullptr);
    EXPECT_FALSE(instance_->portLost.load());
    EXPECT_TRUE(kivtest::LinesWith(" failed: ").empty());
    kiv::LoseInstancePort(*instance_, instance_->portGeneration, 5);
    EXPECT_EQ(instance_->port, nullptr);
    EXPECT_TRUE(instance_->portLost.load());
    EXPECT_EQ(kivtest::LinesWith(" failed: ").size(), 1U);
}

}  // namespace
