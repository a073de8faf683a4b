// The lines of a text file as an editor saved it, on any platform: a UTF-8 byte-order mark at
// the start is dropped, and lines end in LF or CR LF (the CR is dropped with the LF). Scripts
// and tag files written on Windows read exactly as those written on Linux.
#pragma once

#include <string>
#include <vector>

namespace kivhost {

// The lines of a file's content, without their line ends; a last line without LF counts.
std::vector<std::string> SplitFileLines(const std::string& content);

// Reads a whole file and splits it; false with the reason when it cannot be read.
bool ReadFileLines(const std::string& path, std::vector<std::string>& lines, std::string& error);

// One line typed or piped in: a CR left before the LF is dropped.
void DropLineEnd(std::string& line);

}  // namespace kivhost
