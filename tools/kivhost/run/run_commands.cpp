// The commands of kivhost run.
#include "run/run_commands.h"

#include <cstdlib>

#include "base/numbers.h"
#include "host/tag_config.h"

namespace kivhost {

namespace {

bool Milliseconds(const std::string& text, std::chrono::milliseconds& value, std::string& error) {
    long long number = 0;
    if (!ParseInteger(text, number) || number < 0 || number > 86400000) {
        error = "'" + text + "' is not a time in milliseconds (0 to 86400000)";
        return false;
    }
    value = std::chrono::milliseconds(number);
    return true;
}

bool EventWords(RunCommand& command, std::string& error) {
    std::vector<std::string> positional;
    for (size_t i = 1; i < command.words.size(); ++i) {
        const std::string& word = command.words[i];
        if (word.compare(0, 5, "line=") == 0) {
            long long line = 0;
            if (!ParseInteger(word.substr(5), line) || line < 1 || line > 64) {
                error = "'" + word + "': the line is a number from 1";
                return false;
            }
            command.line = static_cast<int>(line);
        } else {
            positional.push_back(word);
        }
    }
    long long code = 0;
    long long unit = 0;
    if (positional.size() < 2 || positional.size() > 3 || !ParseInteger(positional[0], code) ||
        code < 0 || code > 99 || !ParseInteger(positional[1], unit) || unit < 0 || unit > 98) {
        error = "event needs CODE (0 to 99) and UNIT (0 to 98), then BADGE (hexadecimal)";
        return false;
    }
    command.event.code = static_cast<int>(code);
    command.event.unit = static_cast<int>(unit);
    if (positional.size() == 3) {
        char* end = nullptr;
        const unsigned long badge = std::strtoul(positional[2].c_str(), &end, 16);
        if (positional[2].empty() || *end != '\0' || badge > 0xFFFFFFFUL) {
            error = "'" + positional[2] + "' is not a badge number (hexadecimal, 7 digits at most)";
            return false;
        }
        command.event.badge = static_cast<uint32_t>(badge);
    }
    return true;
}

// Takes "expect=N" from the end of a write or read.
bool ExpectWord(RunCommand& command, std::string& error) {
    constexpr char kExpect[] = "expect=";
    if (command.words.size() < 2 || command.words.back().rfind(kExpect, 0) != 0) {
        return true;
    }
    long long result = 0;
    if (!ParseInteger(command.words.back().substr(sizeof kExpect - 1), result) || result < 0 ||
        result > 65535) {
        error = "'" + command.words.back() + "': expect= takes the driver's result (0, 1, 2, 53)";
        return false;
    }
    command.expected = static_cast<int32_t>(result);
    command.words.pop_back();
    return true;
}

}  // namespace

void ApplyExpectation(const RunCommand& command, CommandOutcome& outcome) {
    if (!command.expected || !outcome.extra.contains("result")) {
        return;
    }
    const int32_t result = outcome.extra["result"].get<int32_t>();
    if (result == *command.expected) {
        outcome.ok = true;
        outcome.detail += " (as expected)";
    } else {
        outcome.ok = false;
        outcome.detail += " (expected result " + std::to_string(*command.expected) + ")";
    }
}

bool ParseRunCommand(const std::string& text, RunCommand& command, std::string& error) {
    command.text = text;
    command.words.clear();
    if (!SplitConfigLine(text, command.words, error)) {
        return false;
    }
    if (command.words.empty()) {
        command.verb.clear();
        return true;
    }
    command.verb = command.words[0];
    command.expected.reset();
    if ((command.verb == "write" || command.verb == "read") && !ExpectWord(command, error)) {
        return false;
    }
    const size_t count = command.words.size() - 1;
    const std::string& verb = command.verb;
    auto arguments = [&](size_t least, size_t most, const char* usage) {
        if (count < least || count > most) {
            error = std::string("usage: ") + usage;
            return false;
        }
        return true;
    };
    if (verb == "write") {
        return arguments(2, 2, "write TAG VALUE [expect=N]");
    }
    if (verb == "read") {
        return arguments(1, 1, "read TAG [expect=N]");
    }
    if (verb == "wait") {
        return arguments(2, 3, "wait TAG VALUE [TIMEOUT]") &&
               (count < 3 || Milliseconds(command.words[3], command.timeout, error));
    }
    if (verb == "expect-log") {
        return arguments(1, 2, "expect-log TEXT [TIMEOUT]") &&
               (count < 2 || Milliseconds(command.words[2], command.timeout, error));
    }
    if (verb == "sleep") {
        return arguments(1, 1, "sleep MS") &&
               Milliseconds(command.words[1], command.timeout, error);
    }
    if (verb == "event") {
        return EventWords(command, error);
    }
    if (verb == "show") {
        return arguments(1, 1, "show TAG");
    }
    if (verb == "sim") {
        // The simulator's command: the words after "sim" ("line=N" last chooses the line).
        if (count >= 2 && command.words.back().rfind("line=", 0) == 0) {
            long long line = 0;
            if (!ParseInteger(command.words.back().substr(5), line) || line < 1 || line > 64) {
                error = "line=N takes a line from 1 to 64";
                return false;
            }
            command.line = static_cast<int>(line);
            command.words.pop_back();
        }
        return arguments(1, 64, "sim COMMAND... [line=N]");
    }
    if (verb == "quit" || verb == "help" || verb == "status") {
        return arguments(0, 0, verb.c_str());
    }
    error = "unknown command '" + verb +
            "' (write, read, show, status, wait, expect-log, sleep, event, sim, help, quit)";
    return false;
}

namespace {

// What 'help' answers: the commands in short, a line each.
constexpr char kCommandSummary[] =
    "the commands ('kivhost run --help' tells more):\n"
    "write TAG VALUE [expect=N] | read TAG | show TAG | status\n"
    "wait TAG VALUE [MS] | expect-log TEXT [MS] | sleep MS\n"
    "event CODE UNIT [BADGE] [line=N] | sim COMMAND... [line=N]\n"
    "help | quit (Ctrl-C)";

}  // namespace

CommandOutcome ExecuteRunCommand(RunSession& session, const RunCommand& command, bool& quit) {
    const std::string& verb = command.verb;
    const std::vector<std::string>& words = command.words;
    if (verb == "write") {
        return session.Write(words[1], words[2]);
    }
    if (verb == "read") {
        return session.Read(words[1]);
    }
    if (verb == "show") {
        return session.Show(words[1]);
    }
    if (verb == "help") {
        return {true, kCommandSummary};
    }
    if (verb == "sim") {
        std::string text;
        for (size_t k = 1; k < words.size(); ++k) {
            text += (k > 1 ? " " : "") + words[k];
        }
        return session.SimulatorCommand(command.line, text);
    }
    if (verb == "wait") {
        return session.Wait(words[1], words[2], command.timeout);
    }
    if (verb == "expect-log") {
        return session.ExpectLog(words[1], command.timeout);
    }
    if (verb == "sleep") {
        return session.Sleep(command.timeout);
    }
    if (verb == "event") {
        return session.Event(command.line, command.event);
    }
    if (verb == "quit") {
        quit = true;
    }
    return {};
}

const char* RunCommandHelp() {
    return "Commands (standard input or --script FILE, one a line; '#' starts a comment):\n"
           "  write TAG VALUE [expect=N] SingleWrite (function 7); text values in quotes;\n"
           "                             expect=N: result N (1 refused, 2 failed) is wanted\n"
           "  read TAG [expect=N]        the read function (5): a staged setup value\n"
           "  show TAG                   the value the host holds now, and when it changed\n"
           "  wait TAG VALUE [TIMEOUT]   until the tag holds VALUE (ms, default 10000)\n"
           "  expect-log TEXT [TIMEOUT]  until a log line holds TEXT (after the line the\n"
           "                             previous expect-log found; default 10000 ms)\n"
           "  sleep MS\n"
           "  event CODE UNIT [BADGE] [line=N]   a simulated controller sends an event\n"
           "                             (UNIT from 0 as the driver counts; BADGE hexadecimal)\n"
           "  sim COMMAND... [line=N]    a command of the line simulator's own language\n"
           "                             (vxs-sim's, e.g. sim fault badcrc on 0 count=3)\n"
           "  status                     per line: port, controllers heard, last event, counters\n"
           "  help                       the commands in short\n"
           "  quit\n"
           "TAG is a tag's name (\"N:\" before it for line N with --lines), or an address of\n"
           "line 1. A script stops at the first command that fails (a write or read whose\n"
           "result is not 0, or not the one expect= names): exit status 1. A TAG the tag\n"
           "file lacks stops the run before the line opens: exit status 2.\n";
}

}  // namespace kivhost
