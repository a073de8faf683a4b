// Reading the tag configuration file.
#include "host/tag_config.h"

#include <cstdio>

#include "base/file_lines.h"
#include "host/tag_parse.h"

namespace kivhost {

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

void ParseLine(const std::string& text, size_t lineNumber, TagConfig& config) {
    std::vector<std::string> fields;
    std::string message;
    if (!SplitConfigLine(text, fields, message)) {
        config.malformed.push_back({lineNumber, message});
        return;
    }
    if (fields.empty()) {
        return;
    }
    if (fields.size() != 3) {
        config.malformed.push_back({lineNumber, "expected NAME ADDRESS TYPE, found " +
                                                    std::to_string(fields.size()) +
                                                    (fields.size() == 1 ? " field" : " fields")});
        return;
    }
    TagLine tag;
    tag.lineNumber = lineNumber;
    tag.name = fields[0];
    tag.address = fields[1];
    if (tag.name.empty()) {
        config.malformed.push_back({lineNumber, "the tag name is empty"});
        return;
    }
    for (const char c : tag.name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            config.malformed.push_back(
                {lineNumber,
                 "the tag name '" + Printable(tag.name) +
                     "' holds a control or non-ASCII byte (names are printable ASCII)"});
            return;
        }
    }
    if (!ParseDataType(fields[2], tag.dataType)) {
        config.malformed.push_back({lineNumber, "'" + Printable(fields[2]) +
                                                    "' is not a data type (analog, digital, "
                                                    "string or a whole number)"});
        return;
    }
    config.tags.push_back(tag);
}

}  // namespace

bool SplitConfigLine(const std::string& line, std::vector<std::string>& fields,
                     std::string& message) {
    fields.clear();
    if (line.find('\0') != std::string::npos) {
        message = "the line holds a NUL byte";
        return false;
    }
    size_t i = 0;
    while (true) {
        while (i < line.size() && IsSeparator(line[i])) {
            ++i;
        }
        if (i == line.size() || line[i] == '#') {
            return true;
        }
        std::string field;
        if (line[i] == '"') {
            ++i;
            while (true) {
                if (i == line.size()) {
                    message = "a quoted field is not closed";
                    return false;
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
            if (i < line.size() && !IsSeparator(line[i]) && line[i] != '#') {
                message = "text right after a closing quote (separate the fields by a blank)";
                return false;
            }
        } else {
            while (i < line.size() && !IsSeparator(line[i]) && line[i] != '#') {
                if (line[i] == '"') {
                    message = "a double quote inside a field (quote the whole field)";
                    return false;
                }
                field += line[i++];
            }
        }
        fields.push_back(field);
    }
}

bool ReadTagConfig(const std::string& path, TagConfig& config, std::string& error) {
    config = TagConfig{};
    std::vector<std::string> lines;
    if (!ReadFileLines(path, lines, error)) {
        return false;
    }
    for (size_t k = 0; k < lines.size(); ++k) {
        ParseLine(lines[k], k + 1, config);
    }
    return true;
}

bool ReadWholeTagConfig(const char* command, const std::string& path, TagConfig& config) {
    std::string error;
    if (!ReadTagConfig(path, config, error)) {
        (void)std::fprintf(stderr, "kivhost %s: %s\n", command, error.c_str());
        return false;
    }
    for (const MalformedLine& line : config.malformed) {
        (void)std::fprintf(stderr, "kivhost %s: %s:%zu: %s\n", command, path.c_str(),
                           line.lineNumber, line.message.c_str());
    }
    if (!config.malformed.empty()) {
        (void)std::fprintf(stderr, "kivhost %s: %zu malformed %s; no tag was checked\n", command,
                           config.malformed.size(),
                           config.malformed.size() == 1 ? "line" : "lines");
        return false;
    }
    return true;
}

}  // namespace kivhost
