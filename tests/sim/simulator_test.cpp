// The simulator over its pseudo-terminal, with the test playing the driver's side.
#include "vxs_sim/simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "driver_side.h"
#include "vxs_sim/frame.h"

namespace {

using namespace std::chrono_literals;
using simtest::DriverSide;
using simtest::FrameText;
using simtest::kAck;
using vxs_sim::Fault;
using vxs_sim::FaultSetting;
using vxs_sim::Simulator;
using Direction = vxs_sim::TranscriptEntry::Direction;

// Short times, so that resends and pauses cost little; the waits below are bounded well above
// them and the "nothing yet" windows well below them.
vxs_sim::SimulatorOptions FastOptions(std::vector<int> controllers = {0, 1, 2, 3, 4, 5, 6, 7}) {
    vxs_sim::SimulatorOptions options;
    options.controllers = std::move(controllers);
    options.timing.ackDelay = 5ms;
    options.timing.answerGap = 15ms;
    options.timing.uploadPause = 30ms;
    options.timing.resendAfter = 600ms;
    options.timing.resends = 2;
    options.timing.dataAckWait = 300ms;
    options.timing.idleLimit = 100ms;
    return options;
}

FaultSetting Times(int count) {
    FaultSetting setting;
    setting.count = count;
    return setting;
}

class SimulatorTest : public testing::Test {
protected:
    void SetUp() override { Start(FastOptions()); }

    void Start(const vxs_sim::SimulatorOptions& options) {
        driver_.reset();
        sim_ = Simulator::OnPty(options);
        driver_ = std::make_unique<DriverSide>(sim_->DevicePath());
    }

    // Sends a command and returns the texts of the 'count' frames that answer it ("A" for the
    // acknowledgement, "?" for a frame whose checksum is wrong).
    std::vector<std::string> Exchange(const std::string& text, std::size_t count) {
        driver_->SendFrame(text);
        std::vector<std::string> texts;
        for (const std::string& frame : driver_->ReadFrames(count, 2s)) {
            if (frame == kAck) {
                texts.emplace_back("A");
            } else {
                texts.push_back(FrameText(frame).value_or("?"));
            }
        }
        return texts;
    }

    // The key answer's text for a code, the answer acknowledged as the driver does.
    std::string KeyAnswer(const std::string& code, int controller = 0) {
        const std::string prefix = controller == 0 ? "" : ">" + std::to_string(controller);
        const std::vector<std::string> texts = Exchange(prefix + "K " + code, 2);
        const std::size_t mark = sim_->TranscriptSize();
        driver_->SendAck();
        EXPECT_TRUE(Noted("acknowledged", -1, "the key answer", mark));
        return texts.size() == 2 ? texts[1] : "";
    }

    // Whether a note like this is made (at index 'from' or later) within a bounded wait.
    bool Noted(const std::string& kind, int controller, const std::string& detail,
               std::size_t from = 0) const {
        return sim_
            ->WaitFor(
                [&](const vxs_sim::TranscriptEntry& e) {
                    return e.direction == Direction::kNote && e.kind == kind &&
                           e.controller == controller && e.detail.find(detail) != std::string::npos;
                },
                2s, from)
            .has_value();
    }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<DriverSide> driver_;
};

TEST_F(SimulatorTest, AcknowledgesACommandAndNothingMore) {
    EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"});
    EXPECT_TRUE(driver_->QuietFor(150ms));
    const auto entries = sim_->Transcript();
    ASSERT_GE(entries.size(), 2U);
    EXPECT_EQ(entries[0].direction, Direction::kReceived);
    EXPECT_EQ(entries[0].kind, "frame");
    EXPECT_EQ(entries[0].detail, "C ");
    EXPECT_EQ(entries[1].direction, Direction::kSent);
    EXPECT_EQ(entries[1].kind, "ack");
    EXPECT_LE(entries[0].at, entries[1].at);
}

TEST_F(SimulatorTest, AnswersAKeyQueryInEitherOrder) {
    EXPECT_EQ(Exchange("K 0000001234", 2), (std::vector<std::string>{"A", "L 0,0"}));
    driver_->SendAck();
    ASSERT_TRUE(Noted("acknowledged", -1, "the key answer"));
    sim_->SetAnswerOrder(vxs_sim::AnswerOrder::kDataFirst);
    EXPECT_EQ(Exchange("K 0000005678", 2), (std::vector<std::string>{"L 0,1", "A"}));
}

TEST_F(SimulatorTest, KeyNumbersFollowTheKeyTable) {
    EXPECT_EQ(KeyAnswer("00000000AA"), "L 0,0");
    EXPECT_EQ(KeyAnswer("00000000BB"), "L 0,1");
    EXPECT_EQ(KeyAnswer("00000000AA"), "L 0,0");
    // Each controller keeps its own table.
    EXPECT_EQ(KeyAnswer("00000000BB", 2), "L 0,0");

    EXPECT_EQ(Exchange("A 0,0,00000000AA,FF,01/02/24,0", 1), std::vector<std::string>{"A"});
    EXPECT_EQ(KeyAnswer("00000000AA"), "L 1,0");
    const auto key = sim_->FindKey(0, "00000000AA");
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->stored);
    EXPECT_EQ(key->number, 0);
    EXPECT_EQ(sim_->StatusText(0).substr(0, 8), "S T,1,1,");

    EXPECT_EQ(Exchange("D 1,0", 1), std::vector<std::string>{"A"});
    EXPECT_EQ(KeyAnswer("00000000AA"), "L 0,0");
    EXPECT_FALSE(sim_->FindKey(0, "00000000AA")->stored);

    // A key put in place beforehand is known at once.
    ASSERT_TRUE(sim_->PutKey(0, "0000000C0D", 77));
    EXPECT_EQ(KeyAnswer("0000000C0D"), "L 1,77");
    EXPECT_EQ(KeyAnswer("00000000EE"), "L 0,2");
}

TEST_F(SimulatorTest, ReportsTheStatusOfTheControllerAsked) {
    vxs_sim::ControllerStatus status;
    status.mode = 2;
    status.keys = 5;
    status.statusWord = 16 + 1024;
    status.text = "MAIN DOOR";
    status.analog = {1, 22, 333, 4444};
    status.version = "V2.1";
    sim_->SetStatus(3, status);

    driver_->SendFrame(">3S Q");
    const std::vector<std::string> frames = driver_->ReadFrames(2, 2s);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0], kAck);
    EXPECT_EQ(FrameText(frames[1]), "S T,2,5,1040,MAIN DOOR,1,22,333,4444,V2.1");
    // The fifth byte is what makes it a status report.
    EXPECT_EQ(frames[1][4], 'T');

    EXPECT_EQ(Exchange("S Q", 2),
              (std::vector<std::string>{"A", "S T,1,0,0,VXS-100 C0,0,0,0,0,1.00"}));
}

TEST_F(SimulatorTest, RefusesStatusTextsThatWouldBreakTheFrame) {
    vxs_sim::ControllerStatus status;
    for (const std::string& text : std::vector<std::string>{"A,B", "A;B", "A\rB", "A\nB"}) {
        status.text = text;
        EXPECT_THROW(sim_->SetStatus(0, status), std::invalid_argument) << text;
    }
    status.text = "OK";
    status.mode = 10;
    EXPECT_THROW(sim_->SetStatus(0, status), std::invalid_argument);
    EXPECT_THROW(sim_->SetStatus(8, vxs_sim::ControllerStatus{}), std::out_of_range);
    EXPECT_EQ(sim_->Status(0).text, "");
}

TEST_F(SimulatorTest, OnlyControllersOnTheLineAnswer) {
    Start(FastOptions({0, 3}));
    struct Case {
        std::string text;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"C ", true},    {">0C ", true},  {">3C ", true},  {">1C ", false},
        {">7C ", false}, {">8C ", false}, {">XC ", false},
    };
    for (const Case& c : cases) {
        driver_->SendFrame(c.text);
        if (c.answered) {
            EXPECT_EQ(driver_->ReadFrame(), kAck) << c.text;
        } else {
            EXPECT_TRUE(driver_->QuietFor(150ms)) << c.text;
        }
    }
    EXPECT_TRUE(Noted("ignored", 1, "not on the line"));

    sim_->SetPresent(1, true);
    sim_->SetPresent(3, false);
    EXPECT_EQ(Exchange(">1C ", 1), std::vector<std::string>{"A"});
    driver_->SendFrame(">3C ");
    EXPECT_TRUE(driver_->QuietFor(150ms));
}

TEST_F(SimulatorTest, JudgesWhatTheDriverSends) {
    // Checksum digits in lower case are still a valid frame.
    std::string lower = simtest::TestFrame("C 1");  // checksum 220B
    for (std::size_t i = lower.size() - 5; i + 1 < lower.size(); ++i) {
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    }
    driver_->Write(lower);
    EXPECT_EQ(driver_->ReadFrame(), kAck);

    std::string wrong = simtest::TestFrame("C ");
    wrong[wrong.size() - 2] = wrong[wrong.size() - 2] == '0' ? '1' : '0';
    driver_->Write(wrong);
    EXPECT_TRUE(driver_->QuietFor(150ms));
    EXPECT_TRUE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "bad-checksum", 0), 2s));

    driver_->Write("xyz");
    driver_->Write("\n;C ;F7");  // stops without its CR
    EXPECT_TRUE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "noise"), 2s));
    EXPECT_TRUE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "incomplete"), 2s));
    EXPECT_TRUE(driver_->QuietFor(150ms));
    EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"});
}

TEST_F(SimulatorTest, UploadsItsSetupOneLineAtATime) {
    ASSERT_TRUE(sim_->PutKey(0, "00000000AB", 4));
    EXPECT_EQ(Exchange("S F,E", 1), std::vector<std::string>{"A"});
    EXPECT_EQ(Exchange("T 1,08:00:00,17:00:00,MTWTF------", 1), std::vector<std::string>{"A"});
    // Kept back: as an upload line it would read as a status report.
    EXPECT_EQ(Exchange("S TX", 1), std::vector<std::string>{"A"});

    const std::vector<std::string> expected = sim_->SetupLines(0);
    driver_->SendFrame("S U");
    EXPECT_EQ(driver_->ReadFrame(), kAck);
    std::vector<std::string> lines;
    for (;;) {
        const std::string frame = driver_->ReadFrame(2s);
        const std::optional<std::string> text = FrameText(frame);
        ASSERT_TRUE(text.has_value()) << vxs_sim::EscapeForDisplay(frame);
        // The next line waits for this one's acknowledgement.
        EXPECT_TRUE(driver_->QuietFor(150ms));
        driver_->SendAck();
        if (text->empty()) break;
        ASSERT_TRUE(frame[2] == 'A' || frame[2] == 'T' || frame[2] == 'S') << *text;
        if (frame[2] == 'S') {
            EXPECT_NE(frame[4], 'T') << *text;
        }
        lines.push_back(*text);
        ASSERT_LT(lines.size(), 50U);
    }
    EXPECT_EQ(lines, expected);
    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("S F,E"));
    EXPECT_TRUE(has("T 1,08:00:00,17:00:00,MTWTF------"));
    EXPECT_FALSE(has("S TX"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("A 0,4,00000000AB,", 0) == 0;
    }));
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));
}

TEST_F(SimulatorTest, EventsAreLaidOutForTheReceiversRules) {
    vxs_sim::EventSpec event;
    event.controller = 2;
    event.code = 17;
    event.badge = 0x1F;
    event.date = "24/03/12";
    event.timeOfDay = "14:05:09";
    EXPECT_EQ(sim_->InjectEvent(event), "V 24/03/12 14:05:09,17,05,1F");
    const std::string frame = driver_->ReadFrame();
    ASSERT_EQ(FrameText(frame), "V 24/03/12 14:05:09,17,05,1F");

    // As the receiver reads it: the frame without LF and CR, the last ":", the code four and
    // five places after it, the unit after the second comma after it, the badge between the
    // last comma and the ";" after it.
    const std::string work = frame.substr(1, frame.size() - 2);
    const std::size_t colon = work.rfind(':');
    EXPECT_EQ(work.substr(colon + 4, 2), "17");
    const std::size_t comma1 = work.find(',', colon);
    const std::size_t comma2 = work.find(',', comma1 + 1);
    EXPECT_EQ(work.substr(comma2 + 1, 2), "05");
    const std::size_t lastComma = work.rfind(',');
    EXPECT_EQ(work.substr(lastComma + 1, work.find(';', lastComma) - lastComma - 1), "1F");
    driver_->SendAck();

    event.unit = 16;
    event.badge = 0;
    event.date.clear();
    event.timeOfDay.clear();
    const std::string text = sim_->InjectEvent(event);
    EXPECT_EQ(FrameText(driver_->ReadFrame()), text);
    ASSERT_EQ(text.size(), 27U);  // "V DD/MM/YY HH:MM:SS,17,16,0"
    EXPECT_EQ(text.substr(text.size() - 8), ",17,16,0");
    EXPECT_EQ(text[text.size() - 11], ':');
    driver_->SendAck();
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));

    event.code = 100;
    EXPECT_THROW(sim_->InjectEvent(event), std::invalid_argument);
    event.code = 1;
    event.timeOfDay = "1:2:3";
    EXPECT_THROW(sim_->InjectEvent(event), std::invalid_argument);
}

TEST_F(SimulatorTest, ResendsAnUnacknowledgedEventThenGivesUp) {
    vxs_sim::EventSpec event;
    event.code = 7;
    sim_->InjectEvent(event);
    const std::string first = driver_->ReadFrame();
    ASSERT_TRUE(FrameText(first).has_value());
    // Sent again twice, then given up.
    EXPECT_EQ(driver_->ReadFrame(), first);
    EXPECT_EQ(driver_->ReadFrame(), first);
    EXPECT_TRUE(Noted("given-up", 0, "not acknowledged after 3 sends"));
    EXPECT_TRUE(driver_->QuietFor(200ms));
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));
}

TEST_F(SimulatorTest, SendsTheNextEventOnlyOnceThePreviousIsAcknowledged) {
    vxs_sim::EventSpec event;
    event.code = 8;
    sim_->InjectEvent(event);
    event.code = 9;
    sim_->InjectEvent(event);
    const std::string first = driver_->ReadFrame();
    EXPECT_TRUE(driver_->QuietFor(150ms));
    driver_->SendAck();
    const std::string second = driver_->ReadFrame();
    ASSERT_TRUE(FrameText(second).has_value());
    EXPECT_NE(first, second);
    EXPECT_NE(second.find(",09,"), std::string::npos);
    driver_->SendAck();
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));
    EXPECT_TRUE(Noted("acknowledged", 0, ",09,"));
}

TEST_F(SimulatorTest, EventsWaitWhileACommandIsAnswered) {
    // The key answer awaits its acknowledgement before the event goes out.
    driver_->SendFrame("K 0000000001");
    ASSERT_TRUE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "frame"), 2s));
    sim_->InjectEvent(vxs_sim::EventSpec{});
    const std::vector<std::string> answer = driver_->ReadFrames(2, 2s);
    ASSERT_EQ(answer.size(), 2U);
    EXPECT_EQ(FrameText(answer[1]), "L 0,0");
    EXPECT_TRUE(driver_->QuietFor(150ms));
    driver_->SendAck();
    EXPECT_EQ(FrameText(driver_->ReadFrame()).value_or("").substr(0, 2), "V ");
}

// --- faults ----------------------------------------------------------------------------------

TEST_F(SimulatorTest, SilentControllerAnswersAndSendsNothing) {
    sim_->SetFault(0, Fault::kSilent, FaultSetting{});
    driver_->SendFrame("C ");
    EXPECT_TRUE(driver_->QuietFor(150ms));
    EXPECT_TRUE(Noted("ignored", 0, "silent"));
    sim_->InjectEvent(vxs_sim::EventSpec{});
    EXPECT_TRUE(driver_->QuietFor(150ms));
    // Others on the line still answer.
    EXPECT_EQ(Exchange(">1C ", 1), std::vector<std::string>{"A"});

    sim_->SetFault(0, Fault::kSilent, FaultSetting{false});
    EXPECT_EQ(FrameText(driver_->ReadFrame()).value_or("").substr(0, 2), "V ");
    driver_->SendAck();

    // count=1: one command goes unanswered, then the fault is off.
    sim_->SetFault(0, Fault::kSilent, Times(1));
    const std::size_t mark = sim_->TranscriptSize();
    driver_->SendFrame("C ");
    EXPECT_TRUE(driver_->QuietFor(150ms));
    ASSERT_TRUE(Noted("ignored", 0, "silent", mark));
    EXPECT_FALSE(sim_->FaultActive(0, Fault::kSilent));
    EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"});
}

TEST_F(SimulatorTest, LateAnswer) {
    FaultSetting late;
    late.delay = 500ms;
    late.count = 1;
    sim_->SetFault(0, Fault::kLateAnswer, late);
    driver_->SendFrame("C ");
    EXPECT_TRUE(driver_->QuietFor(200ms));
    EXPECT_EQ(driver_->ReadFrame(2s), kAck);
    const auto entries = sim_->Transcript();
    const auto rx = std::find_if(entries.begin(), entries.end(),
                                 [](const auto& e) { return e.direction == Direction::kReceived; });
    const auto tx = std::find_if(entries.begin(), entries.end(),
                                 [](const auto& e) { return e.direction == Direction::kSent; });
    ASSERT_TRUE(rx != entries.end() && tx != entries.end());
    EXPECT_GE(tx->at - rx->at, 500ms);
}

TEST_F(SimulatorTest, WrongChecksum) {
    sim_->SetFault(0, Fault::kBadChecksum, Times(1));
    EXPECT_EQ(Exchange("K 0000000001", 2), (std::vector<std::string>{"A", "?"}));
    EXPECT_EQ(Exchange("K 0000000001", 2), (std::vector<std::string>{"A", "L 0,0"}));
}

TEST_F(SimulatorTest, LowerCaseChecksumDigits) {
    sim_->SetFault(-1, Fault::kLowerCaseChecksum, FaultSetting{});
    sim_->QueueFrame(3, "L 1,5");  // checksum AF47
    const std::string frame = driver_->ReadFrame();
    EXPECT_EQ(frame, "\n;L 1,5;af47\r");
    EXPECT_EQ(FrameText(frame), "L 1,5");
}

TEST_F(SimulatorTest, MissingAcknowledgement) {
    sim_->SetFault(0, Fault::kNoAck, FaultSetting{});
    driver_->SendFrame("C ");
    EXPECT_TRUE(driver_->QuietFor(150ms));
    // The data answer still comes, alone.
    EXPECT_EQ(Exchange("K 0000000001", 1), std::vector<std::string>{"L 0,0"});
    EXPECT_TRUE(driver_->QuietFor(150ms));
}

TEST_F(SimulatorTest, TwoFramesBackToBack) {
    vxs_sim::Timing timing = sim_->GetTiming();
    timing.answerGap = 400ms;
    sim_->SetTiming(timing);
    // Without the fault the key answer follows the acknowledgement after the gap...
    driver_->SendFrame("K 0000000001");
    EXPECT_EQ(driver_->ReadFrame(), kAck);
    EXPECT_TRUE(driver_->QuietFor(150ms));
    EXPECT_EQ(FrameText(driver_->ReadFrame()), "L 0,0");
    std::size_t mark = sim_->TranscriptSize();
    driver_->SendAck();
    ASSERT_TRUE(Noted("acknowledged", -1, "the key answer", mark));

    // ...with it, both go in one write.
    sim_->SetFault(0, Fault::kBackToBack, FaultSetting{});
    driver_->SendFrame("K 0000000001");
    const std::string both = driver_->ReadUntilQuiet(100ms);
    EXPECT_EQ(both, kAck + simtest::TestFrame("L 0,0"));
    mark = sim_->TranscriptSize();
    driver_->SendAck();
    ASSERT_TRUE(Noted("acknowledged", -1, "the key answer", mark));

    // Two events, the second without waiting for the first's acknowledgement. The controller
    // holds them back while silent, so that both are queued when it speaks again.
    sim_->SetFault(0, Fault::kSilent, FaultSetting{});
    vxs_sim::EventSpec event;
    event.code = 1;
    sim_->InjectEvent(event);
    event.code = 2;
    sim_->InjectEvent(event);
    sim_->SetFault(0, Fault::kSilent, FaultSetting{false});
    const std::vector<std::string> events = driver_->ReadFrames(2, 300ms);
    ASSERT_EQ(events.size(), 2U);
    EXPECT_NE(events[0], events[1]);
    EXPECT_TRUE(FrameText(events[0]).has_value());
    EXPECT_TRUE(FrameText(events[1]).has_value());
    driver_->SendAck();
    driver_->SendAck();
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));
}

TEST_F(SimulatorTest, NoiseBeforeAFrame) {
    FaultSetting noise = Times(1);
    noise.noiseBytes = 5;
    sim_->SetFault(0, Fault::kNoise, noise);
    sim_->QueueFrame(0, "C ");
    const std::string bytes = driver_->ReadFrame();
    ASSERT_EQ(bytes.size(), 5 + simtest::TestFrame("C ").size());
    EXPECT_EQ(bytes.substr(0, 5).find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(bytes.substr(5), simtest::TestFrame("C "));

    sim_->SendNoise(40);
    const std::string line = driver_->ReadUntilQuiet(100ms);
    EXPECT_EQ(line.size(), 40U);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
}

TEST_F(SimulatorTest, FrameCutShortThenSentWholeAgain) {
    sim_->SetFault(0, Fault::kCutShort, Times(1));
    sim_->QueueFrame(0, "S V,Y");
    const std::string whole = simtest::TestFrame("S V,Y");
    EXPECT_EQ(driver_->ReadUntilQuiet(150ms, 350ms), whole.substr(0, whole.size() / 2));
    // Not acknowledged, so it is sent again, now whole.
    EXPECT_EQ(driver_->ReadFrame(2s), whole);
    driver_->SendAck();
    EXPECT_TRUE(sim_->WaitUntilIdle(2s));
}

// --- the line ----------------------------------------------------------------------------------

TEST_F(SimulatorTest, LineStaysUsableWhenTheDriverReopensIt) {
    for (int round = 0; round < 3; ++round) {
        driver_.reset();
        driver_ = std::make_unique<DriverSide>(sim_->DevicePath());
        EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"}) << "round " << round;
    }
    EXPECT_FALSE(sim_->WaitFor(
        [](const vxs_sim::TranscriptEntry& e) { return e.kind == "line-failed"; }, 50ms));
}

TEST(SimulatorDevice, WorksOnAGivenSerialDevice) {
    // A pseudo-terminal of the test's own stands in for the serial device: the simulator opens
    // its slave as a device, the test plays the driver on the master.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    auto driver = std::make_unique<DriverSide>(DriverSide::Adopt(master));
    const std::string device = ptsname(master);
    const auto sim = Simulator::OnDevice(device, 19200, FastOptions({0}));
    EXPECT_EQ(sim->DevicePath(), device);
    driver->SendFrame("K 0000000042");
    const std::vector<std::string> frames = driver->ReadFrames(2, 2s);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0], kAck);
    EXPECT_EQ(FrameText(frames[1]), "L 0,0");
    EXPECT_FALSE(sim->LineFailed());

    // A device that goes away ends the line, once.
    driver.reset();
    EXPECT_TRUE(sim->WaitFor(
        [](const vxs_sim::TranscriptEntry& e) { return e.kind == "line-failed"; }, 2s));
    EXPECT_TRUE(sim->LineFailed());

    EXPECT_THROW(Simulator::OnDevice(device, 1234), std::invalid_argument);
    EXPECT_THROW(Simulator::OnDevice("/nonexistent/ttyVXS", 9600), std::system_error);
}

// Sets the rate of the pseudo-terminal's slave, as the driver's open does.
void SetDriverRate(const std::string& path, speed_t speed) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    close(fd);
}

TEST(SimulatorRate, AtAnotherRateTheLineCarriesNothingValid) {
    struct Case {
        int simulatorBaud;
        speed_t simulatorSpeed;
        speed_t driverSpeed;
        std::string driverSide;  // the transcript's words for the driver's rate
    };
    for (const Case& c :
         {Case{9600, B9600, B19200, "at 19200 baud"}, Case{38400, B38400, B9600, "at 9600 baud"}}) {
        SCOPED_TRACE(c.simulatorBaud);
        vxs_sim::SimulatorOptions options = FastOptions({0});
        options.baud = c.simulatorBaud;
        const auto sim = Simulator::OnPty(options);
        DriverSide driver(sim->DevicePath());
        SetDriverRate(sim->DevicePath(), c.driverSpeed);
        driver.SendFrame("S Q");
        EXPECT_TRUE(sim->WaitFor(
            [&](const vxs_sim::TranscriptEntry& e) {
                return e.direction == Direction::kReceived && e.kind == "noise" &&
                       e.detail.find(c.driverSide) != std::string::npos;
            },
            2s));
        vxs_sim::EventSpec event;
        event.code = 10;
        (void)sim->InjectEvent(event);
        // Garbage, not silence: bytes arrive, none of them a frame's LF or CR.
        const std::string heard = driver.ReadUntilQuiet(300ms, 3s);
        EXPECT_FALSE(heard.empty());
        EXPECT_EQ(heard.find_first_of("\n\r"), std::string::npos);
        EXPECT_FALSE(sim->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "frame"), 0ms));

        // At the simulator's own rate the same line carries frames again.
        SetDriverRate(sim->DevicePath(), c.simulatorSpeed);
        const std::size_t mark = sim->TranscriptSize();
        driver.SendFrame("S Q");
        EXPECT_TRUE(sim->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "frame"), 2s, mark));
    }
}

TEST_F(SimulatorTest, WaitsAreBoundedAndListenerSeesEverything) {
    std::mutex mutex;
    std::vector<std::string> seen;
    sim_->SetListener([&](const vxs_sim::TranscriptEntry& entry) {
        std::lock_guard lock(mutex);
        seen.push_back(entry.kind);
    });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kSent, "event"), 100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);

    EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"});
    ASSERT_TRUE(sim_->WaitUntilIdle(1s));
    const std::size_t size = sim_->TranscriptSize();
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard lock(mutex);
            if (seen.size() == size) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"frame", "ack"}));
}

TEST_F(SimulatorTest, TranscriptLimitKeepsTheNewestEntriesAndTheirIndices) {
    vxs_sim::SimulatorOptions options = FastOptions();
    options.transcriptLimit = 3;
    Start(options);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange("C ", 1), std::vector<std::string>{"A"});
    }
    ASSERT_TRUE(sim_->WaitFor(vxs_sim::IsEntry(Direction::kSent, "ack"), 2s, 5));
    EXPECT_EQ(sim_->TranscriptSize(), 6U);
    const auto kept = sim_->Transcript();
    ASSERT_EQ(kept.size(), 3U);
    EXPECT_EQ(kept[0].kind, "ack");
    EXPECT_EQ(kept[1].kind, "frame");
    EXPECT_EQ(kept[2].kind, "ack");
    EXPECT_EQ(sim_->Transcript(5).size(), 1U);
    EXPECT_EQ(sim_->WaitFor(vxs_sim::IsEntry(Direction::kReceived, "frame"), 100ms), 4U);
}

}  // namespace
