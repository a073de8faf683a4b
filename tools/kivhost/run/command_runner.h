// Runs the commands of kivhost run, from a script or as they are typed, and shows each one's
// outcome as a "result" record.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/monitor.h"
#include "run/command_input.h"
#include "run/run_commands.h"
#include "run/run_session.h"
#include "run/stop_request.h"
#include "view/run_view.h"

namespace kivhost {

// The "result" record of a command: its text as written, whether it went well and why not or
// what it found, with the outcome's extra members; 'scriptLine' is 0 for a command not from a
// script.
Json ResultRecord(double seconds, const std::string& command, const CommandOutcome& outcome,
                  size_t scriptLine = 0);

// Reads and checks a whole script before anything starts; false after naming each line that is
// not a command on standard error.
bool ReadScript(const std::string& path, std::vector<RunCommand>& commands);

// Whether every tag the script's commands name is a tag of the run (NamesRunTag); false after
// naming each one that is not, as FILE:LINE, on standard error.
bool CheckScriptTags(const std::string& path, const std::vector<RunCommand>& commands,
                     const TagConfig& config, int lines, const std::string& tagsPath);

class CommandRunner {
public:
    CommandRunner(RunSession& session, Monitor& monitor, RunView& view, StopRequest& stop,
                  std::string script);

    // Runs one command and shows its result; false when a script has to stop on it.
    bool Run(const RunCommand& command);
    void RunScript(const std::vector<RunCommand>& commands);
    // Runs the queued lines until a stop is requested or the input ends.
    void RunInput(const std::shared_ptr<InputQueue>& queue);

private:
    // Waits a moment for the next line; false when there is none (yet).
    static bool NextLine(InputQueue& queue, std::string& text, bool& ended);

    RunSession& session_;
    Monitor& monitor_;
    RunView& view_;
    StopRequest& stop_;
    std::string script_;
};

}  // namespace kivhost
