// The commands of kivhost run, from standard input or a script, one a line:
//
//   write TAG VALUE [expect=N]   SingleWrite (function 7); text values in double quotes;
//                                expect=N: the driver's result N is what the script wants
//   read TAG [expect=N]          the read function (5)
//   show TAG                     the host's current value of the tag, and when it changed
//   wait TAG VALUE [TIMEOUT]     until the tag holds the value (TIMEOUT ms, default 10000)
//   expect-log TEXT [TIMEOUT]    until a log line holds TEXT (default 10000 ms); each looks at
//                                the lines after the one the previous expect-log found
//   sleep MS
//   event CODE UNIT [BADGE] [line=N]   a simulated controller sends an event
//   sim COMMAND... [line=N]      a command of the line simulator's own language
//   status                       per line: port, controllers heard, last event, counters
//                                (answered by the view, which keeps the counters)
//   help                         the commands in short
//   quit
//
// Words are split as the fields of a tag file: a word in double quotes may hold blanks and '#',
// or be empty; inside it "" stands for one double quote. Outside quotes '#' starts a comment.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/run_session.h"

namespace kivhost {

struct RunCommand {
    size_t lineNumber = 0;  // in the script, from 1; 0 from standard input
    std::string text;       // the line as written
    std::string verb;       // empty for a blank or comment line
    std::vector<std::string> words;
    // What the checks read from the words.
    std::chrono::milliseconds timeout{10000};
    SimulatedEvent event;
    int line = 1;
    // write and read: the driver's result the script expects (expect=N); none: 0.
    std::optional<int32_t> expected;
};

// What a script makes of a command's outcome: a write or read whose result is the one its
// expect=N names went as wanted (ok, "as expected" in the detail); one whose result differs
// from it did not.
void ApplyExpectation(const RunCommand& command, CommandOutcome& outcome);

// Splits and checks one line; false with the reason when it is not a command.
bool ParseRunCommand(const std::string& text, RunCommand& command, std::string& error);

// Runs a checked command; 'quit' is set by quit.
CommandOutcome ExecuteRunCommand(RunSession& session, const RunCommand& command, bool& quit);

// The help text of the commands.
const char* RunCommandHelp();

}  // namespace kivhost
