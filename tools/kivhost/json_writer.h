// A small JSON writer for the tool's machine-readable output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kivhost {

// The text as a JSON string: quotes added; quotes, backslashes, control characters and bytes
// above 0x7E escaped as \u00XX, so that any byte sequence is written the same way everywhere.
std::string JsonQuote(const std::string& text);

// An object whose members keep the order they were added in.
class JsonObject {
public:
    JsonObject& Add(const std::string& key, const std::string& text);
    JsonObject& Add(const std::string& key, const char* text);
    JsonObject& Add(const std::string& key, int64_t number);
    JsonObject& Add(const std::string& key, int32_t number) {
        return Add(key, static_cast<int64_t>(number));
    }
    JsonObject& Add(const std::string& key, uint32_t number) {
        return Add(key, static_cast<int64_t>(number));
    }
    JsonObject& AddBool(const std::string& key, bool value);
    // A value that is already JSON (an object or an array).
    JsonObject& AddRaw(const std::string& key, const std::string& json);
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

// The bytes in lower-case hexadecimal, two digits each, as the JSON answers carry raw bytes.
std::string HexBytes(const char* bytes, size_t count);

// An array of values that are already JSON.
std::string JsonArray(const std::vector<std::string>& items);

}  // namespace kivhost
