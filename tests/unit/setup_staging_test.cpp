// Staging of setup values and texts: ranges and refusal lines, bit writes, the extended lock
// byte, tags without a lock number, texts, and the cold-start defaults.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "stage_instance.h"
#include "tags/operation_codes.h"
#include "write/setup_staging.h"

namespace {

using kiv::SetupStage;
using kivtest::LogLine;
using kivtest::LogLines;
using kivtest::TestTag;

constexpr auto kStored = kiv::StageResult::kStored;
constexpr auto kRefused = kiv::StageResult::kRefused;

class SetupStagingTest : public kivtest::HostFixture {
protected:
    kiv::StageResult Write(TestTag& tag, uint16_t value) {
        tag.SetNumber(value);
        return kiv::StageSetup(stage, tag.gate(), tag.address().c_str());
    }
    kiv::StageResult WriteText(TestTag& tag, const std::string& text) {
        tag.SetText(text);
        return kiv::StageSetup(stage, tag.gate(), tag.address().c_str());
    }
    // Every byte of the stage, to show that a refused write changed nothing.
    std::vector<unsigned char> Snapshot() const {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&stage);
        return {bytes, bytes + sizeof stage};
    }

    SetupStage stage{};
    void SetUp() override {
        kivtest::HostFixture::SetUp();
        kiv::ResetSetupStage(stage);
    }
};

struct RangeCase {
    const char* address;
    int32_t operation;
    int32_t lockNumber;
    uint16_t lowest;
    uint16_t highest;
    const char* refusal;  // the line without ", GAS <address>"
    std::function<unsigned(const SetupStage&)> member;
};

TEST_F(SetupStagingTest, RangesAndRefusalLines) {
    const std::vector<RangeCase> cases = {
        {"PWKDS", kiv::kOpPwkds, 0, 0, 2047, "RIRODI: legal weekdays is 0..2047",
         [](const SetupStage& s) { return s.weekdayMask; }},
        {"PHOLT", kiv::kOpPholt, 0, 1, 4, "RIRODI: legal holiday type is 1..4",
         [](const SetupStage& s) { return s.holidayType; }},
        {"PPSW1", kiv::kOpPpsw1, 0, 0, 9999, "RIRODI: legal password number is 0000..9999",
         [](const SetupStage& s) { return s.password1; }},
        {"PPSW2", kiv::kOpPpsw2, 0, 0, 9999, "RIRODI: legal password number is 0000..9999",
         [](const SetupStage& s) { return s.password2; }},
        {"PDMOD", kiv::kOpPdmod, 0, 1, 7, "RIRODI: legal DIP switches mode is 1..7",
         [](const SetupStage& s) { return s.dipMode; }},
        {"PTZN1", kiv::kOpPtzn1, 0, 1, 8, "RIRODI: legal time zone is 1..8",
         [](const SetupStage& s) { return s.timeZone1; }},
        {"PTZN2", kiv::kOpPtzn2, 0, 1, 8, "RIRODI: legal time zone is 1..8",
         [](const SetupStage& s) { return s.timeZone2; }},
        {"PDATI", kiv::kOpPdati, 0, 0, 365, "RIRODI: legal date index is 0..365",
         [](const SetupStage& s) { return s.holidayDateIndex; }},
        {"PLOCK05", kiv::kOpPlock, 5, 0, 255,
         "RIRODI: legal extended lock setup parameter is 0..255",
         [](const SetupStage& s) { return s.extendedLock[4]; }},
        {"PLOUD16", kiv::kOpPloud, 16, 1, 254,
         "RIRODI: legal unlock duration setup parameter is 1..254",
         [](const SetupStage& s) { return s.unlockDuration[15]; }},
        {"PDAJT01", kiv::kOpPdajt, 1, 0, 7, "RIRODI: legal DoorAjarTimeout setup parameter is 0..7",
         [](const SetupStage& s) { return s.extendedLock[0] >> 5U; }},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.address);
        TestTag tag(c.address, c.operation, KIV_TYPE_ANALOG, c.lockNumber);
        qorClearLog();
        EXPECT_EQ(Write(tag, c.lowest), kStored);
        EXPECT_EQ(c.member(stage), c.lowest);
        EXPECT_EQ(Write(tag, c.highest), kStored);
        EXPECT_EQ(c.member(stage), c.highest);
        EXPECT_TRUE(LogLines().empty());

        const LogLine refusal{32, std::string(c.refusal) + ", GAS " + c.address};
        std::vector<uint16_t> refused = {static_cast<uint16_t>(c.highest + 1), 0xFFFF};
        if (c.lowest > 0) {
            refused.push_back(static_cast<uint16_t>(c.lowest - 1));
        }
        for (const uint16_t value : refused) {
            qorClearLog();
            const auto before = Snapshot();
            EXPECT_EQ(Write(tag, value), kRefused) << value;
            EXPECT_EQ(Snapshot(), before) << value;
            EXPECT_EQ(LogLines(), std::vector<LogLine>{refusal}) << value;
        }
    }
}

TEST_F(SetupStagingTest, FlagsAndTheDoorMaskTakeAnyValue) {
    const struct {
        const char* address;
        int32_t operation;
        int32_t dataType;
        std::function<unsigned(const SetupStage&)> member;
    } cases[] = {
        {"PDORS", kiv::kOpPdors, KIV_TYPE_ANALOG, [](const SetupStage& s) { return s.doorMask; }},
        {"PLFRT", kiv::kOpPlfrt, KIV_TYPE_DIGITAL, [](const SetupStage& s) { return s.lfrtFlag; }},
        {"PDFRM", kiv::kOpPdfrm, KIV_TYPE_DIGITAL, [](const SetupStage& s) { return s.dfrmFlag; }},
        {"PPEVS", kiv::kOpPpevs, KIV_TYPE_DIGITAL, [](const SetupStage& s) { return s.pevsFlag; }},
        {"PEFRM", kiv::kOpPefrm, KIV_TYPE_DIGITAL, [](const SetupStage& s) { return s.efrmFlag; }},
    };
    for (const auto& c : cases) {
        TestTag tag(c.address, c.operation, c.dataType);
        for (const uint16_t value : {uint16_t{0}, uint16_t{2}, uint16_t{0xFFFF}}) {
            EXPECT_EQ(Write(tag, value), kStored) << c.address;
            EXPECT_EQ(c.member(stage), value) << c.address;
        }
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(SetupStagingTest, BitWritesSetClearOrIgnore) {
    stage.doorMask = 0x0081;
    TestTag door3("PDORS03", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, 3);
    EXPECT_EQ(Write(door3, 1), kStored);
    EXPECT_EQ(stage.doorMask, 0x0089);
    EXPECT_EQ(Write(door3, 2), kStored);  // neither 0 nor 1: nothing changes
    EXPECT_EQ(stage.doorMask, 0x0089);
    EXPECT_EQ(Write(door3, 0), kStored);
    EXPECT_EQ(stage.doorMask, 0x0081);
    TestTag door15("PDORS15", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, 15);
    EXPECT_EQ(Write(door15, 1), kStored);
    EXPECT_EQ(stage.doorMask, 0x8081);

    stage.weekdayMask = 0x0401;
    TestTag day3("PWKDS03", kiv::kOpPwkds, KIV_TYPE_DIGITAL, 0, 3);
    EXPECT_EQ(Write(day3, 1), kStored);
    EXPECT_EQ(stage.weekdayMask, 0x0409);

    stage.extendedLock[6] = 0xF0;
    TestTag lockBit("PLOCK072", kiv::kOpPlock, KIV_TYPE_DIGITAL, 7, 2);
    EXPECT_EQ(Write(lockBit, 1), kStored);
    EXPECT_EQ(stage.extendedLock[6], 0xF4);
    EXPECT_EQ(Write(lockBit, 0), kStored);
    EXPECT_EQ(stage.extendedLock[6], 0xF0);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(SetupStagingTest, OtherDataTypesOfMaskTagsAreAcceptedAndIgnored) {
    const auto before = Snapshot();
    TestTag doors("PDORS", kiv::kOpPdors, KIV_TYPE_STRING);
    TestTag days("PWKDS", kiv::kOpPwkds, 3);
    TestTag lock("PLOCK05", kiv::kOpPlock, KIV_TYPE_STRING, 5);
    EXPECT_EQ(Write(doors, 77), kStored);
    EXPECT_EQ(Write(days, 9999), kStored);
    EXPECT_EQ(Write(lock, 9999), kStored);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(SetupStagingTest, BitNumbersOutsideTheMemberAreRefused) {
    const struct {
        const char* address;
        int32_t operation;
        int32_t lockNumber;
        int32_t bitNumber;
        const char* line;
    } cases[] = {
        {"PDORS16", kiv::kOpPdors, 0, 16, "RIRODI: legal bit number is 0..15, GAS PDORS16"},
        {"PDORS", kiv::kOpPdors, 0, -1, "RIRODI: legal bit number is 0..15, GAS PDORS"},
        {"PWKDS11", kiv::kOpPwkds, 0, 11, "RIRODI: legal bit number is 0..10, GAS PWKDS11"},
        {"PLOCK058", kiv::kOpPlock, 5, 8, "RIRODI: legal bit number is 0..7, GAS PLOCK058"},
        {"PLOCK05", kiv::kOpPlock, 5, 0x7FFFFFFF, "RIRODI: legal bit number is 0..7, GAS PLOCK05"},
    };
    for (const auto& c : cases) {
        qorClearLog();
        TestTag tag(c.address, c.operation, KIV_TYPE_DIGITAL, c.lockNumber, c.bitNumber);
        const auto before = Snapshot();
        EXPECT_EQ(Write(tag, 1), kRefused) << c.address;
        EXPECT_EQ(Snapshot(), before) << c.address;
        EXPECT_EQ(LogLines(), (std::vector<LogLine>{{32, c.line}})) << c.address;
    }
}

TEST_F(SetupStagingTest, DoorAjarKeepsTheLowBitsAndAWholeLockWriteReplacesAll) {
    TestTag lock("PLOCK05", kiv::kOpPlock, KIV_TYPE_ANALOG, 5);
    TestTag ajar("PDAJT05", kiv::kOpPdajt, KIV_TYPE_ANALOG, 5);
    EXPECT_EQ(Write(lock, 0x1F), kStored);
    EXPECT_EQ(Write(ajar, 5), kStored);
    EXPECT_EQ(stage.extendedLock[4], 0xBF);
    EXPECT_EQ(Write(ajar, 0), kStored);
    EXPECT_EQ(stage.extendedLock[4], 0x1F);
    EXPECT_EQ(Write(ajar, 7), kStored);
    EXPECT_EQ(stage.extendedLock[4], 0xFF);
    EXPECT_EQ(Write(lock, 3), kStored);
    EXPECT_EQ(stage.extendedLock[4], 3);
    // Only lock 5 changed.
    for (int lockIndex = 0; lockIndex < kiv::kLockCount; ++lockIndex) {
        if (lockIndex != 4) {
            EXPECT_EQ(stage.extendedLock[lockIndex], 0) << lockIndex;
        }
    }
}

TEST_F(SetupStagingTest, LockTagsWithoutALockNumberAreRefused) {
    const int32_t operations[] = {kiv::kOpPlock, kiv::kOpPloud, kiv::kOpPdajt};
    const int32_t lockNumbers[] = {0, 17, -1, 0x7FFFFFFF, static_cast<int32_t>(0x80000000U)};
    for (const int32_t operation : operations) {
        for (const int32_t lockNumber : lockNumbers) {
            for (const int32_t dataType : {KIV_TYPE_ANALOG, KIV_TYPE_DIGITAL}) {
                qorClearLog();
                TestTag tag("PLOCK", operation, dataType, lockNumber, 0);
                const auto before = Snapshot();
                EXPECT_EQ(Write(tag, 1), kRefused) << operation << " lock " << lockNumber;
                EXPECT_EQ(Snapshot(), before);
                EXPECT_EQ(
                    LogLines(),
                    (std::vector<LogLine>{{32, "RIRODI: legal lock number is 1..16, GAS PLOCK"}}));
            }
        }
    }
}

TEST_F(SetupStagingTest, TextsAreCheckedThenStoredOverAClearedMember) {
    TestTag from("PFRTM", kiv::kOpPfrtm, KIV_TYPE_STRING);
    TestTag to("PTOTM", kiv::kOpPtotm, KIV_TYPE_STRING);
    TestTag code("PKCOD", kiv::kOpPkcod, KIV_TYPE_STRING);
    TestTag date("PDATE", kiv::kOpPdate, KIV_TYPE_STRING);
    TestTag time("PTIME", kiv::kOpPtime, KIV_TYPE_STRING);

    EXPECT_EQ(WriteText(from, "07:30:15"), kStored);
    EXPECT_EQ(WriteText(from, "08:00"), kStored);
    const char shorter[kiv::kStageTextSize] = "08:00";  // the rest of the member is zero
    EXPECT_EQ(std::memcmp(stage.fromTime, shorter, sizeof shorter), 0);
    EXPECT_EQ(WriteText(to, "18:45:59"), kStored);
    EXPECT_STREQ(stage.toTime, "18:45:59");
    EXPECT_EQ(WriteText(code, "12AB"), kStored);
    EXPECT_STREQ(stage.currentBadgeCode, "00000012AB");
    EXPECT_EQ(WriteText(date, "31/12/99"), kStored);
    EXPECT_STREQ(stage.dateText, "31/12/99");
    EXPECT_EQ(WriteText(time, "23:59"), kStored);
    EXPECT_STREQ(stage.timeText, "23:59");

    // Refused texts leave every member alone and log nothing.
    qorClearLog();
    const auto before = Snapshot();
    EXPECT_EQ(WriteText(from, "24:00"), kRefused);
    EXPECT_EQ(WriteText(to, ""), kRefused);
    EXPECT_EQ(WriteText(code, "12ab"), kRefused);
    EXPECT_EQ(WriteText(code, "0123456789A"), kRefused);
    EXPECT_EQ(WriteText(date, "1/1/02"), kRefused);
    EXPECT_EQ(WriteText(time, "7:30"), kRefused);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(SetupStagingTest, AnUnterminatedHostTextIsReadWithinItsArea) {
    TestTag code("PKCOD", kiv::kOpPkcod, KIV_TYPE_STRING);
    const auto before = Snapshot();
    EXPECT_EQ(WriteText(code, std::string(80, '1')), kRefused);  // 80 bytes, no terminator
    EXPECT_EQ(Snapshot(), before);
    TestTag time("PTIME", kiv::kOpPtime, KIV_TYPE_STRING);
    std::string padded = "12:34";
    padded.resize(80, '\0');
    EXPECT_EQ(WriteText(time, padded), kStored);
    EXPECT_STREQ(stage.timeText, "12:34");
}

TEST_F(SetupStagingTest, OtherOperationCodesAreNotStaged) {
    const auto before = Snapshot();
    for (const int32_t operation : {0, 13, 99, 116, 129, 135, 200, -1}) {
        TestTag tag("0FSTAT", operation);
        EXPECT_FALSE(kiv::IsStagedOperation(operation)) << operation;
        EXPECT_EQ(Write(tag, 1), kRefused) << operation;
    }
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(kiv::IsStagedOperation(100));
    EXPECT_TRUE(kiv::IsStagedOperation(115));
    EXPECT_TRUE(kiv::IsStagedOperation(130));
    EXPECT_TRUE(kiv::IsStagedOperation(134));
}

TEST_F(SetupStagingTest, ColdStartDefaults) {
    std::memset(&stage, 0xA5, sizeof stage);
    kiv::ResetSetupStage(stage);
    for (const char* text :
         {stage.currentBadgeCode, stage.fromTime, stage.toTime, stage.timeText, stage.dateText}) {
        EXPECT_EQ(std::string(text, kiv::kStageTextSize), std::string(kiv::kStageTextSize, '\0'));
    }
    const std::vector<unsigned> values = {
        stage.doorMask, stage.weekdayMask, stage.holidayType, stage.holidayDateIndex,
        stage.dfrmFlag, stage.efrmFlag,    stage.password1,   stage.password2,
        stage.lfrtFlag, stage.dipMode,     stage.timeZone1,   stage.timeZone2,
        stage.pevsFlag};
    EXPECT_EQ(values, (std::vector<unsigned>{0, 0, 0, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1}));
    for (int lock = 0; lock < kiv::kLockCount; ++lock) {
        EXPECT_EQ(stage.extendedLock[lock], 0) << lock;
        EXPECT_EQ(stage.unlockDuration[lock], 0) << lock;
    }
}

}  // namespace
