// The line options of the subcommands that open a line.
#include "cli/line_options.h"

#include <CLI/CLI.hpp>

#include "system/installation.h"
#include "system/line_settings.h"

namespace kivhost {

void AddLineOptions(CLI::App& app, LineOptions& options, bool autoRate) {
    CLI::Option* baud = app.add_option(
        "--baud", options.baud,
        "baud rate: " + RateListText() + (autoRate ? ", or auto" : "") + " (default 9600)");
    if (autoRate) {
        baud->type_name("RATE|auto")->transform([](std::string text) {
            return text == "auto" ? std::to_string(kAutoBaud) : text;
        });
    }
    app.add_option("--data-bits", options.dataBits, "5 to 8 (default 8)");
    app.add_option("--parity", options.parity, "none, odd, even, mark, space (default none)");
    app.add_option("--stop-bits", options.stopBits, "1, 1.5 or 2 (default 1)");
}

void AddDriverLineOptions(CLI::App& app, DriverLineOptions& options, bool autoRate) {
    app.add_option("--port", options.port,
                   "the line: a tty on Linux (ttyUSB0, /dev/ttyS1), COMn on Windows; default a "
                   "simulated line");
    AddLineOptions(app, options.line, autoRate);
    app.add_option("--answer-timeout", options.answerTimeoutMs,
                   "ms a command waits for its answer (default 1000; the driver takes at least "
                   "1000)")
        ->check(CLI::Range(0, 600000));
    app.add_option("--instance", options.instance, "the host's instance number (default 1)")
        ->check(CLI::Range(1, 255));
}

void AddWorkFolderOption(CLI::App& app, std::string& workDir) {
    app.add_option("--workdir", workDir,
                   std::string("the working folder, made if missing: the driver keeps its files "
                               "there (default ") +
                       DefaultWorkFolderRule() + ")");
}

}  // namespace kivhost
