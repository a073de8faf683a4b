// kivhost check: a host's tag configuration through the driver's Parse, tag by tag.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "cli/command.h"
#include "commands/commands.h"
#include "host/tag_config.h"
#include "host/tag_parse.h"

namespace kivhost {

namespace {

struct CheckedTag {
    TagLine line;
    ParsedTag parsed;
};

void PrintJson(const std::string& path, const std::vector<CheckedTag>& checked, size_t accepted) {
    Json items = Json::array();
    for (const CheckedTag& tag : checked) {
        Json object = {{"line", tag.line.lineNumber}, {"name", ByteText(tag.line.name)}};
        AddParsedTag(object, tag.parsed);
        items.push_back(std::move(object));
    }
    const Json out = {{"file", ByteText(path)},
                      {"tags", std::move(items)},
                      {"accepted", accepted},
                      {"rejected", checked.size() - accepted}};
    std::printf("%s\n", Dump(out).c_str());
}

void PrintTable(const std::vector<CheckedTag>& checked, bool rejectedOnly) {
    struct Row {
        std::string line, name, address, type, verdict, detail;
    };
    std::vector<Row> rows = {
        {"LINE", "NAME", "ADDRESS", "TYPE", "VERDICT", "DRIVER WORDS OR REASON"}};
    for (const CheckedTag& tag : checked) {
        if (rejectedOnly && tag.parsed.result == KIV_OK) {
            continue;
        }
        rows.push_back({std::to_string(tag.line.lineNumber), Printable(tag.line.name),
                        Printable(tag.parsed.address), DataTypeName(tag.parsed.dataType),
                        Verdict(tag.parsed), WordsOrReason(tag.parsed)});
    }
    if (rows.size() == 1) {
        return;
    }
    size_t widths[5] = {};
    for (const Row& row : rows) {
        const std::string* cells[5] = {&row.line, &row.name, &row.address, &row.type, &row.verdict};
        for (size_t i = 0; i < 5; ++i) {
            widths[i] = std::max(widths[i], cells[i]->size());
        }
    }
    for (const Row& row : rows) {
        std::printf("%*s  %-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(widths[0]),
                    row.line.c_str(), static_cast<int>(widths[1]), row.name.c_str(),
                    static_cast<int>(widths[2]), row.address.c_str(), static_cast<int>(widths[3]),
                    row.type.c_str(), static_cast<int>(widths[4]), row.verdict.c_str(),
                    row.detail.c_str());
    }
}

struct CheckArguments {
    std::string path;
    bool rejectedOnly = false;
};

int RunCheck(const GlobalOptions& global, const CheckArguments& arguments) {
    const std::string& path = arguments.path;
    if (path.empty()) {
        return UsageError("check", "missing the FILE to check");
    }
    TagConfig config;
    if (!ReadWholeTagConfig("check", path, config)) {
        return kExitUsage;
    }
    DriverSession session;
    if (!LoadDriver(global, session)) {
        return kExitNoDriver;
    }
    TagParser parser(session);
    std::vector<CheckedTag> checked;
    checked.reserve(config.tags.size());
    size_t accepted = 0;
    for (const TagLine& line : config.tags) {
        checked.push_back({line, parser.Parse(line.address, line.dataType)});
        accepted += checked.back().parsed.result == KIV_OK ? 1 : 0;
    }
    if (global.json) {
        PrintJson(path, checked, accepted);
    } else {
        PrintTable(checked, arguments.rejectedOnly);
        std::printf("%s: %zu %s, %zu accepted, %zu rejected\n", path.c_str(), checked.size(),
                    checked.size() == 1 ? "tag" : "tags", accepted, checked.size() - accepted);
    }
    return accepted == checked.size() ? kExitOk : kExitRejected;
}

std::function<int()> SetUpCheck(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<CheckArguments>();
    app.add_flag("--quiet", arguments->rejectedOnly, "list only the tags that are not accepted");
    app.add_option("FILE", arguments->path, "the tag configuration file");
    return [arguments, &global] { return RunCheck(global, *arguments); };
}

// The rest of the command's own --help text.
std::string CheckHelp() {
    return "Reads a tag configuration, hands every tag to the driver's Parse (function 3) and\n"
           "prints a table (line, name, address, type, verdict, driver words or reason) and a\n"
           "summary.\n"
           "\n"
           "The file holds one tag a line: NAME ADDRESS TYPE, separated by spaces or tabs.\n"
           "  - TYPE is analog, digital, string (any case) or a whole number (the host's data\n"
           "    type code: 0 analog, 6 digital, 7 string).\n"
           "  - A field in double quotes may hold spaces, tabs and '#', or be empty (\"\");\n"
           "    inside quotes, \"\" stands for one double quote.\n"
           "  - Outside quotes, '#' starts a comment that runs to the end of the line.\n"
           "  - Blank and comment lines are ignored; lines end in LF or CR LF.\n"
           "  Example:   L1_3PMODE   3PMODE   analog    # mode of controller 3\n"

           "\n"
           "--json prints {\"file\", \"tags\", \"accepted\", \"rejected\"}, each tag being "
           "{\"line\",\n"
           "\"name\", \"address\", \"dataType\", \"result\", \"controller\", \"operation\",\n"
           "\"lockNumber\", \"bitNumber\", \"bitWidth\", \"log\"}.\n"
           "Exit status: 0 every tag accepted, 1 any tag refused, 2 the file cannot be read or a\n"
           "line is malformed (each such line is reported with its number, and no tag is "
           "checked).\n";
}

}  // namespace

extern const Command kCheckCommand = {"check", "check a tag configuration file tag by tag",
                                      CheckHelp, SetUpCheck, nullptr};

}  // namespace kivhost
