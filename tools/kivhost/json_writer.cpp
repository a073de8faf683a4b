// A small JSON writer for the tool's machine-readable output.
#include "json_writer.h"

#include <cstdio>

namespace kivhost {

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& text) {
    members_.emplace_back(key, JsonQuote(text));
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const char* text) {
    return Add(key, std::string(text != nullptr ? text : ""));
}

JsonObject& JsonObject::Add(const std::string& key, int64_t number) {
    members_.emplace_back(key, std::to_string(number));
    return *this;
}

JsonObject& JsonObject::AddBool(const std::string& key, bool value) {
    members_.emplace_back(key, value ? "true" : "false");
    return *this;
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
    members_.emplace_back(key, json);
    return *this;
}

std::string JsonObject::Text() const {
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += JsonQuote(members_[i].first) + ": " + members_[i].second;
    }
    return out + "}";
}

std::string HexBytes(const char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += items[i];
    }
    return out + "]";
}

}  // namespace kivhost
