// kivhost: runs the VXS-100 driver the way a host does, with the stand-in host library.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/charset.h"
#include "cli/command.h"
#include "cli/run_config.h"
#include "commands/commands.h"
#include "kiv_version.h"

namespace {

constexpr const char* kDescription =
    "Loads the VXS-100 driver library the way a SCADA host does (by path, then its export\n"
    "KivMain) over the stand-in host library, and runs it.";

constexpr const char* kFooter =
    "'kivhost COMMAND --help' explains one command.\n"
    "Exit status: 0 done, 1 something was rejected, 2 usage error or unreadable input,\n"
    "3 the driver library cannot be loaded.";

// The usage error as the tool prints it: which command, what is wrong, where help is.
int ReportParseError(const CLI::App& app, const CLI::ParseError& error) {
    const CLI::App* failed = nullptr;
    for (const CLI::App* sub : app.get_subcommands()) {
        failed = sub;
    }
    std::string message = error.what();
    const bool extras = dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr;
    if (failed == nullptr) {
        const auto remaining = app.remaining();
        if (!remaining.empty()) {
            std::fprintf(stderr, "kivhost: unknown command '%s'\nTry 'kivhost --help'.\n",
                         remaining.front().c_str());
        } else if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
            std::fprintf(stderr, "kivhost: missing command\nTry 'kivhost --help'.\n");
        } else {
            std::fprintf(stderr, "kivhost: %s\nTry 'kivhost --help'.\n", message.c_str());
        }
        return kivhost::kExitUsage;
    }
    for (const kivhost::Command& command : kivhost::Commands()) {
        if (failed->get_name() == command.name && command.unknownArgumentHint != nullptr &&
            extras) {
            message += std::string(" (") + command.unknownArgumentHint + ")";
        }
    }
    return kivhost::UsageError(failed->get_name().c_str(), message);
}

// The code page names --charset takes, for its help and its usage error.
std::string CodePageNames() {
    std::string names;
    for (const kivhost::CodePage& page : kivhost::CodePages()) {
        names += (names.empty() ? "" : ", ") + std::string(page.optionName);
    }
    return names;
}

// --charset: the line's code page, which every text kivhost shows or writes is converted from
// or to (base/charset.h).
void AddCharsetOption(CLI::App& app, std::string& name) {
    app.add_option("--charset", name,
                   "the single-byte code page of the line's texts (default windows-1252; " +
                       CodePageNames() + ")")
        ->check(CLI::Validator(
            [](const std::string& value) {
                return kivhost::FindCodePage(value) != nullptr
                           ? std::string()
                           : "unknown code page '" + value + "' (" + CodePageNames() + ")";
            },
            "CODEPAGE"));
}

int Main(int argc, char** argv) {
    kivhost::GlobalOptions global;
    CLI::App app(kDescription, "kivhost");
    app.footer(kFooter);
    app.require_subcommand(1);
    // An option given twice takes the last value, as people retype one at the end of a line.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--driver", global.driverPath,
                   "the driver library to load (default: the one beside kivhost, else the "
                   "installed one); "
                   "'built-in' runs the copy linked into kivhost (a testing aid)");
    app.add_flag("--json", global.json, "machine-readable output");
    std::string charset = kivhost::CodePages().front().optionName;
    AddCharsetOption(app, charset);
    app.set_version_flag("--version", KIV_TOOL_VERSION_TEXT("kivhost"),
                         "the version of kivhost and of its driver, and the build");

    std::map<std::string, std::function<int()>> runners;
    for (const kivhost::Command& command : kivhost::Commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        // The global options work after the command too (fallthrough): say so where people look.
        sub->footer(command.help() +
                    "\nGlobal options, before or after the command: --json (machine-readable "
                    "output),\n--driver PATH, --charset NAME ('kivhost --help' tells more).");
        sub->fallthrough();
        runners[command.name] = command.setUp(*sub, global);
    }
    // kivhost run --config FILE: the file's options in front of the command line's.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string configError;
    if (!kivhost::ExpandRunConfig(arguments, configError)) {
        (void)std::fprintf(stderr, "kivhost run: %s\n", configError.c_str());
        return kivhost::kExitUsage;
    }
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes a vector last word first
    try {
        app.parse(std::move(arguments));
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        return ReportParseError(app, error);
    }
    kivhost::SetLineCodePage(*kivhost::FindCodePage(charset));
    for (const CLI::App* sub : app.get_subcommands()) {
        return runners[sub->get_name()]();
    }
    return kivhost::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& failure) {
        (void)std::fprintf(stderr, "kivhost: %s\n", failure.what());
    } catch (...) {
        (void)std::fprintf(stderr, "kivhost: an unexpected failure\n");
    }
    return kivhost::kExitUsage;
}
