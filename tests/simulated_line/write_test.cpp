// Tag writes on a running instance, vxs-sim playing the controllers: the key commands with the
// badge database, a command whose answer never comes, SEND_ACK, the command-list file, the
// setup download, the refusals and the lines that name their cause, and writes from several
// host threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_instance.h"
#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "platform/sync.h"
#include "qorpro/qorpro_embed.h"
#include "simulator_channel.h"
#include "stage_instance.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using kivtest::HostInstance;
using kivtest::LinesWith;
using kivtest::TagText;
using kivtest::TagValue;
using kivtest::TestTag;
using kivtest::WaitForLine;
using kivtest::WaitForTagValue;
using linktest::Sim;

constexpr int kPrompt = 5000;

class WriteTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        ASSERT_TRUE(Sim("timing ack=5 gap=20 upload=200 resend=1000 resends=3 data-ack=1000"));
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 20;
        kiv::timingDefaults.pollDelayMs = 600000;
        // Only shut-down and a close of the port end the receiver's wait on a quiet line.
        kiv::timingDefaults.receiverQuietWaitMs = 600000;
        for (const char* tag : {"PBINM", "PBIN2", "PBNAM", "PBNA2", "PBCOD", "OUTGOING"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_STRING);
        }
        for (const char* tag : {"0PCTRL", "1PCTRL"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_STRING);
        }
        for (const char* tag : {"PENUM", "COUNTERD", "3FSPARS", "0PKEYS", "1PKEYS"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_ANALOG);
        }
        instance_ = std::make_unique<HostInstance>(1);
        ASSERT_EQ(instance_->ColdStart(linktest::PortName()), KIV_OK);
        ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
        // The event-format command goes out once the receiver reads the line: after it, what
        // "OUTGOING" shows is the test's own.
        const int32_t outgoing = qorFindTag("OUTGOING");
        for (int round = 0; round < 50 && qorWriteCount(outgoing) == 0; ++round) {
            qorWaitForChange(qorChangeCount(), 100);
        }
        ASSERT_GE(qorWriteCount(outgoing), 1U);
        // It holds the transaction until it is answered: a test's faults must not meet it.
        const kiv::platform::LockGuard done((*instance_)->transactionLock);
    }
    void TearDown() override {
        instance_.reset();
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::sendAckSetting = 0;
        EXPECT_TRUE(Sim("idle 5000"));
        for (const char* fault : {"silent", "noack", "echo"}) {
            EXPECT_TRUE(Sim(std::string("fault ") + fault + " off all"));
        }
        EXPECT_TRUE(Sim("present 5 on"));
        EXPECT_TRUE(Sim("order ack-first"));
        WorkDirFixture::TearDown();
    }

    // A write through KivMain, as the host makes it.
    int32_t Write(TestTag& tag) {
        KivRequest request = tag.Request(**instance_, KIV_FN_SINGLE_WRITE);
        return KivMain(&request);
    }
    int32_t WriteNumber(const char* address, int32_t operation, uint16_t value,
                        int32_t controller = 10) {
        TestTag tag(address, operation, KIV_TYPE_ANALOG, 0, -1, controller);
        tag.SetNumber(value);
        return Write(tag);
    }
    int32_t WriteText(const char* address, int32_t operation, const std::string& text) {
        TestTag tag(address, operation, KIV_TYPE_STRING);
        tag.SetText(text);
        return Write(tag);
    }
    // A command tag of controller 0 written with 1: the result, and the value left in the area.
    std::pair<int32_t, uint16_t> Command(const char* address, int32_t operation) {
        TestTag tag(address, operation, KIV_TYPE_ANALOG, 0, -1, address[0] - '0');
        tag.SetNumber(1);
        const int32_t result = Write(tag);
        return {result, tag.Number()};
    }
    void StageBadge(const std::string& code, const std::string& name, const std::string& name2) {
        ASSERT_EQ(WriteText("PKCOD", 132, code), KIV_OK);
        ASSERT_EQ(WriteText("PDATE", 133, "31/12/29"), KIV_OK);
        ASSERT_EQ(qorSetText(qorFindTag("PBINM"), name.c_str()), 0);
        ASSERT_EQ(qorSetText(qorFindTag("PBIN2"), name2.c_str()), 0);
    }

    // The badge lines of the database that are not blotted out.
    static std::vector<std::string> BadgeLines() {
        std::vector<std::string> lines;
        const std::string file = ReadFile("zezSetupDB01.dat");
        for (size_t at = file.find(";A "); at != std::string::npos; at = file.find(";A ", at + 1)) {
            lines.push_back(file.substr(at, file.find('\r', at) - at));
        }
        return lines;
    }
    // Events of code 10 on unit 1, told apart by their time; each filed once and in order.
    static std::string EventTime(int i) {
        char text[24];  // room for any int, as the compiler checks
        std::snprintf(text, sizeof text, "10:%02d:%02d", i / 60, i % 60);
        return text;
    }
    void ExpectEventsFiledOnce(int count) {
        std::string log;
        const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPrompt);
        do {
            log = ReadFile("zezEvents01.dat");
        } while (log.find(EventTime(count - 1)) == std::string::npos &&
                 std::chrono::steady_clock::now() < bound &&
                 (std::this_thread::sleep_for(10ms), true));
        size_t at = 0;
        for (int i = 0; i < count; ++i) {
            const size_t found = log.find(EventTime(i), at);
            ASSERT_NE(found, std::string::npos) << "event " << i << " missing or out of order";
            EXPECT_EQ(log.find(EventTime(i), found + 1), std::string::npos) << "event " << i;
            at = found;
        }
    }

    std::unique_ptr<HostInstance> instance_;
};

TEST_F(WriteTest, AnAddedBadgeIsKnownByNameAtItsNextEvent) {
    for (const char* order : {"ack-first", "data-first"}) {
        SCOPED_TRACE(order);
        ASSERT_TRUE(Sim(std::string("order ") + order));
        const std::string code = order[0] == 'a' ? "00000000AB" : "00000000CD";
        StageBadge(code, "Ada Lovelace", "Engineering");
        ASSERT_EQ(Command("0FADDK", 0), (std::pair<int32_t, uint16_t>{KIV_OK, 0}));
        const std::string database = ReadFile("zezSetupDB01.dat");
        const size_t line = database.find(";A ");
        ASSERT_NE(line, std::string::npos) << database;
        EXPECT_NE(database.find("," + code + ",", line), std::string::npos);
        EXPECT_NE(database.find(" @ Ada Lovelace @ Engineering\r\n", line), std::string::npos);
    }
    // The sim gave the two badges keys 0 and 1; an event names a badge by key + 1.
    // PENUM is written last.
    ASSERT_TRUE(Sim("event 0 17 unit=1 badge=1"));
    ASSERT_TRUE(WaitForTagValue("PENUM", 17, kPrompt));
    EXPECT_EQ(TagText("PBNAM"), "Ada Lovelace");
    EXPECT_EQ(TagText("PBNA2"), "Engineering");
    EXPECT_EQ(TagText("PBCOD"), "00000000AB");
}

TEST_F(WriteTest, DeleteBlotsTheLineModifyReloadsTheBadge) {
    StageBadge("0000000042", "Grace", "Hopper");
    ASSERT_EQ(WriteNumber("PDORS", 100, 0x00A5), KIV_OK);
    ASSERT_EQ(WriteNumber("PTZN2", 110, 3), KIV_OK);
    ASSERT_EQ(Command("0FADDK", 0).first, KIV_OK);
    // Modify: the stored door mask, date and time zones come back, the names too.
    ASSERT_EQ(WriteNumber("PDORS", 100, 0), KIV_OK);
    ASSERT_EQ(WriteNumber("PTZN2", 110, 1), KIV_OK);
    ASSERT_EQ(qorSetText(qorFindTag("PBINM"), ""), 0);
    ASSERT_EQ(Command("0FMODK", 2).first, KIV_OK);
    EXPECT_EQ((*instance_)->stage.doorMask, 0x00A5);
    EXPECT_EQ((*instance_)->stage.timeZone2, 3);
    EXPECT_STREQ((*instance_)->stage.dateText, "31/12/29");
    EXPECT_EQ(TagText("PBINM"), "Grace");
    // A badge the database does not hold: empty names, nothing staged from it.
    ASSERT_EQ(WriteText("PKCOD", 132, "77"), KIV_OK);
    ASSERT_EQ(Command("0FMODK", 2).first, KIV_OK);
    EXPECT_EQ(TagText("PBINM"), "");
    EXPECT_EQ((*instance_)->stage.doorMask, 0);

    const std::string before = ReadFile("zezSetupDB01.dat");
    ASSERT_EQ(WriteText("PKCOD", 132, "0000000042"), KIV_OK);
    ASSERT_EQ(Command("0FDELK", 1).first, KIV_OK);
    const std::string after = ReadFile("zezSetupDB01.dat");
    ASSERT_EQ(after.size(), before.size());  // nothing appended
    EXPECT_EQ(after.find(";A "), std::string::npos);
    EXPECT_NE(after.find("*****"), std::string::npos);
}

TEST_F(WriteTest, AnAddKeyWithoutBadgeCodeOrDateSendsNothing) {
    const uint32_t sent = qorWriteCount(qorFindTag("OUTGOING"));
    EXPECT_EQ(Command("0FADDK", 0).first, KIV_REJECTED);
    EXPECT_EQ(LinesWith("PKCOD is not staged").size(), 1U);
    ASSERT_EQ(WriteText("PKCOD", 132, "1234"), KIV_OK);
    EXPECT_EQ(Command("0FADDK", 0).first, KIV_REJECTED);
    EXPECT_EQ(LinesWith("PDATE is not staged").size(), 1U);
    EXPECT_EQ(qorWriteCount(qorFindTag("OUTGOING")), sent);
}

TEST_F(WriteTest, AnUnansweredCommandFailsAfterThreeAttemptsWithoutItsSecondPhase) {
    (*instance_)->answerTimeoutUnit = 20;  // 200 ms a wait
    ASSERT_TRUE(Sim("fault silent on all"));
    StageBadge("0000000001", "X", "Y");
    qorClearLog();
    EXPECT_EQ(Command("0FADDK", 0), (std::pair<int32_t, uint16_t>{KIV_FAILED, 1}));
    EXPECT_EQ(
        LinesWith("RIRODI: SingleWrite() error, time-out waiting for answer, '0FADDK'").size(), 3U);
    EXPECT_FALSE(Exists("zezSetupDB01.dat"));
}

// A setup upload that is not acknowledged fails with 2 after three attempts and leaves no upload
// running; one whose lines stop coming refuses the next request only until its bound has passed.
TEST_F(WriteTest, AnUploadRequestCannotJamTheUploads) {
    (*instance_)->answerTimeoutUnit = 20;  // 200 ms a wait
    (*instance_)->timings.uploadStallMs = 1000;
    ASSERT_TRUE(Sim("fault silent on all"));
    qorClearLog();
    EXPECT_EQ(Command("0FSPARU", 7).first, KIV_FAILED);
    EXPECT_EQ(LinesWith("time-out waiting for answer, '0FSPARU'").size(), 3U);
    ASSERT_TRUE(Sim("fault silent off all"));

    // Acknowledged, but the first line comes only after 3 s.
    ASSERT_TRUE(Sim("timing upload=3000"));
    EXPECT_EQ(Command("0FSPARU", 7).first, KIV_OK);
    const auto acknowledged = std::chrono::steady_clock::now();
    EXPECT_EQ(Command("0FSPARU", 7).first, KIV_REJECTED);
    EXPECT_EQ(LinesWith("RIRODI: UploadSetup has already run and not finished yet!").size(), 1U);
    std::this_thread::sleep_until(acknowledged + 1200ms);  // past the bound, before the lines
    EXPECT_EQ(Command("0FSPARU", 7).first, KIV_OK);
    EXPECT_EQ(LinesWith("sent nothing for 1 s and is given up; a new one begins").size(), 1U);
    EXPECT_TRUE(Sim("idle 8000"));  // both uploads delivered
}

TEST_F(WriteTest, SendAckOneStopsTheAcknowledgementsZeroRestoresThem) {
    ASSERT_EQ(WriteNumber("SEND_ACK", 0, 1), KIV_OK);
    ASSERT_TRUE(Sim("event 0 9 unit=1"));
    // Not acknowledged, the event comes again (and again) and is published each time.
    const int32_t penum = qorFindTag("PENUM");
    const auto start = std::chrono::steady_clock::now();
    while (qorWriteCount(penum) < 2 && std::chrono::steady_clock::now() - start < 5s) {
        qorWaitForChange(qorChangeCount(), 200);
    }
    EXPECT_GE(qorWriteCount(penum), 2U);
    ASSERT_EQ(WriteNumber("SEND_ACK", 0, 0), KIV_OK);
    EXPECT_TRUE(Sim("idle 5000"));  // acknowledged at last
}

TEST_F(WriteTest, ACommandListEntryGoesOutAsItStands) {
    WriteFile("vududidi01.ini",
              "StartOfCommandList\r\n5,\t<A>; an acknowledgement\r\n"
              "EndOfCommandList\r\n");
    EXPECT_EQ(WriteNumber("SEND_STR_FROM_FILE", 0, 5), KIV_OK);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>A<CR>");
    EXPECT_EQ(WriteNumber("SEND_STR_FROM_FILE", 0, 6), KIV_REJECTED);
}

TEST_F(WriteTest, ASetupDownloadSendsEveryLineAndResetsItsTag) {
    WriteFile("zezDSetup01.dat",
              "CONTENT OF SETUP PARAMETERS.\r\n\r\n;>3S P,1234,5678;0000\r\n\r\n;>3S M,2;\r\n"
              "no semicolon here\r\n");
    ASSERT_EQ(qorSetValue(qorFindTag("3FSPARS"), 1), 0);
    EXPECT_EQ(WriteNumber("3FSPARS", 7, 1, 3), KIV_OK);
    EXPECT_TRUE(
        WaitForLine("RIRODI: DownLoadFromFile() done, 2 of 3 lines sent, 1 failed", kPrompt));
    EXPECT_TRUE(WaitForTagValue("3FSPARS", 0, kPrompt));
    EXPECT_EQ(WriteNumber("3FSPARS", 7, 0, 3), KIV_REJECTED);  // only 1 starts it
}

// The host's shut-down signal during a command's first wait: no further attempt; during a
// download: no further line, and the FSPARS tag is reset all the same.
TEST_F(WriteTest, ShutDownStopsRetriesAndDownloads) {
    ASSERT_TRUE(Sim("fault silent on all"));
    WriteFile("zezDSetup01.dat", ";>3S M,1;\r\n;>3S M,2;\r\n;>3S M,3;\r\n;>3S M,4;\r\n");
    ASSERT_EQ(qorSetValue(qorFindTag("3FSPARS"), 1), 0);
    ASSERT_EQ(WriteNumber("3FSPARS", 7, 1, 3), KIV_OK);
    std::thread host([&] { EXPECT_EQ(Command("0FSTAT", 13).first, KIV_FAILED); });
    ASSERT_TRUE(kivtest::WaitForLines("time-out waiting for answer", 1, kPrompt));
    ASSERT_EQ(qorPostMessage((*instance_)->clientId, 0), 0);
    host.join();
    EXPECT_TRUE(WaitForTagValue("3FSPARS", 0, kPrompt));
    // Whichever waited first: at most one more attempt after the signal, no further line.
    EXPECT_LE(LinesWith("RIRODI: SingleWrite() error, time-out").size(), 1U);
    EXPECT_TRUE(WaitForLine("RIRODI: DownLoadFromFile() done, 0 of 4 lines sent", kPrompt));
    EXPECT_LE(LinesWith("RIRODI: DownLoadFromFile() error, time-out").size(), 2U);
}

// A key number of six digits, as a controller with a large key table answers it: the add-key
// record carries it, the badge database stores it, and the next event of that key (its number
// plus one, in hexadecimal) names its holder.
TEST_F(WriteTest, ABadgeAddedUnderASixDigitKeyNumberIsNamedAtItsEvents) {
    ASSERT_TRUE(Sim("key 0 00000000EE 123456"));
    StageBadge("00000000EE", "Katherine", "Johnson");
    ASSERT_EQ(Command("0FADDK", 0).first, KIV_OK);
    EXPECT_NE(ReadFile("zezSetupDB01.dat").find(";A 1,123456,00000000EE,"), std::string::npos);
    ASSERT_TRUE(Sim("event 0 17 unit=1 badge=1E241"));
    ASSERT_TRUE(WaitForTagValue("PENUM", 17, kPrompt));
    EXPECT_EQ(TagText("PBNAM"), "Katherine");
    EXPECT_EQ(TagText("PBCOD"), "00000000EE");
}

// Every refusal writes one line that names the tag or file and its cause; the checks the
// commands always made come before the later ones.
TEST_F(WriteTest, RefusalsNameTheirCause) {
    std::string list = "StartOfCommandList\r\n";
    for (int n = 0; n < 10000; ++n) {
        list += "; a comment line\r\n";
    }
    list += "7,<A>\r\nEndOfCommandList\r\n";
    WriteFile("vududidi01.ini", list);
    struct Case {
        const char* address;
        int32_t operation;
        int32_t type;
        uint16_t value;
        const char* line;
    };
    const Case cases[] = {
        {"1FADDK", 0, KIV_TYPE_ANALOG, 2,
         "RIRODI: write value for operation tags has to be 1, GAS 1FADDK"},
        {"1FADDK", 0, KIV_TYPE_ANALOG, 1,
         "RIRODI: add key needs a badge code, PKCOD is not staged, GAS 1FADDK"},
        {"PBINM", 0, KIV_TYPE_ANALOG, 1,
         "RIRODI: PBINM takes a text, its tag is not of STRING type, GAS PBINM"},
        {"pbin2", 0, KIV_TYPE_ANALOG, 1,
         "RIRODI: PBIN2 takes a text, its tag is not of STRING type, GAS pbin2"},
        {"SEND_STR_FROM_FILE", 0, KIV_TYPE_ANALOG, 7,
         "RIRODI: vududidi01.ini holds no entry 7 within the 10000 lines after "
         "StartOfCommandList; the lines after them are not read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        qorClearLog();
        const bool command = c.address[0] >= '0' && c.address[0] <= '7';
        TestTag tag(c.address, c.operation, c.type, 0, -1, command ? c.address[0] - '0' : 10);
        tag.SetNumber(c.value);
        EXPECT_EQ(Write(tag), KIV_REJECTED);
        ASSERT_EQ(kivtest::LogLines().size(), 2U);  // the entry line, then the refusal
        EXPECT_EQ(kivtest::LogLines().back().text, c.line);
    }
}

// Downloads to four controllers at once on a silent line: a fifth is refused with its line, and
// close still ends all four at once.
TEST_F(WriteTest, AFifthDownloadIsRefusedWhileFourRun) {
    ASSERT_TRUE(Sim("fault silent on all"));
    WriteFile("zezDSetup01.dat", ";S M,1;\r\n;S M,2;\r\n");
    for (int controller = 0; controller < kiv::kMaxDownloads; ++controller) {
        const std::string address = std::to_string(controller) + "FSPARS";
        ASSERT_EQ(WriteNumber(address.c_str(), 7, 1, controller), KIV_OK);
    }
    EXPECT_EQ(WriteNumber("4FSPARS", 7, 1, 4), KIV_REJECTED);
    EXPECT_EQ(LinesWith("RIRODI: SingleWrite() refused, 4 setup downloads run already (the most at "
                        "once), GAS 4FSPARS")
                  .size(),
              1U);
}

// A download file of 100 000 lines that are all refused: the first ten are logged one by one,
// the rest as one count, and the file's end as always.
TEST_F(WriteTest, ADownloadOfManyBadLinesLogsABoundedNumberOfLines) {
    std::string file;
    for (int n = 0; n < 100000; ++n) {
        file += "no semicolon\r\n";
    }
    WriteFile("zezDSetup01.dat", file);
    qorClearLog();
    ASSERT_EQ(WriteNumber("3FSPARS", 7, 1, 3), KIV_OK);
    ASSERT_TRUE(WaitForLine(
        "RIRODI: DownLoadFromFile() done, 0 of 100000 lines sent, 100000 failed", 4 * kPrompt));
    EXPECT_EQ(LinesWith("has no ';', not sent").size(), 10U);
    EXPECT_EQ(LinesWith("RIRODI: DownLoadFromFile() 99990 more lines were refused; only the first "
                        "10 were logged")
                  .size(),
              1U);
    EXPECT_LE(LinesWith("DownLoadFromFile()").size(), 30U);

    // With the port closed every line's send fails at once: the log says so once, not per line.
    std::string lines;
    for (int n = 0; n < 20; ++n) {
        lines += ";>3S M,1;\r\n";
    }
    WriteFile("zezDSetup01.dat", lines);
    ASSERT_EQ(instance_->Call(KIV_FN_PORT_CLOSE), KIV_OK);
    qorClearLog();
    ASSERT_EQ(WriteNumber("3FSPARS", 7, 1, 3), KIV_OK);
    ASSERT_TRUE(WaitForLine("RIRODI: DownLoadFromFile() done, 0 of 20 lines sent", 4 * kPrompt));
    EXPECT_EQ(LinesWith("no COMM port is open, the frame was not sent").size(), 1U);
    ASSERT_EQ(instance_->Call(KIV_FN_PORT_OPEN), KIV_OK);
}

TEST_F(WriteTest, WritesFromSeveralHostThreadsEachGetTheirOwnResult) {
    std::atomic<int> done{0};
    std::vector<std::thread> hosts;
    for (int n = 0; n < 4; ++n) {
        hosts.emplace_back([&] {
            if (Command("0FSTAT", 13).first == KIV_OK) {
                ++done;
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    EXPECT_EQ(done.load(), 4);
}

// Events queued on a controller, then sent one after another (ten of them two in one write)
// while a host writes commands between them: every command is answered, every event filed once
// and in its order. An event that comes while a command awaits its acknowledgement is left alone
// and comes again.
TEST_F(WriteTest, EventsBackToBackWithCommandsBetweenThem) {
    constexpr int kEvents = 40;
    constexpr int kCommands = 10;
    ASSERT_TRUE(Sim("fault silent on 0"));
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_TRUE(Sim("event 0 10 unit=1 time=" + EventTime(i)));
    }
    ASSERT_TRUE(Sim("fault backtoback on 0 count=10"));
    std::atomic<int> answered{0};
    std::thread host([&] {
        for (int n = 0; n < kCommands; ++n) {
            answered += Command("0FSTAT", 13).first == KIV_OK ? 1 : 0;
        }
    });
    ASSERT_TRUE(Sim("fault silent off 0"));
    host.join();
    ASSERT_TRUE(Sim("idle 20000"));
    EXPECT_EQ(answered.load(), kCommands);
    ExpectEventsFiledOnce(kEvents);
    EXPECT_TRUE(LinesWith("Illegal message").empty());
}

// Function 12 while the receiver waits on the quiet line (for ten minutes, unless something ends
// the wait) closes the port at once; after 13 the receiver waits on the new port.
TEST_F(WriteTest, ThePortClosesAndReopensWhileTheReceiverWaits) {
    ASSERT_TRUE(Sim("idle 5000"));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto closed =
            std::async(std::launch::async, [&] { return instance_->Call(KIV_FN_PORT_CLOSE); });
        ASSERT_EQ(closed.wait_for(std::chrono::milliseconds(kPrompt)), std::future_status::ready);
        EXPECT_EQ(closed.get(), KIV_OK);
        EXPECT_EQ(instance_->Call(KIV_FN_PORT_OPEN), KIV_OK);
        ASSERT_TRUE(Sim("event 0 " + std::to_string(20 + round) + " unit=1"));
        EXPECT_TRUE(WaitForTagValue("PENUM", 20 + round, kPrompt));
    }
    // A storm of closes and opens, each close meeting the receiver in its wait on the port (on
    // Windows the port object is freed by the close: the waiter must have left it first).
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(instance_->Call(KIV_FN_PORT_CLOSE), KIV_OK) << round;
        ASSERT_EQ(instance_->Call(KIV_FN_PORT_OPEN), KIV_OK) << round;
    }
    ASSERT_TRUE(Sim("event 0 23 unit=1"));
    EXPECT_TRUE(WaitForTagValue("PENUM", 23, kPrompt));
}

// The line's device goes away and comes back under the same name (under Wine the COM port's link
// is pointed at a new simulator; natively the Linux tests of the port layer do this): the loss is
// logged once, a command meanwhile fails at once, and the port is opened again by itself.
TEST_F(WriteTest, APulledLineIsOpenedAgainByItself) {
    {
        // The event-format command of the start is answered first (it holds the transaction).
        const kiv::platform::LockGuard done((*instance_)->transactionLock);
    }
    const testing::AssertionResult unplugged = Sim("unplug");
    if (!unplugged) {
        GTEST_SKIP() << unplugged.message();
    }
    ASSERT_TRUE(WaitForLine(" failed: ", kPrompt));
    EXPECT_EQ(Command("0FSTAT", 13).first, KIV_FAILED);
    EXPECT_EQ(LinesWith(" is gone, the frame was not sent").size(), 1U);
    EXPECT_EQ(LinesWith("SingleWrite() error"), std::vector<kivtest::LogLine>{});
    ASSERT_TRUE(Sim("plug"));
    ASSERT_TRUE(WaitForLine(" is back, opened again", kPrompt));
    ASSERT_TRUE(Sim("timing ack=5 gap=20 upload=200 resend=1000 resends=3 data-ack=1000"));
    ASSERT_TRUE(Sim("event 0 21 unit=1"));
    EXPECT_TRUE(WaitForTagValue("PENUM", 21, kPrompt));
    EXPECT_EQ(Command("0FSTAT", 13).first, KIV_OK);
}

// A DOWNLOAD list line that is not staged (a name the name tags refuse, a line cut short) leaves
// nothing of the badge before it staged: the next add-key write is refused for want of a badge
// code instead of adding that badge a second time.
TEST_F(WriteTest, ARefusedDownloadLineLeavesNoBadgeForTheNextAddKey) {
    for (const char* refused :
         {";A 1,2,0000002222,3F,31/12/29,0;0000 @ J. Smith @ X", ";A 1,2,000000222"}) {
        SCOPED_TRACE(refused);
        std::remove("zezSetupDB01.dat");
        WriteFile("zezSetupUDB01.dat", ";A 1,1,0000001111,3F,31/12/29,0;0000 @ Alice @ A\r\n" +
                                           std::string(refused) + "\r\n");
        ASSERT_EQ(qorSetValue(qorFindTag("COUNTERD"), 0), 0);
        ASSERT_EQ(WriteNumber("DOWNLOAD", 0, 1), KIV_OK);
        ASSERT_EQ(Command("0FADDK", 0).first, KIV_OK);
        qorClearLog();
        ASSERT_EQ(WriteNumber("DOWNLOAD", 0, 1), KIV_OK);
        EXPECT_EQ(TagValue("COUNTERD"), 2);
        EXPECT_EQ(LinesWith("zezSetupUDB01.dat line 2: ").size(), 1U);
        EXPECT_EQ(Command("0FADDK", 0).first, KIV_REJECTED);
        EXPECT_EQ(LinesWith("add key needs a badge code, PKCOD is not staged").size(), 1U);
        EXPECT_EQ(BadgeLines().size(), 1U);
        EXPECT_EQ(TagText("PBINM"), "");
    }
}

// A host whose look-up of a tag it does not hold answers another status than 1: the name tags
// are not there, and the badge is added with empty names.
TEST_F(WriteTest, AnyFailedLookUpOfANameTagMeansNoName) {
    StageBadge("0000003333", "unread", "unread");
    qorFailCall(QOR_CALL_GET_GATE_ID_BY_ADDRESS, 4, 2);  // the two name look-ups
    EXPECT_EQ(Command("0FADDK", 0).first, KIV_OK);
    qorClearFailures();
    ASSERT_EQ(BadgeLines().size(), 1U);
    EXPECT_NE(BadgeLines()[0].find(",0000003333,"), std::string::npos);
    EXPECT_EQ(BadgeLines()[0].substr(BadgeLines()[0].find(" @ ")), " @  @ ");
}

// Status reports name no controller: queries to two controllers back to back each get their own
// report under their own tags, whether the report follows the acknowledgement at once, 20 ms or
// 300 ms after it.
TEST_F(WriteTest, StatusQueriesBackToBackEachGetTheirOwnReport) {
    for (const int gap : {0, 20, 300}) {
        ASSERT_TRUE(Sim("timing ack=5 gap=" + std::to_string(gap) +
                        " upload=200 resend=1000 resends=3 data-ack=1000"));
        const int runs = gap == 300 ? 3 : 8;
        for (int run = 0; run < runs; ++run) {
            SCOPED_TRACE(testing::Message() << "gap " << gap << " ms, run " << run);
            ASSERT_TRUE(Sim("status 0 keys=" + std::to_string(100 + run) + " text=CTRLZERO"));
            ASSERT_TRUE(Sim("status 1 keys=" + std::to_string(200 + run) + " text=CTRLONE"));
            for (const char* tag : {"0PCTRL", "1PCTRL"}) {
                ASSERT_EQ(qorSetText(qorFindTag(tag), ""), 0);
            }
            EXPECT_EQ(Command("0FSTAT", 13).first, KIV_OK);
            EXPECT_EQ(Command("1FSTAT", 13).first, KIV_OK);
            // Each query holds the line until its report has come.
            EXPECT_EQ(TagValue("0PKEYS"), 100 + run);
            EXPECT_EQ(TagValue("1PKEYS"), 200 + run);
            EXPECT_EQ(TagText("0PCTRL"), "CTRLZERO");
            EXPECT_EQ(TagText("1PCTRL"), "CTRLONE");
        }
    }
}

// An upload given up after its stall bound and the next one do not share the setup file: the
// new one begins it anew, under its own header.
TEST_F(WriteTest, AGivenUpUploadIsNotContinuedByTheNext) {
    (*instance_)->timings.uploadStallMs = 1000;
    ASSERT_TRUE(Sim("timing ack=5 gap=20 upload=1500 resend=1000 resends=3 data-ack=1000"));
    ASSERT_EQ(Command("0FSPARU", 7).first, KIV_OK);
    ASSERT_TRUE(Sim("fault silent on 0"));  // its upload is held back: it stalls
    ASSERT_TRUE(Sim("frame 1 S M,9"));      // one line of it comes
    const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPrompt);
    while (ReadFile("zezSetup01.dat").find("S M,9") == std::string::npos &&
           std::chrono::steady_clock::now() < bound) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(ReadFile("zezSetup01.dat").find("S M,9"), std::string::npos);
    std::this_thread::sleep_for(1100ms);  // past the stall bound
    ASSERT_EQ(Command("1FSPARU", 7).first, KIV_OK);
    EXPECT_EQ(LinesWith("is given up; a new one begins").size(), 1U);
    const auto ended = std::chrono::steady_clock::now() + 15s;  // the new upload's end
    while ((*instance_)->uploadSetupRunning.load() != kiv::kUploadNone &&
           std::chrono::steady_clock::now() < ended) {
        std::this_thread::sleep_for(10ms);
    }
    const std::string file = ReadFile("zezSetup01.dat");
    EXPECT_EQ(file.find("S M,9"), std::string::npos) << file;
    EXPECT_EQ(file.rfind("CONTENT OF SETUP PARAMETERS."), 0U) << file;
    EXPECT_NE(file.find(";S L,5,5,"), std::string::npos) << file;  // the new upload's lines
    ASSERT_TRUE(Sim("fault silent off 0"));  // the held upload comes, unasked: not filed
    ASSERT_TRUE(Sim("idle 15000"));
    EXPECT_EQ(ReadFile("zezSetup01.dat"), file);
}

// The controller took an upload request whose acknowledgements were lost: its lines are filed.
TEST_F(WriteTest, UploadLinesAfterALostAcknowledgementAreFiled) {
    (*instance_)->answerTimeoutUnit = 20;  // 200 ms a wait
    ASSERT_TRUE(Sim("timing ack=5 gap=20 upload=1500 resend=1000 resends=3 data-ack=1000"));
    ASSERT_TRUE(Sim("fault noack on 0 count=3"));
    EXPECT_EQ(Command("0FSPARU", 7).first, KIV_FAILED);
    ASSERT_TRUE(Sim("idle 20000"));
    const std::string file = ReadFile("zezSetup01.dat");
    EXPECT_EQ(file.rfind("CONTENT OF SETUP PARAMETERS."), 0U) << file;
    EXPECT_GT(file.size(), std::string("CONTENT OF SETUP PARAMETERS.\r\n").size() + 8) << file;
}

// A half-duplex adapter hands every byte the driver sends back to it: events are still filed
// once each, a query no controller answers fails, keys are added and a setup download goes
// through; the echo is said once and nothing else of it reaches the log.
TEST_F(WriteTest, AnEchoingLineLosesNothingAndMisreportsNothing) {
    ASSERT_TRUE(Sim("present 5 off"));
    ASSERT_TRUE(Sim("fault echo on all"));
    // A line echoes from its start: the echo of the event-format command shows it.
    qorClearLog();
    instance_ = std::make_unique<HostInstance>(1);  // closes the one that ran
    const uint32_t outgoingBefore = qorWriteCount(qorFindTag("OUTGOING"));
    ASSERT_EQ(instance_->ColdStart(linktest::PortName()), KIV_OK);
    for (int round = 0; round < 50 && qorWriteCount(qorFindTag("OUTGOING")) == outgoingBefore;
         ++round) {
        qorWaitForChange(qorChangeCount(), 100);
    }
    {
        // The event-format command holds the transaction until it is answered.
        const kiv::platform::LockGuard done((*instance_)->transactionLock);
    }
    // 400 ms a wait: an answer later than the wait is said ("no command awaited"), and under a
    // sanitizer on a busy machine the simulator's answer came after 200 ms.
    (*instance_)->answerTimeoutUnit = 40;
    constexpr int kRounds = 6;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(Sim("event 0 10 unit=1 time=" + EventTime(i)));
        EXPECT_EQ(Command("5FSTAT", 13).first, KIV_FAILED) << "round " << i;
        EXPECT_EQ(Command("0FSTAT", 13).first, KIV_OK) << "round " << i;
    }
    StageBadge("0000004444", "Echo", "Line");
    EXPECT_EQ(Command("0FADDK", 0).first, KIV_OK);
    ASSERT_EQ(BadgeLines().size(), 1U);
    EXPECT_NE(BadgeLines()[0].find(",0000004444,"), std::string::npos);
    WriteFile("zezDSetup01.dat", ";>3S M,1;\r\n;>3S M,2;\r\n");
    EXPECT_EQ(WriteNumber("3FSPARS", 7, 1, 3), KIV_OK);
    EXPECT_TRUE(
        WaitForLine("RIRODI: DownLoadFromFile() done, 2 of 2 lines sent, 0 failed", kPrompt));
    ASSERT_TRUE(Sim("idle 10000"));
    ExpectEventsFiledOnce(kRounds);
    EXPECT_EQ(LinesWith("hands back what the driver sends").size(), 1U);
    EXPECT_EQ(LinesWith("Illegal message"), std::vector<kivtest::LogLine>{});
    EXPECT_EQ(LinesWith("no command awaited"), std::vector<kivtest::LogLine>{});
    EXPECT_EQ(LinesWith("'5FSTAT'").size(), 3U * kRounds);  // its time-outs, nothing more
}

}  // namespace
