// kivhost check: a host's tag configuration through the driver's Parse, tag by tag.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "tag_config.h"
#include "tag_parse.h"

namespace kivhost {

namespace {

struct CheckedTag {
    TagLine line;
    ParsedTag parsed;
};

void PrintJson(const std::string& path, const std::vector<CheckedTag>& checked, size_t accepted) {
    std::vector<std::string> items;
    items.reserve(checked.size());
    for (const CheckedTag& tag : checked) {
        JsonObject object;
        object.Add("line", static_cast<int64_t>(tag.line.lineNumber)).Add("name", tag.line.name);
        AddParsedTag(object, tag.parsed);
        items.push_back(object.Text());
    }
    std::printf("%s\n", JsonObject()
                            .Add("file", path)
                            .AddRaw("tags", JsonArray(items))
                            .Add("accepted", static_cast<int64_t>(accepted))
                            .Add("rejected", static_cast<int64_t>(checked.size() - accepted))
                            .Text()
                            .c_str());
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

}  // namespace

int RunCheck(CommandContext& context) {
    std::string path;
    bool rejectedOnly = false;
    bool afterSeparator = false;
    for (const std::string& arg : context.args) {
        if (!afterSeparator && arg == "--") {
            afterSeparator = true;
        } else if (!afterSeparator && arg == "--quiet") {
            rejectedOnly = true;
        } else if (!afterSeparator && !arg.empty() && arg[0] == '-') {
            return UsageError("check", "unknown option '" + arg + "'");
        } else if (path.empty()) {
            path = arg;
        } else {
            return UsageError("check", "unexpected argument '" + arg + "' (one FILE only)");
        }
    }
    if (path.empty()) {
        return UsageError("check", "missing the FILE to check");
    }
    TagConfig config;
    std::string error;
    if (!ReadTagConfig(path, config, error)) {
        (void)std::fprintf(stderr, "kivhost check: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!config.malformed.empty()) {
        for (const MalformedLine& line : config.malformed) {
            (void)std::fprintf(stderr, "kivhost check: %s:%zu: %s\n", path.c_str(), line.lineNumber,
                               line.message.c_str());
        }
        (void)std::fprintf(stderr, "kivhost check: %zu malformed %s; no tag was checked\n",
                           config.malformed.size(),
                           config.malformed.size() == 1 ? "line" : "lines");
        return kExitUsage;
    }
    DriverSession session;
    if (!LoadDriver(context, session)) {
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
    if (context.json) {
        PrintJson(path, checked, accepted);
    } else {
        PrintTable(checked, rejectedOnly);
        std::printf("%s: %zu %s, %zu accepted, %zu rejected\n", path.c_str(), checked.size(),
                    checked.size() == 1 ? "tag" : "tags", accepted, checked.size() - accepted);
    }
    return accepted == checked.size() ? kExitOk : kExitRejected;
}

}  // namespace kivhost
