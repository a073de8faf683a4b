// Events in words, from the meaning the driver's event record carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/monitor.h"

namespace {

TEST(EventWords, NamesAndUnitKindsFromTheDriversMeaning) {
    struct Case {
        int code;
        int doorState;
        int badge;
        const char* unitTag;
        int value;
        const char* name;
        const char* unitKind;
        const char* type;
    };
    const Case cases[] = {
        {0, 0, 1, nullptr, 0, "badge, door state 0", "door", "badge"},
        {7, 3, 0, nullptr, 0, "door state 3", "door", "door state 3"},
        {17, -1, 1, nullptr, 0, "badge (17)", "door", "badge"},
        {13, -1, 0, "PSRCC", 0, "reader communication 0", "controller", "reader communication 0"},
        {16, -1, 0, "PSRDR", 1, "reader 1", "reader", "reader 1"},
        {20, -1, 0, "PSPWR", 1, "power 1", "controller", "power 1"},
        {21, -1, 0, "PSBTR", 0, "battery 0", "controller", "battery 0"},
        {26, -1, 0, "PCTRL", 1, "controller", "controller", "controller"},
        {23, -1, 0, nullptr, 0, "event 23", "door", "other"},
        {40, -1, 0, "PXNEW", 1, "event 40", "door", "other"},  // a tag kivhost has no words for
    };
    for (const Case& c : cases) {
        KivMonitorRecord record{};
        record.kind = KIV_MON_EVENT;
        record.code = c.code;
        record.doorState = c.doorState;
        record.badgeEvent = c.badge;
        record.unitTag = c.unitTag;
        record.unitTagValue = c.value;
        EXPECT_EQ(kivhost::EventName(record), c.name) << c.code;
        EXPECT_STREQ(kivhost::UnitKindOf(record), c.unitKind) << c.code;
        // The type comes from a closed list (Home Assistant's event entity lists it).
        const std::string type = kivhost::EventType(record);
        EXPECT_EQ(type, c.type) << c.code;
        const std::vector<std::string> types = kivhost::EventTypes();
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
    }
}

}  // namespace
