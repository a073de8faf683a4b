// The simulator's own frame codec and the cutting of the received byte stream.
#include <gtest/gtest.h>

#include <random>

#include "driver_side.h"
#include "reference_crc.h"
#include "vxs_sim/frame.h"
#include "vxs_sim/frame_assembler.h"

namespace {

using vxs_sim::BuildFrame;
using vxs_sim::ChecksumStyle;
using vxs_sim::ParsedFrame;
using vxs_sim::ParseFrame;

TEST(SimFrame, ChecksumCheckValueAndEmptyInput) {
    EXPECT_EQ(vxs_sim::Crc16Xmodem("123456789"), 0x31C3);
    EXPECT_EQ(vxs_sim::Crc16Xmodem(""), 0);
}

TEST(SimFrame, ChecksumAgreesWithTheTestsOwnOnRandomInput) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 255);
    for (int round = 0; round < 500; ++round) {
        std::string bytes(static_cast<std::size_t>(length(random)), '\0');
        for (char& c : bytes) c = static_cast<char>(byte(random));
        ASSERT_EQ(vxs_sim::Crc16Xmodem(bytes), kivtest::ReferenceCrc16(bytes)) << "round " << round;
    }
}

TEST(SimFrame, BuildsTheKnownFrames) {
    EXPECT_EQ(BuildFrame("C "), "\n;C ;F7D5\r");
    EXPECT_EQ(BuildFrame(">3S Q"), "\n;>3S Q;8D26\r");
    EXPECT_EQ(BuildFrame("S V,Y"), "\n;S V,Y;3678\r");
    EXPECT_EQ(BuildFrame(""), simtest::TestFrame(""));
    EXPECT_EQ(vxs_sim::AckFrame(), "\nA\r");
}

TEST(SimFrame, ChecksumStyles) {
    // The checksum of ";L 1,5;" is AF47: letters show the case.
    const std::string right = BuildFrame("L 1,5");
    const std::string lower = BuildFrame("L 1,5", ChecksumStyle::kLowerCase);
    const std::string wrong = BuildFrame("L 1,5", ChecksumStyle::kWrong);
    EXPECT_EQ(right, "\n;L 1,5;AF47\r");
    EXPECT_EQ(lower, "\n;L 1,5;af47\r");
    EXPECT_TRUE(simtest::FrameText(lower).has_value());
    EXPECT_FALSE(simtest::FrameText(wrong).has_value());
    EXPECT_EQ(wrong.substr(0, wrong.size() - 5), right.substr(0, right.size() - 5));
}

TEST(SimFrame, ParsesWhatArrives) {
    struct Case {
        std::string bytes;
        ParsedFrame::Kind kind;
        int controller;
        std::string command;
    };
    std::string lowerDigits = simtest::TestFrame("K 00AB");
    for (std::size_t i = lowerDigits.size() - 5; i + 1 < lowerDigits.size(); ++i) {
        lowerDigits[i] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(lowerDigits[i])));
    }
    std::string badSum = simtest::TestFrame("S Q");
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    const std::vector<Case> cases = {
        {"\nA\r", ParsedFrame::Kind::kAck, -1, ""},
        {simtest::TestFrame("S Q"), ParsedFrame::Kind::kFrame, 0, "S Q"},
        {simtest::TestFrame(">3S Q"), ParsedFrame::Kind::kFrame, 3, "S Q"},
        {simtest::TestFrame(">9C "), ParsedFrame::Kind::kFrame, 9, "C "},
        {simtest::TestFrame(">XC "), ParsedFrame::Kind::kFrame, -1, ""},
        {simtest::TestFrame(""), ParsedFrame::Kind::kFrame, 0, ""},
        {lowerDigits, ParsedFrame::Kind::kFrame, 0, "K 00AB"},
        {badSum, ParsedFrame::Kind::kBadChecksum, 0, "S Q"},
        {"\n;S Q;12G4\r", ParsedFrame::Kind::kMalformed, -1, ""},
        {"\n;S Q:8D26\r", ParsedFrame::Kind::kMalformed, -1, ""},
        {"\nB\r", ParsedFrame::Kind::kMalformed, -1, ""},
        {"\n;;5E5\r", ParsedFrame::Kind::kMalformed, -1, ""},
        {"\nS Q;8D26\r", ParsedFrame::Kind::kMalformed, -1, ""},
    };
    for (const Case& c : cases) {
        const ParsedFrame parsed = ParseFrame(c.bytes);
        EXPECT_EQ(parsed.kind, c.kind) << vxs_sim::EscapeForDisplay(c.bytes);
        EXPECT_EQ(parsed.controller, c.controller) << vxs_sim::EscapeForDisplay(c.bytes);
        EXPECT_EQ(parsed.command, c.command) << vxs_sim::EscapeForDisplay(c.bytes);
    }
}

TEST(SimFrame, EscapesForDisplay) {
    EXPECT_EQ(vxs_sim::EscapeForDisplay("\n;C ;F7D5\r"), "<LF>;C ;F7D5<CR>");
    EXPECT_EQ(vxs_sim::EscapeForDisplay(std::string("a\0\x7f\xff", 4)), "a\\x00\\x7f\\xff");
    EXPECT_EQ(vxs_sim::HexBytes("\nA\r"), "0a410d");
}

class AssemblerTest : public testing::Test {
protected:
    using Clock = vxs_sim::FrameAssembler::Clock;
    using Kind = vxs_sim::FrameAssembler::Piece::Kind;
    vxs_sim::FrameAssembler assembler_{std::chrono::milliseconds(100)};
    Clock::time_point t0_ = Clock::now();
    std::vector<vxs_sim::FrameAssembler::Piece> pieces_;
};

TEST_F(AssemblerTest, CutsFramesSentBackToBack) {
    assembler_.Feed("\nA\r\n;C ;F7D5\r\n;S", t0_, pieces_);
    ASSERT_EQ(pieces_.size(), 2U);
    EXPECT_EQ(pieces_[0].bytes, "\nA\r");
    EXPECT_EQ(pieces_[1].bytes, "\n;C ;F7D5\r");
    assembler_.Feed(" Q;8D26\r", t0_, pieces_);
    ASSERT_EQ(pieces_.size(), 3U);
    EXPECT_EQ(pieces_[2].kind, Kind::kFrame);
    EXPECT_EQ(pieces_[2].bytes, "\n;S Q;8D26\r");
}

TEST_F(AssemblerTest, NoiseBeforeAFrameIsReportedApart) {
    assembler_.Feed("xy\x01\n;C ;F7D5\r", t0_, pieces_);
    ASSERT_EQ(pieces_.size(), 2U);
    EXPECT_EQ(pieces_[0].kind, Kind::kNoise);
    EXPECT_EQ(pieces_[0].bytes, "xy\x01");
    EXPECT_EQ(pieces_[1].kind, Kind::kFrame);
}

TEST_F(AssemblerTest, AFrameCutByANewLineFeedIsIncomplete) {
    assembler_.Feed("\n;C ;F7\n;C ;F7D5\r", t0_, pieces_);
    ASSERT_EQ(pieces_.size(), 2U);
    EXPECT_EQ(pieces_[0].kind, Kind::kIncomplete);
    EXPECT_EQ(pieces_[0].bytes, "\n;C ;F7");
    EXPECT_EQ(pieces_[1].kind, Kind::kFrame);
}

TEST_F(AssemblerTest, SilenceEndsAPartialFrameOrNoise) {
    assembler_.Feed("\n;C ;F7", t0_, pieces_);
    EXPECT_EQ(assembler_.NextDeadline(), t0_ + std::chrono::milliseconds(100));
    assembler_.Expire(t0_ + std::chrono::milliseconds(99), pieces_);
    EXPECT_TRUE(pieces_.empty());
    assembler_.Expire(t0_ + std::chrono::milliseconds(100), pieces_);
    ASSERT_EQ(pieces_.size(), 1U);
    EXPECT_EQ(pieces_[0].kind, Kind::kIncomplete);
    EXPECT_EQ(assembler_.NextDeadline(), Clock::time_point::max());
    assembler_.Feed("zz", t0_, pieces_);
    assembler_.Expire(t0_ + std::chrono::seconds(1), pieces_);
    ASSERT_EQ(pieces_.size(), 2U);
    EXPECT_EQ(pieces_[1].kind, Kind::kNoise);
}

TEST_F(AssemblerTest, AFrameWithoutCrStopsAtTheLongestFrame) {
    const std::string endless = "\n;" + std::string(400, 'K');
    assembler_.Feed(endless, t0_, pieces_);
    ASSERT_EQ(pieces_.size(), 1U);
    EXPECT_EQ(pieces_[0].kind, Kind::kIncomplete);
    EXPECT_EQ(pieces_[0].bytes.size(), vxs_sim::kMaxFrameLength);
    assembler_.Expire(t0_ + std::chrono::seconds(1), pieces_);
    ASSERT_EQ(pieces_.size(), 2U);
    EXPECT_EQ(pieces_[1].kind, Kind::kNoise);
    EXPECT_EQ(pieces_[1].bytes, std::string(endless.size() - vxs_sim::kMaxFrameLength, 'K'));
}

}  // namespace
