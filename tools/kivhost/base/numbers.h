// Whole numbers in the tool's own texts (scripts, commands, arguments).
#pragma once

#include <string>

namespace kivhost {

// Parses a whole decimal number (sign allowed); false when the text is not one.
bool ParseInteger(const std::string& text, long long& value);

}  // namespace kivhost
