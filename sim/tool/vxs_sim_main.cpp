// vxs-sim: the VXS-100 line simulator as a command. It opens the line, prints the path the
// driver opens as its first line of output, then prints the transcript while it reads commands
// on its standard input.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

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

void PrintHelp() {
    std::printf(
        "Usage: vxs-sim [--pty | --device PATH [--baud N]] [OPTION...]\n"
        "\n"
        "Simulates up to eight VXS-100 controllers on one serial line. The first line of\n"
        "standard output is the path of the line for the driver to open (the slave of a new\n"
        "pseudo-terminal, or the device); every later line is one transcript entry. Commands\n"
        "are read from standard input; the simulator ends at 'quit' or at the end of input.\n"
        "\n"
        "Options:\n"
        "  --pty              create a pseudo-terminal (the default)\n"
        "  --device PATH      use a serial device instead (raw, 8 data bits, no parity, 1 stop)\n"
        "  --baud N           the device's speed, 1200 to 115200 (default 9600)\n"
        "  --controllers LIST\n"
        "                     the controllers on the line, e.g. 0,2,5 or 0-3, or none\n"
        "                     (default 0-7)\n"
        "  --json             each transcript entry as one JSON object per line:\n"
        "                     {\"t\",\"dir\",\"controller\",\"kind\",\"text\",\"hex\",\"detail\"}\n"
        "  --ack-delay MS     from a command to its acknowledgement (default 20)\n"
        "  --answer-gap MS    between the acknowledgement and a data answer (default 20)\n"
        "  --data-first       answer a key query with the data answer before the acknowledgement\n"
        "  --upload-pause MS  from the acknowledgement of S U to the first upload line (200)\n"
        "  --resend-after MS  resend an unacknowledged event or upload line after (1000)\n"
        "  --resends N        how many times it is resent before it is given up (3)\n"
        "  --seed N           seed of the pseudo-random noise (1)\n"
        "  --help             this text\n"
        "  --version          the version (the driver's, whose line this simulates) and the build\n"
        "\n"
        "Transcript lines: seconds since start, rx (from the driver) / tx (to the driver) /\n"
        "-- (a note), the controller, the kind, the bytes with <LF> and <CR>, (details).\n"
        "\n");
    std::printf("%s", vxs_sim::CommandHelp());
    std::printf(
        "\n"
        "Exit status: 0 done, 1 a command was refused, 2 usage error, 3 the line cannot be\n"
        "opened or failed.\n");
}

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

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::optional<std::string> device;
    bool pty = false;
    long baud = 9600;
    vxs_sim::SimulatorOptions options;
    // The transcript is printed as it grows; the simulator need not keep much of it.
    options.transcriptLimit = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](long low, long high) -> std::optional<long> {
            if (i + 1 >= argc) return std::nullopt;
            return ParseNumber(argv[++i], low, high);
        };
        const auto milliseconds = [&]() -> std::optional<std::chrono::milliseconds> {
            const std::optional<long> ms = value(0, 600000);
            if (!ms) return std::nullopt;
            return std::chrono::milliseconds(*ms);
        };
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--version") {
            std::printf("%s\n", KIV_TOOL_VERSION_TEXT("vxs-sim"));
            return kExitOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--pty") {
            pty = true;
        } else if (arg == "--device") {
            if (i + 1 >= argc) return Usage("--device needs a path");
            device = argv[++i];
        } else if (arg == "--baud") {
            const auto n = value(1, 115200);
            if (!n) return Usage("--baud needs a speed such as 9600");
            baud = *n;
        } else if (arg == "--controllers") {
            if (i + 1 >= argc) return Usage("--controllers needs a list such as 0,2 or 0-3");
            const auto list = ParseControllers(argv[++i]);
            if (!list) return Usage("--controllers takes numbers 0 to 7, e.g. 0,2,5 or 0-3");
            options.controllers = *list;
        } else if (arg == "--ack-delay" || arg == "--answer-gap" || arg == "--upload-pause" ||
                   arg == "--resend-after") {
            const auto ms = milliseconds();
            if (!ms) return Usage(arg + " needs milliseconds, 0 to 600000");
            if (arg == "--ack-delay") options.timing.ackDelay = *ms;
            if (arg == "--answer-gap") options.timing.answerGap = *ms;
            if (arg == "--upload-pause") options.timing.uploadPause = *ms;
            if (arg == "--resend-after") options.timing.resendAfter = *ms;
        } else if (arg == "--resends") {
            const auto n = value(0, 100);
            if (!n) return Usage("--resends needs a number 0 to 100");
            options.timing.resends = static_cast<int>(*n);
        } else if (arg == "--data-first") {
            options.answerOrder = vxs_sim::AnswerOrder::kDataFirst;
        } else if (arg == "--seed") {
            const auto n = value(0, 999999999);
            if (!n) return Usage("--seed needs a number");
            options.noiseSeed = static_cast<uint32_t>(*n);
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }
    if (pty && device) return Usage("--pty and --device exclude each other");
    if (!device && baud != 9600) return Usage("--baud applies to --device only");

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    std::unique_ptr<vxs_sim::Simulator> simulator;
    try {
        simulator = device ? vxs_sim::Simulator::OnDevice(*device, static_cast<int>(baud), options)
                           : vxs_sim::Simulator::OnPty(options);
    } catch (const std::invalid_argument& error) {
        return Usage(error.what());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vxs-sim: %s\n", error.what());
        return kExitLine;
    }

    std::printf("%s\n", simulator->DevicePath().c_str());
    std::fflush(stdout);
    simulator->SetListener([json](const vxs_sim::TranscriptEntry& entry) {
        const std::string line = json ? vxs_sim::FormatJson(entry) : vxs_sim::FormatText(entry);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });

    int status = kExitOk;
    std::string line;
    std::string pending;
    long lineNumber = 0;
    while (ReadLine(line, pending, *simulator)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const vxs_sim::CommandResult result = vxs_sim::RunCommandLine(*simulator, line);
        if (result.status == vxs_sim::CommandResult::Status::kQuit) break;
        if (result.status == vxs_sim::CommandResult::Status::kError) {
            std::fprintf(stderr, "vxs-sim: line %ld: %s\n", lineNumber, result.message.c_str());
            status = kExitRefused;
        } else if (!result.message.empty()) {
            std::fprintf(stderr, "%s", result.message.c_str());
        }
    }
    if (simulator->LineFailed()) {
        std::fprintf(stderr, "vxs-sim: the line %s failed\n", simulator->DevicePath().c_str());
        status = kExitLine;
    }
    // Ends the simulator's thread; the transcript is printed to its last entry first.
    simulator.reset();
    return status;
}
