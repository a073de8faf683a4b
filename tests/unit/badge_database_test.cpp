// The badge database: the line format read by position, the table and its index, the update
// that blots and appends, the download list, the limits, and reloads beside look-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_store.h"
#include "receive/badge_database.h"
#include "receive/badge_lines.h"
#include "stage_instance.h"
#include "work_dir_fixture.h"

namespace {

using kivtest::LogLine;

constexpr const char* kDatabase = "zezSetupDB01.dat";
constexpr const char* kDownloadList = "zezSetupUDB01.dat";

// The text of an add-key frame for controller 0 (checksum not checked by any reader here).
std::string KeyText(const std::string& key, const std::string& code,
                    const std::string& zones = "12", const std::string& door = "3F") {
    return ";A 7," + key + "," + code + "," + door + ",01/02/24," + zones + ";89AB";
}
std::string BadgeLine(const std::string& key, const std::string& code,
                      const std::string& name = "Jane Doe", const std::string& name2 = "Day") {
    return KeyText(key, code) + " @ " + name + " @ " + name2;
}
std::string Frame(const std::string& text) {
    return "\n" + text + "\r";
}

class BadgeDatabaseTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        instance = kivtest::MakeStageInstance();
        counterd =
            qorDefineTag("COUNTERD", "COUNTERD", kivtest::kTestInstanceNumber, KIV_TYPE_ANALOG);
        pbinm = qorDefineTag("PBINM", "PBINM", kivtest::kTestInstanceNumber, KIV_TYPE_STRING);
        pbin2 = qorDefineTag("PBIN2", "PBIN2", kivtest::kTestInstanceNumber, KIV_TYPE_STRING);
    }

    void Load(const std::string& bytes) {
        WriteFile(kDatabase, bytes);
        kiv::BadgeDbLoad(*instance);
    }
    // An acknowledged key frame for the staged code, with the names of the two tags.
    bool Update(const std::string& frameText, const std::string& name = "",
                const std::string& name2 = "") {
        qorSetText(pbinm, name.c_str());
        qorSetText(pbin2, name2.c_str());
        const std::string frame = Frame(frameText);
        kiv::BadgeUpdate update{stagedCode.c_str(), {}};
        EXPECT_TRUE(kiv::ReadBadgeHolder(*instance, update.holder));
        return kiv::BadgeDbUpdate(*instance, frame.c_str(), update);
    }
    void StageCode(const char* code) { stagedCode = code; }
    std::string NameOfKey(const char* key) { return kiv::FindBadgeByKey(*instance, key).name; }
    static std::string Text(int32_t tag) {
        char text[QOR_TEXT_SIZE] = {};
        qorGetText(tag, text, sizeof text);
        return text;
    }
    static double Value(int32_t tag) {
        double value = -1;
        qorGetValue(tag, &value);
        return value;
    }

    kivtest::MadeInstance instance;
    std::string stagedCode;
    int32_t counterd = -1;
    int32_t pbinm = -1;
    int32_t pbin2 = -1;
};

TEST(HexTextValue, DigitsFromTheLastWrappingIn32Bits) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"1A", 26},
        {"", 0},
        {"FFFFFFFF", -1},
        {"1F", 31},
        {"7FFFFFFF", 0x7FFFFFFF},
        {"80000000", INT32_MIN},
        {"123456789", 0x23456789},  // the ninth digit wraps away
        {"a", 42},
        {"/", -1},  // no check of the characters
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kiv::hexTextValue(c.text, std::strlen(c.text)), c.value) << c.text;
    }
    EXPECT_EQ(kiv::hexTextValue("1A99", 2), 26) << "only 'count' characters";
}

TEST(BadgeKeyNumber, FieldValueMinusOneInDecimal) {
    const struct {
        const char* field;
        const char* key;
    } cases[] = {{"1", "0"}, {"1F", "30"}, {"0", "-1"}, {"80000000", "-2147483649"}};
    for (const auto& c : cases) {
        char key[kiv::kKeyNumberTextSize];
        kiv::BadgeKeyNumberText(c.field, std::strlen(c.field), key);
        EXPECT_STREQ(key, c.key) << c.field;
    }
}

TEST(BadgeLine, FieldsByPositionAndMissingParts) {
    const struct {
        std::string line;
        kiv::BadgeRecord expected;  // name, name2, keyNumber, badgeCode, doorMaskHex, date, zones
    } cases[] = {
        {BadgeLine("345", "00000ABCDE", " Jane  van Doe", "Night shift"),
         {" Jane  van Doe", "Night shift", "345", "00000ABCDE", "3F", "01/02/24", "12"}},
        {";A 7,5,0000000001,0,31/12/99,0;1234 @ Bo @ ",
         {"Bo", "", "5", "0000000001", "0", "31/12/99", "0"}},
        {";A", {}},
        {";A 1,2", {}},
        {";A 1,2,0123", {"", "", "2", "0123", "", "", ""}},
        {";A 1,2,0123456789,FF", {"", "", "2", "0123456789", "", "", ""}},
        {";A 1,2,0123456789,FF,01/0", {"", "", "2", "0123456789", "FF", "01/0", ""}},
        {";A 1,2 @ only one", {"", "only one", "", "", "", "", ""}},
        {";A 1,2,3 @ a,b,c @ @", {"a,b,c @", "", "2", "3 ", "", "", ""}},
        {";A @", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        kiv::BadgeRecord record;
        std::memset(&record, 0x55, sizeof record);
        EXPECT_EQ(kiv::ParseBadgeLine(c.line.data(), c.line.size(), record), 0U);
        EXPECT_STREQ(record.name, c.expected.name);
        EXPECT_STREQ(record.name2, c.expected.name2);
        EXPECT_STREQ(record.keyNumber, c.expected.keyNumber);
        EXPECT_STREQ(record.badgeCode, c.expected.badgeCode);
        EXPECT_STREQ(record.doorMaskHex, c.expected.doorMaskHex);
        EXPECT_STREQ(record.date, c.expected.date);
        EXPECT_STREQ(record.timeZones, c.expected.timeZones);
    }
}

// CR LF and bare LF both end a line, a last line may lack its line end, and the second name
// never keeps a CR; lines that are not badge lines are passed over.
TEST_F(BadgeDatabaseTest, LoadsEachBadgeLineOnceWhateverItsLineEnd) {
    for (const char* end : {"\r\n", "\n"}) {
        for (const char* last : {"\r\n", "\n", "", "\r"}) {
            SCOPED_TRACE(testing::Message() << "end " << (end[0] == '\r' ? "CRLF" : "LF")
                                            << ", last " << std::strlen(last));
            Load(std::string("CONTENT OF SETUP PARAMETERS.") + end + "*********" + end +
                 BadgeLine("3", "0000000003", "Ann", "A") + end + ";D 7,9;A1B2 @ x @ y" + end +
                 ";>3A 7,8,0000000008,1,01/01/24,0;0000 @ x @ y" + end +
                 BadgeLine("4", "0000000004", "Bob Bee", "Night shift") + last);
            EXPECT_EQ(instance->badgeCount, 2);
            EXPECT_EQ(NameOfKey("3"), "Ann");
            const kiv::BadgeNames bob = kiv::FindBadgeByKey(*instance, "4");
            EXPECT_STREQ(bob.name, "Bob Bee");
            EXPECT_STREQ(bob.name2, "Night shift");
            EXPECT_STREQ(bob.badgeCode, "0000000004");
            EXPECT_EQ(NameOfKey("9"), "");
            EXPECT_EQ(NameOfKey("8"), "");
        }
    }
    EXPECT_EQ(kivtest::LogLines(), std::vector<LogLine>{});
}

TEST_F(BadgeDatabaseTest, IndexFindsTheFirstInFileOrderAcrossReloads) {
    Load(BadgeLine("5", "0000000005", "Five") + "\r\n" + BadgeLine("30", "0000000030", "Thirty") +
         "\r\n" + BadgeLine("3", "0000000003", "Three") + "\r\n" +
         BadgeLine("30", "0000000031", "Thirty again") + "\r\n");
    EXPECT_EQ(NameOfKey("30"), "Thirty");
    EXPECT_EQ(NameOfKey("3"), "Three");
    EXPECT_EQ(NameOfKey("5"), "Five");
    EXPECT_EQ(NameOfKey("4"), "");
    EXPECT_EQ(NameOfKey(""), "");

    Load(BadgeLine("4", "0000000004", "Four") + "\r\n");
    EXPECT_EQ(NameOfKey("4"), "Four");
    EXPECT_EQ(NameOfKey("30"), "");
    EXPECT_EQ(NameOfKey("3"), "");
    // Records beyond the load are empty in every field.
    EXPECT_STREQ(instance->badges[1].date, "");
    EXPECT_STREQ(instance->badges[1].timeZones, "");

    std::filesystem::remove(kDatabase);
    kiv::BadgeDbLoad(*instance);
    EXPECT_EQ(instance->badgeCount, 0);
    EXPECT_EQ(NameOfKey("4"), "");
}

TEST_F(BadgeDatabaseTest, AddCreatesTheFileWithOneLine) {
    StageCode("0000000003");
    EXPECT_TRUE(Update(KeyText("3", "0000000003"), "Ann Lee", "Day"));
    EXPECT_EQ(ReadFile(kDatabase), BadgeLine("3", "0000000003", "Ann Lee", "Day") + "\r\n");
    EXPECT_EQ(NameOfKey("3"), "Ann Lee");
}

// Adding a badge whose code has a line already blots that line (same length, line end kept)
// and appends the new one; deleting blots and appends nothing.
TEST_F(BadgeDatabaseTest, AddReplacesAndDeleteBlots) {
    const std::string first = BadgeLine("3", "0000000003", "Ann", "Day");
    const std::string other = BadgeLine("4", "0000000004", "Bob", "Day");
    const std::string stars(first.size(), '*');
    const struct {
        const char* label;
        std::string before;
        std::string frameText;
        std::string after;
    } cases[] = {
        {"add", first + "\r\n" + other + "\r\n", KeyText("9", "0000000003"),
         stars + "\r\n" + other + "\r\n" + BadgeLine("9", "0000000003", "New", "N2") + "\r\n"},
        {"add, matching last line without line end", other + "\r\n" + first,
         KeyText("9", "0000000003"),
         other + "\r\n" + stars + "\r\n" + BadgeLine("9", "0000000003", "New", "N2") + "\r\n"},
        {"add, other last line without line end", first + "\r\n" + other,
         KeyText("9", "0000000003"),
         stars + "\r\n" + other + "\r\n" + BadgeLine("9", "0000000003", "New", "N2") + "\r\n"},
        {"add, bare LF lines", first + "\n" + other + "\n", KeyText("9", "0000000003"),
         stars + "\n" + other + "\n" + BadgeLine("9", "0000000003", "New", "N2") + "\r\n"},
        {"delete", first + "\r\n" + other + "\r\n", ";D 7,3;1234", stars + "\r\n" + other + "\r\n"},
        // A checksum that begins with "A" does not make a delete frame a badge line.
        {"delete, checksum A...", other + "\r\n" + first + "\r\n", ";D 7,3;A1B2",
         other + "\r\n" + stars + "\r\n"},
        {"delete, no such badge", other + "\r\n", ";D 7,3;1234", other + "\r\n"},
        // A key frame for another controller is not recorded and blots nothing.
        {"add for controller 3", other + "\r\n", ";>3" + KeyText("9", "0000000005").substr(1),
         other + "\r\n"},
        {"add for controller 3 of a badge 0 holds", first + "\r\n" + other + "\r\n",
         ";>3" + KeyText("9", "0000000003").substr(1), first + "\r\n" + other + "\r\n"},
        {"delete for controller 3 of a badge 0 holds", first + "\r\n", ";>3D 7,3;1234",
         first + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Load(c.before);
        StageCode("0000000003");
        EXPECT_TRUE(Update(c.frameText, "New", "N2"));
        EXPECT_EQ(ReadFile(kDatabase), c.after);
        const bool added = c.after.find("New") != std::string::npos;
        const bool kept = c.after.find(first) != std::string::npos;
        EXPECT_EQ(NameOfKey("9"), added ? "New" : "");
        EXPECT_EQ(NameOfKey("3"), kept ? "Ann" : "");
        EXPECT_EQ(NameOfKey("4"), c.after.find(other) != std::string::npos ? "Bob" : "");
    }
}

TEST_F(BadgeDatabaseTest, EmptyStagedCodeBlotsNothing) {
    const std::string line = BadgeLine("3", "", "Ann", "Day");
    Load(line + "\r\n");
    StageCode("");
    EXPECT_TRUE(Update(";D 7,3;1234"));
    EXPECT_EQ(ReadFile(kDatabase), line + "\r\n");
}

// An append that fails changes neither the file nor the table.
TEST_F(BadgeDatabaseTest, FailedAppendKeepsTheTable) {
    Load(BadgeLine("3", "0000000003", "Ann") + "\r\n");
    std::filesystem::remove(kDatabase);
    std::filesystem::create_directory(kDatabase);
    StageCode("0000000005");
    EXPECT_FALSE(Update(KeyText("5", "0000000005"), "Eve"));
    EXPECT_EQ(NameOfKey("3"), "Ann");
    EXPECT_EQ(NameOfKey("5"), "");
}

// A disk that fills up at any byte of an update: the update fails with its line, and the file
// and the table are exactly as before.
TEST_F(BadgeDatabaseTest, AnUpdateCutShortAtAnyByteLeavesTheFileAsItWas) {
    const std::string before =
        BadgeLine("3", "0000000003", "Ann") + "\r\n" + BadgeLine("4", "0000000004", "Bob") + "\r\n";
    Load(before);
    StageCode("0000000003");
    const size_t newSize = before.size() + BadgeLine("9", "0000000003", "Eve").size() + 2;
    for (size_t budget = 0; budget < newSize; ++budget) {
        SCOPED_TRACE(budget);
        kiv::platform::SetWriteBudgetForTests(static_cast<int64_t>(budget));
        EXPECT_FALSE(Update(KeyText("9", "0000000003"), "Eve", "Day"));
        kiv::platform::SetWriteBudgetForTests(-1);
        ASSERT_EQ(ReadFile(kDatabase), before);
        EXPECT_FALSE(Exists("zezSetupDB01.dat.new"));
        EXPECT_EQ(NameOfKey("3"), "Ann");
        EXPECT_EQ(NameOfKey("9"), "");
    }
    EXPECT_EQ(kivtest::LinesWith("RIRODI: the controller took the key frame, but the badge "
                                 "database zezSetupDB01.dat was not updated for badge 0000000003")
                  .size(),
              newSize);
    // With room enough, the same update goes through.
    EXPECT_TRUE(Update(KeyText("9", "0000000003"), "Eve", "Day"));
    EXPECT_EQ(ReadFile(kDatabase).size(), newSize);
    EXPECT_EQ(NameOfKey("9"), "Eve");
}

// The loader takes every badge line it can split into its fields, as earlier installations wrote
// them; only a line with a separator missing (torn by a crash of an older writer) is left out,
// logged with its number. A last line without its line end loads when it is whole.
TEST_F(BadgeDatabaseTest, LinesLoadUnlessASeparatorIsMissing) {
    const struct {
        std::string line;
        const char* key;  // nullptr: not loaded
        const char* code;
        const char* date;
        const char* zones;
    } cases[] = {
        {";A 12,345,00000ABCDE,3F,,0;7A9B @ Jane @ X", "345", "00000ABCDE", "", "0"},
        {";A 7,6,00000abcde,3F,01/02/24,12;89AB @ x @ y", "6", "00000abcde", "01/02/24", "12"},
        {";A 7,7,0000000007,3F,99/99/99,12;89AB @ x @ y", "7", "0000000007", "99/99/99", "12"},
        {";A 7,8,0000000008,3F,01/02/24,123;89AB @ x @ y", "8", "0000000008", "01/02/24", "12"},
        {";A 7,-1,0000000009,3F,01/02/24,0;89AB @ x @ y", "-1", "0000000009", "01/02/24", "0"},
        {";A 7,10,00;00000AB,3F,01/02/24,12;89AB @ x @ y", "10", "00;00000AB", "01/02/24", "12"},
        {";A 7,x11,0000000011,3F,01/02/24,12;89AB @ x @ y", "x11", "0000000011", "01/02/24", "12"},
        {";A 1,0,000000471", nullptr, nullptr, nullptr, nullptr},                  // torn
        {";A 7,5,0000000005,3F,01/02/24,12", nullptr, nullptr, nullptr, nullptr},  // no names
        {";A 7,5,0000000005,3F,01/02/24,12;89AB @ x", nullptr, nullptr, nullptr, nullptr},
        {";A 75 0000000005 3F,01/02/24,12;89AB @ x @ y", nullptr, nullptr, nullptr, nullptr},
        {";A 7,5,0000000005 3F 01/02/24 12;89AB @ x @ y", nullptr, nullptr, nullptr, nullptr},
    };
    std::string bytes;
    std::vector<LogLine> expected;
    for (size_t n = 0; n < std::size(cases); ++n) {
        bytes += cases[n].line + "\r\n";
        if (cases[n].key == nullptr) {
            expected.push_back({32, "RIRODI: zezSetupDB01.dat line " + std::to_string(n + 1) +
                                        ": a separator of the badge line is missing, not used"});
        }
    }
    Load(bytes + BadgeLine("99", "0000000099", "Last"));  // no line end
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.key == nullptr) {
            continue;
        }
        const kiv::BadgeRecord found = kiv::FindBadgeByCode(*instance, c.code);
        EXPECT_STREQ(found.keyNumber, c.key);
        EXPECT_STREQ(found.date, c.date);
        EXPECT_STREQ(found.timeZones, c.zones);
        EXPECT_EQ(NameOfKey(c.key), std::string(c.key) == "345" ? "Jane" : "x");
    }
    EXPECT_EQ(NameOfKey("99"), "Last");
    EXPECT_EQ(instance->badgeCount, 8);
    EXPECT_EQ(kivtest::LogLines(), expected);
}

// Names are cut to what the table holds (logged), and a control character cannot split the
// line.
TEST_F(BadgeDatabaseTest, UpdateCutsLongNamesAndKeepsOneLine) {
    const std::string longName(60, 'n');
    const std::string longName2(30, 'm');
    StageCode("0000000003");
    EXPECT_TRUE(Update(KeyText("3", "0000000003"), longName, longName2));
    StageCode("0000000004");
    EXPECT_TRUE(Update(KeyText("4", "0000000004"), "Two\nLines", "x\ry"));
    EXPECT_EQ(ReadFile(kDatabase),
              BadgeLine("3", "0000000003", longName.substr(0, 50), longName2.substr(0, 20)) +
                  "\r\n" + BadgeLine("4", "0000000004", "Two Lines", "x y") + "\r\n");
    EXPECT_EQ(NameOfKey("3"), longName.substr(0, 50));
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<LogLine>{
                  {32,
                   "RIRODI: PBINM is longer than 50 characters, the badge database keeps the "
                   "first 50: '" +
                       longName + "'"},
                  {32,
                   "RIRODI: PBIN2 is longer than 20 characters, the badge database keeps the "
                   "first 20: '" +
                       longName2 + "'"},
              }));
}

// Each line the loader cannot take as it stands is logged once, with its number.
TEST_F(BadgeDatabaseTest, LoadLimitsAreLoggedWithTheLineNumber) {
    Load("header\r\n" + BadgeLine("1", "0000000001", std::string(200, 'x')) + "\r\n" +
         BadgeLine("1234567890", "0000000002") + "\r\n" +
         ";A 7,3,0000000003,12345,01/02/24,0;89AB @ a @ b\r\n" +
         BadgeLine("4", "0000000004", std::string(51, 'n')) + "\r\n" +
         BadgeLine("5", "0000000005", "Eve", std::string(21, 'm')) + "\r\n" +
         BadgeLine("6", "0000000006", "Fay") + "\r\n" + std::string(300, '*') + "\r\n");
    EXPECT_EQ(instance->badgeCount, 3);
    EXPECT_EQ(NameOfKey("4"), std::string(50, 'n'));
    EXPECT_EQ(kiv::FindBadgeByKey(*instance, "5").name2, std::string(20, 'm'));
    EXPECT_EQ(NameOfKey("6"), "Fay");
    EXPECT_EQ(NameOfKey("1234567890"), "");
    const std::string file = "RIRODI: zezSetupDB01.dat line ";
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<LogLine>{
                  {32, file + "2: the line is longer than 199 characters, not used"},
                  {32, file + "3: the key number is longer than 9 characters, not used"},
                  {32, file + "4: the door mask is longer than 4 characters, not used"},
                  {32, file + "5: the name is longer than 50 characters, cut"},
                  {32, file + "6: the second name is longer than 20 characters, cut"},
              }));
}

TEST_F(BadgeDatabaseTest, BadgeLinesBeyondTheTableAreCountedInOneLine) {
    std::string bytes = "header\r\n";
    for (int key = 1; key <= kiv::kBadgeCount + 3; ++key) {
        bytes += BadgeLine(std::to_string(key), "0000000001", "B" + std::to_string(key)) + "\r\n";
    }
    Load(bytes);
    EXPECT_EQ(instance->badgeCount, kiv::kBadgeCount);
    EXPECT_EQ(NameOfKey("5000"), "B5000");
    EXPECT_EQ(NameOfKey("5001"), "");
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<LogLine>{{32,
                                     "RIRODI: zezSetupDB01.dat line 5002: the badge table is "
                                     "full (5000 badges), 3 badge lines from here on are not "
                                     "loaded"}}));
}

// The modify-key reload: a badge found by its code gives back its door mask, date, time zones
// (units digit the first zone, tens digit the second) and names; an unknown code empties them.
TEST_F(BadgeDatabaseTest, StageBadgeFoundByCode) {
    Load(
        ";A 7,3,0000000003,3F,01/02/24,12;89AB @ Ann Lee @ Day\r\n"
        ";A 7,4,0000000004,1,03/04/25,5;89AB @ Bob @ Night\r\n");
    const struct {
        const char* code;
        uint16_t doorMask;
        const char* date;
        uint16_t zone1, zone2;
        const char* name;
        const char* name2;
    } cases[] = {
        {"0000000003", 0x3F, "01/02/24", 3, 2, "Ann Lee", "Day"},
        {"0000000004", 0x1, "03/04/25", 6, 1, "Bob", "Night"},
        {"0000000005", 0, "", 1, 1, "", ""},
        {"", 0, "", 1, 1, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        kiv::ReloadBadge(*instance, c.code);
        EXPECT_EQ(instance->stage.doorMask, c.doorMask);
        EXPECT_STREQ(instance->stage.dateText, c.date);
        EXPECT_EQ(instance->stage.timeZone1, c.zone1);
        EXPECT_EQ(instance->stage.timeZone2, c.zone2);
        EXPECT_EQ(Text(pbinm), c.name);
        EXPECT_EQ(Text(pbin2), c.name2);
    }
}

TEST_F(BadgeDatabaseTest, DownloadStagesTheLineAfterThePosition) {
    WriteFile(kDownloadList,
              ";A 7,1,0000000001,3F,01/02/24,12;89AB @ One @ 1st\r\n"
              "not a badge line\n"
              ";A 7,3,0000000003,A,03/04/25,0;89AB @ Three @ 3rd");
    const struct {
        double position;
        double after;
        const char* code;  // nullptr: nothing staged
        uint16_t doorMask;
        const char* date;
        uint16_t zone1, zone2;
        const char* name;
    } cases[] = {
        {0, 1, "0000000001", 0x3F, "01/02/24", 3, 2, "One"},
        {1, 2, "", 0, "", 1, 1, ""},
        {2.7, 3, "0000000003", 0xA, "03/04/25", 1, 1, "Three"},
        {-4, 1, "0000000001", 0x3F, "01/02/24", 3, 2, "One"},
        {3, 4, nullptr, 0, "", 1, 1, ""},
        {1e12, 4, nullptr, 0, "", 1, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        kivtest::PutText(instance->stage.currentBadgeCode, "UNCHANGED");
        qorSetText(pbinm, "unchanged");
        qorSetValue(counterd, c.position);
        kiv::DownloadNextBadge(*instance);
        EXPECT_EQ(Value(counterd), c.after);
        if (c.code == nullptr) {
            EXPECT_STREQ(instance->stage.currentBadgeCode, "UNCHANGED");
            EXPECT_EQ(Text(pbinm), "unchanged");
            continue;
        }
        EXPECT_STREQ(instance->stage.currentBadgeCode, c.code);
        EXPECT_EQ(instance->stage.doorMask, c.doorMask);
        EXPECT_STREQ(instance->stage.dateText, c.date);
        EXPECT_EQ(instance->stage.timeZone1, c.zone1);
        EXPECT_EQ(instance->stage.timeZone2, c.zone2);
        EXPECT_EQ(Text(pbinm), c.name);
    }
    EXPECT_EQ(kivtest::LogLines(), std::vector<LogLine>{});
}

// The download list's values pass the checks the host's own staging writes pass: a line with a
// value that a command frame could not carry is logged with its number and not staged, and
// leaves nothing of the badge staged before.
TEST_F(BadgeDatabaseTest, DownloadListLinesWithIllegalValuesAreNotStaged) {
    const struct {
        std::string line;
        const char* problem;
    } cases[] = {
        {";A 7,1,0000000001,3F,01/02/24,99;89AB @ a @ b", "is not a complete badge line"},
        {";A 7,1,0000000001,3F,3;/12/29,12;89AB @ a @ b", "is not a complete badge line"},
        {";A 7,1,00;00000AB,3F,01/02/24,12;89AB @ a @ b", "is not a complete badge line"},
        {";A 7,1,0000000001,3F,01/02/24,12;89AB @ a;b @ b", "a name holds one of"},
        {";A 7,1,0000000001,3F,01/02/24,12;89AB @ a @ b\x01c", "a name holds one of"},
        {";A 7,1,0000000001,12345,01/02/24,12;89AB @ a @ b", "the door mask is longer"},
        {";A 7,1,0000000001,3F,01/02/24,12", "is not a complete badge line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        WriteFile(kDownloadList, c.line + "\r\n");
        qorClearLog();
        kivtest::PutText(instance->stage.currentBadgeCode, "UNCHANGED");
        qorSetText(pbinm, "unchanged");
        qorSetValue(counterd, 0);
        kiv::DownloadNextBadge(*instance);
        EXPECT_EQ(Value(counterd), 1);  // passed over
        // Nothing of the badge staged before stays for the next add-key write.
        EXPECT_STREQ(instance->stage.currentBadgeCode, "");
        EXPECT_STREQ(instance->stage.dateText, "");
        EXPECT_EQ(Text(pbinm), "");
        ASSERT_EQ(kivtest::LogLines().size(), 1U);
        EXPECT_NE(kivtest::LogLines()[0].text.find("RIRODI: zezSetupUDB01.dat line 1: "),
                  std::string::npos);
        EXPECT_NE(kivtest::LogLines()[0].text.find(c.problem), std::string::npos);
    }
}

TEST_F(BadgeDatabaseTest, DownloadWithoutListOrPositionStagesNothing) {
    kivtest::PutText(instance->stage.currentBadgeCode, "UNCHANGED");
    qorSetValue(counterd, 2);
    kiv::DownloadNextBadge(*instance);  // no list
    EXPECT_EQ(Value(counterd), 2);

    WriteFile(kDownloadList, BadgeLine("1", "0000000001") + "\r\n" +
                                 BadgeLine("2", "0000000002", std::string(200, 'x')) + "\r\n");
    qorSetValue(counterd, 1);
    kiv::DownloadNextBadge(*instance);  // a line too long: passed, nothing of it staged
    EXPECT_EQ(Value(counterd), 2);
    EXPECT_STREQ(instance->stage.currentBadgeCode, "");
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<LogLine>{{32,
                                     "RIRODI: zezSetupUDB01.dat line 2: the line is longer "
                                     "than 199 characters, not used"}}));

    qorReset();
    qorDefineTag("PBINM", "PBINM", kivtest::kTestInstanceNumber, KIV_TYPE_STRING);
    kivtest::PutText(instance->stage.currentBadgeCode, "UNCHANGED");
    kiv::DownloadNextBadge(*instance);  // no COUNTERD
    EXPECT_STREQ(instance->stage.currentBadgeCode, "UNCHANGED");
    EXPECT_EQ(kivtest::LogLines(),
              (std::vector<LogLine>{{32,
                                     "RIRODI: DOWNLOAD needs the tag COUNTERD for its list "
                                     "position, nothing staged"}}));
}

// One thread reloads the table from two alternating files while another looks badges up: every
// look-up finds its badge, and all three texts come from the same load.
TEST_F(BadgeDatabaseTest, LookupsDuringReloadsSeeOneTableOrTheOther) {
    constexpr int kBadges = 500;
    constexpr int kReloads = 40;
    std::string files[2];
    for (int version = 0; version < 2; ++version) {
        const std::string tag = version == 0 ? "A" : "B";
        for (int key = 1; key <= kBadges; ++key) {
            const std::string code =
                tag + std::string(9 - std::to_string(key).size(), '0') + std::to_string(key);
            files[version] += BadgeLine(std::to_string(key), code,
                                        tag + " name " + std::to_string(key), tag + " second") +
                              "\r\n";
        }
    }
    Load(files[0]);

    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 1; i <= kReloads; ++i) {
            std::ofstream(kDatabase, std::ios::binary | std::ios::trunc) << files[i % 2];
            kiv::BadgeDbLoad(*instance);
        }
        done = true;
    });
    long lookups = 0;
    long mixed = 0;
    long missing = 0;
    do {
        const int key = static_cast<int>(lookups % kBadges) + 1;
        const kiv::BadgeNames names = kiv::FindBadgeByKey(*instance, std::to_string(key).c_str());
        const char version = names.badgeCode[0];
        if (version != 'A' && version != 'B') {
            ++missing;
        } else if (names.name[0] != version || names.name2[0] != version ||
                   std::string(names.name) !=
                       std::string(1, version) + " name " + std::to_string(key)) {
            ++mixed;
        }
        ++lookups;
    } while (!done);
    reloader.join();
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(lookups, 0);
}

}  // namespace
