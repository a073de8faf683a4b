// The monitor's records in words, as the plain lines, the live view and the summary show them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace kivhost {

// "    1.234": the record's time, nine characters wide.
std::string SecondsText(const Json& record);
// "L2", or blanks for a record of no line.
std::string LineLabel(const Json& record);
// A tag's value: a text as it is, a number with up to ten digits, "-" for none.
std::string ValueText(const Json& value);
// "event 10 badge, door 03, key 0: Ada Lovelace (12:00:00)".
std::string EventText(const Json& record);
// "download [#####.....] 5 of 10 lines sent, 0 failed".
std::string ProgressText(const Json& record);
// "> write PBNAM x: ok, detail".
std::string ResultText(const Json& record);

// A text of one or more lines as rows of at most 'width' characters: each line broken at its
// last blank that fits (or hard where none does); every row after the text's first is indented
// by 'indent' blanks (at most half the width).
std::vector<std::string> WrapRows(const std::string& text, size_t width, size_t indent);

}  // namespace kivhost
