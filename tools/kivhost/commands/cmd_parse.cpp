// kivhost parse: addresses through the driver's Parse (function 3), one tag each.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "cli/command.h"
#include "commands/commands.h"
#include "host/tag_parse.h"

namespace kivhost {

namespace {

struct ParseArguments {
    std::string type = "analog";
    std::vector<std::string> addresses;
};

int RunParse(const GlobalOptions& global, const ParseArguments& arguments) {
    int32_t dataType = KIV_TYPE_ANALOG;
    const std::vector<std::string>& addresses = arguments.addresses;
    if (!ParseDataType(arguments.type, dataType)) {
        return UsageError("parse", "'" + arguments.type +
                                       "' is not a data type (analog, digital, string or a whole "
                                       "number)");
    }
    if (addresses.empty()) {
        return UsageError("parse", "missing the ADDRESS to parse");
    }
    DriverSession session;
    if (!LoadDriver(global, session)) {
        return kExitNoDriver;
    }
    TagParser parser(session);
    std::vector<ParsedTag> tags;
    tags.reserve(addresses.size());
    bool allAccepted = true;
    for (const std::string& address : addresses) {
        tags.push_back(parser.Parse(address, dataType));
        allAccepted = allAccepted && tags.back().result == KIV_OK;
    }

    if (global.json) {
        Json items = Json::array();
        for (const ParsedTag& tag : tags) {
            Json object;
            AddParsedTag(object, tag);
            items.push_back(std::move(object));
        }
        std::printf("%s\n", Dump(items).c_str());
    } else {
        for (const ParsedTag& tag : tags) {
            std::printf("'%s' (%s): %s: %s\n", Printable(tag.address).c_str(),
                        DataTypeName(tag.dataType).c_str(), Verdict(tag).c_str(),
                        WordsOrReason(tag).c_str());
        }
    }
    return allAccepted ? kExitOk : kExitRejected;
}

std::function<int()> SetUpParse(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<ParseArguments>();
    app.add_option("--type", arguments->type,
                   "analog, digital, string or the data type code (default analog)");
    app.add_option("ADDRESS", arguments->addresses, "the tag addresses");
    return [arguments, &global] { return RunParse(global, *arguments); };
}

// The rest of the command's own --help text.
std::string ParseHelp() {
    return "Hands each ADDRESS to the driver's Parse (function 3) as a tag of data type T, the "
           "way\n"
           "a host does when it configures a tag, and shows whether the driver accepts it, with "
           "the\n"
           "five driver words it stores with the tag (controller, operation, lockNumber, "
           "bitNumber,\n"
           "bitWidth), or the reason it gives for refusing it.\n"
           "\n"
           "--type takes analog, digital, string (any case) or the host's data type code (0\n"
           "analog, 6 digital, 7 string). Every argument after '--' is an address, even one that\n"
           "is empty or begins with '-'.\n"
           "\n"
           "--json prints one array with an object per address, in the order given:\n"
           "{\"address\", \"dataType\", \"result\", \"controller\", \"operation\", "
           "\"lockNumber\",\n"
           "\"bitNumber\", \"bitWidth\", \"log\"}; log holds every line the driver wrote during "
           "the\n"
           "call, the \"Entered\" line included.\n"
           "Exit status: 0 every address accepted, 1 any refused, 2 usage error.\n";
}

}  // namespace

extern const Command kParseCommand = {
    "parse", "check tag addresses with the driver's Parse (function 3)", ParseHelp, SetUpParse,
    "addresses that begin with '-' go after '--'"};

}  // namespace kivhost
