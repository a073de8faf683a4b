// The setup parameter table against a table written out here: every keyword, code, address
// form, data type, bit range, legal range and refusal line, and the member each value lives in.
// Parse, staging, the read function and the composer all take these facts from the driver's
// table, so this is where they are checked as facts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "tags/setup_parameters.h"

namespace {

using kiv::SetupStage;

struct ExpectedParameter {
    const char* keyword;
    int32_t operation;
    unsigned forms;
    int32_t aloneType;
    int32_t highestBit;
    unsigned lowest;
    unsigned highest;
    const char* refusal;
    // Where a value written into the field for lock 5 shows in the stage.
    std::function<unsigned(const SetupStage&)> member;
};

constexpr unsigned kAlone = kiv::kFormAlone;
constexpr unsigned kBit = kiv::kFormWithBit;
constexpr unsigned kLock = kiv::kFormWithLock;
constexpr unsigned kLockBit = kiv::kFormWithLockAndBit;

const ExpectedParameter kExpected[] = {
    {"PDORS", 100, kAlone | kBit, 0, 15, 0, 65535, nullptr,
     [](const SetupStage& s) { return s.doorMask; }},
    {"PWKDS", 101, kAlone | kBit, 0, 10, 0, 2047, "RIRODI: legal weekdays is 0..2047",
     [](const SetupStage& s) { return s.weekdayMask; }},
    {"PHOLT", 102, kAlone, 0, -1, 1, 4, "RIRODI: legal holiday type is 1..4",
     [](const SetupStage& s) { return s.holidayType; }},
    {"PPSW1", 103, kAlone, 0, -1, 0, 9999, "RIRODI: legal password number is 0000..9999",
     [](const SetupStage& s) { return s.password1; }},
    {"PPSW2", 104, kAlone, 0, -1, 0, 9999, "RIRODI: legal password number is 0000..9999",
     [](const SetupStage& s) { return s.password2; }},
    {"PLFRT", 105, kAlone, 6, -1, 0, 65535, nullptr,
     [](const SetupStage& s) { return s.lfrtFlag; }},
    {"PDFRM", 106, kAlone, 6, -1, 0, 65535, nullptr,
     [](const SetupStage& s) { return s.dfrmFlag; }},
    {"PDMOD", 107, kAlone, 0, -1, 1, 7, "RIRODI: legal DIP switches mode is 1..7",
     [](const SetupStage& s) { return s.dipMode; }},
    {"PPEVS", 108, kAlone, 6, -1, 0, 65535, nullptr,
     [](const SetupStage& s) { return s.pevsFlag; }},
    {"PTZN1", 109, kAlone, 0, -1, 1, 8, "RIRODI: legal time zone is 1..8",
     [](const SetupStage& s) { return s.timeZone1; }},
    {"PTZN2", 110, kAlone, 0, -1, 1, 8, "RIRODI: legal time zone is 1..8",
     [](const SetupStage& s) { return s.timeZone2; }},
    {"PDATI", 111, kAlone, 0, -1, 0, 365, "RIRODI: legal date index is 0..365",
     [](const SetupStage& s) { return s.holidayDateIndex; }},
    {"PLOCK", 112, kAlone | kLock | kLockBit, 0, 7, 0, 255,
     "RIRODI: legal extended lock setup parameter is 0..255",
     [](const SetupStage& s) { return s.extendedLock[4]; }},
    {"PLOUD", 113, kAlone | kLock, 0, -1, 1, 254,
     "RIRODI: legal unlock duration setup parameter is 1..254",
     [](const SetupStage& s) { return s.unlockDuration[4]; }},
    {"PDAJT", 114, kAlone | kLock, 0, -1, 0, 7,
     "RIRODI: legal DoorAjarTimeout setup parameter is 0..7",
     [](const SetupStage& s) { return s.extendedLock[4] >> 5U; }},
    {"PEFRM", 115, kAlone, 6, -1, 0, 65535, nullptr,
     [](const SetupStage& s) { return s.efrmFlag; }},
};

TEST(SetupParameters, EveryRowMatchesTheWrittenOutTable) {
    ASSERT_EQ(std::size(kiv::kSetupParameters), std::size(kExpected));
    for (const ExpectedParameter& e : kExpected) {
        SCOPED_TRACE(e.keyword);
        const kiv::SetupParameter* row = kiv::SetupParameterOf(e.operation);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(kiv::FindSetupParameter(e.keyword), row);
        EXPECT_STREQ(row->keyword, e.keyword);
        EXPECT_EQ(row->forms, e.forms);
        EXPECT_EQ(row->aloneType, e.aloneType);
        EXPECT_EQ(row->highestBit, e.highestBit);
        EXPECT_EQ(row->lowest, e.lowest);
        EXPECT_EQ(row->highest, e.highest);
        EXPECT_STREQ(row->refusal, e.refusal);
        EXPECT_EQ(kiv::IsPerLock(*row), (e.forms & kLock) != 0);

        // The highest legal value lands in the member and nowhere else; other bits of the
        // member stay.
        SetupStage stage{};
        std::memset(&stage, 0, sizeof stage);
        const SetupStage before = stage;
        ASSERT_TRUE(kiv::WriteStageField(stage, *row, 5, static_cast<uint16_t>(e.highest)));
        EXPECT_EQ(e.member(stage), e.highest);
        EXPECT_EQ(kiv::ReadStageField(stage, *row, 5), e.highest);
        kiv::WriteStageField(stage, *row, 5, 0);
        EXPECT_EQ(std::memcmp(&stage, &before, sizeof stage), 0);
        if (kiv::IsPerLock(*row)) {
            EXPECT_FALSE(kiv::WriteStageField(stage, *row, 0, 1));
            EXPECT_FALSE(kiv::ReadStageField(stage, *row, 17).has_value());
        }
    }
    // The door-ajar time-out shares the lock byte with PLOCK's own bits 0 to 4.
    SetupStage stage{};
    stage.extendedLock[4] = 0x1F;
    kiv::WriteStageField(stage, *kiv::SetupParameterOf(114), 5, 5);
    EXPECT_EQ(stage.extendedLock[4], 0xBF);
}

TEST(SetupParameters, TextRowsAndLookUps) {
    const struct {
        const char* keyword;
        int32_t operation;
        kiv::TextCheck check;
        std::function<const char*(const SetupStage&)> member;
    } expected[] = {
        {"PFRTM", 130, kiv::TextCheck::kTime, [](const SetupStage& s) { return s.fromTime; }},
        {"PTOTM", 131, kiv::TextCheck::kTime, [](const SetupStage& s) { return s.toTime; }},
        {"PKCOD", 132, kiv::TextCheck::kBadgeCode,
         [](const SetupStage& s) { return s.currentBadgeCode; }},
        {"PDATE", 133, kiv::TextCheck::kDate, [](const SetupStage& s) { return s.dateText; }},
        {"PTIME", 134, kiv::TextCheck::kTime, [](const SetupStage& s) { return s.timeText; }},
    };
    ASSERT_EQ(std::size(kiv::kSetupTexts), std::size(expected));
    const SetupStage stage{};
    for (const auto& e : expected) {
        const kiv::SetupText* row = kiv::SetupTextOf(e.operation);
        ASSERT_NE(row, nullptr) << e.keyword;
        EXPECT_EQ(kiv::FindSetupText(e.keyword), row);
        EXPECT_EQ(row->check, e.check) << e.keyword;
        EXPECT_EQ(kiv::TextMember(stage, *row), e.member(stage)) << e.keyword;
    }
    // Codes and keywords outside the tables, and the five-character comparison.
    for (const int32_t code : {99, 116, 129, 135, 200}) {
        EXPECT_EQ(kiv::SetupParameterOf(code), nullptr) << code;
        EXPECT_EQ(kiv::SetupTextOf(code), nullptr) << code;
    }
    EXPECT_EQ(kiv::FindSetupParameter("PDOR"), nullptr);
    EXPECT_EQ(kiv::FindSetupParameter("PLOCK053"), kiv::SetupParameterOf(112));
    EXPECT_EQ(kiv::FindSetupText("PTIMEXYZ"), kiv::SetupTextOf(134));
    EXPECT_EQ(kiv::FindSetupText(nullptr), nullptr);
}

}  // namespace
