// The line options that 'kivhost run', 'port-check' and 'scan' share: the port and the host's
// line settings, as a host enters them.
#pragma once

#include <string>

#include "system/line_settings.h"

namespace CLI {
class App;
}

namespace kivhost {

// Adds --baud, --data-bits, --parity and --stop-bits; with 'autoRate' --baud also takes "auto"
// (kAutoBaud).
void AddLineOptions(CLI::App& app, LineOptions& options, bool autoRate = false);

// Adds --port, the line options, --answer-timeout and --instance.
void AddDriverLineOptions(CLI::App& app, DriverLineOptions& options, bool autoRate = false);

// Adds --workdir, the folder where the driver keeps its files ('run', 'scan').
void AddWorkFolderOption(CLI::App& app, std::string& workDir);

}  // namespace kivhost
