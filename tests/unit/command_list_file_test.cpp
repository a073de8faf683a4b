// The command-list file: markers and their bounds, entry lines, "<" and ">", tag references,
// the 255-character bound, long lines, number 0, and CR LF files read like LF files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "instance/driver_instance.h"
#include "work_dir_fixture.h"
#include "write/command_list_file.h"

namespace {

using kiv::CommandListResult;
using kivtest::LogLine;
using kivtest::LogLines;

constexpr auto kFound = CommandListResult::kFound;
constexpr auto kNotFound = CommandListResult::kNotFound;
constexpr auto kRefused = CommandListResult::kRefused;

// A file with a preamble line, the start marker, the entries and the end marker.
std::string List(const std::string& entries) {
    return "; command list\nStartOfCommandList\n" + entries + "EndOfCommandList\n";
}

// The same file with CR LF line ends.
std::string WithCrLf(const std::string& file) {
    std::string out;
    for (const char c : file) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

class CommandListFileTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        kiv::processClientId = 4;
        Text("DOORTXT", "OPEN");
        Text("EMPTY", "");
        Text("ANGLE", "<x>");
        Number("SPEED", 12.9);
        Number("OFFSET", -3.7);
        Number("HUGE", 1e12);
        Number("NOTNUM", std::nan(""));
    }
    static void Text(const char* name, const char* text) {
        ASSERT_EQ(qorSetText(qorDefineTag(name, name, 1, KIV_TYPE_STRING), text), 0);
    }
    static void Number(const char* name, double value) {
        ASSERT_EQ(qorSetValue(qorDefineTag(name, name, 1, KIV_TYPE_ANALOG), value), 0);
    }

    struct Found {
        CommandListResult result;
        std::string text;
    };
    static Found Lookup(const std::string& file, int number) {
        WriteFile("vududidi01.ini", file);
        char text[kiv::kCommandTextSize];
        std::memset(text, 'Z', sizeof text);
        const CommandListResult result = kiv::CommandListLookup(number, text);
        return {result, std::string(text, strnlen(text, sizeof text))};
    }
};

struct LookupCase {
    const char* what;
    std::string file;
    int number;
    CommandListResult result;
    std::string text;
    std::string log;  // the one line expected, or none
};

TEST_F(CommandListFileTest, LookupsInLfAndCrLfFiles) {
    const std::string a255(255, 'a');
    // A line of 1899 characters whose rest would read as entry 6 if it were cut into pieces.
    const std::string longLine = "1,a;" + std::string(1899 - 4 - 7, 'x') + "6,tail;";
    const std::string fullLine = "3,abc;" + std::string(1898 - 6, 'x');
    const std::string longLog =
        "RIRODI: vududidi01.ini line 3 is longer than 1898 characters, skipped";
    const std::vector<LookupCase> cases = {
        {"text up to the first ;", List("1,S Q;tail\n"), 1, kFound, "S Q", ""},
        {"blanks and tabs after the comma", List("2, \t \tS Q;\n"), 2, kFound, "S Q", ""},
        {"blanks later stay", List("3,A B\t;\n"), 3, kFound, "A B\t", ""},
        {"< is LF, > is CR", List("4,<S Q>;\n"), 4, kFound, "\nS Q\r", ""},
        {"string tag, then >", List("5,@DOORTXT$>;\n"), 5, kFound, "OPEN\r", ""},
        {"unknown tag: its name and $", List("6,@NOSUCH$>;\n"), 6, kFound, "NOSUCH$\r", ""},
        {"empty string tag: its name and $", List("7,@EMPTY$;\n"), 7, kFound, "EMPTY$", ""},
        {"numbers truncated toward zero", List("8,A@SPEED$B@OFFSET$C;\n"), 8, kFound, "A12B-3C",
         ""},
        {"numbers without an int", List("9,@HUGE$@NOTNUM$;\n"), 9, kFound, "HUGE$NOTNUM$", ""},
        {"@ without $ drops the rest", List("10,AB@CD<;\n"), 10, kFound, "AB", ""},
        {"... and the line end", List("11,AB@CD\n"), 11, kFound, "AB", ""},
        {"$ alone is a character", List("12,1$2;\n"), 12, kFound, "1$2", ""},
        {"no ; : the line end is one LF", List("13,S Q\n"), 13, kFound, "S Q\n", ""},
        {"no ; at the end of the file", "StartOfCommandList\n14,S Q", 14, kFound, "S Q", ""},
        {"a name that stays is converted", List("15,@A<B$;\n"), 15, kFound, "A\nB$", ""},
        {"values are not converted", List("16,@ANGLE$;\n"), 16, kFound, "<x>", ""},
        {"duplicates: the first wins", List("17,first;\n17,second;\n"), 17, kFound, "first", ""},
        {"after the end marker", "StartOfCommandList\nEndOfCommandList\n18,late;\n", 18, kNotFound,
         "", ""},
        {"no start marker", "19,x;\nEndOfCommandList\n", 19, kNotFound, "", ""},
        {"markers anywhere in a line", "# StartOfCommandList:\n20,x;\n-- EndOfCommandList --\n", 20,
         kFound, "x", ""},
        {"the preamble holds no entries", "21,early;\nStartOfCommandList\n", 21, kNotFound, "", ""},
        {"0 finds a 0 entry", List("comment\nx,y;\n0,zero;\n"), 0, kFound, "zero", ""},
        {"0 finds no line without a number", List("comment\n,empty;\nabc,t;\n"), 0, kNotFound, "",
         ""},
        {"number read like atoi", List("  +25xyz,ok;\n"), 25, kFound, "ok", ""},
        {"negative number", List("-3,neg;\n"), -3, kFound, "neg", ""},
        {"number beyond int is no entry", List("4294967297,wrap;\n"), 1, kNotFound, "", ""},
        {"missing entry", List("1,a;\n"), 99, kNotFound, "", ""},
        {"empty text", List("28,;\n"), 28, kFound, "", ""},
        {"255 characters", List("31," + a255 + ";\n"), 31, kFound, a255, ""},
        {"256 characters refused", List("32," + a255 + "a;\n"), 32, kRefused, "",
         "RIRODI: command list entry 32 is longer than 255 characters after expansion, not sent"},
        {"expanded to 254", List("33," + std::string(250, 'a') + "@DOORTXT$;\n"), 33, kFound,
         std::string(250, 'a') + "OPEN", ""},
        {"expanded to 256 refused", List("34," + std::string(252, 'a') + "@DOORTXT$;\n"), 34,
         kRefused, "",
         "RIRODI: command list entry 34 is longer than 255 characters after expansion, not sent"},
        {"NUL byte refused", List(std::string("35,a\0b;\n", 8)), 35, kRefused, "",
         "RIRODI: command list entry 35 holds a NUL byte, not sent"},
        {"long line skipped", List(longLine + "\n"), 1, kNotFound, "", longLog},
        {"long line never read in pieces", List(longLine + "\n"), 6, kNotFound, "", longLog},
        {"a line of 1898 is read whole", List(fullLine + "\n"), 3, kFound, "abc", ""},
    };
    for (const LookupCase& c : cases) {
        for (const bool crLf : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (crLf ? " (CR LF)" : " (LF)"));
            qorClearLog();
            const Found found = Lookup(crLf ? WithCrLf(c.file) : c.file, c.number);
            EXPECT_EQ(found.result, c.result);
            EXPECT_EQ(found.text, c.text);
            const std::vector<LogLine> expected =
                c.log.empty() ? std::vector<LogLine>{} : std::vector<LogLine>{{32, c.log}};
            EXPECT_EQ(LogLines(), expected);
        }
    }
}

TEST_F(CommandListFileTest, MissingFile) {
    char text[kiv::kCommandTextSize];
    EXPECT_EQ(kiv::CommandListLookup(1, text), CommandListResult::kNoFile);
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(LogLines().empty());
}

// At most 10000 lines are read looking for the start marker, and 10000 examined after it; a
// search that stops at a limit says so.
TEST_F(CommandListFileTest, LineBounds) {
    struct BoundCase {
        size_t before;  // lines before the start marker
        size_t after;   // lines between the marker and the entry
        CommandListResult result;
        const char* line;  // the log line, if any
    };
    const BoundCase cases[] = {
        {9999, 0, kFound, nullptr},
        {10000, 0, CommandListResult::kPastLimit,
         "RIRODI: vududidi01.ini has no StartOfCommandList within its first 10000 lines, entry 1 "
         "not looked for"},
        {0, 9999, kFound, nullptr},
        {0, 10000, CommandListResult::kPastLimit,
         "RIRODI: vududidi01.ini holds no entry 1 within the 10000 lines after "
         "StartOfCommandList; the lines after them are not read"},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " before, " + std::to_string(c.after) + " after");
        qorClearLog();
        const std::string file = std::string(c.before, '\n') + "StartOfCommandList\n" +
                                 std::string(c.after, '\n') + "1,x;\nEndOfCommandList\n";
        EXPECT_EQ(Lookup(file, 1).result, c.result);
        const std::vector<LogLine> expected =
            c.line == nullptr ? std::vector<LogLine>{} : std::vector<LogLine>{{32, c.line}};
        EXPECT_EQ(LogLines(), expected);
    }
    // A list that ends right at the limit holds no entry beyond it: simply not found.
    qorClearLog();
    EXPECT_EQ(Lookup("StartOfCommandList\n" + std::string(10000, '\n'), 1).result, kNotFound);
    EXPECT_TRUE(LogLines().empty());
}

}  // namespace
