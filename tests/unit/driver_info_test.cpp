// GetKIVinfo: every field of the record and the banner byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "instance/driver_info.h"
#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "kiv_version.h"

namespace {

using kivtest::LogLine;
using kivtest::LogLines;

class DriverInfoTest : public kivtest::HostFixture {
protected:
    DriverInfo Call() {
        DriverInfo info{};
        std::memset(&info, 0xA5, sizeof info);  // every field must be written
        KivRequest request{};
        request.functionNumber = KIV_FN_GET_INFO;
        request.argument = &info;
        result_ = KivMain(&request);
        return info;
    }
    int32_t result_ = -1;
};

TEST_F(DriverInfoTest, FillsEveryFieldAndLogs) {
    const DriverInfo info = Call();
    EXPECT_EQ(result_, KIV_OK);
    EXPECT_EQ(info.infoCode, 70);
    EXPECT_STREQ(info.makerName, "Visonic");
    EXPECT_EQ(info.instanceSize, static_cast<int32_t>(sizeof(kiv::DriverInstance)));
    EXPECT_EQ(info.infoValue4, 4);
    EXPECT_EQ(info.defaultBaud, 9600);
    EXPECT_EQ(info.defaultDataBits, 8);
    EXPECT_EQ(info.defaultStopBits, 0);
    EXPECT_EQ(info.defaultParity, 0);
    EXPECT_EQ(info.infoValue32, 32);
    const std::vector<LogLine> expected = {{8, "DUZED:Entered KivMain(), with function 13"},
                                           {32, "RIRODI: GetKIVinfo."}};
    EXPECT_EQ(LogLines(), expected);
}

// The banner as the bytes a person would draw, built independently of the driver's code.
std::string ExpectedBanner() {
    const auto repeat = [](int n, unsigned char c) {
        return std::string(static_cast<size_t>(n), static_cast<char>(c));
    };
    const auto centred = [&](const std::string& text) {
        const size_t left = (60 - text.size()) / 2;
        return std::string("\xB3") + std::string(left, ' ') + text +
               std::string(60 - text.size() - left, ' ') + "\xB3\n";
    };
    std::string b = "\n";
    b += "\xDA" + repeat(60, 0xC4) + "\xBF\n";
    b += "\xB3 " + repeat(5, 0xDB) + repeat(6, 0xB2) + repeat(6, 0xB1) + repeat(6, 0xB0) +
         "  K I V ZEZ  " + repeat(4, 0xB0) + repeat(6, 0xB1) + repeat(6, 0xB2) + repeat(5, 0xDB) +
         "  \xB3\n";
    b += centred("Visonic Ltd.");
    b += centred("VXS-100  ASCII protocol");
    b += centred(std::string("Driver by RIRODI, version ") + KIV_VERSION_STRING);
    b += "\xC0" + repeat(60, 0xC4) + "\xD9\n";
    return b;
}

TEST_F(DriverInfoTest, BannerIsSixLinesOf62CharactersInCodePage437) {
    const DriverInfo info = Call();
    ASSERT_NE(info.banner, nullptr);
    const std::string banner = info.banner;
    ASSERT_EQ(banner.size(), 379U);
    EXPECT_EQ(banner, ExpectedBanner());
    // Line structure: LF, then six lines of 62 characters each ending in LF.
    EXPECT_EQ(banner[0], '\n');
    for (size_t line = 0; line < 6; ++line) {
        EXPECT_EQ(banner[1 + line * 63 + 62], '\n') << "line " << line + 1;
    }
    EXPECT_NE(banner.find(KIV_VERSION_STRING), std::string::npos);
}

TEST_F(DriverInfoTest, AnsweredWithoutAnyInstance) {
    DriverInfo info{};
    KivRequest request{};
    request.instance = nullptr;
    request.functionNumber = KIV_FN_GET_INFO;
    request.argument = &info;
    EXPECT_EQ(KivMain(&request), KIV_OK);
    EXPECT_EQ(std::strlen(info.banner), kiv::kBannerLength);
}

}  // namespace
