// One tag through the driver's Parse (function 3), as a host does when it configures a tag;
// shared by 'kivhost parse' and 'kivhost check'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "host/driver_session.h"

namespace kivhost {

// A tag's address and data type, what Parse answered, the five driver words it left in the
// record and the log lines of the call ("Entered" line included).
struct ParsedTag {
    std::string address;
    int32_t dataType = 0;
    int32_t result = 0;
    // The tag record as Parse left it (its address pointer cleared): the five driver words.
    GateDescriptor words{};
    std::vector<LogEntry> log;
};

// Calls function 3 for each tag with one zeroed instance of the size the driver reports.
class TagParser {
public:
    explicit TagParser(DriverSession& session);
    ParsedTag Parse(const std::string& address, int32_t dataType);

private:
    DriverSession& session_;
    std::vector<unsigned char> instance_;
};

// The data type of a tag: "analog", "digital", "string" (any case) or a whole number.
bool ParseDataType(const std::string& text, int32_t& dataType);
// "analog", "digital", "string", or the code as a number.
std::string DataTypeName(int32_t dataType);

// "accepted" (0), "rejected" (1), or "failed (result N)".
std::string Verdict(const ParsedTag& tag);
// The driver words of an accepted tag, or the lines the driver logged at level 32 for a
// refused one.
std::string WordsOrReason(const ParsedTag& tag);
// Adds address, dataType, result, the five words and the log to a JSON object.
void AddParsedTag(Json& out, const ParsedTag& tag);

// The text for a terminal: bytes below 0x20, 0x7F and above as \xNN, backslash as \\.
std::string Printable(const std::string& text);

}  // namespace kivhost
