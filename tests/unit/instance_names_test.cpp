// The names an instance registers: at least two digits of the instance number.
#include <gtest/gtest.h>

#include <string>

#include "lifecycle/instance_names.h"

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
