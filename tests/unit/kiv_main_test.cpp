// KivMain: the "Entered" line, the number checks, the empty entries and the block functions.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kiv_table.h"
#include "host_fixture.h"
#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "made_instance.h"

namespace {

using kivtest::LogLine;
using kivtest::LogLines;

class KivMainTest : public kivtest::HostFixture {};

LogLine Entered(int64_t number) {
    return {8, "DUZED:Entered KivMain(), with function " + std::to_string(number - 1)};
}

struct RefusedCase {
    uint32_t number;
    int32_t result;
    LogLine second;
};

TEST_F(KivMainTest, InvalidAndEmptyNumbersAreRefusedAfterTheEnteredLine) {
    const LogLine invalid{8, "DUZED:Exited KivMain() invalid function number"};
    const LogLine empty{8, "DUZED:Exited KivMain() pointer in KivFunc[] is NULL"};
    const std::vector<RefusedCase> cases = {
        {0, KIV_FAILED, invalid},
        {8, KIV_FAILED, empty},
        {9, KIV_FAILED, empty},
        {17, KIV_FAILED, empty},
        {18, KIV_FAILED, invalid},
        {19, KIV_FAILED, invalid},
        {1000, KIV_FAILED, invalid},
        {0x7FFFFFFF, KIV_FAILED, invalid},
        {0x80000000, KIV_FAILED, invalid},  // the number less one must not overflow
    };
    for (const RefusedCase& c : cases) {
        qorClearLog();
        KivRequest request{};
        request.functionNumber = c.number;
        EXPECT_EQ(KivMain(&request), c.result) << "function " << c.number;
        const std::vector<LogLine> expected = {Entered(c.number), c.second};
        EXPECT_EQ(LogLines(), expected) << "function " << c.number;
    }
}

TEST_F(KivMainTest, EnteredLineShowsTheNumberLessOneEvenForTheLargestNumber) {
    KivRequest request{};
    request.functionNumber = 0xFFFFFFFFU;
    EXPECT_EQ(KivMain(&request), KIV_FAILED);
    ASSERT_FALSE(LogLines().empty());
    // The unsigned number is shown as the driver's signed int, less one.
    EXPECT_EQ(LogLines().front().text, "DUZED:Entered KivMain(), with function -2");
}

TEST_F(KivMainTest, BlockFunctionsAreRefusedWithTheirLines) {
    GateDescriptor gate{};
    gate.address = "X1";
    struct Case {
        uint32_t number;
        void* argument;
        LogLine line;
    };
    const std::vector<Case> cases = {
        {4, &gate, {32, "DUZED :Block Parse failed Tag 'X1', No block Support"}},
        {4, nullptr, {32, "DUZED :Block Parse failed Tag '', No block Support"}},
        {6, nullptr, {32, "DUZED: KIV does not support block read."}},
        {10, nullptr, {32, "DUZED: Block Write not supported!"}},
    };
    for (const Case& c : cases) {
        qorClearLog();
        KivRequest request{};
        request.functionNumber = c.number;
        request.argument = c.argument;
        EXPECT_EQ(KivMain(&request), KIV_REJECTED) << "function " << c.number;
        const std::vector<LogLine> expected = {Entered(c.number), c.line};
        EXPECT_EQ(LogLines(), expected) << "function " << c.number;
    }
}

TEST_F(KivMainTest, BlockParseLineIsBoundedLikeParseLines) {
    const std::string address(5000, 'A');
    GateDescriptor gate{};
    gate.address = address.c_str();
    KivRequest request{};
    request.functionNumber = 4;
    request.argument = &gate;
    EXPECT_EQ(KivMain(&request), KIV_REJECTED);
    EXPECT_EQ(LogLines().back().text,
              "DUZED :Block Parse failed Tag '" + address.substr(0, 39) + "...', No block Support");
}

// Records a host might fail to pass: no request, no argument record, no value area. Each is
// answered with 2 and nothing is read or written through the missing pointer.
TEST_F(KivMainTest, MissingRecordsAreAnsweredWithTwo) {
    EXPECT_EQ(KivMain(nullptr), KIV_FAILED);
    EXPECT_EQ(LogLines().front().text, "DUZED:Entered KivMain(), with function -1");

    const auto instance = kivtest::MakeInstance();
    for (const uint32_t number :
         {KIV_FN_PARSE, KIV_FN_READ, KIV_FN_GET_INFO, KIV_FN_PORT_RECONFIGURE}) {
        KivRequest request{};
        request.instance = instance.get();
        request.functionNumber = number;
        EXPECT_EQ(KivMain(&request), KIV_FAILED) << "function " << number << " without argument";
    }
    GateAccess gate{};
    gate.operation = 100;
    for (void* owner : {static_cast<void*>(nullptr), static_cast<void*>(instance.get())}) {
        KivRequest request{};
        request.instance = owner;
        request.functionNumber = KIV_FN_READ;
        request.argument = &gate;  // without a value area
        EXPECT_EQ(KivMain(&request), KIV_FAILED);
    }
}

TEST_F(KivMainTest, BlockParseTakesAMissingAddressAsEmpty) {
    GateDescriptor gate{};
    KivRequest request{};
    request.functionNumber = 4;
    request.argument = &gate;
    EXPECT_EQ(KivMain(&request), KIV_REJECTED);
    EXPECT_EQ(LogLines().back().text, "DUZED :Block Parse failed Tag '', No block Support");
}

TEST_F(KivMainTest, BlockParseAddressIsAnArgumentNeverAFormat) {
    GateDescriptor gate{};
    gate.address = "%s%n%x";
    KivRequest request{};
    request.functionNumber = 4;
    request.argument = &gate;
    EXPECT_EQ(KivMain(&request), KIV_REJECTED);
    EXPECT_EQ(LogLines().back().text, "DUZED :Block Parse failed Tag '%s%n%x', No block Support");
}

TEST_F(KivMainTest, EveryEntryAnswersWithoutAnInstanceWhereTheTableIsEmpty) {
    // Each number 1 to 17 either reaches its function or is refused as empty; an entry that
    // is filled must not be refused as empty, and vice versa.
    for (uint32_t number = 1; number <= KIV_FN_COUNT; ++number) {
        if (kiv::KivFunc[number - 1] != nullptr) {
            continue;
        }
        qorClearLog();
        KivRequest request{};
        request.functionNumber = number;
        EXPECT_EQ(KivMain(&request), KIV_FAILED) << "function " << number;
        ASSERT_EQ(LogLines().size(), 2U);
        EXPECT_EQ(LogLines()[1].text, "DUZED:Exited KivMain() pointer in KivFunc[] is NULL");
    }
    EXPECT_EQ(kiv::KivFunc[7], nullptr);
    EXPECT_EQ(kiv::KivFunc[8], nullptr);
    EXPECT_EQ(kiv::KivFunc[16], nullptr);
}

}  // namespace
