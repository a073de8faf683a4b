// Whole numbers in the tool's own texts.
#include "base/numbers.h"

#include <cerrno>
#include <cstdlib>

namespace kivhost {

bool ParseInteger(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0' && end != text.c_str();
}

}  // namespace kivhost
