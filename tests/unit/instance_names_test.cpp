// The names an instance registers: at least two digits of the instance number; the events of
// two instances of one number stay apart.
#include <gtest/gtest.h>

#include <string>

#include "host_fixture.h"
#include "host_instance.h"
#include "lifecycle/instance_names.h"
#include "platform/sync.h"

TEST(InstanceNames, CarryTheInstanceNumberWithAtLeastTwoDigits) {
    const struct {
        int32_t number;
        const char* client;
        const char* event;
    } cases[] = {
        {1, "RIRODI No_01", "RIRODI01EventSem"},
        {7, "RIRODI No_07", "RIRODI07EventSem"},
        {123, "RIRODI No_123", "RIRODI123EventSem"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(kiv::ClientName(c.number).data(), c.client);
        EXPECT_STREQ(kiv::AnswerEventName(c.number).data(), c.event);
    }
}

// Two instances of one number (on Windows a named event would be one object for both) each wake
// only their own transactions.
class InstanceEventsTest : public kivtest::HostFixture {};

TEST_F(InstanceEventsTest, TwoInstancesOfOneNumberHaveAnswerEventsOfTheirOwn) {
    kivtest::HostInstance first(1);
    kivtest::HostInstance second(1);
    ASSERT_EQ(first.ColdStart("", 100, false), KIV_OK);
    ASSERT_EQ(second.ColdStart("", 100, false), KIV_OK);
    ASSERT_TRUE(kiv::platform::EventSet(first->answerEvent));
    EXPECT_FALSE(kiv::platform::EventIsSet(second->answerEvent));
}
