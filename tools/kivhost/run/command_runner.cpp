// Runs the commands of kivhost run.
#include "run/command_runner.h"

#include <chrono>
#include <cstdio>

#include "base/exit_codes.h"
#include "base/file_lines.h"
#include "base/terminal_text.h"

namespace kivhost {

Json ResultRecord(double seconds, const std::string& command, const CommandOutcome& outcome,
                  size_t scriptLine) {
    Json record = {{"t", seconds},       {"type", "result"}, {"line", nullptr},
                   {"command", command}, {"ok", outcome.ok}, {"detail", outcome.detail}};
    if (scriptLine != 0) {
        record["scriptLine"] = scriptLine;
    }
    for (const auto& [key, value] : outcome.extra.items()) {
        record[key] = value;
    }
    return record;
}

bool ReadScript(const std::string& path, std::vector<RunCommand>& commands) {
    std::vector<std::string> lines;
    std::string error;
    if (!ReadFileLines(path, lines, error)) {
        (void)std::fprintf(stderr, "kivhost run: the script: %s\n", TerminalSafe(error).c_str());
        return false;
    }
    bool ok = true;
    for (size_t k = 0; k < lines.size(); ++k) {
        RunCommand command;
        command.lineNumber = k + 1;
        if (!ParseRunCommand(lines[k], command, error)) {
            (void)std::fprintf(stderr, "kivhost run: %s:%zu: %s\n", path.c_str(), k + 1,
                               TerminalSafe(error).c_str());
            ok = false;
        } else if (!command.verb.empty()) {
            commands.push_back(command);
        }
    }
    return ok;
}

bool CheckScriptTags(const std::string& path, const std::vector<RunCommand>& commands,
                     const TagConfig& config, int lines, const std::string& tagsPath) {
    bool ok = true;
    for (const RunCommand& command : commands) {
        const std::string& verb = command.verb;
        const bool namesTag = verb == "write" || verb == "read" || verb == "show" || verb == "wait";
        if (namesTag && !NamesRunTag(config, lines, command.words[1])) {
            (void)std::fprintf(stderr, "kivhost run: %s:%zu: no tag '%s' in %s\n", path.c_str(),
                               command.lineNumber, TerminalSafe(command.words[1]).c_str(),
                               tagsPath.c_str());
            ok = false;
        }
    }
    return ok;
}

CommandRunner::CommandRunner(RunSession& session, Monitor& monitor, RunView& view,
                             StopRequest& stop, std::string script)
    : session_(session), monitor_(monitor), view_(view), stop_(stop), script_(std::move(script)) {}

bool CommandRunner::Run(const RunCommand& command) {
    bool quit = false;
    CommandOutcome outcome;
    if (command.verb == "status") {
        // The view keeps the counters.
        outcome.detail = view_.StatusText();
        outcome.extra["lines"] = view_.StatusJson();
        outcome.extra["mqtt"] = view_.GatewayJson();
    } else {
        outcome = ExecuteRunCommand(session_, command, quit);
        ApplyExpectation(command, outcome);
    }
    monitor_.Emit(ResultRecord(monitor_.Seconds(), command.text, outcome, command.lineNumber));
    if (quit) {
        stop_.Request(kExitOk, "quit");
        return false;
    }
    if (!outcome.ok && command.lineNumber != 0 && !session_.Interrupted()) {
        const std::string reason = script_ + ":" + std::to_string(command.lineNumber) + ": " +
                                   command.text + ": " + outcome.detail;
        (void)std::fprintf(stderr, "kivhost run: %s\n", TerminalSafe(reason).c_str());
        stop_.Request(kExitRejected, reason);
        return false;
    }
    return true;
}

void CommandRunner::RunScript(const std::vector<RunCommand>& commands) {
    for (const RunCommand& command : commands) {
        if (stop_.Requested() || !Run(command)) {
            return;
        }
    }
}

bool CommandRunner::NextLine(InputQueue& queue, std::string& text, bool& ended) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.ready.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return !queue.lines.empty() || queue.ended; })) {
        return false;
    }
    if (queue.lines.empty()) {
        ended = true;
        return false;
    }
    text = queue.lines.front();
    queue.lines.pop_front();
    return true;
}

void CommandRunner::RunInput(const std::shared_ptr<InputQueue>& queue) {
    bool ended = false;
    while (!stop_.Requested() && !ended) {
        std::string text;
        if (!NextLine(*queue, text, ended)) {
            continue;  // when the input ended, the run goes on until stopped otherwise
        }
        RunCommand command;
        std::string error;
        if (!ParseRunCommand(text, command, error)) {
            CommandOutcome refused;
            refused.ok = false;
            refused.detail = error;
            monitor_.Emit(ResultRecord(monitor_.Seconds(), text, refused));
        } else if (!command.verb.empty() && !Run(command)) {
            return;
        }
    }
}

}  // namespace kivhost
