// What a host can do to one instance at the worst moment: several host threads calling at
// random while the controllers send events, then close with those calls still in flight; close
// while calls wait on a silent line; close when the host refuses to remove the client; host calls
// that fail. The controllers are the line simulator in this process, on a pseudo-terminal.
//
// KIV_STRESS_ROUNDS sets the rounds of the storm (default 500; the build sets it for each
// preset, 500 under AddressSanitizer and ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "directory_entries.h"
#include "host_fixture.h"
#include "host_instance.h"
#include "instance/driver_instance.h"
#include "qorpro/qorpro_embed.h"
#include "stage_instance.h"
#include "tags/operation_codes.h"
#include "vxs_sim/simulator.h"
#include "work_dir_fixture.h"

namespace {

using namespace std::chrono_literals;
using kivtest::HostInstance;
using kivtest::LinesWith;
using kivtest::TestTag;
using kivtest::WaitForLine;
using Clock = std::chrono::steady_clock;

constexpr int kPrompt = 5000;
constexpr int kControllers = 4;

int Rounds(int fallback) {
    const char* text = std::getenv("KIV_STRESS_ROUNDS");
    const int rounds = text != nullptr ? std::atoi(text) : 0;
    return rounds > 0 ? rounds : fallback;
}

size_t ThreadsOfProcess() {
    return kivtest::EntriesOf("/proc/self/task");
}

// Waits until the process has 'count' threads again (a joined thread may take a moment to leave
// the kernel's list).
bool ThreadsBackTo(size_t count) {
    const auto end = Clock::now() + 5s;
    while (ThreadsOfProcess() != count) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int32_t Call(HostInstance& instance, TestTag& tag, uint32_t function) {
    KivRequest request = tag.Request(*instance, function);
    return KivMain(&request);
}

int32_t Write(HostInstance& instance, const std::string& address, int32_t operation, uint16_t value,
              int32_t controller = 10) {
    TestTag tag(address, operation, KIV_TYPE_ANALOG, 0, -1, controller);
    tag.SetNumber(value);
    return Call(instance, tag, KIV_FN_SINGLE_WRITE);
}

int32_t WriteText(HostInstance& instance, const std::string& address, int32_t operation,
                  const std::string& text) {
    TestTag tag(address, operation, KIV_TYPE_STRING);
    tag.SetText(text);
    return Call(instance, tag, KIV_FN_SINGLE_WRITE);
}

class TrustTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 10;
        kiv::timingDefaults.pollDelayMs = 600000;
        for (const char* tag : {"PBINM", "PBIN2", "PBNAM", "PBNA2", "PBCOD", "OUTGOING"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_STRING);
        }
        for (const char* tag : {"PENUM", "COUNTERD", "0FSPARS", "1FSPARS", "2FSPARS", "3FSPARS"}) {
            qorDefineTag(tag, tag, 1, KIV_TYPE_ANALOG);
        }
        qorSetText(qorFindTag("PBINM"), "Holder");
        WriteFile("zezDSetup01.dat", ";S M,1;\r\n;S M,2;\r\n");
        WriteFile("zezSetupUDB01.dat",
                  ";A 7,1,000000AAAA,3F,01/02/24,12;89AB @ Ann @ Day\r\n"
                  ";A 7,2,000000BBBB,1,01/02/24,0;89AB @ Bob @ Night\r\n");
        vxs_sim::SimulatorOptions options;
        options.controllers = {0, 1, 2, 3};
        options.timing.ackDelay = 2ms;
        options.timing.answerGap = 2ms;
        options.transcriptLimit = 2000;
        sim_ = vxs_sim::Simulator::OnPty(options);
        port_ = sim_->DevicePath().substr(5);
        sim_->SetListener([this](const vxs_sim::TranscriptEntry& entry) {
            if (entry.direction == vxs_sim::TranscriptEntry::Direction::kReceived &&
                entry.kind == "frame") {
                const std::lock_guard<std::mutex> lock(framesMutex_);
                frames_.push_back(entry.bytes);
            }
        });
    }
    void TearDown() override {
        sim_->SetListener(nullptr);
        sim_.reset();
        qorClearFailures();
        kiv::timingDefaults = kiv::kDriverTimings;
        WorkDirFixture::TearDown();
    }

    std::vector<std::string> Frames() {
        const std::lock_guard<std::mutex> lock(framesMutex_);
        return frames_;
    }
    size_t FrameCount() {
        const std::lock_guard<std::mutex> lock(framesMutex_);
        return frames_.size();
    }

    // One random host call: staging, the key commands, FSTAT, downloads, DOWNLOAD, INVERT, reads
    // and parses. Records the controllers whose download was accepted.
    int32_t RandomCall(HostInstance& instance, std::mt19937& random,
                       std::atomic<unsigned>& downloads) {
        static const char* const kCodes[] = {"000000AAAA", "000000BBBB", "000000CCCC"};
        const int controller = static_cast<int>(random() % kControllers);
        switch (random() % 14) {
        case 0: return WriteText(instance, "PKCOD", kiv::kOpPkcod, kCodes[random() % 3]);
        case 1: return WriteText(instance, "PDATE", kiv::kOpPdate, "31/12/29");
        case 2: return Write(instance, "PDORS", kiv::kOpPdors, static_cast<uint16_t>(random()));
        case 3: return Write(instance, "PTZN2", 110, static_cast<uint16_t>(1 + random() % 8));
        case 4: return Write(instance, "0FADDK", kiv::kOpFaddk, 1, 0);
        case 5: return Write(instance, "0FDELK", kiv::kOpFdelk, 1, 0);
        case 6: return Write(instance, "0FMODK", kiv::kOpFmodk, 1, 0);
        case 7:
            return Write(instance, std::to_string(controller) + "FSTAT", kiv::kOpFstat, 1,
                         controller);
        case 8: {
            const int32_t result = Write(instance, std::to_string(controller) + "FSPARS",
                                         kiv::kOpFspar, 1, controller);
            if (result == KIV_OK) {
                downloads |= 1U << controller;
            }
            return result;
        }
        case 9: return Write(instance, "DOWNLOAD", 0, 1);
        case 10: return Write(instance, "INVERT", 0, 1);
        case 11: {
            TestTag tag("INPUT", kiv::kOpInput, KIV_TYPE_STRING);
            return Call(instance, tag, KIV_FN_READ);
        }
        case 12: {
            TestTag tag("PKCOD", kiv::kOpPkcod, KIV_TYPE_STRING);
            return Call(instance, tag, KIV_FN_READ);
        }
        default: {
            static const char* const kAddresses[] = {"0FADDK", "PKCOD",   "3FSPARS", "INPUT",
                                                     "9FSTAT", "PDORS.3", ""};
            GateDescriptor gate{};
            gate.address = kAddresses[random() % std::size(kAddresses)];
            gate.dataType = KIV_TYPE_ANALOG;
            KivRequest request{};
            request.functionNumber = KIV_FN_PARSE;
            request.argument = &gate;
            return KivMain(&request);
        }
        }
    }

    std::unique_ptr<vxs_sim::Simulator> sim_;
    std::string port_;
    std::mutex framesMutex_;
    std::vector<std::string> frames_;
};

// Every key record the controller received names the badge of the key query before it.
void ExpectKeyRecordsMatchTheirQueries(const std::vector<std::string>& frames) {
    std::string queried;
    for (const std::string& frame : frames) {
        if (frame.rfind("\n;K ", 0) == 0) {
            queried = frame.substr(4, 10);
        } else if (frame.rfind("\n;A ", 0) == 0) {
            const size_t code = frame.find(',', frame.find(',') + 1);
            ASSERT_NE(code, std::string::npos) << frame;
            EXPECT_EQ(frame.substr(code + 1, 10), queried) << frame;
        }
    }
}

TEST_F(TrustTest, StressHostThreadsAtRandomWhileEventsFlowThenClose) {
    constexpr int kHostThreads = 6;
    const int rounds = Rounds(500);
    HostInstance instance(1);
    const size_t baseline = ThreadsOfProcess();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        for (int c = 0; c < kControllers; ++c) {
            qorSetValue(qorFindTag((std::to_string(c) + "FSPARS").c_str()), 1);
        }
        ASSERT_EQ(instance.ColdStart(port_), KIV_OK);
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::atomic<unsigned> downloads{0};
        std::atomic<int> badResults{0};
        std::thread events([&] {
            std::mt19937 random(static_cast<unsigned>(round));
            while (!stop) {
                sim_->InjectEvent({static_cast<int>(random() % kControllers),
                                   static_cast<int>(random() % 30), 1,
                                   static_cast<uint32_t>(random() % 3), "", ""});
                std::this_thread::sleep_for(2ms);  // the pace of the line, not a synchronisation
            }
        });
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHostThreads; ++t) {
            hosts.emplace_back([&, t] {
                std::mt19937 random(static_cast<unsigned>(round * kHostThreads + t));
                while (!stop) {
                    const int32_t result = RandomCall(instance, random, downloads);
                    if (result < KIV_OK || result > KIV_FAILED) {
                        ++badResults;
                    }
                    ++calls;
                }
            });
        }
        // Close while the host threads keep calling: calls after close began are refused.
        EXPECT_TRUE(WaitFor([&] { return calls.load() >= kHostThreads; }, 10s));
        EXPECT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK);
        stop = true;
        for (std::thread& host : hosts) {
            host.join();
        }
        events.join();
        EXPECT_EQ(badResults.load(), 0);
        for (int c = 0; c < kControllers; ++c) {
            if ((downloads.load() & (1U << c)) != 0) {
                EXPECT_EQ(kivtest::TagValue((std::to_string(c) + "FSPARS").c_str()), 0.0) << c;
            }
        }
        ASSERT_TRUE(ThreadsBackTo(baseline)) << ThreadsOfProcess() << " threads, not " << baseline;
        qorClearLog();
    }
    ExpectKeyRecordsMatchTheirQueries(Frames());
    EXPECT_EQ(qorClientCount(), 0);
}

// Four host threads wait in SingleWrite on a silent line and two downloads run; close makes
// every call return 2 at once and frees nothing before the last has left.
TEST_F(TrustTest, StressCloseWhileHostThreadsWaitInSingleWrite) {
    for (int c = 0; c < kControllers; ++c) {
        sim_->SetFault(c, vxs_sim::Fault::kSilent, {});
    }
    constexpr int rounds = 200;
    const size_t baseline = ThreadsOfProcess();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        auto instance = std::make_unique<HostInstance>(1);
        ASSERT_EQ(instance->ColdStart(port_), KIV_OK);
        ASSERT_EQ(Write(*instance, "1FSPARS", kiv::kOpFspar, 1, 1), KIV_OK);
        ASSERT_EQ(Write(*instance, "2FSPARS", kiv::kOpFspar, 1, 2), KIV_OK);
        std::vector<std::thread> hosts;
        std::atomic<int> failed{0};
        for (int t = 0; t < 4; ++t) {
            hosts.emplace_back([&, t] {
                if (Write(*instance, std::to_string(t) + "FSTAT", kiv::kOpFstat, 1, t) ==
                    KIV_FAILED) {
                    ++failed;
                }
            });
        }
        ASSERT_TRUE(
            WaitFor([&] { return ((*instance)->hostCalls.load() & ~kiv::kClosingBit) >= 4; }, 5s));
        EXPECT_EQ(instance->Call(KIV_FN_CLOSE), KIV_OK);
        for (std::thread& host : hosts) {
            host.join();
        }
        EXPECT_EQ(failed.load(), 4);
        EXPECT_EQ(kivtest::TagValue("1FSPARS"), 0.0);
        instance.reset();  // the host frees the instance once its calls have returned
        ASSERT_TRUE(ThreadsBackTo(baseline));
        qorClearLog();
    }
}

// The host refuses to remove the client: close still returns, says so, and the thread that
// waits for host messages, let go, touches nothing of the freed instance when a message comes.
TEST_F(TrustTest, CloseReturnsWhenTheHostKeepsTheClient) {
    const size_t baseline = ThreadsOfProcess();
    auto instance = std::make_unique<HostInstance>(1);
    ASSERT_EQ(instance->ColdStart(port_), KIV_OK);
    const uint8_t client = (*instance)->clientId;
    ASSERT_TRUE(WaitForLine("RIRODI: Start of ThreadShutDown", kPrompt));  // its only line
    qorFailCall(QOR_CALL_RM_CLIENT, 5, 1);
    EXPECT_EQ(instance->Call(KIV_FN_CLOSE), KIV_OK);
    EXPECT_EQ(LinesWith("RIRODI: close: QorRmClient() didn't succeed, status 5; the host keeps "
                        "the client")
                  .size(),
              1U);
    EXPECT_EQ(
        LinesWith("RIRODI: close: the thread that waits for host messages did not end").size(), 1U);
    std::memset(static_cast<void*>(&**instance), 0xDD, sizeof(kiv::DriverInstance));
    instance.reset();
    // The message wakes the waiter, which ends without touching the instance (AddressSanitizer
    // would see it) and does not log for it.
    const size_t linesBefore = kivtest::LogLines().size();
    ASSERT_EQ(qorPostMessage(client, 0), 0);
    EXPECT_TRUE(ThreadsBackTo(baseline));
    EXPECT_EQ(kivtest::LogLines().size(), linesBefore);
    // A new instance may get the same client number; the old waiter is gone and takes nothing.
    HostInstance next(1);
    ASSERT_EQ(next.ColdStart(port_), KIV_OK);
    ASSERT_EQ(qorPostMessage(next->clientId, 0), 0);
    EXPECT_TRUE(WaitForLine("RIRODI: message QOR_SIGNAL_SHUT", kPrompt));
}

// Host calls that fail: each failure is logged once per tag until the call works again, the
// driver keeps running, and the host's shut-down signal still arrives.
TEST_F(TrustTest, FailingHostCallsAreLoggedOnceAndTheShutDownSignalStillWorks) {
    const QorCall calls[] = {QOR_CALL_GET_GATE_ID_BY_ADDRESS, QOR_CALL_PUT_GATE_VAL,
                             QOR_CALL_PUT_GATE_STR, QOR_CALL_GET_GATE_VAL};
    for (const QorCall call : calls) {
        SCOPED_TRACE(static_cast<int>(call));
        HostInstance instance(1);
        ASSERT_EQ(instance.ColdStart(port_), KIV_OK);
        ASSERT_TRUE(WaitForLine("RIRODI: Start of Unsolicited Thread", kPrompt));
        qorClearLog();
        qorFailCall(call, 7, -1);
        for (int n = 0; n < 3; ++n) {
            sim_->InjectEvent({0, 9, 1, 0, "", ""});
            ASSERT_TRUE(sim_->WaitUntilIdle(5s));
        }
        // A DOWNLOAD reads COUNTERD, a key write the holder's names.
        Write(instance, "DOWNLOAD", 0, 1);
        qorClearFailures();
        const std::vector<kivtest::LogLine> failures = LinesWith("status 7");
        EXPECT_FALSE(failures.empty());
        for (size_t a = 0; a < failures.size(); ++a) {
            for (size_t b = a + 1; b < failures.size(); ++b) {
                EXPECT_NE(failures[a].text, failures[b].text) << "logged twice";
            }
        }
        ASSERT_EQ(qorPostMessage(instance->clientId, 0), 0);
        EXPECT_TRUE(WaitForLine("RIRODI: message QOR_SIGNAL_SHUT", kPrompt));
    }
    // A failed wait for host messages is retried: the next signal still arrives.
    HostInstance instance(1);
    ASSERT_EQ(instance.ColdStart(port_), KIV_OK);
    qorClearLog();
    qorFailCall(QOR_CALL_GET_MSG, 7, 1);
    ASSERT_EQ(qorPostMessage(instance->clientId, 5), 0);  // wakes the waiter; a wait fails
    ASSERT_TRUE(WaitForLine("QorGetMsg() failed with status 7", kPrompt));
    ASSERT_EQ(qorPostMessage(instance->clientId, 0), 0);
    EXPECT_TRUE(WaitForLine("RIRODI: message QOR_SIGNAL_SHUT", kPrompt));
    EXPECT_EQ(LinesWith("RIRODI: ThreadShutDown() QorGetMsg() works again").size(), 1U);
    EXPECT_EQ(LinesWith("QorGetMsg() failed with status 7").size(), 1U);
}

// A host that hands a client number out again as soon as it is free, and drops the client of an
// instance whose waits fail: while that instance's thread pauses between its retries, a new
// instance is not given its number, so the old thread never takes the new one's messages.
TEST_F(TrustTest, AClientNumberStaysReservedWhileItsThreadRetries) {
    qorReuseClientNumbers(1);
    HostInstance old(1);
    ASSERT_EQ(old.ColdStart(port_), KIV_OK);
    const uint8_t oldClient = old->clientId;
    qorClearLog();
    qorFailCall(QOR_CALL_GET_MSG, 7, -1);
    ASSERT_EQ(qorPostMessage(oldClient, 5), 0);  // wakes the waiter; its waits fail from now on
    ASSERT_TRUE(WaitForLine("QorGetMsg() failed with status 7", kPrompt));
    ASSERT_EQ(QorRmClient(oldClient), 0);            // the host drops it behind the driver's back
    ASSERT_EQ(old.Call(KIV_FN_PORT_CLOSE), KIV_OK);  // the line is the new instance's
    HostInstance next(1);
    ASSERT_EQ(next.ColdStart(port_), KIV_OK);
    EXPECT_NE(next->clientId, oldClient);
    qorClearFailures();
    ASSERT_EQ(qorPostMessage(next->clientId, 0), 0);
    // Logged once the instance that took the message has been asked to shut down.
    EXPECT_TRUE(WaitForLine("RIRODI: QorRmClient() succeeded!!!", kPrompt));
    EXPECT_NE(next->shutdownRequested.load(), 0);
    EXPECT_EQ(old->shutdownRequested.load(), 0);
    qorReuseClientNumbers(0);
}

// Eight host threads each set their own bit of the door mask at once: none is lost.
TEST_F(TrustTest, StressBitWritesFromSeveralThreadsLoseNoBit) {
    constexpr int kBits = 8;
    HostInstance instance(1);
    ASSERT_EQ(instance.ColdStart(port_), KIV_OK);
    for (int round = 0; round < 100; ++round) {
        ASSERT_EQ(Write(instance, "PDORS", kiv::kOpPdors, 0), KIV_OK);
        std::atomic<int> ready{0};
        std::vector<std::thread> hosts;
        for (int bit = 0; bit < kBits; ++bit) {
            hosts.emplace_back([&, bit] {
                TestTag tag("PDORS", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, bit);
                tag.SetNumber(1);
                ++ready;
                while (ready.load() < kBits) {
                    std::this_thread::yield();
                }
                EXPECT_EQ(Call(instance, tag, KIV_FN_SINGLE_WRITE), KIV_OK);
            });
        }
        for (std::thread& host : hosts) {
            host.join();
        }
        ASSERT_EQ(instance->stage.doorMask, (1U << kBits) - 1) << round;
    }
}

// Close at once after the start, before the receiver has begun to read: nothing goes on the
// line after the close request and no time-out is logged.
TEST_F(TrustTest, CloseWithinTheFirstSecondSendsNothingAfterIt) {
    kiv::timingDefaults.receiverStartDelayMs = kiv::kDriverTimings.receiverStartDelayMs;
    for (int round = 0; round < 20; ++round) {
        HostInstance instance(1);
        ASSERT_EQ(instance.ColdStart(port_), KIV_OK);
        const size_t before = FrameCount();
        EXPECT_EQ(instance.Call(KIV_FN_CLOSE), KIV_OK);
        ASSERT_TRUE(sim_->WaitUntilIdle(5s));
        EXPECT_EQ(FrameCount(), before);
    }
    EXPECT_TRUE(LinesWith("time-out").empty());
    EXPECT_TRUE(LinesWith("Ack wasn't received").empty());
}

}  // namespace
