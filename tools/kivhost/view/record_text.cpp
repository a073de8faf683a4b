// The monitor's records in words.
#include "view/record_text.h"

#include "base/terminal_text.h"

#include <algorithm>
#include <cstdio>

namespace kivhost {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

std::string SecondsText(const Json& record) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%9.3f", record.value("t", 0.0));
    return text;
}

std::string LineLabel(const Json& record) {
    const Json& line = MemberOf(record, "line");
    return line.is_number() ? "L" + std::to_string(line.get<int>()) : "  ";
}

std::string ValueText(const Json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_null()) {
        return "-";
    }
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.10g", value.get<double>());
    return text;
}

std::string EventText(const Json& record) {
    // Appended into one text: an event comes by the hundred a second on many lines.
    std::string text;
    text.reserve(128);
    text.append("event ").append(std::to_string(record.value("code", 0))).append(" ");
    text.append(TextOf(record, "name"));
    if (MemberOf(record, "unit").is_number()) {
        char unit[16];
        (void)std::snprintf(unit, sizeof unit, "%02d", MemberOf(record, "unit").get<int>());
        text.append(", ").append(TextOf(record, "unitKind")).append(" ").append(unit);
    }
    if (MemberOf(record, "key").is_string()) {
        text.append(", key ").append(TextOf(record, "key")).append(": ");
        text.append(ValueText(MemberOf(record, "holder")));
    }
    if (MemberOf(record, "time").is_string()) {
        text.append(" (").append(TextOf(record, "time")).append(")");
    }
    return text;
}

std::string ProgressText(const Json& record) {
    const unsigned sent = record.value("sent", 0U);
    const unsigned total = record.value("total", 0U);
    const unsigned failed = record.value("failed", 0U);
    const int filled = total == 0 ? kBarWidth : static_cast<int>(kBarWidth * sent / total);
    return std::string(record.value("done", false) ? "download done " : "download ") + "[" +
           std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] " + std::to_string(sent) +
           " of " + std::to_string(total) + " lines sent, " + std::to_string(failed) + " failed";
}

namespace {

// Breaks one line (no line end inside) into 'rows'; its first row is indented when 'first' is
// false.
void WrapLine(const std::string& line, size_t width, size_t indent, bool first,
              std::vector<std::string>& rows) {
    const std::string margin(std::min(indent, width / 2), ' ');
    std::string rest = line;
    while (true) {
        const std::string lead = first ? std::string() : margin;
        const size_t room = width - lead.size();
        if (rest.size() <= room) {
            rows.push_back(lead + rest);
            return;
        }
        const size_t blank = rest.rfind(' ', room);
        const size_t cut = blank != std::string::npos && blank > 0 ? blank : room;
        rows.push_back(lead + rest.substr(0, cut));
        rest = rest.substr(cut < rest.size() && rest[cut] == ' ' ? cut + 1 : cut);
        first = false;
    }
}

}  // namespace

std::vector<std::string> WrapRows(const std::string& text, size_t width, size_t indent) {
    std::vector<std::string> rows;
    width = std::max<size_t>(width, 2);
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        WrapLine(TerminalSafe(text.substr(at, end - at)), width, indent, at == 0, rows);
        at = end + 1;
    }
    return rows;
}

std::string ResultText(const Json& record) {
    return "> " + record.value("command", std::string()) + ": " +
           (record.value("ok", false) ? "ok" : "FAILED") +
           (record.value("detail", std::string()).empty()
                ? std::string()
                : ", " + record.value("detail", std::string()));
}

}  // namespace kivhost
