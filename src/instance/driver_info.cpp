// GetKIVinfo: the driver's description and the information banner.
#include "instance/driver_info.h"

#include <array>
#include <cstring>
#include <string>

#include "instance/driver_instance.h"
#include "kiv_version.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// Code page 437 box and shading characters.
constexpr char kTopLeft = '\xDA';
constexpr char kTopRight = '\xBF';
constexpr char kBottomLeft = '\xC0';
constexpr char kBottomRight = '\xD9';
constexpr char kHorizontal = '\xC4';
constexpr char kVertical = '\xB3';
constexpr char kFullBlock = '\xDB';
constexpr char kDarkShade = '\xB2';
constexpr char kMediumShade = '\xB1';
constexpr char kLightShade = '\xB0';

constexpr size_t kInnerWidth = kBannerLineWidth - 2;

std::string Border(char left, char right) {
    return std::string(1, left) + std::string(kInnerWidth, kHorizontal) + right + '\n';
}

std::string Centred(const std::string& text) {
    const size_t left = (kInnerWidth - text.size()) / 2;
    const size_t right = kInnerWidth - text.size() - left;
    return std::string(1, kVertical) + std::string(left, ' ') + text + std::string(right, ' ') +
           kVertical + '\n';
}

std::string TitleLine() {
    std::string line(1, kVertical);
    line += ' ';
    line += std::string(5, kFullBlock) + std::string(6, kDarkShade) + std::string(6, kMediumShade) +
            std::string(6, kLightShade);
    line += "  K I V ZEZ  ";
    line += std::string(4, kLightShade) + std::string(6, kMediumShade) +
            std::string(6, kDarkShade) + std::string(5, kFullBlock);
    line += "  ";
    line += kVertical;
    line += '\n';
    return line;
}

std::array<char, kBannerLength + 1> BuildBanner() {
    const std::string notice = KIV_VERSION_NOTICE;
    const std::string text = "\n" + Border(kTopLeft, kTopRight) + TitleLine() +
                             Centred("Visonic Ltd.") + Centred("VXS-100  ASCII protocol") +
                             Centred(notice) + Border(kBottomLeft, kBottomRight);
    std::array<char, kBannerLength + 1> banner{};
    std::memcpy(banner.data(), text.data(),
                text.size() < kBannerLength ? text.size() : kBannerLength);
    return banner;
}

}  // namespace

const char* InformationBanner() {
    static const std::array<char, kBannerLength + 1> banner = BuildBanner();
    return banner.data();
}

int32_t GetKIVinfo(KivRequest* request) {
    err(32, "RIRODI: GetKIVinfo.");
    auto* info = static_cast<DriverInfo*>(request->argument);
    if (info == nullptr) {
        return KIV_FAILED;  // no record to fill in
    }
    info->infoCode = 70;
    info->makerName = "Visonic";
    info->banner = InformationBanner();
    info->instanceSize = static_cast<int32_t>(sizeof(DriverInstance));
    info->infoValue4 = 4;
    info->defaultBaud = 9600;
    info->defaultDataBits = 8;
    info->defaultStopBits = 0;
    info->defaultParity = 0;
    info->infoValue32 = 32;
    return KIV_OK;
}

}  // namespace kiv
