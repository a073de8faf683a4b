// What each text check takes, in words, for tools that explain a refused text.
#include "kiv/kiv_tool.h"
#include "tags/setup_parameters.h"

namespace kiv {

const char* TextCheckForm(TextCheck check) {
    switch (check) {
    case TextCheck::kTime: return "a time HH:MM, hours 00 to 23 and minutes 00 to 59";
    case TextCheck::kBadgeCode:
        return "a badge code of up to ten hexadecimal digits, 0 to 9 and A to F";
    case TextCheck::kDate: return "a date DD/MM/YY, eight characters, day to 31 and month to 12";
    }
    return "";
}

}  // namespace kiv

extern "C" const char* kivToolTextForm(const char* address) {
    const kiv::SetupText* text = address != nullptr ? kiv::FindSetupText(address) : nullptr;
    return text != nullptr ? kiv::TextCheckForm(text->check) : nullptr;
}
