// kivhost parse: addresses through the driver's Parse (function 3), one tag each.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "json_text.h"
#include "tag_parse.h"

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

}  // namespace

std::function<int()> SetUpParse(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<ParseArguments>();
    app.add_option("--type", arguments->type,
                   "analog, digital, string or the data type code (default analog)");
    app.add_option("ADDRESS", arguments->addresses, "the tag addresses");
    return [arguments, &global] { return RunParse(global, *arguments); };
}

}  // namespace kivhost
