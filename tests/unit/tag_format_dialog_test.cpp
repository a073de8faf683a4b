// Function 16 where no dialog can be shown: Linux has none, and a Windows program that carries
// the driver's code without the driver library's resources has no template to show (the
// system's reason is logged). The dialog
// itself is tested under Wine with the real library (tests/dialog).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "kiv/kiv_abi.h"

namespace {

using kivtest::LogLine;
using kivtest::LogLines;

class TagFormatDialogTest : public kivtest::HostFixture {};

TEST_F(TagFormatDialogTest, AnswersFiftyThreeAtOnceAndLeavesTheBufferAlone) {
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    TagFormatRequest withBuffer{buffer};
    TagFormatRequest withoutBuffer{nullptr};
    struct Case {
        const char* name;
        void* argument;
    };
    const std::vector<Case> cases = {
        {"no argument record", nullptr},
        {"no output buffer", &withoutBuffer},
        {"an output buffer", &withBuffer},
    };
    std::vector<LogLine> expected = {{8, "DUZED:Entered KivMain(), with function 15"}};
    if (!KIV_IS_WINDOWS) {
        expected.push_back(
            {32, "RIRODI: the Tag Format dialog exists only in the Windows driver."});
    }
    for (const Case& c : cases) {
        qorClearLog();
        KivRequest request{};
        request.functionNumber = KIV_FN_TAG_FORMAT_DIALOG;
        request.argument = c.argument;
        EXPECT_EQ(KivMain(&request), KIV_DIALOG_NOT_COMPLETED) << c.name;
        std::vector<LogLine> lines = LogLines();
        if (KIV_IS_WINDOWS && c.argument == &withBuffer) {
            // This program has no dialog template: the system's reason is logged (its words
            // depend on the language of the system).
            ASSERT_EQ(lines.size(), expected.size() + 1) << c.name;
            EXPECT_EQ(
                lines.back().text.rfind("RIRODI: the Tag Format dialog could not be shown: ", 0),
                0U);
            // The resource errors: 1812 under Wine, 1813 or 1814 on Windows.
            EXPECT_NE(lines.back().text.find("(error 181"), std::string::npos) << lines.back().text;
            lines.pop_back();
        }
        EXPECT_EQ(lines, expected) << c.name;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'Z')) << c.name;
    }
}

}  // namespace
