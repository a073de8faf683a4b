// The tag configuration file that 'kivhost check' reads: one tag a line, name, address and
// data type.
//
// Fields are separated by spaces or tabs. A field may be written in double quotes to hold
// spaces, tabs or '#', or to be empty; inside quotes "" stands for one double quote. Outside
// quotes, '#' starts a comment that runs to the end of the line. Blank and comment lines are
// ignored; lines end in LF or CR LF, and a UTF-8 byte-order mark at the start is dropped. A
// name is printable ASCII: a control or non-ASCII byte in it makes the line malformed. The type is
// analog, digital, string (any case) or a whole number, the host's data type code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivhost {

struct TagLine {
    size_t lineNumber = 0;  // from 1
    std::string name;
    std::string address;
    int32_t dataType = 0;
};

struct MalformedLine {
    size_t lineNumber = 0;
    std::string message;
};

struct TagConfig {
    std::vector<TagLine> tags;
    std::vector<MalformedLine> malformed;
};

// Splits one line (without its line end) into fields; false with a message when the line is
// malformed. A blank or comment line gives no fields.
bool SplitConfigLine(const std::string& line, std::vector<std::string>& fields,
                     std::string& message);

// Reads a whole file. False with a message when it cannot be read; a malformed line does not
// stop the reading, it is listed in 'malformed'.
bool ReadTagConfig(const std::string& path, TagConfig& config, std::string& error);

// Reads a whole file for a subcommand; false when it cannot be read or a line is malformed,
// after each problem was reported on standard error ("kivhost COMMAND: FILE:LINE: reason").
bool ReadWholeTagConfig(const char* command, const std::string& path, TagConfig& config);

}  // namespace kivhost
