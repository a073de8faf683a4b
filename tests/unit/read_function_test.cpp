// Function 5 through KivMain: staged values, their bits and texts, the last event's text, and
// tags that have no value here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "stage_instance.h"
#include "tags/operation_codes.h"
#include "write/setup_staging.h"

namespace {

using kivtest::TestTag;

constexpr auto kStored = kiv::StageResult::kStored;

class ReadFunctionTest : public kivtest::HostFixture {
protected:
    void SetUp() override {
        kivtest::HostFixture::SetUp();
        instance = kivtest::MakeStageInstance();
    }

    kiv::StageResult Write(TestTag& tag, uint16_t value) {
        tag.SetNumber(value);
        return kiv::StageSetup(instance->stage, tag.gate(), tag.address().c_str());
    }
    kiv::StageResult WriteText(TestTag& tag, const std::string& text) {
        tag.SetText(text);
        return kiv::StageSetup(instance->stage, tag.gate(), tag.address().c_str());
    }
    // Reads the tag through KivMain into a value area pre-filled with 0xEE.
    int32_t Read(TestTag& tag) {
        std::memset(tag.area(), 0xEE, KIV_STRING_VALUE_SIZE);
        KivRequest request = tag.Request(*instance, KIV_FN_READ);
        return KivMain(&request);
    }
    bool AreaUntouched(TestTag& tag) {
        const std::vector<unsigned char> fill(KIV_STRING_VALUE_SIZE, 0xEE);
        return std::memcmp(tag.area(), fill.data(), fill.size()) == 0;
    }
    // A numeric read writes the word at offset 2 and nothing else.
    uint16_t ReadNumber(TestTag& tag) {
        EXPECT_EQ(Read(tag), 0) << tag.address();
        for (size_t i = 0; i < KIV_STRING_VALUE_SIZE; ++i) {
            if (i != 2 && i != 3) {
                EXPECT_EQ(tag.area()[i], 0xEE) << tag.address() << " byte " << i;
            }
        }
        return tag.Number();
    }
    std::string ReadText(TestTag& tag) {
        EXPECT_EQ(Read(tag), 0) << tag.address();
        // The text, then zeros to the end of the 80-byte area.
        std::string text = tag.Text();
        for (size_t i = text.size(); i < KIV_STRING_VALUE_SIZE; ++i) {
            EXPECT_EQ(tag.area()[i], 0) << tag.address() << " byte " << i;
        }
        return text;
    }

    kivtest::MadeInstance instance;
};

TEST_F(ReadFunctionTest, EveryStagedValueReadsBack) {
    const struct {
        const char* address;
        int32_t operation;
        int32_t dataType;
        int32_t lockNumber;
        uint16_t value;
    } cases[] = {
        {"PDORS", 100, KIV_TYPE_ANALOG, 0, 0xBEEF}, {"PWKDS", 101, KIV_TYPE_ANALOG, 0, 2047},
        {"PHOLT", 102, KIV_TYPE_ANALOG, 0, 3},      {"PPSW1", 103, KIV_TYPE_ANALOG, 0, 1111},
        {"PPSW2", 104, KIV_TYPE_ANALOG, 0, 2222},   {"PLFRT", 105, KIV_TYPE_DIGITAL, 0, 2},
        {"PDFRM", 106, KIV_TYPE_DIGITAL, 0, 0},     {"PDMOD", 107, KIV_TYPE_ANALOG, 0, 6},
        {"PPEVS", 108, KIV_TYPE_DIGITAL, 0, 7},     {"PTZN1", 109, KIV_TYPE_ANALOG, 0, 4},
        {"PTZN2", 110, KIV_TYPE_ANALOG, 0, 8},      {"PDATI", 111, KIV_TYPE_ANALOG, 0, 365},
        {"PLOCK09", 112, KIV_TYPE_ANALOG, 9, 200},  {"PLOUD16", 113, KIV_TYPE_ANALOG, 16, 254},
        {"PDAJT01", 114, KIV_TYPE_ANALOG, 1, 6},    {"PEFRM", 115, KIV_TYPE_DIGITAL, 0, 0},
    };
    for (const auto& c : cases) {
        TestTag tag(c.address, c.operation, c.dataType, c.lockNumber);
        ASSERT_EQ(Write(tag, c.value), kStored) << c.address;
        EXPECT_EQ(ReadNumber(tag), c.value) << c.address;
    }
    // The flags are read as whole numbers, even on DIGITAL tags.
    TestTag flag("PLFRT", kiv::kOpPlfrt, KIV_TYPE_DIGITAL);
    ASSERT_EQ(Write(flag, 300), kStored);
    EXPECT_EQ(ReadNumber(flag), 300);
}

TEST_F(ReadFunctionTest, DefaultsBeforeAnythingIsStaged) {
    TestTag dfrm("PDFRM", kiv::kOpPdfrm, KIV_TYPE_DIGITAL);
    TestTag zone("PTZN2", kiv::kOpPtzn2);
    TestTag doors("PDORS", kiv::kOpPdors);
    EXPECT_EQ(ReadNumber(dfrm), 1);
    EXPECT_EQ(ReadNumber(zone), 1);
    EXPECT_EQ(ReadNumber(doors), 0);
}

TEST_F(ReadFunctionTest, PasswordsReadTheirOwnValues) {
    TestTag first("PPSW1", kiv::kOpPpsw1);
    TestTag second("PPSW2", kiv::kOpPpsw2);
    ASSERT_EQ(Write(first, 1234), kStored);
    ASSERT_EQ(Write(second, 9876), kStored);
    EXPECT_EQ(ReadNumber(first), 1234);
    EXPECT_EQ(ReadNumber(second), 9876);
}

TEST_F(ReadFunctionTest, DoorMaskAndItsBits) {
    TestTag doors("PDORS", kiv::kOpPdors);
    ASSERT_EQ(Write(doors, 0x0081), kStored);
    TestTag door7("PDORS07", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, 7);
    TestTag door1("PDORS01", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, 1);
    TestTag door0("PDORS00", kiv::kOpPdors, KIV_TYPE_DIGITAL, 0, 0);
    EXPECT_EQ(ReadNumber(doors), 129);
    EXPECT_EQ(ReadNumber(door7), 1);
    EXPECT_EQ(ReadNumber(door1), 0);
    EXPECT_EQ(ReadNumber(door0), 1);

    TestTag days("PWKDS", kiv::kOpPwkds);
    ASSERT_EQ(Write(days, 0x0400), kStored);
    TestTag day10("PWKDS10", kiv::kOpPwkds, KIV_TYPE_DIGITAL, 0, 10);
    EXPECT_EQ(ReadNumber(day10), 1);
}

TEST_F(ReadFunctionTest, ExtendedLockItsBitsAndTheDoorAjarTimeout) {
    TestTag lock("PLOCK05", kiv::kOpPlock, KIV_TYPE_ANALOG, 5);
    TestTag ajar("PDAJT05", kiv::kOpPdajt, KIV_TYPE_ANALOG, 5);
    ASSERT_EQ(Write(lock, 0x1F), kStored);
    ASSERT_EQ(Write(ajar, 5), kStored);
    TestTag bit3("PLOCK053", kiv::kOpPlock, KIV_TYPE_DIGITAL, 5, 3);
    TestTag bit6("PLOCK056", kiv::kOpPlock, KIV_TYPE_DIGITAL, 5, 6);
    EXPECT_EQ(ReadNumber(lock), 191);
    EXPECT_EQ(ReadNumber(bit3), 1);
    EXPECT_EQ(ReadNumber(bit6), 0);
    EXPECT_EQ(ReadNumber(ajar), 5);
    TestTag otherLock("PLOCK06", kiv::kOpPlock, KIV_TYPE_ANALOG, 6);
    EXPECT_EQ(ReadNumber(otherLock), 0);
}

TEST_F(ReadFunctionTest, MaskTagsOfOtherTypesGiveNothing) {
    TestTag doors("PDORS", kiv::kOpPdors, KIV_TYPE_STRING);
    EXPECT_EQ(Read(doors), 0);
    EXPECT_TRUE(AreaUntouched(doors));
}

TEST_F(ReadFunctionTest, LockTagsWithoutALockNumberAndBadBitsHaveNoValue) {
    for (const int32_t operation : {kiv::kOpPlock, kiv::kOpPloud, kiv::kOpPdajt}) {
        for (const int32_t lockNumber : {0, 17, -1}) {
            TestTag tag("PLOCK", operation, KIV_TYPE_ANALOG, lockNumber);
            EXPECT_EQ(Read(tag), 1) << operation << " lock " << lockNumber;
            EXPECT_TRUE(AreaUntouched(tag));
        }
    }
    const struct {
        int32_t operation;
        int32_t lockNumber;
        int32_t bitNumber;
    } badBits[] = {{kiv::kOpPdors, 0, 16},
                   {kiv::kOpPdors, 0, -1},
                   {kiv::kOpPwkds, 0, 11},
                   {kiv::kOpPlock, 5, 8},
                   {kiv::kOpPlock, 5, -5}};
    for (const auto& c : badBits) {
        TestTag tag("PDORS", c.operation, KIV_TYPE_DIGITAL, c.lockNumber, c.bitNumber);
        EXPECT_EQ(Read(tag), 1) << c.operation << " bit " << c.bitNumber;
        EXPECT_TRUE(AreaUntouched(tag));
    }
}

TEST_F(ReadFunctionTest, TextsReadBackZeroFilled) {
    const struct {
        const char* address;
        int32_t operation;
        const char* written;
        const char* read;
    } cases[] = {
        {"PFRTM", kiv::kOpPfrtm, "07:30:15", "07:30:15"},
        {"PTOTM", kiv::kOpPtotm, "18:00", "18:00"},
        {"PKCOD", kiv::kOpPkcod, "12AB", "00000012AB"},
        {"PDATE", kiv::kOpPdate, "31/12/99", "31/12/99"},
        {"PTIME", kiv::kOpPtime, "23:59", "23:59"},
    };
    for (const auto& c : cases) {
        TestTag tag(c.address, c.operation, KIV_TYPE_STRING);
        EXPECT_EQ(ReadText(tag), "") << c.address;  // nothing staged yet
        ASSERT_EQ(WriteText(tag, c.written), kStored) << c.address;
        EXPECT_EQ(ReadText(tag), c.read) << c.address;
    }
}

TEST_F(ReadFunctionTest, InputGivesTheLastEventText) {
    TestTag input("INPUT", kiv::kOpInput, KIV_TYPE_STRING);
    EXPECT_EQ(ReadText(input), "");
    std::strcpy(instance->lastEventText, "\n;V 12,34;ABCD\r");
    EXPECT_EQ(ReadText(input), "\n;V 12,34;ABCD\r");
    // A text that fills the whole member is cut to 79 characters and terminated.
    std::memset(instance->lastEventText, 'E', sizeof instance->lastEventText);
    EXPECT_EQ(ReadText(input), std::string(79, 'E'));
}

TEST_F(ReadFunctionTest, TagsWithoutAValueHereAnswerOne) {
    const struct {
        const char* address;
        int32_t operation;
        int32_t controller;
    } cases[] = {
        {"0FSTAT", kiv::kOpFstat, 0},
        {"0FADDK", kiv::kOpFaddk, 0},
        {"7FSPARL", kiv::kOpFspar, 7},
        {"INCOMING", 0, 0},
        {"3PMODE", 0, 0},
        {"PSDOR05", 0, 0},
        {"X", 99, 10},
        {"X", 116, 10},
        {"X", 135, 10},
        {"X", -1, 10},
    };
    for (const auto& c : cases) {
        TestTag tag(c.address, c.operation, KIV_TYPE_ANALOG, 0, -1, c.controller);
        EXPECT_EQ(Read(tag), 1) << c.address;
        EXPECT_TRUE(AreaUntouched(tag)) << c.address;
    }
}

// A text goes only into a STRING tag's text area: a record whose data type changed after Parse
// gets no text and its (smaller) value area is not touched.
TEST_F(ReadFunctionTest, TextsAreGivenOnlyToStringTags) {
    for (const int32_t operation : {130, 132, 134, 200}) {
        for (const int32_t type : {int32_t{KIV_TYPE_ANALOG}, int32_t{KIV_TYPE_DIGITAL}, 3}) {
            TestTag tag("PTIME", operation, type);
            EXPECT_EQ(Read(tag), KIV_REJECTED) << operation << " on type " << type;
            EXPECT_TRUE(AreaUntouched(tag));
        }
    }
}

}  // namespace
