// Text for a terminal: what a script, a tag file or a client sent may hold control bytes, and
// an escape sequence among them would act on the terminal instead of being read.
#pragma once

#include <string>

namespace kivhost {

// The text with every byte below 0x20 and DEL written as "\xNN" (LF kept when asked);
// everything else unchanged (UTF-8 stays whole).
std::string TerminalSafe(const std::string& text, bool keepLineEnds = false);

}  // namespace kivhost
