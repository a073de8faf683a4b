// Frame finishing, the checksum and the upper-casing rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/frame_format.h"

namespace {

std::string Finish(const std::string& text) {
    char buffer[257] = {};
    std::memcpy(buffer, text.data(), text.size());
    const size_t length = kiv::FinishFrame(buffer, sizeof buffer);
    return std::string(buffer, length);
}

TEST(FrameFormat, CrcCheckValueAndEmptyInput) {
    EXPECT_EQ(kiv::Crc16("123456789", 9), 0x31C3);
    EXPECT_EQ(kiv::Crc16("", 0), 0);
}

TEST(FrameFormat, FinishedFramesOfTheDevicesCommands) {
    struct Case {
        const char* text;
        const char* frame;
    };
    const Case cases[] = {
        {"\n;C ", "\n;C ;F7D5\r"},
        {"\n;>3S Q", "\n;>3S Q;8D26\r"},
        {"\n;S V,Y", "\n;S V,Y;3678\r"},
        {"\n;s v,y", "\n;S V,Y;3678\r"},  // upper-cased before the checksum
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Finish(c.text), c.frame) << c.text;
    }
    EXPECT_EQ(Finish("\n;S Q").size(), 11U);
}

TEST(FrameFormat, UpperCasingLowersOnly0x61To0x7F) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned expected = byte >= 0x61 && byte <= 0x7F ? byte - 0x20 : byte;
        EXPECT_EQ(kiv::UpperCaseChar(static_cast<unsigned char>(byte)), expected) << byte;
    }
    EXPECT_EQ(Finish("\n;{|}~").substr(0, 7), "\n;[\\]^;");
}

TEST(FrameFormat, TooLongTextIsCutToFit) {
    const std::string text = "\n;" + std::string(300, 'X');
    char buffer[257] = {};
    std::memcpy(buffer, text.data(), 256);
    // A 256-byte frame buffer holds a frame of at most 255 bytes and its terminator.
    const size_t length = kiv::FinishFrame(buffer, 256);
    EXPECT_EQ(length, 255U);
    EXPECT_EQ(buffer[length - 1], '\r');
    EXPECT_EQ(buffer[length], '\0');
}

TEST(FrameFormat, EscapingWritesLfAndCrAsTextAndNeverOverruns) {
    char out[kiv::EscapedSize(10)];
    const size_t length = kiv::EscapeControlChars("\n;C ;F7D5\r", 10, out, sizeof out);
    EXPECT_EQ(length, std::strlen(out));
    EXPECT_EQ(length, 16U);
    char big[64];
    kiv::EscapeControlChars("\n;C ;F7D5\r", 10, big, sizeof big);
    EXPECT_STREQ(big, "<LF>;C ;F7D5<CR>");
    char worst[kiv::EscapedSize(4)];
    EXPECT_EQ(kiv::EscapeControlChars("\r\n\r\n", 4, worst, sizeof worst), 16U);
    EXPECT_STREQ(worst, "<CR><LF><CR><LF>");
    char small[6];
    kiv::EscapeControlChars("\r\nabc", 5, small, sizeof small);
    EXPECT_STREQ(small, "<CR>");
    EXPECT_TRUE(kiv::IsAckFrame("\nA\r", 3));
    EXPECT_FALSE(kiv::IsAckFrame("\nA", 2));
    EXPECT_FALSE(kiv::IsAckFrame("\nB\r", 3));
}

}  // namespace
