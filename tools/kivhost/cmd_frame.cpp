// kivhost frame TEXT: a command text finished as the driver finishes it.
#include <cstdio>
#include <string>

#include "command.h"
#include "instance/driver_instance.h"
#include "json_writer.h"
#include "link/frame_format.h"

namespace kivhost {

namespace {

// LF ";" before the text, ";" four digits CR after it, and the terminator, in a frame buffer.
constexpr size_t kLongestPrefixedText = kiv::kFrameCapacity - 1 - 2 - 6;

// The notation of the command-list file: "<" for LF, ">" for CR.
std::string CommandListNotation(const std::string& frame) {
    std::string out;
    for (const char c : frame) {
        out += c == kiv::kLineFeed ? '<' : c == kiv::kCarriageReturn ? '>' : c;
    }
    return out;
}

std::string Escaped(const std::string& frame) {
    char out[kiv::EscapedSize(kiv::kFrameCapacity)];
    kiv::EscapeControlChars(frame.data(), frame.size(), out, sizeof out);
    return out;
}

}  // namespace

int RunFrame(CommandContext& context) {
    std::string text;
    bool haveText = false;
    long long controller = 0;
    bool positionalOnly = false;
    for (size_t i = 0; i < context.args.size(); ++i) {
        const std::string& arg = context.args[i];
        if (!positionalOnly && arg == "--") {
            positionalOnly = true;
        } else if (!positionalOnly && arg == "--controller") {
            if (i + 1 >= context.args.size()) {
                return UsageError("frame", "--controller needs a number from 0 to 7");
            }
            const std::string& number = context.args[++i];
            if (!ParseInteger(number, controller) || controller < 0 || controller > 7) {
                return UsageError("frame", "'" + number + "' is not a controller (0 to 7)");
            }
        } else if (!haveText) {
            text = arg;
            haveText = true;
        } else {
            return UsageError("frame", "unexpected argument '" + arg + "'");
        }
    }
    if (!haveText) {
        return UsageError("frame", "missing the command TEXT");
    }
    // Commands for a controller other than 0 begin with ">" and its digit.
    const std::string prefixed =
        (controller != 0 ? ">" + std::to_string(controller) : std::string()) + text;
    if (prefixed.size() > kLongestPrefixedText) {
        return UsageError("frame", "the command text is too long for a frame (at most " +
                                       std::to_string(kLongestPrefixedText) +
                                       " characters with the controller prefix)");
    }
    char buffer[kiv::kFrameBufferSize] = {};
    buffer[0] = kiv::kLineFeed;
    buffer[1] = ';';
    prefixed.copy(buffer + 2, prefixed.size());
    const std::string frame(buffer, kiv::FinishFrame(buffer, kiv::kFrameCapacity));

    if (context.json) {
        std::printf("%s\n", JsonObject()
                                .Add("text", text)
                                .Add("controller", static_cast<int64_t>(controller))
                                .Add("frameHex", HexBytes(frame.data(), frame.size()))
                                .Add("escaped", Escaped(frame))
                                .Add("commandList", CommandListNotation(frame))
                                .Text()
                                .c_str());
        return kExitOk;
    }
    std::printf("Text:          %s\n", text.c_str());
    std::printf("Controller:    %lld\n", controller);
    std::printf("Frame:         %s (%zu bytes)\n", Escaped(frame).c_str(), frame.size());
    std::printf("Hex:           %s\n", HexBytes(frame.data(), frame.size()).c_str());
    std::printf("Command list:  %s\n", CommandListNotation(frame).c_str());
    return kExitOk;
}

}  // namespace kivhost
