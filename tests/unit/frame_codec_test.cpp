// The frame codec without a line: the checksum against an independent implementation,
// classification, the monitoring tags, BADGECODE, sendAckSetting, and sending on the null
// device or on no port at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frames.h"
#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "link_instance.h"
#include "qorpro/qorpro_embed.h"
#include "receive/incoming_tags.h"
#include "reference_crc.h"

namespace {

using kiv::MessageKind;
using kivtest::LinkInstance;
using kivtest::LogLine;
using kivtest::LogLines;
using kivtest::ReferenceCrc16;
using kivtest::TagText;

class FrameCodecTest : public kivtest::HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        kiv::sendAckSetting = 0;
    }
    void TearDown() override {
        kiv::sendAckSetting = 0;
        HostFixture::TearDown();
    }
    // The monitoring tags of instance 1, as a host configures them.
    static void DefineMonitorTags() {
        qorDefineTag("INCOMING", "INCOMING", 1, KIV_TYPE_STRING);
        qorDefineTag("OUTGOING", "OUTGOING", 1, KIV_TYPE_STRING);
        qorDefineTag("BADGECODE", "BADGECODE", 1, KIV_TYPE_STRING);
    }
    // 1 with the kind for a valid frame, 0 for an invalid one (and 'kind' then stays).
    int32_t Classify(const std::string& frame, MessageKind& kind) {
        kiv::PublishIncoming(*instance_, frame.data(), frame.size());
        const auto classified = kiv::ClassifyFrame(frame.data(), frame.size());
        kind = classified.value_or(kind);
        return classified ? 1 : 0;
    }
    LinkInstance instance_;
};

TEST(Crc16, MatchesABitwiseImplementationOnRandomInputs) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> length(0, 255);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes(static_cast<size_t>(length(random)), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(byte(random));
        }
        ASSERT_EQ(kiv::Crc16(bytes.data(), bytes.size()), ReferenceCrc16(bytes))
            << "round " << round;
    }
    EXPECT_EQ(ReferenceCrc16("123456789"), 0x31C3);
}

TEST_F(FrameCodecTest, EveryKindOfTheClassificationTable) {
    struct Case {
        const char* text;
        MessageKind kind;
    };
    const Case cases[] = {
        {"\n;A 01,0000,1", kiv::kKindUploadA},
        {"\n;T 1,0800,1700", kiv::kKindUploadT},
        {"\n;S Q", kiv::kKindUploadS},
        {"\n;S U,1", kiv::kKindUploadS},
        {"\n;S T,1,12,16,CTRL,1,2,3,4,V1.0", kiv::kKindStatusReport},
        {"\n;L 12,13", kiv::kKindDataAnswer},
        {"\n;V 12:00:00,00,01,1F", kiv::kKindEvent},
        {"\n;", kiv::kKindEndOfUpload},
        {"\n;X", kiv::kKindOther},
        {"\n;>3S T", kiv::kKindOther},  // the command character is ">"
        {"\n;S", kiv::kKindUploadS},    // the fifth byte is a checksum digit
    };
    for (const Case& c : cases) {
        MessageKind kind = kiv::kKindOther;
        const std::string frame = kivtest::FinishedFrame(c.text);
        EXPECT_EQ(Classify(frame, kind), 1) << frame;
        EXPECT_EQ(kind, c.kind) << frame;
    }
    MessageKind kind = kiv::kKindOther;
    EXPECT_EQ(Classify("\nA\r", kind), 1);
    EXPECT_EQ(kind, kiv::kKindAcknowledgement);
}

TEST_F(FrameCodecTest, InvalidFramesAreRefusedAndLeaveTheKind) {
    const std::string good = kivtest::FinishedFrame("\n;V 12:00:00,00,01,1F");
    std::string wrongCrc = good;
    wrongCrc[wrongCrc.size() - 2] = wrongCrc[wrongCrc.size() - 2] == '0' ? '1' : '0';
    std::string wrongText = good;
    wrongText[3] = 'W';
    std::string blankDigit = good;  // a scan would skip the blank; the driver does not
    blankDigit[blankDigit.size() - 5] = ' ';
    // Seven bytes whose last four before the end are the right checksum of the one before.
    char sevenBytes[8];
    (void)std::snprintf(sevenBytes, sizeof sevenBytes, "\n;%04X\r",
                        static_cast<unsigned>(kiv::Crc16(";", 1)));
    const std::string cases[] = {
        wrongCrc,
        wrongText,
        blankDigit,
        sevenBytes,
        "\nB\r",
        "\n;\r",
        "A\n\r",  // 3-byte frames other than the acknowledgement
        "\n;A;12\r",
        "\n;;0000",  // 7 bytes: invalid whatever their content
        "",
        "\n",
        "\nA",            // too short
        "\n;S Q;ZZZZ\r",  // no digits at all
    };
    for (const std::string& frame : cases) {
        MessageKind kind = kiv::kKindEvent;
        EXPECT_EQ(Classify(frame, kind), 0) << frame;
        EXPECT_EQ(kind, kiv::kKindEvent) << frame;
    }
}

TEST_F(FrameCodecTest, ChecksumDigitsMayBeLowerCaseAndFewerThanFour) {
    // CRC of ";>3S Q;" is 0x8D26: lower-case digits carry the same value.
    MessageKind kind = kiv::kKindOther;
    EXPECT_EQ(Classify("\n;>3S Q;8d26\r", kind), 1);
    EXPECT_EQ(kind, kiv::kKindOther);
    EXPECT_EQ(Classify("\n;S V,Y;3678\r", kind), 1);
    EXPECT_EQ(kind, kiv::kKindUploadS);
    // A field that ends early is read up to its first non-digit: find a text whose CRC has
    // three digits and write it as three digits and a blank.
    for (int n = 0; n < 10000; ++n) {
        const std::string text = ";A " + std::to_string(n) + ";";
        const uint16_t crc = kiv::Crc16(text.data(), text.size());
        if (crc >= 0x100 && crc < 0x1000) {
            char digits[8];
            (void)std::snprintf(digits, sizeof digits, "%03x ", static_cast<unsigned>(crc));
            EXPECT_EQ(Classify("\n" + text + digits + "\r", kind), 1) << text << digits;
            EXPECT_EQ(kind, kiv::kKindUploadA);
            return;
        }
    }
    FAIL() << "no text with a three-digit checksum found";
}

TEST_F(FrameCodecTest, ClassificationStopsAtTheReceivedCountAndAtANul) {
    const std::string good = kivtest::FinishedFrame("\n;L 12,13");
    MessageKind kind = kiv::kKindOther;
    // The bytes past the count are not part of the frame, even if they would complete it.
    EXPECT_EQ(kiv::ClassifyFrame(good.c_str(), good.size() - 1), std::nullopt);
    // A NUL ends the frame where it stands.
    std::string withNul = good;
    withNul[5] = '\0';
    EXPECT_EQ(Classify(withNul, kind), 0);
    // A full receive buffer of 256 bytes with no terminator inside the count.
    char full[kiv::kFrameBufferSize] = {};
    std::memset(full, 'X', kiv::kFrameCapacity);
    EXPECT_EQ(kiv::ClassifyFrame(full, kiv::kFrameCapacity), std::nullopt);
}

TEST_F(FrameCodecTest, IncomingShowsEveryFrameWithoutItsLastByteAndBadgeCodeFollows) {
    DefineMonitorTags();
    MessageKind kind = kiv::kKindOther;
    Classify("\n;C ;F7D5\r", kind);
    EXPECT_EQ(TagText("INCOMING"), "<LF>;C ;F7D5");
    // Characters 4 to 13 of "<LF>;C ;F7D5" in swapped pairs; the text ends at the first pair
    // taken from past its end.
    EXPECT_EQ(TagText("BADGECODE"), std::string("C;; 7F5D"));
    Classify("\nA\r", kind);
    EXPECT_EQ(TagText("INCOMING"), "<LF>A");
    Classify("\n;S Q;0000\r", kind);  // invalid frames are shown too
    EXPECT_EQ(TagText("INCOMING"), "<LF>;S Q;0000");
    Classify("", kind);
    EXPECT_EQ(TagText("INCOMING"), "");
    // The worst case for the escaped copy: 256 bytes of LF and CR.
    char worst[kiv::kFrameBufferSize] = {};
    std::memset(worst, '\n', kiv::kFrameCapacity);
    kiv::PublishIncoming(*instance_, worst, kiv::kFrameCapacity);
    EXPECT_EQ(kiv::ClassifyFrame(worst, kiv::kFrameCapacity), std::nullopt);
    EXPECT_EQ(TagText("INCOMING").substr(0, 8), "<LF><LF>");
}

TEST_F(FrameCodecTest, BadgeCodeSwapsThePairsOfCharacters4To13) {
    DefineMonitorTags();
    qorSetText(qorFindTag("INCOMING"), "<LF>0123456789;12");
    kiv::InvertBadgeCode(*instance_);
    EXPECT_EQ(TagText("BADGECODE"), "1032547698");
}

TEST_F(FrameCodecTest, MissingMonitorTagsAreSkipped) {
    // Without INCOMING, BADGECODE receives an empty text.
    qorDefineTag("BADGECODE", "BADGECODE", 1, KIV_TYPE_STRING);
    qorSetText(qorFindTag("BADGECODE"), "old");
    MessageKind kind = kiv::kKindOther;
    EXPECT_EQ(Classify("\nA\r", kind), 1);
    EXPECT_EQ(TagText("BADGECODE"), "");
    // Without any tag nothing is written, and the frame is still classified.
    qorReset();
    EXPECT_EQ(Classify(kivtest::FinishedFrame("\n;V 1"), kind), 1);
    EXPECT_EQ(kind, kiv::kKindEvent);
    EXPECT_EQ(qorCallCount(QOR_CALL_PUT_GATE_STR), 0U);
    // Tags of another instance are not this instance's.
    qorDefineTag("INCOMING2", "INCOMING", 2, KIV_TYPE_STRING);
    Classify("\nA\r", kind);
    EXPECT_EQ(TagText("INCOMING2"), "");
}

TEST_F(FrameCodecTest, SendingOnTheNullDevicePublishesOutgoing) {
    DefineMonitorTags();
    ASSERT_TRUE(instance_.Open("NUL"));
    const std::string frame = kivtest::FinishedFrame("\n;C ");
    EXPECT_EQ(kiv::SendFrame(*instance_, frame.data(), frame.size()), kiv::SendResult::kSent);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>;C ;F7D5<CR>");
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>A<CR>");
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(FrameCodecTest, SendAckSettingOneDropsOnlyAcknowledgements) {
    DefineMonitorTags();
    ASSERT_TRUE(instance_.Open("NUL"));
    kiv::sendAckSetting = 1;
    const uint32_t putsBefore = qorCallCount(QOR_CALL_PUT_GATE_STR);
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent);
    EXPECT_EQ(kiv::SendFrame(*instance_, "\nA\r", 3), kiv::SendResult::kSent);
    EXPECT_EQ(qorCallCount(QOR_CALL_PUT_GATE_STR), putsBefore);  // nothing published
    EXPECT_EQ(TagText("OUTGOING"), "");
    const std::string frame = kivtest::FinishedFrame("\n;S Q");
    EXPECT_EQ(kiv::SendFrame(*instance_, frame.data(), frame.size()), kiv::SendResult::kSent);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>;S Q;" + frame.substr(6, 4) + "<CR>");
    // Other values than 1 send acknowledgements.
    kiv::sendAckSetting = 2;
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kSent);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>A<CR>");
}

TEST_F(FrameCodecTest, WithoutAPortSendingFailsAfterPublishing) {
    DefineMonitorTags();
    const std::string frame = kivtest::FinishedFrame("\n;C ");
    EXPECT_EQ(kiv::SendFrame(*instance_, frame.data(), frame.size()), kiv::SendResult::kFailed);
    EXPECT_EQ(TagText("OUTGOING"), "<LF>;C ;F7D5<CR>");
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{{32, "DUZED:Fail to flush comm port."}}));
    qorClearLog();
    // The acknowledgement does not flush: its failure is the write's, and says so.
    EXPECT_EQ(kiv::SendAcknowledgement(*instance_), kiv::SendResult::kFailed);
    EXPECT_EQ(LogLines(),
              (std::vector<LogLine>{{32, "RIRODI: no COMM port is open, the frame was not sent"}}));
}

TEST_F(FrameCodecTest, ReceivingWithoutBytesGivesNothing) {
    char buffer[kiv::kFrameBufferSize];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(kiv::ReceiveFrame(*instance_, buffer), 0U);  // no port
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    ASSERT_TRUE(instance_.Open("NUL"));
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(kiv::ReceiveFrame(*instance_, buffer), 0U);  // the null device
    EXPECT_EQ(buffer[0], '\0');
}

}  // namespace
