// The stand-in host library: tags, clients and messages, the log, failure injection, and the
// binding of a loaded driver's log calls to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "platform/dynamic_library.h"
#include "qorpro/qorpro_embed.h"

namespace {

using kivtest::LogLines;

class QorproTest : public kivtest::HostFixture {};

TEST_F(QorproTest, ClientRegistrationWritesTheHandleAndRemovalForgetsIt) {
    uint8_t first = 0;
    uint8_t second = 0;
    ASSERT_EQ(QorMkClient("RIRODI No_01", 1, 0, &first), 0);
    ASSERT_EQ(QorMkClient("RIRODI No_02", 1, 0, &second), 0);
    EXPECT_NE(first, 0);
    EXPECT_NE(first, second);
    char name[32];
    EXPECT_EQ(qorClientName(first, name, sizeof name), 0);
    EXPECT_STREQ(name, "RIRODI No_01");
    EXPECT_EQ(qorClientCount(), 2);
    EXPECT_EQ(QorRmClient(first), 0);
    EXPECT_EQ(qorClientExists(first), 0);
    EXPECT_NE(QorRmClient(first), 0);
    EXPECT_EQ(qorClientCount(), 1);
}

TEST_F(QorproTest, TagsAreFoundByInstanceAndAddressOrByName) {
    const int32_t a = qorDefineTag("Door 3 state", "PSDOR03", 1, KIV_TYPE_ANALOG);
    const int32_t b = qorDefineTag("Door 3 state, line 2", "PSDOR03", 2, KIV_TYPE_ANALOG);
    const int32_t s = qorDefineTag("Incoming", "INCOMING", 1, KIV_TYPE_STRING);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(qorDefineTag("Incoming", "X", 1, 0), -1) << "names are unique";
    int32_t id = 0;
    EXPECT_EQ(QorGetGateIdByAddressStr(1, 1, "PSDOR03", &id), 0);
    EXPECT_EQ(id, a);
    EXPECT_EQ(QorGetGateIdByAddressStr(1, 2, "PSDOR03", &id), 0);
    EXPECT_EQ(id, b);
    EXPECT_NE(QorGetGateIdByAddressStr(1, 3, "PSDOR03", &id), 0);
    EXPECT_NE(QorGetGateIdByAddressStr(1, 1, "psdor03", &id), 0) << "addresses match exactly";
    EXPECT_EQ(QorGetGateId(1, "Incoming", &id), 0);
    EXPECT_EQ(id, s);
    int32_t type = -1;
    EXPECT_EQ(QorGetGateFormat(1, s, &type), 0);
    EXPECT_EQ(type, KIV_TYPE_STRING);
    EXPECT_NE(QorGetGateFormat(1, 999, &type), 0);
}

// A thread's repeated look-ups are answered from what it found before: every change of the
// tags changes the answers at once, addresses whose slots collide each keep their own, and an
// address too long to keep is still found.
TEST_F(QorproTest, RepeatedLookUpsFollowEveryChangeOfTheTags) {
    const auto find = [](int32_t instance, const std::string& address) {
        int32_t id = -1;
        return QorGetGateIdByAddressStr(1, static_cast<uint8_t>(instance), address.c_str(), &id) ==
                       0
                   ? id
                   : -1;
    };
    const std::string longAddress(40, 'L');
    EXPECT_EQ(find(1, "PENUM"), -1);
    const int32_t first = qorDefineTag("A", "PENUM", 1, KIV_TYPE_ANALOG);
    const int32_t longOne = qorDefineTag("L", longAddress.c_str(), 1, KIV_TYPE_ANALOG);
    for (int repeat = 0; repeat < 2; ++repeat) {
        EXPECT_EQ(find(1, "PENUM"), first);
        EXPECT_EQ(find(1, longAddress), longOne);
        EXPECT_EQ(find(2, "PENUM"), -1);
    }
    qorReset();
    EXPECT_EQ(find(1, "PENUM"), -1);
    (void)qorDefineTag("B", "OTHER", 1, KIV_TYPE_ANALOG);
    const int32_t second = qorDefineTag("A", "PENUM", 1, KIV_TYPE_ANALOG);
    ASSERT_NE(second, first);
    EXPECT_EQ(find(1, "PENUM"), second);
    std::vector<int32_t> ids;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "T" + std::to_string(i);
        ids.push_back(qorDefineTag(name.c_str(), ("P" + name).c_str(), 1 + i % 3, KIV_TYPE_ANALOG));
    }
    for (int repeat = 0; repeat < 2; ++repeat) {
        for (int i = 0; i < 300; ++i) {
            EXPECT_EQ(find(1 + i % 3, "PT" + std::to_string(i)), ids[static_cast<size_t>(i)]);
        }
    }
}

// Threads look addresses up while another defines the tags: an answer is never another
// tag's, and once the tags are defined every thread finds each of them.
TEST_F(QorproTest, StormLookUpsWhileTagsAreDefined) {
    constexpr int kTags = 200;
    std::atomic<bool> defined{false};
    std::atomic<int> wrong{0};
    const auto lookUp = [&wrong](int i) {
        const std::string address = "P" + std::to_string(i);
        int32_t id = -1;
        if (QorGetGateIdByAddressStr(1, 1, address.c_str(), &id) != 0) {
            return false;
        }
        char name[32] = {};
        char found[32] = {};
        int32_t instance = 0;
        int32_t type = 0;
        (void)qorGetTagInfo(id, name, sizeof name, found, sizeof found, &instance, &type);
        wrong += address == found ? 0 : 1;
        return true;
    };
    std::vector<std::thread> readers;
    std::atomic<int> missing{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; !defined; i = (i + 7) % kTags) {
                (void)lookUp(i);
            }
            for (int i = 0; i < kTags; ++i) {
                missing += lookUp(i) ? 0 : 1;
            }
        });
    }
    for (int i = 0; i < kTags; ++i) {
        (void)qorDefineTag(("T" + std::to_string(i)).c_str(), ("P" + std::to_string(i)).c_str(), 1,
                           KIV_TYPE_ANALOG);
    }
    defined = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(missing, 0);
}

TEST_F(QorproTest, ValuesAndTextsRoundTripAndTextsStayWithinTheHostsBuffer) {
    const int32_t n = qorDefineTag("n", "PENUM", 1, KIV_TYPE_ANALOG);
    const int32_t s = qorDefineTag("s", "PBNAM", 1, KIV_TYPE_STRING);
    EXPECT_EQ(QorPutGateVal(1, n, 2, 17.5, 0, 0), 0);
    double value = 0;
    EXPECT_EQ(QorGetGateVal(1, 11, n, &value, nullptr, nullptr), 0);
    EXPECT_EQ(value, 17.5);

    const std::string longText(300, 'x');
    EXPECT_EQ(QorPutGateStr(1, s, 2, longText.c_str(), 0, 0), 0);
    char buffer[QOR_TEXT_SIZE + 16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(QorGetGateStr(1, 11, s, buffer, nullptr, nullptr), 0);
    EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(QOR_TEXT_SIZE - 1));
    EXPECT_EQ(buffer[QOR_TEXT_SIZE], '#') << "nothing written past the host's text size";
    EXPECT_EQ(qorWriteCount(s), 1U);
    EXPECT_EQ(qorWriteCount(n), 1U);
}

TEST_F(QorproTest, InjectedFailuresReturnTheirStatusForTheChosenNumberOfCalls) {
    const int32_t n = qorDefineTag("n", "PENUM", 1, KIV_TYPE_ANALOG);
    qorFailCall(QOR_CALL_PUT_GATE_VAL, 7, 2);
    EXPECT_EQ(QorPutGateVal(1, n, 2, 1.0, 0, 0), 7);
    EXPECT_EQ(QorPutGateVal(1, n, 2, 2.0, 0, 0), 7);
    double value = -1;
    qorGetValue(n, &value);
    EXPECT_EQ(value, 0.0) << "a failed call changes nothing";
    EXPECT_EQ(QorPutGateVal(1, n, 2, 3.0, 0, 0), 0);
    qorGetValue(n, &value);
    EXPECT_EQ(value, 3.0);
    EXPECT_EQ(qorCallCount(QOR_CALL_PUT_GATE_VAL), 3U);

    qorFailCall(QOR_CALL_MK_CLIENT, 5, -1);
    uint8_t id = 0;
    EXPECT_EQ(QorMkClient("a", 1, 0, &id), 5);
    EXPECT_EQ(QorMkClient("a", 1, 0, &id), 5);
    EXPECT_EQ(qorClientCount(), 0);
    qorClearFailures();
    EXPECT_EQ(QorMkClient("a", 1, 0, &id), 0);
}

TEST_F(QorproTest, BlockedGetMsgIsReleasedByAPostedMessage) {
    uint8_t id = 0;
    ASSERT_EQ(QorMkClient("c", 1, 0, &id), 0);
    std::atomic<int> status{-1};
    std::atomic<int> code{-1};
    std::thread waiter([&] {
        QorMessage message{};
        status = QorGetMsg(id, &message);
        code = message.code;
    });
    // The waiter is blocked: nothing has been posted yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(status.load(), -1);
    ASSERT_EQ(qorPostMessage(id, 42), 0);
    waiter.join();
    EXPECT_EQ(status.load(), 0);
    EXPECT_EQ(code.load(), 42);
}

TEST_F(QorproTest, BlockedGetMsgFailsOnceTheClientIsRemoved) {
    uint8_t id = 0;
    ASSERT_EQ(QorMkClient("c", 1, 0, &id), 0);
    std::atomic<int> status{-1};
    std::thread waiter([&] {
        QorMessage message{};
        status = QorGetMsg(id, &message);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(QorRmClient(id), 0);
    waiter.join();
    EXPECT_NE(status.load(), 0);
    QorMessage message{};
    EXPECT_NE(QorGetMsg(id, &message), 0);
    EXPECT_NE(qorPostMessage(id, 0), 0);
}

TEST_F(QorproTest, MessagesArriveInOrder) {
    uint8_t id = 0;
    ASSERT_EQ(QorMkClient("c", 1, 0, &id), 0);
    qorPostMessage(id, 3);
    qorPostMessage(id, QOR_SIGNAL_SHUT);
    QorMessage message{};
    ASSERT_EQ(QorGetMsg(id, &message), 0);
    EXPECT_EQ(message.code, 3);
    ASSERT_EQ(QorGetMsg(id, &message), 0);
    EXPECT_EQ(message.code, QOR_SIGNAL_SHUT);
}

TEST_F(QorproTest, ErrFormatsTheLineAndKeepsItsLevel) {
    err(32, "RIRODI: %s %d", "value", 7);
    err(8, "plain");
    ASSERT_EQ(LogLines().size(), 2U);
    EXPECT_EQ(LogLines()[0], (kivtest::LogLine{32, "RIRODI: value 7"}));
    EXPECT_EQ(LogLines()[1], (kivtest::LogLine{8, "plain"}));
    EXPECT_EQ(qorWaitForLog(2, 0), 2U);
}

TEST_F(QorproTest, WaitForChangeReturnsOnceATagIsWritten) {
    const int32_t n = qorDefineTag("n", "PENUM", 1, KIV_TYPE_ANALOG);
    const uint64_t seen = qorChangeCount();
    std::thread writer([&] { QorPutGateVal(1, n, 2, 5.0, 0, 0); });
    EXPECT_GT(qorWaitForChange(seen, 5000), seen);
    writer.join();
}

// The driver library, loaded by path as a host loads it, logs through this host library and
// not through any function of the same name elsewhere in the process (glibc has an err(3)
// that would print and exit).
TEST_F(QorproTest, LoadedDriverLogsThroughTheHostLibrary) {
    kiv::platform::DynamicLibrary driver;
    const std::string path =
        kiv::platform::ExecutableDirectory() + kiv::platform::DriverLibraryFileName();
    ASSERT_TRUE(driver.Load(path)) << driver.Error();
    void* symbol = driver.Symbol("KivMain");
    ASSERT_NE(symbol, nullptr);
    KivMainFunction kivMain = nullptr;
    std::memcpy(&kivMain, &symbol, sizeof kivMain);
    KivRequest request{};
    request.functionNumber = KIV_FN_BLOCK_READ;
    EXPECT_EQ(kivMain(&request), KIV_REJECTED);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], (kivtest::LogLine{8, "DUZED:Entered KivMain(), with function 5"}));
    EXPECT_EQ(lines[1], (kivtest::LogLine{32, "DUZED: KIV does not support block read."}));
}

}  // namespace
