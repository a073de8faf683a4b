// kivhost run: the driver live on a line, as a host runs it, on a simulated line by default.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "console.h"
#include "file_lines.h"
#include "installation.h"
#include "kiv/kiv_tool.h"
#include "line_options.h"
#include "mqtt_gateway.h"
#include "port_check.h"
#include "run_commands.h"
#include "run_session.h"
#include "run_view.h"
#include "simulated_line.h"
#include "tag_config.h"
#include "trace_file.h"

namespace kivhost {

namespace {

using std::chrono::milliseconds;

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
    int pollDelayMs = -1;
    int receiverStartMs = -1;
    MqttSettings mqtt;
    std::string configPath;
};

// Ctrl-C (and SIGTERM) ask the run to stop; the main loop looks at the flag.
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int /*signal*/) {
    gInterrupted = 1;
}

// Why and how the run stops.
class StopRequest {
public:
    void Request(int exitCode, const std::string& reason) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (requested_) {
                return;
            }
            requested_ = true;
            exitCode_ = exitCode;
            reason_ = reason;
        }
        wake_.notify_all();
    }
    // Waits up to 'timeout'; whether a stop was requested.
    bool Wait(milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, timeout, [this] { return requested_; });
    }
    bool Requested() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return requested_;
    }
    int ExitCode() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return exitCode_;
    }
    std::string Reason() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return reason_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    int exitCode_ = kExitOk;
    std::string reason_;
};

// Lines typed on standard input, read by a thread of their own that may stay blocked in the
// read when the run ends (it holds nothing but this queue).
struct InputQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> lines;
    bool ended = false;
};

void ReadInput(const std::shared_ptr<InputQueue>& queue) {
    std::string line;
    while (std::getline(std::cin, line)) {
        DropLineEnd(line);
        {
            const std::lock_guard<std::mutex> lock(queue->mutex);
            queue->lines.push_back(line);
        }
        queue->ready.notify_one();
    }
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        queue->ended = true;
    }
    queue->ready.notify_one();
}

// Takes the keys typed on the live view's terminal, shows the line being typed in the view and
// queues each finished line. Escape sequences (arrow keys) are passed over.
void ReadKeys(const std::shared_ptr<InputQueue>& queue, const std::shared_ptr<InputLine>& shown) {
    std::string line;
    bool escape = false;
    char key = 0;
    while (ReadKey(key)) {
        const auto byte = static_cast<unsigned char>(key);
        if (escape) {
            // A sequence ends with a letter or '~'; ESC '[' and ESC 'O' go on.
            escape = !((byte >= 'A' && byte <= 'Z' && byte != 'O') ||
                       (byte >= 'a' && byte <= 'z') || byte == '~');
            continue;
        }
        if (key == '\r' || key == '\n') {
            {
                const std::lock_guard<std::mutex> lock(queue->mutex);
                queue->lines.push_back(line);
            }
            queue->ready.notify_one();
            line.clear();
        } else if (byte == 0x7F || byte == 0x08) {
            if (!line.empty()) {
                line.pop_back();
            }
        } else if (byte == 0x15) {  // Ctrl-U: the whole line
            line.clear();
        } else if (byte == 0x1B) {
            escape = true;
        } else if (byte >= 0x20 && byte < 0x7F && line.size() < 1000) {
            line += key;
        }
        shown->Set(line);
    }
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        queue->ended = true;
    }
    queue->ready.notify_one();
}

// Reads and checks a whole script before anything starts.
bool ReadScript(const std::string& path, std::vector<RunCommand>& commands) {
    std::vector<std::string> lines;
    std::string error;
    if (!ReadFileLines(path, lines, error)) {
        (void)std::fprintf(stderr, "kivhost run: the script: %s\n", error.c_str());
        return false;
    }
    bool ok = true;
    for (size_t k = 0; k < lines.size(); ++k) {
        RunCommand command;
        command.lineNumber = k + 1;
        if (!ParseRunCommand(lines[k], command, error)) {
            (void)std::fprintf(stderr, "kivhost run: %s:%zu: %s\n", path.c_str(), k + 1,
                               error.c_str());
            ok = false;
        } else if (!command.verb.empty()) {
            commands.push_back(command);
        }
    }
    return ok;
}

class CommandRunner {
public:
    CommandRunner(RunSession& session, Monitor& monitor, RunView& view, StopRequest& stop,
                  std::string script)
        : session_(session),
          monitor_(monitor),
          view_(view),
          stop_(stop),
          script_(std::move(script)) {}

    // Runs one command and shows its result; false when a script has to stop on it.
    bool Run(const RunCommand& command) {
        bool quit = false;
        CommandOutcome outcome;
        if (command.verb == "status") {
            // The view keeps the counters.
            outcome.detail = view_.StatusText();
            outcome.extra["lines"] = view_.StatusJson();
        } else {
            outcome = ExecuteRunCommand(session_, command, quit);
        }
        Json record = {{"t", monitor_.Seconds()}, {"type", "result"},
                       {"line", nullptr},         {"command", ByteText(command.text)},
                       {"ok", outcome.ok},        {"detail", ByteText(outcome.detail)}};
        if (command.lineNumber != 0) {
            record["scriptLine"] = command.lineNumber;
        }
        for (const auto& [key, value] : outcome.extra.items()) {
            record[key] = value;
        }
        monitor_.Emit(std::move(record));
        if (quit) {
            stop_.Request(kExitOk, "quit");
            return false;
        }
        if (!outcome.ok && command.lineNumber != 0 && !session_.Interrupted() &&
            (command.verb == "wait" || command.verb == "expect-log")) {
            const std::string reason = script_ + ":" + std::to_string(command.lineNumber) + ": " +
                                       command.text + ": " + outcome.detail;
            (void)std::fprintf(stderr, "kivhost run: %s\n", reason.c_str());
            stop_.Request(kExitRejected, reason);
            return false;
        }
        return true;
    }

    void RunScript(const std::vector<RunCommand>& commands) {
        for (const RunCommand& command : commands) {
            if (stop_.Requested() || !Run(command)) {
                return;
            }
        }
    }

    void RunInput(const std::shared_ptr<InputQueue>& queue) {
        while (!stop_.Requested()) {
            std::string text;
            {
                std::unique_lock<std::mutex> lock(queue->mutex);
                if (!queue->ready.wait_for(lock, milliseconds(100),
                                           [&] { return !queue->lines.empty() || queue->ended; })) {
                    continue;
                }
                if (queue->lines.empty()) {
                    return;  // the input ended: the run goes on until stopped otherwise
                }
                text = queue->lines.front();
                queue->lines.pop_front();
            }
            RunCommand command;
            std::string error;
            if (!ParseRunCommand(text, command, error)) {
                monitor_.Emit({{"t", monitor_.Seconds()},
                               {"type", "result"},
                               {"line", nullptr},
                               {"command", ByteText(text)},
                               {"ok", false},
                               {"detail", ByteText(error)}});
            } else if (!command.verb.empty() && !Run(command)) {
                return;
            }
        }
    }

private:
    RunSession& session_;
    Monitor& monitor_;
    RunView& view_;
    StopRequest& stop_;
    std::string script_;
};

int RunRun(const GlobalOptions& global, const RunArguments& arguments) {
    LineSettings settings{};
    std::string message;
    if (!MakeLineSettings(arguments.driver.line, settings, message)) {
        return UsageError("run", message);
    }
    if (arguments.driver.answerTimeoutMs < 0 || arguments.driver.answerTimeoutMs > 600000) {
        return UsageError("run", "--answer-timeout is 0 to 600000 ms");
    }
    if (arguments.driver.instance < 1 || arguments.lines < 1 || arguments.lines > 64 ||
        arguments.driver.instance + arguments.lines - 1 > 255) {
        return UsageError("run",
                          "--instance is 1 to 255 and --lines 1 to 64 (instance numbers "
                          "up to 255)");
    }
    if (!arguments.driver.port.empty() && arguments.lines != 1) {
        return UsageError("run", "--lines is for simulated lines; a real line is one --port");
    }
    if (arguments.rate < 0 || arguments.rate > 1000 || arguments.duration < 0) {
        return UsageError("run", "--rate is 0 to 1000 events a second, --duration not negative");
    }
    std::vector<int> controllers;
    if (!ParseControllerList(arguments.controllers, controllers, message)) {
        return UsageError("run", "--controllers: " + message);
    }
    const MqttSettings unset;
    const MqttSettings& mqtt = arguments.mqtt;
    if (mqtt.url.empty() &&
        (mqtt.site != unset.site || mqtt.clientId != unset.clientId || mqtt.user != unset.user ||
         mqtt.passwordFile != unset.passwordFile || mqtt.caFile != unset.caFile ||
         mqtt.certFile != unset.certFile || mqtt.keyFile != unset.keyFile ||
         mqtt.writes != unset.writes || mqtt.queueSize != unset.queueSize)) {
        return UsageError("run", "--site and the --mqtt-... options are for a run with --mqtt URL");
    }
    std::string portName;
    if (!arguments.driver.port.empty() && !DriverPortName(arguments.driver.port, portName)) {
        return UsageError("run", "the port name '" + arguments.driver.port +
                                     "' does not fit the host's 12 characters");
    }
    if (!portName.empty()) {
        // The line is checked before anything starts: a line that cannot be used is named
        // with its cause at once.
        const PortCheck check = CheckPort(portName, settings);
        if (!check.ok) {
            (void)std::fprintf(stderr, "kivhost run: %s\n", check.reason.c_str());
            return kExitUsage;
        }
    }
    const std::string tagsPath = arguments.tagsPath.empty() ? DefaultTagFile() : arguments.tagsPath;
    TagConfig config;
    if (!ReadWholeTagConfig("run", tagsPath, config)) {
        return kExitUsage;
    }
    std::vector<RunCommand> script;
    if (!arguments.scriptPath.empty() && !ReadScript(arguments.scriptPath, script)) {
        return kExitUsage;
    }
    DriverSession driver;
    if (!LoadDriver(global, driver)) {
        return kExitNoDriver;
    }
    if ((arguments.pollDelayMs >= 0 || arguments.receiverStartMs >= 0) && !driver.BuiltIn()) {
        return UsageError("run",
                          "--poll-delay and --receiver-start need --driver built-in: a "
                          "loaded driver keeps its own delays");
    }
    // The delays of the driver linked into kivhost, through the seam for tools (kiv/kiv_tool.h).
    kivToolSetDelays(arguments.pollDelayMs >= 0 ? static_cast<uint32_t>(arguments.pollDelayMs)
                                                : KIV_TOOL_DELAY_UNCHANGED,
                     arguments.receiverStartMs >= 0
                         ? static_cast<uint32_t>(arguments.receiverStartMs)
                         : KIV_TOOL_DELAY_UNCHANGED);
    TraceFile trace;
    std::string error;
    if (!trace.Open(arguments.tracePath, arguments.pcapPath, error)) {
        (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
        return kExitUsage;
    }
    // Every file named on the command line is opened before the move, or named absolutely.
    const std::string transcriptPath =
        arguments.transcriptPath.empty()
            ? std::string()
            : std::filesystem::absolute(arguments.transcriptPath).string();
    std::string workDir;
    if (!MoveToWorkFolder("run", arguments.workDir, workDir)) {
        return kExitUsage;
    }

    Monitor monitor;
    RunSession session(driver, monitor);
    std::vector<RefusedTag> refused;
    for (int k = 0; k < arguments.lines; ++k) {
        std::unique_ptr<SimulatedLine> simulated;
        std::string port = portName;
        if (arguments.driver.port.empty()) {
            SimulatedLineOptions options;
            options.controllers = controllers;
            options.eventsPerSecond = arguments.rate;
            options.seed = arguments.seed + static_cast<unsigned>(k);
            simulated = StartSimulatedLine(options, error);
            if (!simulated) {
                (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
                return kExitUsage;
            }
            port = simulated->PortName();
        }
        session.AddLine(arguments.driver.instance + k, config, arguments.lines > 1,
                        std::move(simulated), refused);
        (void)port;
    }

    // The MQTT gateway: the monitor hands it every record; writes from the broker go through
    // the session as the commands' writes do.
    std::atomic<MqttGateway*> published{nullptr};  // set once the gateway runs; outlives it
    std::unique_ptr<MqttGateway> gateway;
    if (!arguments.mqtt.url.empty()) {
        MqttHost host;
        host.lines = arguments.lines;
        const auto hostName = [&arguments](int line, const std::string& tag) {
            return arguments.lines > 1 ? std::to_string(line) + ":" + tag : tag;
        };
        for (const auto& [line, name] : session.TagNames()) {
            const std::string prefix = std::to_string(line) + ":";
            host.tags.emplace_back(line, arguments.lines > 1 && name.rfind(prefix, 0) == 0
                                             ? name.substr(prefix.size())
                                             : name);
        }
        host.write = [&session, &monitor, &published, hostName](int line, const std::string& tag,
                                                                const std::string& value) {
            const std::string name = hostName(line, tag);
            MqttWriteResult written;
            const CommandOutcome outcome = session.Write(name, value, &written.log);
            Json record = {{"t", monitor.Seconds()},
                           {"type", "result"},
                           {"line", nullptr},
                           {"command", ByteText("mqtt: write " + name + " " + value)},
                           {"ok", outcome.ok},
                           {"detail", ByteText(outcome.detail)}};
            for (const auto& [key, member] : outcome.extra.items()) {
                record[key] = member;
            }
            monitor.Emit(std::move(record));
            written.done = outcome.extra.contains("result");
            written.result = written.done ? outcome.extra["result"].get<int>() : -1;
            if (!outcome.ok) {
                written.error = outcome.detail;
            } else if (MqttGateway* to = published.load(); to != nullptr) {
                // The host keeps the value written: its retained topic says so.
                Json stored = session.TagRecord(name);
                if (stored.is_object()) {
                    stored["type"] = "tag";
                    stored["line"] = line;
                    to->Offer(stored);
                }
            }
            return written;
        };
        gateway = StartMqttGateway(arguments.mqtt, std::move(host), error);
        if (!gateway) {
            (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
            return kExitUsage;
        }
        published = gateway.get();
        monitor.SetSink([to = gateway.get()](const Json& record) { to->Offer(record); });
    }

    const ViewMode mode = global.json                              ? ViewMode::kJson
                          : arguments.plain || !IsTerminal(stdout) ? ViewMode::kPlain
                                                                   : ViewMode::kLive;
    // Refused tags are reported before the start, as 'kivhost check' reports them.
    if (mode != ViewMode::kJson) {
        for (const RefusedTag& tag : refused) {
            std::printf("refused: %s:%zu %s %s: %s\n", tagsPath.c_str(), tag.fileLine,
                        tag.name.c_str(), tag.address.c_str(), tag.reason.c_str());
        }
    }
    RunView view(mode, monitor, trace, "kivhost run, driver " + driver.Path());
    StopRequest stop;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // The live view draws the line being typed itself: the terminal gives it the keys.
    std::shared_ptr<InputLine> typing;
    if (mode == ViewMode::kLive && arguments.scriptPath.empty() && BeginKeyInput()) {
        typing = std::make_shared<InputLine>();
        view.ShowInput(typing);
    }
    monitor.Attach();
    view.Start();

    for (auto& line : session.Lines()) {
        const int number = line->Line();
        SimulatedLine* simulated = session.Simulated(number);
        const std::string port = simulated != nullptr ? simulated->PortName() : portName;
        view.AddLine(number, port, line->InstanceNumber());
        std::vector<LogEntry> log;
        const int32_t result =
            line->ColdStart(port, settings, arguments.driver.answerTimeoutMs / 10, log);
        Json refusedJson = Json::array();
        for (const RefusedTag& tag : refused) {
            if (tag.line == number) {
                refusedJson.push_back({{"name", ByteText(tag.name)},
                                       {"address", ByteText(tag.address)},
                                       {"fileLine", tag.fileLine},
                                       {"reason", ByteText(tag.reason)}});
            }
        }
        monitor.Emit(
            {{"t", monitor.Seconds()},
             {"type", "start"},
             {"line", number},
             {"port", ByteText(port)},
             {"device", simulated != nullptr ? ByteText(simulated->DevicePath())
                                             : ByteText(arguments.driver.port)},
             {"simulated", simulated != nullptr},
             {"instance", line->InstanceNumber()},
             {"result", result},
             {"refused", refusedJson},
             {"workdir", ByteText(workDir)},
             {"text", "line " + std::to_string(number) + " on " + port + ": cold start " +
                          (result == KIV_OK ? "done" : "failed, result " + std::to_string(result)) +
                          "; the driver's files in " + workDir}});
        if (result != KIV_OK) {
            stop.Request(kExitRejected, "the cold start of line " + std::to_string(number) +
                                            " on " + port + " failed (result " +
                                            std::to_string(result) + ")");
            break;
        }
        if (simulated != nullptr) {
            simulated->StartDemo();
        }
    }

    CommandRunner runner(session, monitor, view, stop, arguments.scriptPath);
    std::thread commands;
    if (!stop.Requested()) {
        if (!arguments.scriptPath.empty()) {
            commands = std::thread([&] { runner.RunScript(script); });
        } else {
            auto input = std::make_shared<InputQueue>();
            if (typing) {
                std::thread(ReadKeys, input, typing).detach();
            } else {
                std::thread(ReadInput, input).detach();
            }
            commands = std::thread([&runner, input] { runner.RunInput(input); });
        }
    }
    const auto started = std::chrono::steady_clock::now();
    while (!stop.Wait(milliseconds(50))) {
        if (gInterrupted != 0) {
            stop.Request(kExitOk, "interrupted");
        } else if (arguments.duration > 0 &&
                   std::chrono::steady_clock::now() - started >=
                       std::chrono::duration<double>(arguments.duration)) {
            stop.Request(kExitOk, "the duration passed");
        }
    }

    session.Interrupt();
    if (commands.joinable()) {
        commands.join();
    }
    if (gateway) {
        gateway->StopWrites();
    }
    for (auto& line : session.Lines()) {
        if (SimulatedLine* simulated = session.Simulated(line->Line())) {
            simulated->StopDemo();
        }
        line->Stop(milliseconds(5000));
    }
    // No driver thread calls the monitor any more.
    monitor.Detach();
    view.Stop();
    EndKeyInput();
    if (gateway) {
        // "offline" and what is still queued, within the flush bound.
        gateway->Stop();
    }
    if (!transcriptPath.empty()) {
        if (SimulatedLine* simulated = session.Simulated(1)) {
            std::ofstream file(std::filesystem::path(transcriptPath), std::ios::binary);
            for (const std::string& entry : simulated->TranscriptJson()) {
                file << entry << '\n';
            }
        }
    }
    session.CloseSimulatedLines();
    view.PrintSummary(stop.ExitCode(), stop.Reason());
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    return stop.ExitCode();
}

constexpr const char* kRunHelp =
    "Loads the driver as a host does, defines the tags of the tag file in the stand-in host\n"
    "library, parses each (refused tags are listed and not defined), cold-starts an instance\n"
    "on a line and keeps it running until Ctrl-C, 'quit', --duration or a failed script.\n"
    "Stopping sends the host's shut-down signal, closes the instance and prints a summary.\n"
    "\n"
    "Without --port the line is simulated in this process (Linux): the line simulator on a\n"
    "pseudo-terminal plays the controllers of --controllers and sends demo events at --rate\n"
    "a second (0: none). On Windows --port COMn is required.\n"
    "\n"
    "On a terminal the view is redrawn in place (tags changed, events in words, the last\n"
    "frames each way, log lines, counters, download progress); otherwise, or with --plain,\n"
    "one plain line per record; --json prints one JSON object per line for every record\n"
    "(type start, tag, event, frame, log, progress, result) and a final summary.\n"
    "\n"
    "The driver keeps its files (event log, setup upload, badge database, download and\n"
    "command-list files) in the working folder: --workdir, else a folder of the user's own.\n"
    "\n";

}  // namespace

std::function<int()> SetUpRun(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<RunArguments>();
    RunArguments& a = *arguments;
    AddDriverLineOptions(app, a.driver);
    app.add_option("--tags", a.tagsPath,
                   "the tag file (default: examples/vxs100-line.tags where kivhost was "
                   "installed or built)");
    app.add_option("--controllers", a.controllers,
                   "simulated controllers: 0,3,5 or 0-3 (default 0,1)");
    app.add_option("--rate", a.rate, "demo events a second on a simulated line (default 0.5)");
    app.add_option("--seed", a.seed, "the demo's choices (default 1)");
    app.add_option("--lines", a.lines, "simulated lines in this process (default 1)");
    app.add_option("--script", a.scriptPath, "commands from this file instead of standard input");
    app.add_option("--duration", a.duration, "stop after this many seconds");
    app.add_option("--trace", a.tracePath, "write every frame both ways to this text file");
    app.add_option("--pcap", a.pcapPath, "write every frame to this pcap file (link type 147)");
    app.add_option("--sim-transcript", a.transcriptPath,
                   "write the simulator's transcript of line 1 here at the end (JSON lines)");
    AddWorkFolderOption(app, a.workDir);
    app.add_flag("--plain", a.plain, "plain lines also on a terminal");
    AddMqttOptions(app, a.mqtt);
    // Read by ExpandRunConfig before the command line is parsed (run_config.h).
    app.add_option("--config", a.configPath,
                   "options from this file, before the command line's: one 'name = value' a "
                   "line, the long option's name without '--' (for a service)");
    app.add_option("--poll-delay", a.pollDelayMs,
                   "with --driver built-in: ms from the cold start to the controller poll");
    app.add_option("--receiver-start", a.receiverStartMs,
                   "with --driver built-in: ms before the receiver's first cycle");
    app.footer(std::string(kRunHelp) + RunCommandHelp() +
               "\nExit status: 0 stopped, 1 a script's wait or expect-log failed or the cold "
               "start failed,\n2 usage error, unreadable input or a line that does not open (its "
               "cause named),\n3 the driver cannot be loaded.\n");
    return [arguments, &global] { return RunRun(global, *arguments); };
}

}  // namespace kivhost
