// Functions 12, 13 and 15 through KivMain, on the null device (which needs no line and runs
// the same on both systems).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "link_instance.h"

namespace {

using kivtest::LinkInstance;

int32_t Call(kiv::DriverInstance* instance, uint32_t number, void* argument = nullptr) {
    KivRequest request{};
    request.instance = instance;
    request.functionNumber = number;
    request.instanceNumber = 1;
    request.argument = argument;
    return KivMain(&request);
}

PortReconfig Reconfig(const char* name, int32_t answerTimeout,
                      LineSettings line = {9600, 8, 0, 0}) {
    PortReconfig reconfig{};
    std::memcpy(reconfig.portName, name, std::min(std::strlen(name), sizeof reconfig.portName));
    reconfig.answerTimeout = answerTimeout;
    reconfig.lineSettings = line;
    return reconfig;
}

class PortFunctionsTest : public kivtest::HostFixture {};

TEST_F(PortFunctionsTest, CloseOpenAndCloseAgain) {
    LinkInstance instance;
    instance.SetPortName("NUL");
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_CLOSE), KIV_OK);  // nothing open
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_OPEN), KIV_OK);
    ASSERT_NE(instance->port, nullptr);
    // A second open keeps the port there and fails, as on a real line.
    const kiv::platform::PortHandle first = instance->port;
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_OPEN), KIV_FAILED);
    EXPECT_EQ(instance->port, first);
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_CLOSE), KIV_OK);
    EXPECT_EQ(instance->port, nullptr);
    instance.SetPortName("COM98");
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_OPEN), KIV_FAILED);
    EXPECT_EQ(instance->port, nullptr);
}

TEST_F(PortFunctionsTest, ReconfigureTakesTheAnswerTimeOutAndReopens) {
    LinkInstance instance;
    ASSERT_TRUE(instance.Open("NUL"));
    struct Case {
        int32_t answerTimeout;
        int32_t expected;
    };
    // 0 keeps the time-out; any positive value is taken as it is (no minimum here); a negative
    // one is taken like 0.
    const Case cases[] = {{0, 100}, {50, 50}, {0, 50}, {-5, 50}, {1, 1}, {3000, 3000}};
    for (const Case& c : cases) {
        PortReconfig reconfig = Reconfig("NUL", c.answerTimeout, {19200, 7, 2, 1});
        EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, &reconfig), KIV_OK);
        EXPECT_EQ(instance->answerTimeoutUnit, c.expected) << c.answerTimeout;
        EXPECT_NE(instance->port, nullptr);
    }
    EXPECT_EQ(instance->portSettings.lineSettings.baudRate, 19200);
    EXPECT_EQ(instance->portSettings.lineSettings.dataBits, 7);
    EXPECT_EQ(instance->portSettings.controlFlags, 0x0303);  // stays
}

TEST_F(PortFunctionsTest, AFailedReconfigureKeepsTheNewSettingsAndNoPort) {
    LinkInstance instance;
    ASSERT_TRUE(instance.Open("NUL"));
    PortReconfig reconfig = Reconfig("COM97", 0, {4800, 8, 0, 2});
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, &reconfig), KIV_FAILED);
    EXPECT_EQ(instance->port, nullptr);
    EXPECT_STREQ(instance->portSettings.portName, "COM97");
    EXPECT_EQ(instance->portSettings.lineSettings.baudRate, 4800);
    // Back to a port that opens.
    reconfig = Reconfig("NUL", 0);
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, &reconfig), KIV_OK);
    EXPECT_NE(instance->port, nullptr);
}

TEST_F(PortFunctionsTest, ANameFillingAllTwelveBytesIsReadWithoutOverrun) {
    LinkInstance instance;
    PortReconfig reconfig{};
    std::memset(reconfig.portName, 'Q', sizeof reconfig.portName);  // no terminator
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, &reconfig), KIV_FAILED);
    EXPECT_EQ(std::string(instance->portSettings.portName, sizeof reconfig.portName),
              std::string(12, 'Q'));
}

TEST_F(PortFunctionsTest, AnInstanceThatDoesNotRunGetsNoPort) {
    LinkInstance instance(false);
    instance.SetPortName("NUL");
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_OPEN), KIV_FAILED);
    PortReconfig reconfig = Reconfig("NUL", 70);
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, &reconfig), KIV_FAILED);
    EXPECT_EQ(instance->port, nullptr);
    EXPECT_EQ(instance->answerTimeoutUnit, 100);
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_CLOSE), KIV_OK);  // nothing is open
}

TEST_F(PortFunctionsTest, MissingRecordsAreFailures) {
    LinkInstance instance;
    EXPECT_EQ(Call(instance.get(), KIV_FN_PORT_RECONFIGURE, nullptr), KIV_FAILED);
    EXPECT_EQ(Call(nullptr, KIV_FN_PORT_CLOSE), KIV_FAILED);
    EXPECT_EQ(Call(nullptr, KIV_FN_PORT_OPEN), KIV_FAILED);
    EXPECT_EQ(Call(nullptr, KIV_FN_PORT_RECONFIGURE), KIV_FAILED);
}

TEST_F(PortFunctionsTest, NothingIsLoggedBesidesTheEntry) {
    LinkInstance instance;
    instance.SetPortName("COM96");
    qorClearLog();
    Call(instance.get(), KIV_FN_PORT_OPEN);
    Call(instance.get(), KIV_FN_PORT_CLOSE);
    const std::vector<kivtest::LogLine> expected = {
        {8, "DUZED:Entered KivMain(), with function 12"},
        {8, "DUZED:Entered KivMain(), with function 11"},
    };
    EXPECT_EQ(kivtest::LogLines(), expected);
}

}  // namespace
