// kivhost parse: addresses through the driver's Parse (function 3), one tag each.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "tag_parse.h"

namespace kivhost {

int RunParse(CommandContext& context) {
    int32_t dataType = KIV_TYPE_ANALOG;
    std::vector<std::string> addresses;
    bool afterSeparator = false;
    for (size_t i = 0; i < context.args.size(); ++i) {
        const std::string& arg = context.args[i];
        if (!afterSeparator && arg == "--") {
            afterSeparator = true;
        } else if (!afterSeparator && arg == "--type") {
            if (i + 1 >= context.args.size()) {
                return UsageError("parse", "--type needs analog, digital, string or a number");
            }
            const std::string& type = context.args[++i];
            if (!ParseDataType(type, dataType)) {
                return UsageError("parse", "'" + type +
                                               "' is not a data type (analog, digital, string or "
                                               "a whole number)");
            }
        } else if (!afterSeparator && !arg.empty() && arg[0] == '-') {
            return UsageError("parse", "unknown option '" + arg +
                                           "' (addresses that begin with '-' go after '--')");
        } else {
            addresses.push_back(arg);
        }
    }
    if (addresses.empty()) {
        return UsageError("parse", "missing the ADDRESS to parse");
    }
    DriverSession session;
    if (!LoadDriver(context, session)) {
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

    if (context.json) {
        std::vector<std::string> items;
        items.reserve(tags.size());
        for (const ParsedTag& tag : tags) {
            JsonObject object;
            AddParsedTag(object, tag);
            items.push_back(object.Text());
        }
        std::printf("%s\n", JsonArray(items).c_str());
    } else {
        for (const ParsedTag& tag : tags) {
            std::printf("'%s' (%s): %s: %s\n", Printable(tag.address).c_str(),
                        DataTypeName(tag.dataType).c_str(), Verdict(tag).c_str(),
                        WordsOrReason(tag).c_str());
        }
    }
    return allAccepted ? kExitOk : kExitRejected;
}

}  // namespace kivhost
