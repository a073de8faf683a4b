// The records' layouts as the host sees them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"

namespace {

// Offsets in units of the host's words: 4 bytes, or a pointer's width for pointers, so that the
// same table checks the 32-bit layout and the order on 64-bit systems.
TEST(AbiLayout, FieldsKeepTheHostsOrder) {
    constexpr size_t p = sizeof(void*);
    EXPECT_EQ(offsetof(KivRequest, instance), 0U);
    EXPECT_EQ(offsetof(KivRequest, functionNumber), p);
    EXPECT_EQ(offsetof(KivRequest, instanceNumber), p + 4);
    EXPECT_EQ(offsetof(KivRequest, notUsed), p + 8);
    EXPECT_EQ(offsetof(KivRequest, argument), p == 4 ? 16U : 24U);

    EXPECT_EQ(offsetof(GateDescriptor, dataType), p + 4);
    EXPECT_EQ(offsetof(GateDescriptor, controller), p + 12);
    EXPECT_EQ(offsetof(GateDescriptor, bitWidth), p + 28);

    EXPECT_EQ(offsetof(GateAccess, controller), p + 4);
    EXPECT_EQ(offsetof(GateAccess, dataType), p + 24);
    EXPECT_EQ(offsetof(GateAccess, value), p == 4 ? 40U : 48U);

    EXPECT_EQ(offsetof(CommParams, openPort), 12U);
    EXPECT_EQ(offsetof(CommParams, answerTimeout), 16U);
    EXPECT_EQ(offsetof(CommParams, lineSettings), 20U);
    EXPECT_EQ(sizeof(CommParams), 28U);
    EXPECT_EQ(offsetof(PortReconfig, answerTimeout), 12U);
    EXPECT_EQ(offsetof(PortReconfig, lineSettings), 16U);
    EXPECT_EQ(sizeof(PortReconfig), 24U);
    EXPECT_EQ(sizeof(LineSettings), 8U);
}

TEST(AbiLayout, ThirtyTwoBitSizesOnThirtyTwoBitSystems) {
    if (sizeof(void*) != 4) {
        GTEST_SKIP() << "pointers are " << sizeof(void*) << " bytes here";
    }
    EXPECT_EQ(sizeof(KivRequest), 20U);
    EXPECT_EQ(sizeof(GateDescriptor), 36U);
    EXPECT_EQ(sizeof(GateAccess), 44U);
    EXPECT_EQ(sizeof(DriverInfo), 32U);
    EXPECT_EQ(offsetof(DriverInfo, instanceSize), 12U);
    EXPECT_EQ(offsetof(DriverInfo, defaultBaud), 20U);
    EXPECT_EQ(offsetof(DriverInfo, infoValue32), 28U);
}

TEST(AbiLayout, ClientHandleIsTheInstancesFirstByte) {
    EXPECT_EQ(offsetof(kiv::DriverInstance, clientId), 0U);
    EXPECT_EQ(sizeof(kiv::BadgeRecord), 51U + 21U + 10U + 11U + 5U + 9U + 3U);
}

}  // namespace
