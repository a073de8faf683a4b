// kivhost info: the driver's description, as function 14 gives it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/json_text.h"
#include "cli/command.h"
#include "commands/commands.h"

namespace kivhost {

namespace {

constexpr size_t kBannerBytes = 379;

bool TerminalIsUtf8() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return std::strstr(value, "UTF-8") != nullptr || std::strstr(value, "utf8") != nullptr;
        }
    }
    return false;
}

// The banner's code page 437 characters for a terminal: box drawing in UTF-8, or plain ASCII.
std::string Readable(const char* banner, size_t count, bool utf8) {
    struct Glyph {
        unsigned char cp437;
        const char* utf8;
        char ascii;
    };
    static const Glyph glyphs[] = {
        {0xDA, "\u250C", '+'}, {0xBF, "\u2510", '+'}, {0xC0, "\u2514", '+'}, {0xD9, "\u2518", '+'},
        {0xC4, "\u2500", '-'}, {0xB3, "\u2502", '|'}, {0xDB, "\u2588", '#'}, {0xB2, "\u2593", '#'},
        {0xB1, "\u2592", '='}, {0xB0, "\u2591", '.'},
    };
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(banner[i]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
            continue;
        }
        char replacement[8] = "?";
        for (const Glyph& glyph : glyphs) {
            if (glyph.cp437 == byte) {
                if (utf8) {
                    std::snprintf(replacement, sizeof replacement, "%s", glyph.utf8);
                } else {
                    replacement[0] = glyph.ascii;
                    replacement[1] = '\0';
                }
            }
        }
        out += replacement;
    }
    return out;
}

int RunInfo(const GlobalOptions& global) {
    DriverSession session;
    if (!LoadDriver(global, session)) {
        return kExitNoDriver;
    }
    DriverInfo info{};
    std::vector<LogEntry> log;
    const int32_t result = session.Info(info, &log);
    const char* banner = info.banner != nullptr ? info.banner : "";
    const size_t bannerLength = info.banner != nullptr ? std::strlen(info.banner) : 0;

    if (global.json) {
        const Json out = {
            {"result", result},
            {"infoCode", info.infoCode},
            {"makerName", LineText(info.makerName != nullptr ? info.makerName : "")},
            {"bannerHex", HexBytes(banner, bannerLength)},
            {"instanceSize", info.instanceSize},
            {"infoValue4", info.infoValue4},
            {"defaultBaud", info.defaultBaud},
            {"defaultDataBits", info.defaultDataBits},
            {"defaultStopBits", info.defaultStopBits},
            {"defaultParity", info.defaultParity},
            {"infoValue32", info.infoValue32},
            {"log", LogJson(log)},
        };
        std::printf("%s\n", Dump(out).c_str());
        return kExitOk;
    }
    std::printf("Driver:          %s\n", session.Path().c_str());
    std::printf("Result:          %d\n", static_cast<int>(result));
    std::printf("Maker:           %s\n", info.makerName != nullptr ? info.makerName : "");
    std::printf("Info code:       %d\n", static_cast<int>(info.infoCode));
    std::printf("Instance size:   %d bytes\n", static_cast<int>(info.instanceSize));
    std::printf(
        "Line defaults:   %u baud, %u data bits, stop-bit code %u, parity code %u\n",
        static_cast<unsigned>(info.defaultBaud), static_cast<unsigned>(info.defaultDataBits),
        static_cast<unsigned>(info.defaultStopBits), static_cast<unsigned>(info.defaultParity));
    std::printf("Other values:    %d, %d\n", static_cast<int>(info.infoValue4),
                static_cast<int>(info.infoValue32));
    std::printf("Banner (%zu bytes%s):", bannerLength,
                bannerLength == kBannerBytes ? "" : ", unexpected length");
    std::printf("%s", Readable(banner, bannerLength, TerminalIsUtf8()).c_str());
    std::printf("Log:\n%s", LogText(log).c_str());
    return kExitOk;
}

std::function<int()> SetUpInfo(CLI::App& /*app*/, const GlobalOptions& global) {
    return [&global] { return RunInfo(global); };
}

// The rest of the command's own --help text.
std::string InfoHelp() {
    return "Calls function 14 (GetKIVinfo) and shows the record the driver fills in, with its\n"
           "banner. --json prints {\"result\", \"infoCode\", \"makerName\", \"bannerHex\",\n"
           "\"instanceSize\", \"infoValue4\", \"defaultBaud\", \"defaultDataBits\", "
           "\"defaultStopBits\",\n"
           "\"defaultParity\", \"infoValue32\", \"log\"}.\n";
}

}  // namespace

extern const Command kInfoCommand = {"info", "show the driver information (function 14)", InfoHelp,
                                     SetUpInfo, nullptr};

}  // namespace kivhost
