// Parse (function 3) through KivMain: one table per address family. Every case checks the
// result, all five driver words (the defaults when the tag is refused) and the exact log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "tags/address_grammar.h"

namespace {

using kivtest::LogLine;
using kivtest::LogLines;

constexpr int32_t kAnalog = KIV_TYPE_ANALOG;
constexpr int32_t kDigital = KIV_TYPE_DIGITAL;
constexpr int32_t kString = KIV_TYPE_STRING;
constexpr int32_t kOtherType = 99;

struct Words {
    int32_t controller;
    int32_t operation;
    int32_t lockNumber;
    int32_t bitNumber;
    int32_t bitWidth;
    bool operator==(const Words& other) const = default;
};

void PrintTo(const Words& w, std::ostream* out) {
    *out << "{controller " << w.controller << ", operation " << w.operation << ", lock "
         << w.lockNumber << ", bit " << w.bitNumber << ", width " << w.bitWidth << "}";
}

constexpr Words kDefaults{0, 0, 0, -1, 16};

Words Value(int32_t operation) {
    return {10, operation, 0, -1, 16};
}
Words Bit(int32_t operation, int32_t bit) {
    return {10, operation, 0, bit, 1};
}
Words Lock(int32_t lock) {
    return {10, 112, lock, -1, 16};
}

constexpr const char* kIllegalChars = "ZEZ: illegal chars in GAS %s";
constexpr const char* kIllegalGas = "ZEZ: illegal GAS %s";
constexpr const char* kTooLong = "ZEZ: illegal GAS %s (max length 7 chars)";
constexpr const char* kControllerNumber = "ZEZ: illegal controlerNumber number (0..7) in GAS %s";
constexpr const char* kReaderNumber = "ZEZ: illegal reader number (0..15) in GAS %s";
constexpr const char* kDoorNumber = "ZEZ: illegal door number (0..15) in GAS %s";
constexpr const char* kPlcNumber = "ZEZ: illegal plc number (0..7) in GAS %s";
constexpr const char* kOption = "ZEZ: illegal optional parameter in GAS %s";
constexpr const char* kBit15 = "ZEZ: illegal bit number (0..15) in GAS %s";
constexpr const char* kBit10 = "ZEZ: illegal bit number (0..10) in GAS %s";
constexpr const char* kBit7 = "ZEZ: illegal bit number (0..7) in GAS %s";
constexpr const char* kLockNumber = "ZEZ: illegal lock number (1..16) in GAS %s";
constexpr const char* kNotAnalog = "ZEZ: tag type has to be ANALOG (unsigned16) in GAS %s";
constexpr const char* kNotDigital = "ZEZ: tag type has to be DIGITAL in GAS %s";
constexpr const char* kNotString = "ZEZ: tag type has to be STRING in GAS %s";
constexpr const char* kInputLength = "ZEZ: length of tag GAS %s must be 5 chars";

LogLine Refusal(const char* format, const std::string& gas) {
    std::string text = format;
    text.replace(text.find("%s"), 2, gas);
    return {32, text};
}

LogLine Passed(const std::string& address) {
    return {8, "RIRODI: GAS " + address + " pass the Parse function."};
}

struct Case {
    std::string address;
    int32_t dataType;
    int32_t result;
    Words words;
    std::vector<LogLine> lines;  // after the "Entered" line
};

// Accepted without a line: named, controller, reader and door tags.
Case Known(const std::string& address, int32_t dataType = kOtherType) {
    return {address, dataType, KIV_OK, kDefaults, {}};
}
// Accepted keyword tag.
Case Passes(const std::string& address, int32_t dataType, Words words) {
    return {address, dataType, KIV_OK, words, {Passed(address)}};
}
// Refused, with the working copy as the line shows it.
Case Refused(const std::string& address, int32_t dataType, const char* format,
             const std::string& shown) {
    return {address, dataType, KIV_REJECTED, kDefaults, {Refusal(format, shown)}};
}

class ParseTest : public kivtest::HostFixture {
protected:
    // Calls function 3 through KivMain on a record whose driver words hold a sentinel.
    static int32_t CallParse(GateDescriptor& gate) {
        KivRequest request{};
        request.functionNumber = KIV_FN_PARSE;
        request.argument = &gate;
        return KivMain(&request);
    }

    static void Expect(const Case& c, const char* address) {
        qorClearLog();
        constexpr int32_t kSentinel = 0x5A5A5A5A;
        GateDescriptor gate{address,   1111,      c.dataType, 4444,     kSentinel,
                            kSentinel, kSentinel, kSentinel,  kSentinel};
        const std::string label = "address '" + c.address + "' type " + std::to_string(c.dataType);
        EXPECT_EQ(CallParse(gate), c.result) << label;
        EXPECT_EQ((Words{gate.controller, gate.operation, gate.lockNumber, gate.bitNumber,
                         gate.bitWidth}),
                  c.words)
            << label;
        // The host's own words and the address are left alone.
        EXPECT_EQ(gate.address, address) << label;
        EXPECT_EQ(gate.hostWord2, 1111) << label;
        EXPECT_EQ(gate.dataType, c.dataType) << label;
        EXPECT_EQ(gate.hostWord4, 4444) << label;
        std::vector<LogLine> expected = {{8, "DUZED:Entered KivMain(), with function 2"}};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(LogLines(), expected) << label;
    }

    static void ExpectAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            Expect(c, c.address.c_str());
        }
    }
};

TEST_F(ParseTest, NamedTagsAreAcceptedExactlyInCapitalsWithAnyDataType) {
    std::vector<Case> cases;
    for (const char* name : kiv::kNamedTags) {
        for (const int32_t type : {kAnalog, kDigital, kString, kOtherType, -1}) {
            cases.push_back(Known(name, type));
        }
    }
    cases.push_back(Refused("incoming", kString, kIllegalChars, "INCOMING"));
    cases.push_back(Refused("Incoming", kString, kIllegalChars, "INCOMING"));
    cases.push_back(Refused("INCOMIN", kString, kIllegalChars, "INCOMIN"));
    cases.push_back(Refused("badgecode", kString, kTooLong, "badgecode"));
    cases.push_back(Refused("SEND_ACK ", kAnalog, kTooLong, "SEND_ACK "));
    cases.push_back(Refused("send_str_from_file", kAnalog, kTooLong, "send_str_from_file"));
    cases.push_back(Refused("pbnam", kString, kIllegalChars, "PBNAM"));
    ExpectAll(cases);
}

// The tag format dialog (function 16) composes texts of its own; the README says plainly that
// Parse refuses them.
TEST_F(ParseTest, TheTagFormatDialogsTextsAreNoAddresses) {
    std::vector<Case> cases;
    for (const char* text : {"READ", "RAW", "WRITE", "ARG07", "VAR99"}) {
        for (const int32_t type : {kAnalog, kString}) {
            cases.push_back(Refused(text, type, kIllegalChars, text));
        }
    }
    ExpectAll(cases);
}

TEST_F(ParseTest, ControllerTagsNeedADigitFrom0To7AndCapitals) {
    std::vector<Case> cases;
    for (const char* keyword : kiv::kControllerTagKeywords) {
        for (char digit = '0'; digit <= '7'; ++digit) {
            cases.push_back(Known(digit + std::string(keyword)));
        }
        for (const char* bad : {"8", "9", "X", " ", "-", "+", "P"}) {
            const std::string address = bad + std::string(keyword);
            cases.push_back(Refused(address, kAnalog, kControllerNumber, address));
        }
    }
    const std::vector<Case> more = {
        Known("3PMODEXYZ", kString),  // nothing after the keyword is examined
        Known("3PAI10"),
        Known("5PVER", kAnalog),
        Refused("3pmode", kAnalog, kIllegalChars, "3PMODE"),
        Refused("3Pmode", kAnalog, kIllegalChars, "3PMODE"),
        Refused("8pmode", kAnalog, kPlcNumber, "8PMODE"),  // upper-cased into a command tag
        Refused("3PAI5", kAnalog, kIllegalChars, "3PAI5"),
        Refused("3PMOD", kAnalog, kIllegalChars, "3PMOD"),
        Refused("PMODE", kAnalog, kIllegalChars, "PMODE"),
        Refused("-1PMODE", kAnalog, kIllegalChars, "-1PMODE"),
        Refused("8PMODEXYZW", kAnalog, kControllerNumber, "8PMODEXYZW"),
    };
    cases.insert(cases.end(), more.begin(), more.end());
    ExpectAll(cases);
}

TEST_F(ParseTest, ReaderAndDoorTagsReadATwoCharacterNumberFrom0To15) {
    std::vector<Case> cases;
    for (const char* keyword : kiv::kReaderDoorKeywords) {
        for (int number = 0; number <= 15; ++number) {
            char digits[3] = {static_cast<char>('0' + number / 10),
                              static_cast<char>('0' + number % 10), '\0'};
            cases.push_back(Known(keyword + std::string(digits)));
        }
    }
    const std::vector<Case> more = {
        Known("PSRDR5"),
        Known("PSRDR123"),  // the field is two characters wide: 12
        Known("PSRDR 5"),   // leading white space is skipped and not counted
        Known("PSRDR  15"),
        Known("PSRDR\t7"),
        Known("PSRDR+5"),
        Known("PSRDR+15"),  // the sign counts toward the width: +1
        Known("PSRDR-0"),
        Known("PSRDR05", kString),
        Known("PDORL7x"),
        Refused("PSRDR16", kAnalog, kReaderNumber, "PSRDR16"),
        Refused("PSRDR", kAnalog, kReaderNumber, "PSRDR"),
        Refused("PSRDR-1", kAnalog, kReaderNumber, "PSRDR-1"),
        Refused("PSRDR-2", kAnalog, kReaderNumber, "PSRDR-2"),
        Refused("PSRDR+", kAnalog, kReaderNumber, "PSRDR+"),
        Refused("PSRDR-", kAnalog, kReaderNumber, "PSRDR-"),
        Refused("PSRDRX", kAnalog, kReaderNumber, "PSRDRX"),
        Refused("PSRDR 16", kAnalog, kReaderNumber, "PSRDR 16"),
        Refused("PSRDR99", kAnalog, kReaderNumber, "PSRDR99"),
        Refused("PDORL16", kAnalog, kDoorNumber, "PDORL16"),
        Refused("PDORL", kAnalog, kDoorNumber, "PDORL"),
        Refused("PSDOR16", kAnalog, kDoorNumber, "PSDOR16"),
        Refused("PSDOR", kAnalog, kDoorNumber, "PSDOR"),
        Refused("PSDORAB123", kAnalog, kDoorNumber, "PSDORAB123"),
        Refused("psrdr05", kAnalog, kIllegalChars, "PSRDR05"),
        Refused("Psdor05", kAnalog, kIllegalChars, "PSDOR05"),
    };
    cases.insert(cases.end(), more.begin(), more.end());
    ExpectAll(cases);
}

TEST_F(ParseTest, CommandTagsTakeADigitAKeywordAndForFsparAnOptionLetter) {
    std::vector<Case> cases;
    for (int32_t controller = 0; controller <= 7; ++controller) {
        for (size_t index = 0; index < std::size(kiv::kCommandKeywords); ++index) {
            const std::string address = std::to_string(controller) + kiv::kCommandKeywords[index];
            cases.push_back(
                Passes(address, kAnalog, {controller, static_cast<int32_t>(index), 0, -1, 16}));
        }
    }
    for (const char* letter = kiv::kFsparOptionLetters; *letter != '\0'; ++letter) {
        cases.push_back(Passes(std::string("2FSPAR") + *letter, kAnalog, {2, 7, 0, -1, 16}));
        const char lower = static_cast<char>(*letter + ('a' - 'A'));
        cases.push_back(Passes(std::string("6fspar") + lower, kAnalog, {6, 7, 0, -1, 16}));
    }
    const std::vector<Case> more = {
        Passes("2FSPAR", kAnalog, {2, 7, 0, -1, 16}),
        Passes("3fAdDk", kAnalog, {3, 0, 0, -1, 16}),
        Refused("8FADDK", kAnalog, kPlcNumber, "8FADDK"),
        Refused("9FADDK", kAnalog, kPlcNumber, "9FADDK"),
        Refused("9fstat", kDigital, kPlcNumber, "9FSTAT"),
        Refused("8", kAnalog, kPlcNumber, "8"),
        Refused("3", kAnalog, kIllegalChars, "3"),
        Refused("3FADD", kAnalog, kIllegalChars, "3FADD"),
        Refused("3XXXXX", kAnalog, kIllegalChars, "3XXXXX"),
        Refused("3xaddk", kAnalog, kIllegalChars, "3XADDK"),
        Refused("2FADDKX", kAnalog, kIllegalGas, "2FADDKX"),
        Refused("2FADDKXY", kAnalog, kIllegalGas, "2FADDKXY"),
        Refused("2FSPARLX", kAnalog, kIllegalGas, "2FSPARLX"),
        Refused("2fsparlx", kDigital, kIllegalGas, "2FSPARLX"),
        Refused("2FSPARQ", kAnalog, kOption, "2FSPARQ"),
        Refused("2fsparq", kAnalog, kOption, "2FSPARQ"),
        Refused("2FSPARQ", kDigital, kOption, "2FSPARQ"),  // the letter before the type
        Refused("2FSPAR0", kAnalog, kOption, "2FSPAR0"),
        Refused("2FSPAR ", kAnalog, kOption, "2FSPAR "),
        Refused("2FSPAR\x7F", kAnalog, kOption, "2FSPAR_"),  // DEL upper-cases to '_'
        Refused("2FADDK", kDigital, kNotAnalog, "2FADDK"),
        Refused("2FADDK", kString, kNotAnalog, "2FADDK"),
        Refused("2fspars", kDigital, kNotAnalog, "2FSPARS"),
        Refused("0FSTAT", kOtherType, kNotAnalog, "0FSTAT"),
    };
    cases.insert(cases.end(), more.begin(), more.end());
    ExpectAll(cases);
}

TEST_F(ParseTest, ParameterKeywordsAloneNeedTheirDataType) {
    // Written out here, not taken from the driver's table: keyword, code, and whether the
    // keyword alone is a flag on a DIGITAL tag.
    const struct {
        std::string keyword;
        int32_t operation;
        bool singleBit;
    } parameters[] = {
        {"PDORS", 100, false}, {"PWKDS", 101, false}, {"PHOLT", 102, false}, {"PPSW1", 103, false},
        {"PPSW2", 104, false}, {"PLFRT", 105, true},  {"PDFRM", 106, true},  {"PDMOD", 107, false},
        {"PPEVS", 108, true},  {"PTZN1", 109, false}, {"PTZN2", 110, false}, {"PDATI", 111, false},
        {"PLOCK", 112, false}, {"PLOUD", 113, false}, {"PDAJT", 114, false}, {"PEFRM", 115, true},
    };
    std::vector<Case> cases;
    for (const auto& [keyword, operation, singleBit] : parameters) {
        if (singleBit) {
            cases.push_back(Passes(keyword, kDigital, {10, operation, 0, -1, 1}));
            cases.push_back(Refused(keyword, kAnalog, kNotDigital, keyword));
            cases.push_back(Refused(keyword, kString, kNotDigital, keyword));
        } else {
            cases.push_back(Passes(keyword, kAnalog, Value(operation)));
            cases.push_back(Refused(keyword, kDigital, kNotAnalog, keyword));
            cases.push_back(Refused(keyword, kString, kNotAnalog, keyword));
        }
    }
    cases.push_back(Passes("pdors", kAnalog, Value(100)));
    cases.push_back(Passes("Pefrm", kDigital, {10, 115, 0, -1, 1}));
    cases.push_back(Refused("PDOR", kAnalog, kIllegalChars, "PDOR"));
    ExpectAll(cases);
}

TEST_F(ParseTest, ParameterBitsAndLocksAreCheckedNumberFirstThenDataType) {
    std::vector<Case> cases = {
        Passes("PDORS00", kDigital, Bit(100, 0)),
        Passes("PDORS07", kDigital, Bit(100, 7)),
        Passes("PDORS15", kDigital, Bit(100, 15)),
        Refused("PDORS16", kDigital, kBit15, "PDORS16"),
        Refused("PDORS16", kAnalog, kBit15, "PDORS16"),
        Refused("PDORS99", kDigital, kBit15, "PDORS99"),
        Refused("PDORS07", kAnalog, kNotDigital, "PDORS07"),
        Passes("PWKDS00", kDigital, Bit(101, 0)),
        Passes("PWKDS10", kDigital, Bit(101, 10)),
        Refused("PWKDS11", kDigital, kBit10, "PWKDS11"),
        Refused("pwkds11", kDigital, kBit10, "PWKDS11"),
        Refused("PWKDS05", kString, kNotDigital, "PWKDS05"),
        Passes("PLOCK01", kAnalog, Lock(1)),
        Passes("PLOCK05", kAnalog, Lock(5)),
        Passes("PLOCK16", kAnalog, Lock(16)),
        Refused("PLOCK00", kAnalog, kLockNumber, "PLOCK00"),
        Refused("PLOCK17", kAnalog, kLockNumber, "PLOCK17"),
        Refused("Plock17", kAnalog, kLockNumber, "PLOCK17"),
        Refused("PLOCK05", kDigital, kNotAnalog, "PLOCK05"),
        Passes("PLOCK053", kDigital, {10, 112, 5, 3, 1}),
        Passes("PLOCK010", kDigital, {10, 112, 1, 0, 1}),
        Passes("PLOCK167", kDigital, {10, 112, 16, 7, 1}),
        Passes("plock053", kDigital, {10, 112, 5, 3, 1}),
        Refused("PLOCK058", kDigital, kBit7, "PLOCK058"),
        Refused("PLOCK059", kAnalog, kBit7, "PLOCK059"),
        Refused("PLOCK003", kDigital, kLockNumber, "PLOCK003"),
        Refused("PLOCK173", kDigital, kLockNumber, "PLOCK173"),
        Refused("PLOCK178", kDigital, kLockNumber, "PLOCK178"),  // the lock before the bit
        Refused("PLOCK053", kAnalog, kNotDigital, "PLOCK053"),
        Passes("PLOUD01", kAnalog, {10, 113, 1, -1, 16}),
        Passes("PLOUD16", kAnalog, {10, 113, 16, -1, 16}),
        Refused("PLOUD00", kAnalog, kLockNumber, "PLOUD00"),
        Refused("PLOUD17", kAnalog, kLockNumber, "PLOUD17"),
        Refused("PLOUD05", kDigital, kNotAnalog, "PLOUD05"),
        Passes("PDAJT01", kAnalog, {10, 114, 1, -1, 16}),
        Passes("pdajt16", kAnalog, {10, 114, 16, -1, 16}),
        Refused("PDAJT00", kAnalog, kLockNumber, "PDAJT00"),
        Refused("PDAJT17", kAnalog, kLockNumber, "PDAJT17"),
    };
    // Forms that no keyword takes, and characters that are not digits.
    for (const char* address :
         {"PDORS0", "PLOCK1", "PHOLT1", "PDORS0X", "PDORS-1", "PDORS 1", "PDORS+1", "PLOCK05X",
          "PLOCKX53", "PDORS007", "PWKDS001", "PLOUD053", "PDAJT053", "PHOLT12", "PHOLT123",
          "PEFRM01", "PPSW105", "PTZN201", "PDATI011"}) {
        std::string shown = address;
        for (char& c : shown) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        cases.push_back(Refused(address, kDigital, kIllegalGas, shown));
        cases.push_back(Refused(address, kAnalog, kIllegalGas, shown));
    }
    cases.push_back(Refused("plfrt1", kDigital, kIllegalGas, "PLFRT1"));
    ExpectAll(cases);
}

TEST_F(ParseTest, StringParametersAndInputNeedStringTags) {
    const std::pair<std::string, int32_t> texts[] = {
        {"PFRTM", 130}, {"PTOTM", 131}, {"PKCOD", 132}, {"PDATE", 133}, {"PTIME", 134},
    };
    std::vector<Case> cases;
    for (const auto& [keyword, operation] : texts) {
        cases.push_back(Passes(keyword, kString, Value(operation)));
        cases.push_back(Passes(keyword + "XYZ", kString, Value(operation)));
        cases.push_back(Refused(keyword, kAnalog, kNotString, keyword));
        cases.push_back(Refused(keyword, kDigital, kNotString, keyword));
    }
    const std::vector<Case> more = {
        Passes("ptime", kString, Value(134)),
        Passes("PTIME1", kString, Value(134)),
        Refused("pdatexyz", kAnalog, kNotString, "PDATEXYZ"),
        Refused("PTIMEXYZW", kString, kTooLong, "PTIMEXYZW"),
        Refused("PTIM", kString, kIllegalChars, "PTIM"),
        Passes("INPUT", kString, Value(200)),
        Passes("input", kString, Value(200)),
        Passes("Input", kString, Value(200)),
        Refused("INPUT", kAnalog, kNotString, "INPUT"),
        Refused("input", kDigital, kNotString, "INPUT"),
        Refused("INPUTS", kString, kInputLength, "INPUTS"),
        Refused("inputs", kString, kInputLength, "INPUTS"),
        Refused("INPUTS", kAnalog, kInputLength, "INPUTS"),  // the length before the type
        Refused("INPUTXYZ", kString, kInputLength, "INPUTXYZ"),
        Refused("INPUTXYZW", kString, kTooLong, "INPUTXYZW"),
        Refused("INPU", kString, kIllegalChars, "INPU"),
    };
    cases.insert(cases.end(), more.begin(), more.end());
    ExpectAll(cases);
}

TEST_F(ParseTest, AnythingElseIsRefusedAsIllegalChars) {
    ExpectAll({
        Refused("", kAnalog, kIllegalChars, ""),
        Refused("READ", kAnalog, kIllegalChars, "READ"),
        Refused("raw", kAnalog, kIllegalChars, "RAW"),
        Refused("WRITE", kAnalog, kIllegalChars, "WRITE"),
        Refused("ARG07", kAnalog, kIllegalChars, "ARG07"),
        Refused("var07", kAnalog, kIllegalChars, "VAR07"),
        Refused(" 3FADDK", kAnalog, kIllegalChars, " 3FADDK"),
        Refused("ABCDEFGH", kAnalog, kIllegalChars, "ABCDEFGH"),
        Refused("\xE9tat", kAnalog, kIllegalChars, "\xE9TAT"),  // bytes above 127 stay
        // The address is an argument of the line, never its format.
        Refused("%s%n%x", kAnalog, kIllegalChars, "%S%N%X"),
    });
}

TEST_F(ParseTest, NullAddressIsTakenAsTheEmptyText) {
    Expect(Refused("", kString, kIllegalChars, ""), nullptr);
}

TEST_F(ParseTest, LengthRuleCountsEightCharactersAndShowsTheTextAsGiven) {
    ExpectAll({
        Refused("ABCDEFGHI", kAnalog, kTooLong, "ABCDEFGHI"),
        Refused("abcdefghi", kAnalog, kTooLong, "abcdefghi"),
        Refused("2FSPARLXY", kAnalog, kTooLong, "2FSPARLXY"),
        Refused("PLOCK0530", kDigital, kTooLong, "PLOCK0530"),
    });
}

// The working copy holds 39 characters: a longer address is judged by them, and its refusal
// line shows them followed by "...".
TEST_F(ParseTest, LongAddressesAreJudgedByTheirFirst39Characters) {
    std::vector<Case> cases;
    for (const size_t length : {39U, 40U, 41U, 300U}) {
        const bool cut = length > 39;
        const std::string letters(length, 'a');
        cases.push_back(
            Refused(letters, kAnalog, kTooLong, std::string(39, 'a') + (cut ? "..." : "")));
        const std::string controller = "3PMODE" + std::string(length - 6, 'X');
        cases.push_back(Known(controller, kAnalog));
        const std::string wrongController = "8PMODE" + std::string(length - 6, 'x');
        cases.push_back(Refused(wrongController, kAnalog, kControllerNumber,
                                wrongController.substr(0, 39) + (cut ? "..." : "")));
        cases.push_back(Known("PSRDR05" + std::string(length - 7, 'Z')));
        const std::string wrongDoor = "PSDOR99" + std::string(length - 7, '9');
        cases.push_back(
            Refused(wrongDoor, kAnalog, kDoorNumber, wrongDoor.substr(0, 39) + (cut ? "..." : "")));
        // A named tag with anything behind it is no longer the named tag.
        const std::string named = "SEND_STR_FROM_FILE" + std::string(length - 18, 'E');
        cases.push_back(
            Refused(named, kAnalog, kTooLong, named.substr(0, 39) + (cut ? "..." : "")));
    }
    ExpectAll(cases);
    // The line stays bounded however long the address.
    qorClearLog();
    const std::string huge(100000, '%');
    Expect(Refused(huge, kAnalog, kTooLong, std::string(39, '%') + "..."), huge.c_str());
}

// Parse reads no more than 40 characters of the host's text: a text without any terminator
// in its first 40 bytes is judged like a longer address (AddressSanitizer catches more).
TEST_F(ParseTest, ReadsAtMostFortyCharactersOfTheAddress) {
    for (const char* start : {"", "3PMODE", "PSRDR05"}) {
        auto bytes = std::make_unique<char[]>(40);
        std::fill(bytes.get(), bytes.get() + 40, 'Q');
        std::copy(start, start + std::strlen(start), bytes.get());
        const std::string copy(bytes.get(), 39);
        if (*start == '\0') {
            Expect(Refused(copy, kAnalog, kTooLong, copy + "..."), bytes.get());
        } else {
            Expect(Known(copy, kAnalog), bytes.get());
        }
    }
}

TEST_F(ParseTest, WithoutATagRecordNothingIsWrittenAndTheCallFails) {
    KivRequest request{};
    request.functionNumber = KIV_FN_PARSE;
    EXPECT_EQ(KivMain(&request), KIV_FAILED);
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{{8, "DUZED:Entered KivMain(), with function 2"}}));
}

TEST(FindKeyword, ComparesTheFirstFiveCharactersAndTakesTheFirstMatch) {
    const char* const table[] = {"ABCDE", "VWXYZ", "ABCDE"};
    struct KeywordCase {
        const char* text;
        bool found;
        size_t index;
    };
    const KeywordCase cases[] = {
        {"ABCDE", true, 0}, {"ABCDEFGH", true, 0}, {"VWXYZ1", true, 1}, {"ABCD", false, 0},
        {"ABC", false, 0},  {"abcde", false, 0},   {"", false, 0},      {"XABCDE", false, 0},
    };
    for (const KeywordCase& c : cases) {
        size_t index = 99;
        EXPECT_EQ(kiv::FindKeyword(c.text, table, &index), c.found) << c.text;
        EXPECT_EQ(index, c.found ? c.index : 99U) << c.text;
    }
    EXPECT_TRUE(kiv::FindKeyword("VWXYZ", table, std::size(table), nullptr));
    EXPECT_FALSE(kiv::FindKeyword(nullptr, table, std::size(table), nullptr));
    EXPECT_FALSE(kiv::FindKeyword("ABCDE", table, 0, nullptr));
}

TEST(ReadDecimalField, ReadsLikeAFieldOfLimitedWidth) {
    struct FieldCase {
        const char* text;
        int width;
        bool read;
        int value;
    };
    const FieldCase cases[] = {
        {"12", 2, true, 12},
        {"123", 2, true, 12},
        {" \t\n7x", 2, true, 7},
        {"+5", 2, true, 5},
        {"-5", 2, true, -5},
        {"-15", 2, true, -1},
        {"+", 2, false, 0},
        {"-", 2, false, 0},
        {"", 2, false, 0},
        {"x1", 2, false, 0},
        {"  ", 2, false, 0},
        {"05", 1, true, 0},
        {"1234567890123", 20, true, 123456789},
    };
    for (const FieldCase& c : cases) {
        int value = -999;
        EXPECT_EQ(kiv::ReadDecimalField(c.text, c.width, &value), c.read) << c.text;
        EXPECT_EQ(value, c.read ? c.value : -999) << c.text;
    }
}

}  // namespace
