// kivhost frame TEXT: a command text finished as the driver finishes it.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "base/numbers.h"
#include "cli/command.h"
#include "commands/commands.h"
#include "instance/driver_instance.h"
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

struct FrameArguments {
    std::string text;
    std::string controllerText = "0";
    CLI::Option* textOption = nullptr;
};

int RunFrame(const GlobalOptions& global, const FrameArguments& arguments) {
    const std::string& text = arguments.text;
    long long controller = 0;
    if (!ParseInteger(arguments.controllerText, controller) || controller < 0 || controller > 7) {
        return UsageError("frame",
                          "'" + arguments.controllerText + "' is not a controller (0 to 7)");
    }
    if (arguments.textOption->count() == 0) {
        return UsageError("frame", "missing the command TEXT");
    }
    // A control byte (a CR or LF ends a frame on the line, a NUL ends the driver's text) would
    // make a frame the controllers read as something else.
    const auto control = std::find_if(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control != text.end()) {
        char byte[8];
        (void)std::snprintf(byte, sizeof byte, "0x%02X",
                            static_cast<unsigned>(static_cast<unsigned char>(*control)));
        return UsageError("frame", std::string("the command text holds a control byte (") + byte +
                                       "): a frame carries printable text");
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

    if (global.json) {
        const Json out = {{"text", ByteText(text)},
                          {"controller", controller},
                          {"frameHex", HexBytes(frame.data(), frame.size())},
                          {"escaped", ByteText(Escaped(frame))},
                          {"commandList", ByteText(CommandListNotation(frame))}};
        std::printf("%s\n", Dump(out).c_str());
        return kExitOk;
    }
    std::printf("Text:          %s\n", text.c_str());
    std::printf("Controller:    %lld\n", controller);
    std::printf("Frame:         %s (%zu bytes)\n", Escaped(frame).c_str(), frame.size());
    std::printf("Hex:           %s\n", HexBytes(frame.data(), frame.size()).c_str());
    std::printf("Command list:  %s\n", CommandListNotation(frame).c_str());
    return kExitOk;
}

std::function<int()> SetUpFrame(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<FrameArguments>();
    arguments->textOption = app.add_option("TEXT", arguments->text, "the command text");
    app.add_option("--controller", arguments->controllerText, "the controller, 0 to 7 (default 0)");
    return [arguments, &global] { return RunFrame(global, *arguments); };
}

// The rest of the command's own --help text.
std::string FrameHelp() {
    return "Finishes a command text the way the driver does: LF, \";\", \">C\" for a controller C\n"
           "other than 0 (default 0), the text upper-cased, \";\", the CRC-16/XMODEM of "
           "everything\n"
           "from the first \";\" to the second as four hexadecimal digits, CR. Prints the frame\n"
           "with <LF> and <CR> written out, in hexadecimal, and in the notation of the "
           "command-list\n"
           "file (\"<\" for LF, \">\" for CR). Note that the command-list file ends an entry's "
           "text\n"
           "at its first \";\" and reads every \">\" as CR, so a finished frame cannot be sent "
           "from\n"
           "there as it stands. The driver is not loaded. --json prints {\"text\", "
           "\"controller\",\n"
           "\"frameHex\", \"escaped\", \"commandList\"}.\n";
}

}  // namespace

extern const Command kFrameCommand = {"frame", "finish a command text into a frame", FrameHelp,
                                      SetUpFrame, nullptr};

}  // namespace kivhost
