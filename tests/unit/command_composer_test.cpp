// The command composer: complete frames for every command and FSPAR option, with checksums
// confirmed by an independent bitwise CRC-16/XMODEM; refusals; day letters; the key answer and
// the key record; the time-zone number and its decoding.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "reference_crc.h"
#include "stage_instance.h"
#include "tags/command_composer.h"
#include "tags/operation_codes.h"
#include "tags/time_zone_text.h"
#include "write/setup_staging.h"

namespace {

using kiv::CommandFrame;
using kiv::DriverInstance;
using kivtest::LogLine;
using kivtest::LogLines;
using kivtest::ReferenceCrc16;
using kivtest::TestTag;

constexpr auto kStored = kiv::StageResult::kStored;
constexpr auto kBuilt = kiv::BuildResult::kBuilt;
constexpr auto kRefused = kiv::BuildResult::kRefused;
constexpr auto kAccepted = kiv::KeyAnswerCheck::kAccepted;
constexpr auto kRejected = kiv::KeyAnswerCheck::kRejected;

std::string Hex4(uint16_t value) {
    char digits[8];
    const int n = std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(value));
    return std::string(digits, n > 0 ? static_cast<size_t>(n) : 0);
}

// The complete frame of a command text (controller prefix included): LF, ";", text, ";",
// checksum, CR.
std::string ExpectedFrame(const std::string& text) {
    const std::string checked = ";" + text + ";";
    return "\n" + checked + Hex4(ReferenceCrc16(checked)) + "\r";
}

std::string Prefix(int controller) {
    return controller == 0 ? std::string() : ">" + std::to_string(controller);
}

class CommandComposerTest : public kivtest::HostFixture {
protected:
    void SetUp() override {
        kivtest::HostFixture::SetUp();
        instance = kivtest::MakeStageInstance();
    }

    void Stage(const char* address, int32_t operation, uint16_t value, int32_t lockNumber = 0) {
        TestTag tag(address, operation, KIV_TYPE_ANALOG, lockNumber);
        tag.SetNumber(value);
        ASSERT_EQ(kiv::StageSetup(instance->stage, tag.gate(), address), kStored) << address;
    }
    void StageText(const char* address, int32_t operation, const char* text) {
        TestTag tag(address, operation, KIV_TYPE_STRING);
        tag.SetText(text);
        ASSERT_EQ(kiv::StageSetup(instance->stage, tag.gate(), address), kStored) << address;
    }
    void DefineWeekdays(double value) {
        const int32_t id =
            qorDefineTag("PWKDS", "PWKDS", kivtest::kTestInstanceNumber, KIV_TYPE_ANALOG);
        ASSERT_GT(id, 0);
        ASSERT_EQ(qorSetValue(id, value), 0);
    }

    // Builds the command of a tag written with 'value'; the frame text is empty when refused.
    struct Built {
        kiv::BuildResult result;
        std::string frame;
        CommandFrame info;
    };
    Built Build(const std::string& address, int32_t operation, int controller, uint16_t value = 1) {
        TestTag tag(address, operation, KIV_TYPE_ANALOG, 0, -1, controller);
        tag.SetNumber(value);
        KivRequest request = tag.Request(*instance);
        std::memset(instance->txBuffer, 'x', sizeof instance->txBuffer);
        CommandFrame info{0xFFFF, kiv::kAnswerNone, -1};
        const kiv::BuildResult result =
            kiv::BuildCommand(request, instance->stage, instance->txBuffer, info);
        if (result != kBuilt) {
            // Nothing built: the buffer is as it was.
            EXPECT_EQ(std::string(instance->txBuffer, sizeof instance->txBuffer),
                      std::string(sizeof instance->txBuffer, 'x'));
            return {result, "", info};
        }
        const std::string frame(instance->txBuffer, info.length);
        EXPECT_EQ(instance->txBuffer[info.length], '\0');
        return {result, frame, info};
    }

    std::string KeyRecord(int32_t operation, int controller) {
        TestTag tag(std::to_string(controller) + "FADDK", operation, KIV_TYPE_ANALOG, 0, -1,
                    controller);
        KivRequest request = tag.Request(*instance);
        const uint16_t length = kiv::BuildKeyRecord(request, instance->stage, instance->txBuffer);
        EXPECT_EQ(instance->txBuffer[length], '\0');
        return std::string(instance->txBuffer, length);
    }

    kiv::KeyAnswerCheck Check(const std::string& answer) {
        TestTag tag("0FADDK", kiv::kOpFaddk, KIV_TYPE_ANALOG, 0, -1, 0);
        KivRequest request = tag.Request(*instance);
        return kiv::CheckKeyAnswer(request, answer.c_str(), answer.size());
    }

    kivtest::MadeInstance instance;
};

TEST_F(CommandComposerTest, WorkedFrames) {
    EXPECT_EQ(Build("0FRTHS", kiv::kOpFrths, 0).frame, "\n;C ;F7D5\r");
    EXPECT_EQ(Build("3FSTAT", kiv::kOpFstat, 3).frame, "\n;>3S Q;8D26\r");
    EXPECT_EQ(Build("0FSPARV", kiv::kOpFspar, 0).frame, "\n;S V,Y;3678\r");  // efrmFlag 1
    // The independent checksum agrees with the worked ones.
    EXPECT_EQ(ExpectedFrame("C "), "\n;C ;F7D5\r");
    EXPECT_EQ(ExpectedFrame(">3S Q"), "\n;>3S Q;8D26\r");
    EXPECT_EQ(ExpectedFrame("S V,Y"), "\n;S V,Y;3678\r");
}

TEST_F(CommandComposerTest, EveryCommandAndOptionForControllerZeroAndAbove) {
    StageText("PKCOD", kiv::kOpPkcod, "12AB");
    Stage("PTZN1", kiv::kOpPtzn1, 3);
    StageText("PFRTM", kiv::kOpPfrtm, "07:30:00");
    StageText("PTOTM", kiv::kOpPtotm, "18:45:59");
    DefineWeekdays(0x41);
    Stage("PDATI", kiv::kOpPdati, 120);
    Stage("PHOLT", kiv::kOpPholt, 2);
    for (int lock = 1; lock <= kiv::kLockCount; ++lock) {
        Stage("PLOUD", kiv::kOpPloud, static_cast<uint16_t>(lock * 15), lock);
        Stage("PLOCK", kiv::kOpPlock, static_cast<uint16_t>((lock - 1) * 17), lock);
    }
    Stage("PDFRM", kiv::kOpPdfrm, 0);
    Stage("PEFRM", kiv::kOpPefrm, 1);
    Stage("PLFRT", kiv::kOpPlfrt, 1);
    Stage("PDMOD", kiv::kOpPdmod, 5);
    Stage("PPEVS", kiv::kOpPpevs, 0);
    Stage("PPSW1", kiv::kOpPpsw1, 7);
    Stage("PPSW2", kiv::kOpPpsw2, 1234);
    StageText("PDATE", kiv::kOpPdate, "31/12/99");
    StageText("PTIME", kiv::kOpPtime, "23:59");

    struct Case {
        const char* keyword;  // the address after the controller digit
        const char* body;
        int32_t operation;
        int32_t answerMode;
    };
    const Case cases[] = {
        {"FADDK", "K 00000012AB", 0, 2},
        {"FDELK", "K 00000012AB", 1, 2},
        {"FMODK", "K 00000012AB", 2, 2},
        {"FSTTZ", "T 2,07:30:00,18:45:59,M-----S----", 3, 1},
        {"FRTHS", "C ", 4, 1},
        {"FSHOL", "H 120,2", 5, 1},
        {"FSAHS", "Y ", 6, 1},
        {"FSPAR", "S ", 7, 1},
        {"FSTER", "R ", 8, 1},
        {"FPPRN", "U ", 9, 1},
        {"FSNDD", "N ", 10, 1},
        {"FAPRN", "B ", 11, 1},
        {"FERDB", "E ", 12, 1},
        {"FSTAT", "S Q", 13, 1},
        {"FSPARL", "S L,15,30,45,60,75,90,105,120,135,150,165,180,195,210,225,240", 7, 1},
        {"FSPARX", "S X,00,11,22,33,44,55,66,77,88,99,AA,BB,CC,DD,EE,FF", 7, 1},
        {"FSPARF", "S F,A", 7, 1},
        {"FSPARD", "S D,31/12/99,23:59", 7, 1},
        {"FSPARP", "S P,   7,1234", 7, 1},
        {"FSPARV", "S V,Y", 7, 1},
        {"FSPARN", "S N,2", 7, 1},
        {"FSPARU", "S U", 7, 1},
        {"FSPARS", "S ", 7, 1},
        {"FSPARM", "S M,5", 7, 1},
        {"FSPARO", "S O,N", 7, 1},
    };
    for (const int controller : {0, 5, 7}) {
        for (const Case& c : cases) {
            const std::string address = std::to_string(controller) + c.keyword;
            SCOPED_TRACE(address);
            instance->uploadSetupRunning = 0;
            const Built built = Build(address, c.operation, controller);
            ASSERT_EQ(built.result, kBuilt);
            EXPECT_EQ(built.frame, ExpectedFrame(Prefix(controller) + c.body));
            EXPECT_EQ(built.info.length, built.frame.size());
            EXPECT_EQ(built.info.answerMode, c.answerMode);
            EXPECT_EQ(built.info.expectedAnswer, c.answerMode == 2 ? 'L' : 0);
        }
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(CommandComposerTest, OptionLetterIsTakenFromTheUpperCasedAddress) {
    Stage("PLOCK", kiv::kOpPlock, 0xAB, 1);
    const Built built = Build("2fsparx", kiv::kOpFspar, 2);
    EXPECT_EQ(built.frame, ExpectedFrame(">2S X,AB,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00"));
}

TEST_F(CommandComposerTest, KeyQueryWithNothingStagedIsTheLetterAlone) {
    EXPECT_EQ(Build("0FADDK", kiv::kOpFaddk, 0).frame, ExpectedFrame("K "));
}

TEST_F(CommandComposerTest, FlagsOtherThanZeroOrOneLeaveThePlaceEmpty) {
    Stage("PDFRM", kiv::kOpPdfrm, 2);
    Stage("PEFRM", kiv::kOpPefrm, 2);
    Stage("PLFRT", kiv::kOpPlfrt, 0xFFFF);
    Stage("PPEVS", kiv::kOpPpevs, 3);
    EXPECT_EQ(Build("0FSPARF", kiv::kOpFspar, 0).frame, ExpectedFrame("S F,"));
    EXPECT_EQ(Build("0FSPARV", kiv::kOpFspar, 0).frame, ExpectedFrame("S V,"));
    EXPECT_EQ(Build("0FSPARN", kiv::kOpFspar, 0).frame, ExpectedFrame("S N,"));
    EXPECT_EQ(Build("0FSPARO", kiv::kOpFspar, 0).frame, ExpectedFrame("S O,"));
    Stage("PDFRM", kiv::kOpPdfrm, 1);
    Stage("PEFRM", kiv::kOpPefrm, 0);
    Stage("PLFRT", kiv::kOpPlfrt, 0);
    Stage("PPEVS", kiv::kOpPpevs, 1);
    EXPECT_EQ(Build("0FSPARF", kiv::kOpFspar, 0).frame, ExpectedFrame("S F,E"));
    EXPECT_EQ(Build("0FSPARV", kiv::kOpFspar, 0).frame, ExpectedFrame("S V,N"));
    EXPECT_EQ(Build("0FSPARN", kiv::kOpFspar, 0).frame, ExpectedFrame("S N,1"));
    EXPECT_EQ(Build("0FSPARO", kiv::kOpFspar, 0).frame, ExpectedFrame("S O,Y"));
}

TEST_F(CommandComposerTest, HolidayAndPasswordsAndLocksAtTheirEdges) {
    Stage("PDATI", kiv::kOpPdati, 7);
    Stage("PHOLT", kiv::kOpPholt, 4);
    EXPECT_EQ(Build("0FSHOL", kiv::kOpFshol, 0).frame, ExpectedFrame("H 7,4"));
    Stage("PDATI", kiv::kOpPdati, 0);
    EXPECT_EQ(Build("0FSHOL", kiv::kOpFshol, 0).frame, ExpectedFrame("H 0,4"));
    Stage("PPSW1", kiv::kOpPpsw1, 9999);
    Stage("PPSW2", kiv::kOpPpsw2, 0);
    EXPECT_EQ(Build("0FSPARP", kiv::kOpFspar, 0).frame, ExpectedFrame("S P,9999,   0"));
    for (int lock = 1; lock <= kiv::kLockCount; ++lock) {
        Stage("PLOUD", kiv::kOpPloud, lock % 2 == 0 ? 254 : 1, lock);
        Stage("PLOCK", kiv::kOpPlock, lock % 2 == 0 ? 255 : 0, lock);
    }
    EXPECT_EQ(Build("0FSPARL", kiv::kOpFspar, 0).frame,
              ExpectedFrame("S L,1,254,1,254,1,254,1,254,1,254,1,254,1,254,1,254"));
    EXPECT_EQ(Build("0FSPARX", kiv::kOpFspar, 0).frame,
              ExpectedFrame("S X,00,FF,00,FF,00,FF,00,FF,00,FF,00,FF,00,FF,00,FF"));
    Stage("PDAJT", kiv::kOpPdajt, 5, 1);
    EXPECT_EQ(Build("0FSPARX", kiv::kOpFspar, 0).frame,
              ExpectedFrame("S X,A0,FF,00,FF,00,FF,00,FF,00,FF,00,FF,00,FF,00,FF"));
}

TEST_F(CommandComposerTest, WrittenValueMustBeOne) {
    for (const uint16_t value : {uint16_t{0}, uint16_t{2}, uint16_t{0xFFFF}}) {
        qorClearLog();
        const Built built = Build("0FSTAT", kiv::kOpFstat, 0, value);
        EXPECT_EQ(built.result, kRefused);
        EXPECT_EQ(LogLines(),
                  (std::vector<LogLine>{
                      {32, "RIRODI: write value for operation tags has to be 1, GAS 0FSTAT"}}));
    }
    // The line names the address as the host gave it.
    qorClearLog();
    EXPECT_EQ(Build("3fstat", kiv::kOpFstat, 3, 0).result, kRefused);
    EXPECT_EQ(LogLines().at(0).text,
              "RIRODI: write value for operation tags has to be 1, GAS 3fstat");
}

TEST_F(CommandComposerTest, SecondUploadIsRefusedWhileTheFirstRuns) {
    instance->timings = kiv::kDriverTimings;  // a stalled upload is given up after 30 s
    const Built first = Build("4FSPARU", kiv::kOpFspar, 4);
    EXPECT_EQ(first.frame, ExpectedFrame(">4S U"));
    EXPECT_EQ(instance->uploadSetupRunning, 1);
    EXPECT_TRUE(LogLines().empty());
    const Built second = Build("4FSPARU", kiv::kOpFspar, 4);
    EXPECT_EQ(second.result, kRefused);
    EXPECT_EQ(
        LogLines(),
        (std::vector<LogLine>{{32, "RIRODI: UploadSetup has already run and not finished yet!"}}));
    EXPECT_EQ(instance->uploadSetupRunning, 1);
    // Once the receiver has ended the upload, another one is built.
    instance->uploadSetupRunning = 0;
    EXPECT_EQ(Build("4FSPARU", kiv::kOpFspar, 4).result, kBuilt);
}

TEST_F(CommandComposerTest, StagedTextsShorterThanTheirFieldsAreRefused) {
    DefineWeekdays(2047);
    struct Case {
        const char* fromTime;
        const char* toTime;
        const char* line;  // empty: built
    };
    const Case zoneCases[] = {
        {"", "18:00:00", "RIRODI: from time PFRTM has to be 8 characters, GAS 1FSTTZ"},
        {"07:30", "18:00:00", "RIRODI: from time PFRTM has to be 8 characters, GAS 1FSTTZ"},
        {"07:30:00", "18:00", "RIRODI: to time PTOTM has to be 8 characters, GAS 1FSTTZ"},
        {"07:30:0", "18:00", "RIRODI: from time PFRTM has to be 8 characters, GAS 1FSTTZ"},
        {"07:30:00", "18:00:00", ""},
    };
    for (const Case& c : zoneCases) {
        qorClearLog();
        kivtest::PutText(instance->stage.fromTime, c.fromTime);
        kivtest::PutText(instance->stage.toTime, c.toTime);
        const Built built = Build("1fsttz", kiv::kOpFsttz, 1);
        if (*c.line == '\0') {
            EXPECT_EQ(built.frame, ExpectedFrame(">1T 0,07:30:00,18:00:00,MTWTFSS1234"));
            EXPECT_TRUE(LogLines().empty());
        } else {
            EXPECT_EQ(built.result, kRefused) << c.fromTime << " " << c.toTime;
            EXPECT_EQ(LogLines(), (std::vector<LogLine>{{32, c.line}}));
        }
    }

    struct DateCase {
        const char* date;
        const char* time;
        const char* line;
    };
    const DateCase dateCases[] = {
        {"", "12:00", "RIRODI: date PDATE has to be 8 characters, GAS 0FSPARD"},
        {"1/1/02", "12:00", "RIRODI: date PDATE has to be 8 characters, GAS 0FSPARD"},
        {"01/01/02", "", "RIRODI: time PTIME has to be at least 5 characters, GAS 0FSPARD"},
        {"01/01/02", "12:0", "RIRODI: time PTIME has to be at least 5 characters, GAS 0FSPARD"},
        {"01/01/02", "12:00", ""},
        {"01/01/02", "12:00:30", ""},  // five characters of the time are placed
    };
    for (const DateCase& c : dateCases) {
        qorClearLog();
        kivtest::PutText(instance->stage.dateText, c.date);
        kivtest::PutText(instance->stage.timeText, c.time);
        const Built built = Build("0FSPARD", kiv::kOpFspar, 0);
        if (*c.line == '\0') {
            EXPECT_EQ(built.frame, ExpectedFrame("S D,01/01/02,12:00"));
            EXPECT_TRUE(LogLines().empty());
        } else {
            EXPECT_EQ(built.result, kRefused) << c.date << " " << c.time;
            EXPECT_EQ(LogLines(), (std::vector<LogLine>{{32, c.line}}));
        }
    }
    // Short texts matter only to the commands that place them.
    kivtest::PutText(instance->stage.fromTime, "07:30");
    kivtest::PutText(instance->stage.dateText, "");
    EXPECT_EQ(Build("0FSPARV", kiv::kOpFspar, 0).result, kBuilt);
    EXPECT_EQ(Build("0FRTHS", kiv::kOpFrths, 0).result, kBuilt);
}

TEST_F(CommandComposerTest, DayLettersFromTheHostsWeekdayTag) {
    char letters[kiv::kDayLetterCount];
    kiv::DayLetters(letters, *instance);
    EXPECT_EQ(std::string(letters, sizeof letters), "-----------");  // no PWKDS tag

    const int32_t id = qorDefineTag("PWKDS", "PWKDS", kivtest::kTestInstanceNumber, 0);
    const struct {
        double value;
        const char* letters;
    } cases[] = {
        {1, "M----------"},    {2047, "MTWTFSS1234"}, {0, "-----------"},
        {1024, "----------4"}, {2.9, "-T---------"},  {4096, "-----------"},
        {-1, "MTWTFSS1234"},   {1e12, "-----------"}, {-1e12, "-----------"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(qorSetValue(id, c.value), 0);
        std::memset(letters, 'x', sizeof letters);
        kiv::DayLetters(letters, *instance);
        EXPECT_EQ(std::string(letters, sizeof letters), c.letters) << c.value;
    }
    // A failed read counts as 0.
    ASSERT_EQ(qorSetValue(id, 2047), 0);
    qorFailCall(QOR_CALL_GET_GATE_VAL, 5, 1);
    kiv::DayLetters(letters, *instance);
    EXPECT_EQ(std::string(letters, sizeof letters), "-----------");
    // The time-zone command takes the host's value, not the staged weekdayMask.
    instance->stage.weekdayMask = 0;
    kivtest::PutText(instance->stage.fromTime, "00:00:00");
    kivtest::PutText(instance->stage.toTime, "23:59:59");
    EXPECT_EQ(Build("0FSTTZ", kiv::kOpFsttz, 0).frame,
              ExpectedFrame("T 0,00:00:00,23:59:59,MTWTFSS1234"));
}

// An answer frame around a text that begins and ends with ";", with its checksum.
std::string Answer(const std::string& text) {
    return "\n" + text + Hex4(ReferenceCrc16(text)) + "\r";
}

TEST_F(CommandComposerTest, KeyAnswersAcceptedAndRejected) {
    instance->expectedAnswer = 'L';
    kivtest::PutText(instance->keyAnswerNumber1, "7");
    kivtest::PutText(instance->keyAnswerNumber2, "8");

    std::string lowerCase = Answer(";L 12,345;");
    ASSERT_EQ(lowerCase.substr(lowerCase.size() - 5, 4), "D209");
    lowerCase.replace(lowerCase.size() - 5, 1, "d");

    std::string badChecksum = Answer(";L 12,345;");
    badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == '0' ? '1' : '0';

    const struct {
        std::string answer;
        kiv::KeyAnswerCheck result;
        const char* first;
        const char* second;
    } cases[] = {
        {Answer(";L 12,345;"), kAccepted, "12", "345"},
        {lowerCase, kAccepted, "12", "345"},
        {Answer(";L 123456789,987654321;"), kAccepted, "123456789", "987654321"},
        {Answer(";L 5,6,7;"), kAccepted, "5", "6"},
        {badChecksum, kRejected, nullptr, nullptr},
        {"\n;L 12,345;GGGG\r", kRejected, nullptr, nullptr},
        {Answer(";L 1A,345;"), kRejected, nullptr, nullptr},
        {Answer(";L 12,34B;"), kRejected, nullptr, nullptr},
        {Answer(";L 12;"), kRejected, nullptr, nullptr},
        {Answer(";L 12,345"), kRejected, nullptr, nullptr},
        {Answer(";L 1234567890,5;"), kRejected, nullptr, nullptr},
        {Answer(";L 5,1234567890;"), kRejected, nullptr, nullptr},
        {Answer(";K 12,345;"), kRejected, nullptr, nullptr},
        {Answer(";L12,345;"), kRejected, nullptr, nullptr},
        {"\n;0000", kRejected, nullptr, nullptr},
        {"\n\r", kRejected, nullptr, nullptr},
        {"", kRejected, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.answer));
        kivtest::PutText(instance->keyAnswerNumber1, "7");
        kivtest::PutText(instance->keyAnswerNumber2, "8");
        EXPECT_EQ(Check(c.answer), c.result);
        EXPECT_STREQ(instance->keyAnswerNumber1, c.result == kAccepted ? c.first : "7");
        EXPECT_STREQ(instance->keyAnswerNumber2, c.result == kAccepted ? c.second : "8");
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(CommandComposerTest, OtherAnswersNeedOnlyTheChecksum) {
    instance->expectedAnswer = 0;
    kivtest::PutText(instance->keyAnswerNumber1, "7");
    EXPECT_EQ(Check(Answer(";K 12,345;")), kAccepted);
    EXPECT_EQ(Check(Answer(";S 1;")), kAccepted);
    EXPECT_EQ(Check("\n;S 1;0000\r"), kRejected);
    EXPECT_STREQ(instance->keyAnswerNumber1, "7");
}

TEST_F(CommandComposerTest, AnAnswerLongerThanAFrameIsRejected) {
    instance->expectedAnswer = 'L';
    const std::string longAnswer = Answer(";L 1," + std::string(260, '9') + ";");
    EXPECT_EQ(Check(longAnswer), kRejected);
}

TEST_F(CommandComposerTest, KeyRecordsAfterAnAcceptedAnswer) {
    instance->expectedAnswer = 'L';
    ASSERT_EQ(Check(Answer(";L 12,345;")), kAccepted);
    StageText("PKCOD", kiv::kOpPkcod, "12AB");
    StageText("PDATE", kiv::kOpPdate, "31/12/99");
    Stage("PDORS", kiv::kOpPdors, 0x00FF);
    const std::string added = KeyRecord(kiv::kOpFaddk, 0);
    EXPECT_EQ(added, ExpectedFrame("A 12,345,00000012AB,FF,31/12/99,0"));
    EXPECT_EQ(added.rfind("\n;A 12,345,00000012AB,", 0), 0U);

    Stage("PDORS", kiv::kOpPdors, 0);
    Stage("PTZN1", kiv::kOpPtzn1, 3);
    Stage("PTZN2", kiv::kOpPtzn2, 2);
    EXPECT_EQ(KeyRecord(kiv::kOpFaddk, 6), ExpectedFrame(">6A 12,345,00000012AB,0,31/12/99,12"));
    Stage("PDORS", kiv::kOpPdors, 0xABCD);
    Stage("PTZN1", kiv::kOpPtzn1, 8);
    Stage("PTZN2", kiv::kOpPtzn2, 8);
    EXPECT_EQ(KeyRecord(kiv::kOpFaddk, 0), ExpectedFrame("A 12,345,00000012AB,ABCD,31/12/99,77"));
    EXPECT_EQ(KeyRecord(kiv::kOpFdelk, 0), ExpectedFrame("D 12,345"));
    EXPECT_EQ(KeyRecord(kiv::kOpFdelk, 2), ExpectedFrame(">2D 12,345"));

    ASSERT_EQ(Check(Answer(";L 999999999,123456789;")), kAccepted);
    EXPECT_EQ(KeyRecord(kiv::kOpFdelk, 0), ExpectedFrame("D 999999999,123456789"));
}

TEST(TimeZoneText, CombinedNumberReadsBackAsWritten) {
    EXPECT_EQ(kiv::CombinedTimeZoneNumber(1, 1), 0);
    EXPECT_EQ(kiv::CombinedTimeZoneNumber(3, 2), 12);
    EXPECT_EQ(kiv::CombinedTimeZoneNumber(8, 8), 77);
    for (uint16_t zone1 = 1; zone1 <= 8; ++zone1) {
        for (uint16_t zone2 = 1; zone2 <= 8; ++zone2) {
            // A badge line keeps the two characters after the date's comma: the number and, for
            // one digit, the frame's next ";".
            const std::string written =
                (std::to_string(kiv::CombinedTimeZoneNumber(zone1, zone2)) + ";").substr(0, 2);
            uint16_t read1 = 0;
            uint16_t read2 = 0;
            kiv::DecodeTimeZoneText(written.c_str(), written.size(), read1, read2);
            EXPECT_EQ(read1, zone1) << written;
            EXPECT_EQ(read2, zone2) << written;
        }
    }
}

TEST(TimeZoneText, DecodingOddTexts) {
    const struct {
        const char* text;
        size_t size;
        uint16_t zone1;
        uint16_t zone2;
    } cases[] = {
        {"", 3, 1, 1},   {";0", 3, 1, 1},   {"7", 3, 8, 1},   {"7x", 3, 8, 1}, {"12", 3, 3, 2},
        {"12", 1, 2, 1}, {"99", 3, 10, 10}, {"123", 3, 3, 2}, {"12", 0, 1, 1},
    };
    for (const auto& c : cases) {
        uint16_t zone1 = 0;
        uint16_t zone2 = 0;
        kiv::DecodeTimeZoneText(c.text, c.size, zone1, zone2);
        EXPECT_EQ(zone1, c.zone1) << c.text << " " << c.size;
        EXPECT_EQ(zone2, c.zone2) << c.text << " " << c.size;
    }
    uint16_t zone1 = 0;
    uint16_t zone2 = 0;
    kiv::DecodeTimeZoneText(nullptr, 3, zone1, zone2);
    EXPECT_EQ(zone1, 1);
    EXPECT_EQ(zone2, 1);
}

}  // namespace
