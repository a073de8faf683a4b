// kivhost run: the driver live on a line, as a host runs it, on a simulated line by default.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/option_checks.h"
#include "cli/command.h"
#include "cli/line_options.h"
#include "commands/commands.h"
#include "kiv/kiv_tool.h"
#include "mqtt/mqtt_gateway.h"
#include "run/command_runner.h"
#include "run/run_loop.h"
#include "service/service_options.h"
#include "system/console.h"
#include "system/installation.h"
#include "system/line_settings.h"
#include "system/port_check.h"

namespace kivhost {

namespace {

struct RunArguments {
    DriverLineOptions driver;
    std::string tagsPath;  // empty: DefaultTagFile()
    std::string controllers = "0,1";
    double rate = 0.5;
    int lines = 1;
    unsigned seed = 1;
    std::string scriptPath;
    double duration = 0.0;
    std::string tracePath;
    std::string pcapPath;
    std::string transcriptPath;
    std::string workDir;
    bool plain = false;
    std::string print = "all";
    int pollDelayMs = -1;
    int receiverStartMs = -1;
    MqttSettings mqtt;
    std::string metrics;
    std::string configPath;
};

// The ports of --port: one line each, separated by commas ("pts/3,pts/4"); none for simulated
// lines.
std::vector<std::string> PortList(const std::string& text) {
    std::vector<std::string> ports;
    std::string::size_type start = 0;
    while (!text.empty()) {
        const std::string::size_type comma = text.find(',', start);
        ports.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return ports;
}

// The real lines of --port, each with the driver's name of its port, and the number of lines
// the run has. 0, or the usage error's exit code.
int PlanLines(const RunArguments& arguments, RunPlan& plan) {
    plan.devices = PortList(arguments.driver.port);
    if (!plan.devices.empty() && arguments.lines != 1) {
        return UsageError("run",
                          "--lines is for simulated lines; real lines are --port A,B,... (one "
                          "line each)");
    }
    for (const std::string& device : plan.devices) {
        std::string name;
        if (device.empty() || !DriverPortName(device, name)) {
            return UsageError("run", "the port name '" + device +
                                         "' is empty or does not fit the host's 12 characters");
        }
        plan.portNames.push_back(name);
    }
    plan.lines = plan.devices.empty() ? arguments.lines : static_cast<int>(plan.devices.size());
    if (arguments.driver.instance + plan.lines - 1 > 255) {
        return UsageError("run",
                          "--instance is 1 to 255 and --lines 1 to 64 (instance numbers "
                          "up to 255)");
    }
    return kExitOk;
}

// The settings that are not one option's own range: the line, the instance numbers the
// lines take, MQTT options without --mqtt. 0, or the usage error's exit code.
int CheckRunArguments(const RunArguments& arguments, RunPlan& plan) {
    std::string message;
    if (!MakeLineSettings(arguments.driver.line, plan.settings, message)) {
        return UsageError("run", message);
    }
    if (const int code = PlanLines(arguments, plan); code != kExitOk) {
        return code;
    }
    if (!ParseControllerList(arguments.controllers, plan.controllers, message)) {
        return UsageError("run", "--controllers: " + message);
    }
    const MqttSettings unset;
    const MqttSettings& mqtt = arguments.mqtt;
    if (mqtt.url.empty() &&
        (mqtt.site != unset.site || mqtt.clientId != unset.clientId || mqtt.user != unset.user ||
         mqtt.passwordFile != unset.passwordFile || mqtt.caFile != unset.caFile ||
         mqtt.certFile != unset.certFile || mqtt.keyFile != unset.keyFile ||
         mqtt.writes != unset.writes || mqtt.queueSize != unset.queueSize ||
         mqtt.protocol != unset.protocol || mqtt.homeAssistant != unset.homeAssistant)) {
        return UsageError(
            "run",
            "--site, --homeassistant and the --mqtt-... options are for a run with --mqtt URL");
    }
    if (!arguments.metrics.empty() &&
        !ParseMetricsAddress(arguments.metrics, plan.metrics, message)) {
        return UsageError("run", message);
    }
    plan.serveMetrics = !arguments.metrics.empty();
    return kExitOk;
}

// The run's plan from the arguments: checked, the tag file and the script read (every tag the
// script names found), then the real line opened once. 0, or the exit code.
int PlanRun(const RunArguments& arguments, RunPlan& plan) {
    if (const int code = CheckRunArguments(arguments, plan); code != kExitOk) {
        return code;
    }
    plan.tagsPath = arguments.tagsPath.empty() ? DefaultTagFile() : arguments.tagsPath;
    if (!ReadWholeTagConfig("run", plan.tagsPath, plan.config)) {
        return kExitUsage;
    }
    plan.scriptPath = arguments.scriptPath;
    if (!plan.scriptPath.empty() &&
        (!ReadScript(plan.scriptPath, plan.script) ||
         !CheckScriptTags(plan.scriptPath, plan.script, plan.config, plan.lines, plan.tagsPath))) {
        return kExitUsage;
    }
    // Each line is checked before anything starts: a line that cannot be used is named with
    // its cause at once.
    for (const std::string& port : plan.portNames) {
        const PortCheck check = CheckPort(port, plan.settings);
        if (!check.ok) {
            (void)std::fprintf(stderr, "kivhost run: %s\n", check.reason.c_str());
            return kExitUsage;
        }
    }
    plan.rate = arguments.rate;
    plan.seed = arguments.seed;
    plan.firstInstance = arguments.driver.instance;
    plan.answerTimeoutMs = arguments.driver.answerTimeoutMs;
    plan.duration = arguments.duration;
    plan.mqtt = arguments.mqtt;
    // The gateway reads its files after the move to --workdir: a relative path names a file of
    // the folder the command was started in.
    for (std::string* path :
         {&plan.mqtt.passwordFile, &plan.mqtt.caFile, &plan.mqtt.certFile, &plan.mqtt.keyFile}) {
        if (!path->empty()) {
            *path = std::filesystem::absolute(*path).string();
        }
    }
    return kExitOk;
}

// The delays of the driver linked into kivhost, through the seam for tools (kiv/kiv_tool.h);
// false after the usage error when the driver is a loaded one.
bool SetBuiltInDelays(const RunArguments& arguments, const DriverSession& driver) {
    if ((arguments.pollDelayMs >= 0 || arguments.receiverStartMs >= 0) && !driver.BuiltIn()) {
        UsageError("run",
                   "--poll-delay and --receiver-start need --driver built-in: a loaded driver "
                   "keeps its own delays");
        return false;
    }
    const auto delay = [](int ms) {
        return ms >= 0 ? static_cast<uint32_t>(ms) : KIV_TOOL_DELAY_UNCHANGED;
    };
    kivToolSetDelays(delay(arguments.pollDelayMs), delay(arguments.receiverStartMs));
    return true;
}

int RunRun(const GlobalOptions& global, const RunArguments& arguments) {
    RunPlan plan;
    if (const int code = PlanRun(arguments, plan); code != kExitOk) {
        return code;
    }
    DriverSession driver;
    if (!LoadDriver(global, driver)) {
        return kExitNoDriver;
    }
    if (!SetBuiltInDelays(arguments, driver)) {
        return kExitUsage;
    }
    TraceFile trace;
    std::string error;
    if (!trace.Open(arguments.tracePath, arguments.pcapPath, error)) {
        (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
        return kExitUsage;
    }
    // Every file named on the command line is opened before the move, or named absolutely.
    if (!arguments.transcriptPath.empty()) {
        plan.transcriptPath = std::filesystem::absolute(arguments.transcriptPath).string();
    }
    if (!MoveToWorkFolder("run", arguments.workDir, plan.workDir)) {
        return kExitUsage;
    }
    plan.mode = global.json                              ? ViewMode::kJson
                : arguments.plain || !IsTerminal(stdout) ? ViewMode::kPlain
                                                         : ViewMode::kLive;
    (void)ViewPrintOf(arguments.print, plan.print);  // the option's check took only these
    RunLoop run(driver, plan, trace);
    return run.Run();
}

constexpr const char* kRunHelp =
    "Loads the driver as a host does, defines the tags of the tag file in the stand-in host\n"
    "library, parses each (refused tags are listed and not defined), cold-starts an instance\n"
    "on a line and keeps it running until Ctrl-C, 'quit', --duration or a failed script.\n"
    "Stopping sends the host's shut-down signal, closes the instance and prints a summary.\n"
    "\n"
    "Without --port the line is simulated in this process (Linux): the line simulator on a\n"
    "pseudo-terminal plays the controllers of --controllers and sends demo events at --rate\n"
    "a second (0: none). On Windows --port COMn is required. Several real lines in one run:\n"
    "--port A,B,... (one line each, as --lines N runs simulated ones).\n"
    "\n"
    "On a terminal the view is redrawn in place (tags changed, events in words, the last\n"
    "frames each way, log lines, counters, download progress); otherwise, or with --plain,\n"
    "one plain line per record; --json prints one JSON object per line for every record\n"
    "(type start, tag, event, frame, log, progress, result) and a final summary. --print\n"
    "events or log leaves out the line's steady work in both (a service's journal).\n"
    "\n"
    "The driver keeps its files (event log, setup upload, badge database, download and\n"
    "command-list files) in the working folder: --workdir, else a folder of the user's own.\n"
    "\n"
    "Started by systemd with Type=notify (NOTIFY_SOCKET set), it says READY=1 once the lines\n"
    "have started and the broker's connection was tried, STATUS= with the lines and the\n"
    "broker's state, WATCHDOG=1 at half of WatchdogSec= while its loops turn, STOPPING=1.\n"
    "With --metrics it serves counters of the lines, controllers and gateway to Prometheus.\n"
    "\n";

std::function<int()> SetUpRun(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<RunArguments>();
    RunArguments& a = *arguments;
    AddDriverLineOptions(app, a.driver);
    app.add_option("--tags", a.tagsPath,
                   "the tag file (default: examples/vxs100-line.tags where kivhost was "
                   "installed or built)");
    app.add_option("--controllers", a.controllers,
                   "simulated controllers: 0,3,5 or 0-3 (default 0,1)");
    app.add_option("--rate", a.rate, "demo events a second on a simulated line (default 0.5)")
        ->check(NotNegative())
        ->check(CLI::Range(0.0, 1000.0));
    app.add_option("--seed", a.seed, "the demo's choices (default 1)");
    app.add_option("--lines", a.lines, "simulated lines in this process (default 1)")
        ->check(CLI::Range(1, 64));
    app.add_option("--script", a.scriptPath, "commands from this file instead of standard input");
    app.add_option("--duration", a.duration, "stop after this many seconds")->check(NotNegative());
    app.add_option("--trace", a.tracePath, "write every frame both ways to this text file");
    app.add_option("--pcap", a.pcapPath, "write every frame to this pcap file (link type 147)");
    app.add_option("--sim-transcript", a.transcriptPath,
                   "write the simulator's transcript of line 1 here at the end (JSON lines)");
    AddWorkFolderOption(app, a.workDir);
    app.add_flag("--plain", a.plain, "plain lines also on a terminal");
    app.add_option("--print", a.print,
                   "the records plain lines and --json print: all (default); events (events, "
                   "log lines, results, progress, each line's start); log (as events, without "
                   "the events)")
        ->check(CLI::IsMember(ViewPrintWords()));
    AddMqttOptions(app, a.mqtt);
    AddServiceOptions(app, a.metrics);
    // Read by ExpandRunConfig before the command line is parsed (run_config.h).
    app.add_option("--config", a.configPath,
                   "options from this file, before the command line's: one 'name = value' a "
                   "line, the long option's name without '--' (for a service)");
    app.add_option("--poll-delay", a.pollDelayMs,
                   "with --driver built-in: ms from the cold start to the controller poll");
    app.add_option("--receiver-start", a.receiverStartMs,
                   "with --driver built-in: ms before the receiver's first cycle");
    return [arguments, &global] { return RunRun(global, *arguments); };
}

// The rest of the command's own --help text: what it does, the commands it takes, its exit
// status.
std::string RunHelp() {
    return std::string(kRunHelp) + RunCommandHelp() +
           "\nExit status: 0 stopped, 1 a script's wait or expect-log failed or the cold "
           "start failed,\n2 usage error, unreadable input or a line that does not open (its "
           "cause named),\n3 the driver cannot be loaded.\n";
}

}  // namespace

extern const Command kRunCommand = {"run", "run the driver live on a line (simulated by default)",
                                    RunHelp, SetUpRun, nullptr};

}  // namespace kivhost
