// vxs-sim: the VXS-100 line simulator as a command. It opens the line, prints the path the
// driver opens as its first line of output, then prints the transcript while it reads commands
// on its standard input.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "kiv_version.h"
#include "vxs_sim/command_interpreter.h"
#include "vxs_sim/simulator.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLine = 3;

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int /*signal*/) {
    stopSignal = 1;
}

constexpr const char* kDescription =
    "Simulates up to eight VXS-100 controllers on one serial line. The first line of\n"
    "standard output is the path of the line for the driver to open (the slave of a new\n"
    "pseudo-terminal, or the device); every later line is one transcript entry. Commands\n"
    "are read from standard input; the simulator ends at 'quit' or at the end of input.\n"
    "The options are named as kivhost names them (--port, --controllers 0,2 or 0-3, --json).";

constexpr const char* kTranscriptHelp =
    "\n"
    "Transcript lines: seconds since start, rx (from the driver) / tx (to the driver) /\n"
    "-- (a note), the controller, the kind, the bytes with <LF> and <CR>, (details). With\n"
    "--json each entry is one JSON object: {\"t\",\"dir\",\"controller\",\"kind\",\"text\",\n"
    "\"hex\",\"detail\"}.\n"
    "\n";

constexpr const char* kExitHelp =
    "\n"
    "Exit status: 0 done, 1 a command was refused, 2 usage error, 3 the line cannot be\n"
    "opened or failed.\n";

int Usage(const std::string& message) {
    std::fprintf(stderr, "vxs-sim: %s\nTry 'vxs-sim --help'.\n", message.c_str());
    return kExitUsage;
}

std::optional<long> ParseNumber(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

// "0,2,5", "0-3", "0-3,6", "none".
std::optional<std::vector<int>> ParseControllers(const std::string& text) {
    std::set<int> chosen;
    if (text == "none") return std::vector<int>{};
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(start, end - start);
        const std::size_t dash = item.find('-');
        const auto first = ParseNumber(item.substr(0, dash), 0, 7);
        const auto last =
            dash == std::string::npos ? first : ParseNumber(item.substr(dash + 1), 0, 7);
        if (!first || !last || *last < *first) return std::nullopt;
        for (long c = *first; c <= *last; ++c) chosen.insert(static_cast<int>(c));
        start = end + 1;
    }
    return std::vector<int>(chosen.begin(), chosen.end());
}

// Reads one line from standard input; false at its end, on a stop signal or once the line has
// failed. Waits in poll, so that a signal ends the wait.
bool ReadLine(std::string& line, std::string& pending, const vxs_sim::Simulator& simulator) {
    line.clear();
    for (;;) {
        const std::size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return true;
        }
        if (stopSignal != 0 || simulator.LineFailed()) return false;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, 200) <= 0) continue;
        char buffer[1024];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            // The last line may lack its line end.
            line = pending;
            pending.clear();
            return !line.empty();
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

// What the command line says, before it is checked.
struct Arguments {
    bool json = false;
    std::string port;
    bool pty = false;
    long baud = 9600;
    std::string controllers;
    long ackDelay = -1, answerGap = -1, uploadPause = -1, resendAfter = -1, resends = -1;
    bool dataFirst = false;
    long seed = -1;
};

// "50, 75, ..., 115200": the rates of the simulator's own table.
std::string RateListText() {
    std::string text;
    for (const int rate : vxs_sim::BaudRates()) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

void AddOptions(CLI::App& app, Arguments& a) {
    app.footer(std::string(kTranscriptHelp) + vxs_sim::CommandHelp() + kExitHelp);
    app.set_version_flag("--version", KIV_TOOL_VERSION_TEXT("vxs-sim"),
                         "the version (the driver's, whose line this simulates) and the build");
    app.add_flag("--pty", a.pty, "create a pseudo-terminal (the default)");
    app.add_option("--port,--device", a.port,
                   "use a serial device instead (raw, 8 data bits, no parity, 1 stop bit); "
                   "--device is the old name");
    app.add_option("--baud", a.baud,
                   "the line's rate: " + RateListText() +
                       " (default 9600); on a pseudo-terminal the driver must set the same "
                       "rate on its side, else the simulator hears noise and sends garbage")
        ->check(CLI::Validator(
            [](const std::string& text) {
                const std::vector<int> rates = vxs_sim::BaudRates();
                const bool known = std::any_of(rates.begin(), rates.end(), [&](int rate) {
                    return std::to_string(rate) == text;
                });
                return known ? std::string()
                             : text + " is not a rate the simulator takes: " + RateListText();
            },
            "", "rate"));
    app.add_option("--controllers", a.controllers,
                   "the controllers on the line: 0,2,5 or 0-3 or none (default 0-7)");
    app.add_flag("--json", a.json, "each transcript entry as one JSON object per line");
    const auto milliseconds = CLI::Range(0L, 600000L);
    app.add_option("--ack-delay", a.ackDelay, "ms from a command to its acknowledgement (20)")
        ->check(milliseconds);
    app.add_option("--answer-gap", a.answerGap,
                   "ms between the acknowledgement and a data answer (20)")
        ->check(milliseconds);
    app.add_flag("--data-first", a.dataFirst,
                 "answer a key query with the data answer before the acknowledgement");
    app.add_option("--upload-pause", a.uploadPause,
                   "ms from the acknowledgement of S U to the first upload line (200)")
        ->check(milliseconds);
    app.add_option("--resend-after", a.resendAfter,
                   "ms after which an unacknowledged event or upload line is resent (1000)")
        ->check(milliseconds);
    app.add_option("--resends", a.resends, "how often it is resent before it is given up (3)")
        ->check(CLI::Range(0L, 100L));
    app.add_option("--seed", a.seed, "seed of the pseudo-random noise (1)")
        ->check(CLI::Range(0L, 999999999L));
}

// The simulator's options from the arguments; the usage error when they do not fit together.
std::optional<std::string> MakeOptions(const Arguments& a, vxs_sim::SimulatorOptions& options) {
    if (!a.controllers.empty()) {
        const auto list = ParseControllers(a.controllers);
        if (!list) return "--controllers takes numbers 0 to 7, e.g. 0,2,5 or 0-3";
        options.controllers = *list;
    }
    if (a.ackDelay >= 0) options.timing.ackDelay = std::chrono::milliseconds(a.ackDelay);
    if (a.answerGap >= 0) options.timing.answerGap = std::chrono::milliseconds(a.answerGap);
    if (a.uploadPause >= 0) options.timing.uploadPause = std::chrono::milliseconds(a.uploadPause);
    if (a.resendAfter >= 0) options.timing.resendAfter = std::chrono::milliseconds(a.resendAfter);
    if (a.resends >= 0) options.timing.resends = static_cast<int>(a.resends);
    if (a.dataFirst) options.answerOrder = vxs_sim::AnswerOrder::kDataFirst;
    if (a.seed >= 0) options.noiseSeed = static_cast<uint32_t>(a.seed);
    options.baud = static_cast<int>(a.baud);
    if (a.pty && !a.port.empty()) return "--pty and --port exclude each other";
    return std::nullopt;
}

void InstallStopHandlers() {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
}

// Runs the commands of standard input until it ends or says quit; the exit status.
int RunCommands(vxs_sim::Simulator& simulator) {
    int status = kExitOk;
    std::string line;
    std::string pending;
    long lineNumber = 0;
    while (ReadLine(line, pending, simulator)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const vxs_sim::CommandResult result = vxs_sim::RunCommandLine(simulator, line);
        if (result.status == vxs_sim::CommandResult::Status::kQuit) break;
        if (result.status == vxs_sim::CommandResult::Status::kError) {
            std::fprintf(stderr, "vxs-sim: line %ld: %s\n", lineNumber, result.message.c_str());
            status = kExitRefused;
        } else if (!result.message.empty()) {
            std::fprintf(stderr, "%s", result.message.c_str());
        }
    }
    if (simulator.LineFailed()) {
        std::fprintf(stderr, "vxs-sim: the line %s failed\n", simulator.DevicePath().c_str());
        status = kExitLine;
    }
    return status;
}

int Main(int argc, char** argv) {
    Arguments arguments;
    vxs_sim::SimulatorOptions options;
    // The transcript is printed as it grows; the simulator need not keep much of it.
    options.transcriptLimit = 1000;
    CLI::App app(kDescription, "vxs-sim");
    AddOptions(app, arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return kExitOk;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", KIV_TOOL_VERSION_TEXT("vxs-sim"));
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        return Usage(error.what());
    }
    if (const auto wrong = MakeOptions(arguments, options)) {
        return Usage(*wrong);
    }
    InstallStopHandlers();
    std::unique_ptr<vxs_sim::Simulator> simulator;
    try {
        simulator = !arguments.port.empty()
                        ? vxs_sim::Simulator::OnDevice(arguments.port,
                                                       static_cast<int>(arguments.baud), options)
                        : vxs_sim::Simulator::OnPty(options);
    } catch (const std::invalid_argument& error) {
        return Usage(error.what());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vxs-sim: %s\n", error.what());
        return kExitLine;
    }
    std::printf("%s\n", simulator->DevicePath().c_str());
    std::fflush(stdout);
    const bool json = arguments.json;
    simulator->SetListener([json](const vxs_sim::TranscriptEntry& entry) {
        const std::string line = json ? vxs_sim::FormatJson(entry) : vxs_sim::FormatText(entry);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    const int status = RunCommands(*simulator);
    // Ends the simulator's thread; the transcript is printed to its last entry first.
    simulator.reset();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "vxs-sim: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "vxs-sim: an unexpected failure\n");
    }
    return kExitLine;
}
