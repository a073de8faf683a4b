// The receiver's handling of each frame kind in each answer mode, status reports and events, on
// an instance whose line is the null device (what the receiver sends shows in "OUTGOING"), in a
// working directory of its own (events are filed there).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frames.h"
#include "link/frame_format.h"
#include "link_instance.h"
#include "platform/sync.h"
#include "receive/event_report.h"
#include "receive/status_report.h"
#include "receive/unsolicited_receiver.h"
#include "work_dir_fixture.h"

namespace {

using kiv::MessageKind;
using kivtest::TagText;
using kivtest::TagValue;

class ReceiverTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        ASSERT_TRUE(instance_.Open("NUL"));
        outgoing_ = qorDefineTag("OUTGOING", "OUTGOING", 1, KIV_TYPE_STRING);
    }
    void Define(const std::vector<const char*>& names, int32_t type = KIV_TYPE_ANALOG) {
        for (const char* name : names) {
            qorDefineTag(name, name, 1, type);
        }
    }
    // Hands a frame to the receiver as if it had just arrived.
    void Receive(const std::string& frame, MessageKind kind, int32_t mode) {
        std::memset(instance_->rxBuffer, 0, sizeof instance_->rxBuffer);
        frame.copy(instance_->rxBuffer, kiv::kFrameCapacity);
        instance_->rxLength = static_cast<int16_t>(frame.size());
        instance_->answerMode = static_cast<kiv::AnswerMode>(mode);
        kiv::HandleFrame(*instance_, kind);
    }
    uint32_t Acknowledgements() const { return qorWriteCount(outgoing_); }
    bool Signalled() { return kiv::platform::EventIsSet(instance_->answerEvent); }

    kivtest::LinkInstance instance_;
    int32_t outgoing_ = 0;
};

const std::string kAck = "\nA\r";

// Every kind in every mode: whether it is acknowledged, whether the waiting transaction is
// signalled, and what it leaves in the instance.
TEST_F(ReceiverTest, EveryKindInEveryAnswerMode) {
    struct Case {
        int32_t mode;
        MessageKind kind;
        std::string frame;
        bool acknowledged;
        bool signalled;
    };
    const std::string event = kivtest::FinishedCommand("V 01/02/24 12:00:00,23,01,1");
    const std::string status = kivtest::FinishedCommand("S T,1,2,3,X,4,5,6,7,V");
    const std::string answer = kivtest::FinishedCommand("L 12,34");
    const std::string upload = kivtest::FinishedCommand("A 1,2");
    const Case cases[] = {
        {1, kiv::kKindAcknowledgement, kAck, false, true},
        {1, kiv::kKindEvent, event, false, false},
        {1, kiv::kKindStatusReport, status, false, false},
        {1, kiv::kKindDataAnswer, answer, false, false},
        {1, kiv::kKindUploadA, upload, false, false},
        {2, kiv::kKindAcknowledgement, kAck, false, false},  // half of the pair
        {2, kiv::kKindDataAnswer, answer, false, false},     // the other half alone
        {2, kiv::kKindEvent, event, true, false},
        {2, kiv::kKindStatusReport, status, true, false},
        {2, kiv::kKindOther, kivtest::FinishedCommand("X"), true, false},
        {0, kiv::kKindStatusReport, status, false, false},
        {0, kiv::kKindEvent, event, true, false},
        {0, kiv::kKindAcknowledgement, kAck, false, false},  // awaited by nobody
        {0, kiv::kKindDataAnswer, answer, true, false},
        {0, kiv::kKindUploadS, kivtest::FinishedCommand("S P,1"), true, false},
        {0, kiv::kKindEndOfUpload, kivtest::FinishedCommand(""), true, false},
        {0, kiv::kKindOther, kivtest::FinishedCommand("X"), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " kind " << c.kind);
        kiv::platform::EventReset(instance_->answerEvent);
        instance_->uploadAckSeen = 0;
        instance_->uploadDataSeen = 0;
        const uint32_t before = Acknowledgements();
        Receive(c.frame, c.kind, c.mode);
        EXPECT_EQ(Acknowledgements() - before, c.acknowledged ? 1U : 0U);
        EXPECT_EQ(Signalled(), c.signalled);
        // The answer that came ends the mode: the frames after it are unasked.
        EXPECT_EQ(instance_->answerMode.load(), c.signalled ? 0 : c.mode);
    }
    // The event filed in mode 2 is kept for INPUT, and not published.
    Define({"PENUM"});
    Receive(event, kiv::kKindEvent, 2);
    EXPECT_EQ(std::string(instance_->lastEventText), event.substr(1, event.size() - 2));
    EXPECT_EQ(qorWriteCount(qorFindTag("PENUM")), 0U);
}

// Either order completes the pair; the answer kept is always this command's, also when the
// acknowledgement comes second (keeping an earlier command's answer would give a key record
// the key number of another badge).
TEST_F(ReceiverTest, TheDataAnswerPairCompletesInEitherOrder) {
    const std::string answer = kivtest::FinishedCommand("L 12,34");
    std::memcpy(instance_->answerCopy, "old", 4);
    Receive(answer, kiv::kKindDataAnswer, 2);
    EXPECT_FALSE(Signalled());
    Receive(kAck, kiv::kKindAcknowledgement, 2);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(std::string(instance_->answerCopy), answer);
    EXPECT_EQ(instance_->uploadAckSeen.load(), 0);
    EXPECT_EQ(instance_->uploadDataSeen.load(), 0);

    kiv::platform::EventReset(instance_->answerEvent);
    const std::string second = kivtest::FinishedCommand("L 56,78");
    Receive(kAck, kiv::kKindAcknowledgement, 2);
    Receive(second, kiv::kKindDataAnswer, 2);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(std::string(instance_->answerCopy), second);
}

TEST_F(ReceiverTest, UploadLinesAreFiledOnlyWhileAnUploadRuns) {
    instance_->uploadSetupRunning = 1;
    instance_->setupFileState = 1;
    Receive(kivtest::FinishedCommand(""), kiv::kKindEndOfUpload, 0);
    EXPECT_EQ(instance_->uploadSetupRunning.load(), 0);
    EXPECT_EQ(instance_->setupFileState, 0);
}

TEST_F(ReceiverTest, StatusReportsGoToTheHighestPendingPoll) {
    Define({"2PMODE", "5PMODE", "5PKEYS", "5PAI1", "5PAI4", "5PTMPR", "5PALRM", "5PUIM", "5PIRC",
            "PSRDR10", "PSRDR11", "PDORL10", "PDORL11", "PSDOR10", "PSDOR11"});
    Define({"5PCTRL", "5PVER"}, KIV_TYPE_STRING);
    instance_->pollPending[2] = 1;
    instance_->pollPending[5] = 1;
    // Status word bits: 15 tamper, 10 alarm, 3, 0, readers 1 and 2, doors 8 and 9, 4 and 6.
    const unsigned word = (1U << 15) | (1U << 1) | (1U << 9) | (1U << 4);
    Receive(kivtest::FinishedCommand("S T,3,12," + std::to_string(word) +
                                     ",MAIN DOOR,1,2,3,65535,2.10"),
            kiv::kKindStatusReport, 0);
    EXPECT_EQ(instance_->pollPending[5].load(), 0);
    EXPECT_EQ(instance_->pollPending[2].load(), 1);
    EXPECT_EQ(qorWriteCount(qorFindTag("2PMODE")), 0U);
    EXPECT_EQ(TagValue("5PMODE"), 3.0);
    EXPECT_EQ(TagValue("5PKEYS"), 12.0);
    EXPECT_EQ(TagValue("5PAI1"), 1.0);
    EXPECT_EQ(TagValue("5PAI4"), 65535.0);
    EXPECT_EQ(TagText("5PCTRL"), "MAIN DOOR");
    EXPECT_EQ(TagText("5PVER"), "2.10");
    const std::vector<std::pair<const char*, double>> bits = {
        {"5PTMPR", 1},  {"5PALRM", 0},  {"5PUIM", 0},   {"5PIRC", 0},   {"PSRDR10", 1},
        {"PSRDR11", 0}, {"PDORL10", 0}, {"PDORL11", 1}, {"PSDOR10", 2}, {"PSDOR11", 0},
    };
    for (const auto& [tag, value] : bits) {
        EXPECT_EQ(TagValue(tag), value) << tag;
    }
    // With no poll pending, a report names no controller and changes nothing.
    instance_->pollPending[2] = 0;
    const uint64_t changes = qorChangeCount();
    Receive(kivtest::FinishedCommand("S T,9,1,65535,X,1,1,1,1,V"), kiv::kKindStatusReport, 0);
    EXPECT_EQ(qorChangeCount(), changes);
}

TEST_F(ReceiverTest, MalformedStatusReportsPublishOnlyTheFieldsThereAre) {
    struct Case {
        std::string text;
        std::vector<std::pair<const char*, double>> numbers;  // NaN: not written
    };
    const double absent = std::nan("");
    const Case cases[] = {
        {"S T", {{"0PMODE", absent}, {"0PKEYS", absent}}},
        {"S T,4", {{"0PMODE", 4}, {"0PKEYS", absent}}},
        {"S T,x,5,", {{"0PMODE", absent}, {"0PKEYS", 5}, {"0PTMPR", absent}}},
        {"S T,1," + std::string(25, '9') + ",32768,", {{"0PKEYS", absent}, {"0PTMPR", 1}}},
        {"S T,1,-3,abc,T,1,2,3,4", {{"0PKEYS", -3}, {"0PTMPR", absent}, {"0PAI4", absent}}},
        {"S T,1,2,0,T,1,2,3,4," + std::string(70, 'v'), {{"0PAI4", 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        qorReset();
        Define({"0PMODE", "0PKEYS", "0PTMPR", "0PAI4"});
        qorDefineTag("0PVER", "0PVER", 1, KIV_TYPE_STRING);
        instance_->pollPending[0] = 1;
        Receive(kivtest::FinishedCommand(c.text), kiv::kKindStatusReport, 0);
        for (const auto& [tag, value] : c.numbers) {
            if (std::isnan(value)) {
                EXPECT_EQ(qorWriteCount(qorFindTag(tag)), 0U) << tag;
            } else {
                EXPECT_EQ(TagValue(tag), value) << tag;
            }
        }
        EXPECT_EQ(qorWriteCount(qorFindTag("0PVER")), 0U);
    }
}

struct EventCase {
    int code;
    std::vector<std::pair<const char*, double>> values;
    uint32_t pcdorWrites;
};

TEST_F(ReceiverTest, EveryEventCodeSetsItsTags) {
    // Unit field 06: door, reader or controller 5.
    const EventCase cases[] = {
        {0, {{"PSDOR05", 0}, {"PCDOR", 5}}, 2},
        {7, {{"PSDOR05", 3}, {"PCDOR", 5}}, 1},
        {8, {{"PSDOR05", 2}, {"PCDOR", 5}}, 1},
        {9, {{"PSDOR05", 0}, {"PCDOR", 5}}, 1},
        {10, {{"PSDOR05", 1}, {"PCDOR", 5}}, 1},
        {13, {{"5PSRCC", 0}}, 0},
        {14, {{"5PSRCC", 1}}, 0},
        {15, {{"PSRDR05", 0}}, 0},
        {16, {{"PSRDR05", 1}}, 0},
        {17, {{"PCDOR", 5}}, 1},
        {18, {{"PCDOR", 5}}, 1},
        {19, {{"5PSPWR", 0}}, 0},
        {20, {{"5PSPWR", 1}}, 0},
        {21, {{"5PSBTR", 0}}, 0},
        {22, {{"5PSBTR", 1}}, 0},
        {23, {}, 0},
        {25, {{"PCDOR", 5}}, 1},
        {26, {{"5PCTRL", 1}}, 0},
        {29, {{"PCDOR", 5}}, 1},
        {30, {{"PCDOR", 5}}, 1},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.code);
        qorReset();
        Define({"PSDOR05", "PCDOR", "5PSRCC", "PSRDR05", "5PSPWR", "5PSBTR", "5PCTRL", "PENUM"});
        Define({"PBNAM", "PBNA2", "PBCOD"}, KIV_TYPE_STRING);
        char text[64];
        std::snprintf(text, sizeof text, "V 01/02/24 12:34:56,%02d,06,1F", c.code);
        KivMonitorRecord seen{};
        instance_->monitor = {[](const KivMonitorRecord* record, void* context) {
                                  auto* copy = static_cast<KivMonitorRecord*>(context);
                                  *copy = *record;
                                  copy->bytes = nullptr;
                              },
                              &seen};
        Receive(kivtest::FinishedCommand(text), kiv::kKindEvent, 0);
        instance_->monitor = {};
        // The event record says what the tags show: the door state, a badge event (PCDOR set
        // without a door state, or twice), the unit's tag and its value.
        bool doorState = false;
        bool unitTag = false;
        for (const auto& [tag, value] : c.values) {
            EXPECT_EQ(TagValue(tag), value) << tag;
            const std::string name = tag;
            if (name == "PSDOR05") {
                doorState = true;
                EXPECT_EQ(seen.doorState, value);
            } else if (name != "PCDOR") {
                unitTag = true;
                const std::string keyword = name[0] == '5' ? name.substr(1) : name.substr(0, 5);
                EXPECT_STREQ(seen.unitTag, keyword.c_str());
                EXPECT_EQ(seen.unitTagValue, value);
            }
        }
        EXPECT_EQ(seen.kind, KIV_MON_EVENT);
        EXPECT_EQ(seen.code, c.code);
        EXPECT_EQ(seen.unit, 5);
        EXPECT_EQ(seen.badgeEvent, c.pcdorWrites == (doorState ? 2U : 1U) ? 1 : 0);
        if (!doorState) {
            EXPECT_EQ(seen.doorState, -1);
        }
        if (!unitTag) {
            EXPECT_EQ(seen.unitTag, nullptr);
        }
        EXPECT_EQ(qorWriteCount(qorFindTag("PCDOR")), c.pcdorWrites);
        EXPECT_EQ(TagText("PBNAM"), "NOT KNOW!");  // the table is empty
        EXPECT_EQ(TagText("PBCOD"), "NOT KNOW!");
        EXPECT_EQ(TagValue("PENUM"), c.code);
    }
}

TEST_F(ReceiverTest, EventFieldsByTheirPlaces) {
    struct Case {
        std::string work;
        std::optional<int32_t> code;
        std::optional<int32_t> unit;
        const char* key;  // nullptr: no badge number
    };
    const Case cases[] = {
        {";V 01/02/24 12:34:56,00,01,1;ABCD", 0, 0, "0"},
        {";V 01/02/24 12:34:56,17,00,1F;ABCD", 17, -1, "30"},
        {";V 01/02/24 12:34:56,29,16,0;ABCD", 29, 15, "-1"},
        {";V 01/02/24 12:34:56,05,01,12345678;ABCD", 5, 0, nullptr},  // more than 7 characters
        {";V 01/02/24 12:34:56,05,01,1F", 5, 0, nullptr},             // no ";" after it
        {";V 01/02/24 1234", std::nullopt, std::nullopt, nullptr},    // no ":"
        {";V 12:34:56", std::nullopt, std::nullopt, nullptr},         // nothing after the time
        {";V 12:34:56,AB,CD,1;", std::nullopt, std::nullopt, "0"},
        {";V 12:34:56,7,9,1;", 7, 8, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.work);
        const kiv::EventReport event = kiv::ParseEvent(c.work.c_str());
        EXPECT_EQ(event.eventCode, c.code);
        EXPECT_EQ(event.unitNumber, c.unit);
        EXPECT_EQ(event.hasBadge, c.key != nullptr);
        if (c.key != nullptr) {
            EXPECT_STREQ(event.keyNumber, c.key);
        }
    }
}

TEST_F(ReceiverTest, AnEventLongerThanTheWorkAreaIsReadWithinIt) {
    Define({"PENUM"});
    const std::string text = "V 01/02/24 12:34:56,09,01," + std::string(200, 'F');
    Receive(kivtest::FinishedCommand(text), kiv::kKindEvent, 0);
    EXPECT_EQ(std::strlen(instance_->lastEventText), sizeof instance_->lastEventText - 1);
    EXPECT_EQ(TagValue("PENUM"), 9.0);
}

}  // namespace
