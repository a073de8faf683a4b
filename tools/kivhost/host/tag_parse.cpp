// One tag through the driver's Parse.
#include "host/tag_parse.h"

#include <cstdio>

#include "base/numbers.h"

namespace kivhost {

// Parse reads no instance state, but a host always passes its instance.
TagParser::TagParser(DriverSession& session)
    : session_(session), instance_(session.ZeroedInstance()) {}

ParsedTag TagParser::Parse(const std::string& address, int32_t dataType) {
    GateDescriptor gate{};
    gate.address = address.c_str();
    gate.dataType = dataType;
    KivRequest request{};
    request.instance = instance_.data();
    request.functionNumber = KIV_FN_PARSE;
    request.argument = &gate;
    ParsedTag tag;
    tag.address = address;
    tag.dataType = dataType;
    tag.result = session_.Call(request, &tag.log);
    tag.words = gate;
    tag.words.address = nullptr;
    return tag;
}

bool ParseDataType(const std::string& text, int32_t& dataType) {
    std::string lower;
    for (const char c : text) {
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (lower == "analog") {
        dataType = KIV_TYPE_ANALOG;
    } else if (lower == "digital") {
        dataType = KIV_TYPE_DIGITAL;
    } else if (lower == "string") {
        dataType = KIV_TYPE_STRING;
    } else {
        long long number = 0;
        if (!ParseInteger(text, number) || number < INT32_MIN || number > INT32_MAX) {
            return false;
        }
        dataType = static_cast<int32_t>(number);
    }
    return true;
}

std::string DataTypeName(int32_t dataType) {
    switch (dataType) {
    case KIV_TYPE_ANALOG: return "analog";
    case KIV_TYPE_DIGITAL: return "digital";
    case KIV_TYPE_STRING: return "string";
    default: return std::to_string(dataType);
    }
}

std::string Verdict(const ParsedTag& tag) {
    switch (tag.result) {
    case KIV_OK: return "accepted";
    case KIV_REJECTED: return "rejected";
    default: return "failed (result " + std::to_string(tag.result) + ")";
    }
}

std::string WordsOrReason(const ParsedTag& tag) {
    if (tag.result == KIV_OK) {
        return "controller " + std::to_string(tag.words.controller) + ", operation " +
               std::to_string(tag.words.operation) + ", lockNumber " +
               std::to_string(tag.words.lockNumber) + ", bitNumber " +
               std::to_string(tag.words.bitNumber) + ", bitWidth " +
               std::to_string(tag.words.bitWidth);
    }
    std::string reason;
    for (const LogEntry& entry : tag.log) {
        if (entry.level == 32) {
            reason += (reason.empty() ? "" : "; ") + Printable(entry.text);
        }
    }
    return reason.empty() ? "no reason logged" : reason;
}

void AddParsedTag(Json& out, const ParsedTag& tag) {
    out["address"] = ByteText(tag.address);
    out["dataType"] = tag.dataType;
    out["result"] = tag.result;
    out["controller"] = tag.words.controller;
    out["operation"] = tag.words.operation;
    out["lockNumber"] = tag.words.lockNumber;
    out["bitNumber"] = tag.words.bitNumber;
    out["bitWidth"] = tag.words.bitWidth;
    out["log"] = LogJson(tag.log);
}

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kivhost
