// kivhost scan: which controllers of a line answer, and their status. An instance on the line
// (a simulated one by default) asks each controller for its status (xFSTAT) in turn.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/json_text.h"
#include "cli/command.h"
#include "cli/line_options.h"
#include "commands/commands.h"
#include "commands/scan_rates.h"
#include "host/tag_config.h"
#include "qorpro/qorpro_embed.h"
#include "run/run_session.h"
#include "system/installation.h"
#include "system/line_settings.h"
#include "system/port_check.h"
#include "system/simulated_line.h"

namespace kivhost {

namespace {

using std::chrono::milliseconds;

// How long the line's close may wait for the driver to let its client go.
constexpr milliseconds kLineStopBound{5000};

struct ScanArguments {
    DriverLineOptions driver;
    std::string ask = "0-7";
    std::string controllers = "0,1";
    std::string workDir;
    bool allRates = false;
};

// The status tags of a controller that a report fills, with the JSON member of each.
struct StatusTag {
    const char* suffix;
    const char* member;
    int32_t dataType;
};
constexpr StatusTag kStatusTags[] = {
    {"PMODE", "mode", KIV_TYPE_ANALOG},    {"PKEYS", "keys", KIV_TYPE_ANALOG},
    {"PAI1", "analog1", KIV_TYPE_ANALOG},  {"PAI2", "analog2", KIV_TYPE_ANALOG},
    {"PAI3", "analog3", KIV_TYPE_ANALOG},  {"PAI4", "analog4", KIV_TYPE_ANALOG},
    {"PCTRL", "text", KIV_TYPE_STRING},    {"PVER", "version", KIV_TYPE_STRING},
    {"PTMPR", "tamper", KIV_TYPE_DIGITAL}, {"PALRM", "alarm", KIV_TYPE_DIGITAL},
    {"PUIM", "uim", KIV_TYPE_DIGITAL},     {"PIRC", "irc", KIV_TYPE_DIGITAL},
};

// The log line of the receiver's start: the status report of an answer is taken by the receiver.
constexpr char kReceiverStarted[] = "Start of Unsolicited Thread";

struct Answer {
    int controller = 0;
    bool answers = false;
    int32_t result = 0;
    std::string detail;
    Json status = Json::object();
};

// Whether any status tag of the controller was stored since 'marks' were taken.
bool Reported(const std::vector<int32_t>& gates, const std::vector<uint32_t>& marks) {
    for (size_t k = 0; k < gates.size(); ++k) {
        if (qorWriteCount(gates[k]) != marks[k]) {
            return true;
        }
    }
    return false;
}

Answer Ask(RunSession& session, int controller, milliseconds reportWait) {
    Answer answer;
    answer.controller = controller;
    const std::string c = std::to_string(controller);
    std::vector<int32_t> gates;
    std::vector<uint32_t> marks;
    for (const StatusTag& tag : kStatusTags) {
        gates.push_back(qorFindTag((c + tag.suffix).c_str()));
        marks.push_back(qorWriteCount(gates.back()));
    }
    const CommandOutcome outcome = session.Write(c + "FSTAT", "1");
    answer.result = outcome.extra.value("result", KIV_FAILED);
    if (!outcome.ok) {
        // The driver says the same for each attempt: its first line is enough.
        const std::string reason = outcome.extra.value("reason", std::string());
        answer.detail = "no answer, result " + std::to_string(answer.result) +
                        (reason.empty() ? "" : ": " + reason.substr(0, reason.find("; ")));
        return answer;
    }
    // Acknowledged: the report follows within the answer time. Its tags are stored in a fixed
    // order, the status word's bits last: the report is whole once the last bit is stored (a
    // report without a status word stores no bit, and is taken as it is at the deadline).
    const std::vector<int32_t> last(gates.end() - 1, gates.end());
    const std::vector<uint32_t> lastMark(marks.end() - 1, marks.end());
    const auto deadline = std::chrono::steady_clock::now() + reportWait;
    while (!Reported(last, lastMark) && std::chrono::steady_clock::now() < deadline) {
        (void)qorWaitForChange(qorChangeCount(), 50);
    }
    if (!Reported(gates, marks)) {
        answer.detail = "acknowledged, but no status report came";
        return answer;
    }
    answer.answers = true;
    for (size_t k = 0; k < gates.size(); ++k) {
        const StatusTag& tag = kStatusTags[k];
        if (tag.dataType == KIV_TYPE_STRING) {
            char text[QOR_TEXT_SIZE] = {};
            (void)qorGetText(gates[k], text, sizeof text);
            answer.status[tag.member] = LineText(text);
        } else {
            double value = 0;
            (void)qorGetValue(gates[k], &value);
            answer.status[tag.member] = static_cast<int64_t>(value);
        }
    }
    return answer;
}

std::string FieldText(const Json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void PrintTable(const std::vector<Answer>& answers) {
    std::printf("%-4s %-7s %-4s %-5s %-6s %-6s %-6s %-6s %-20s %-12s %s\n", "CTRL", "ANSWERS",
                "MODE", "KEYS", "AI1", "AI2", "AI3", "AI4", "TEXT", "VERSION",
                "TAMPER ALARM UIM IRC");
    for (const Answer& answer : answers) {
        if (!answer.answers) {
            std::printf("%-4d %-7s %s\n", answer.controller, "no", answer.detail.c_str());
            continue;
        }
        const Json& s = answer.status;
        std::printf("%-4d %-7s %-4s %-5s %-6s %-6s %-6s %-6s %-20s %-12s %s %s %s %s\n",
                    answer.controller, "yes", FieldText(s["mode"]).c_str(),
                    FieldText(s["keys"]).c_str(), FieldText(s["analog1"]).c_str(),
                    FieldText(s["analog2"]).c_str(), FieldText(s["analog3"]).c_str(),
                    FieldText(s["analog4"]).c_str(), FieldText(s["text"]).c_str(),
                    FieldText(s["version"]).c_str(), FieldText(s["tamper"]).c_str(),
                    FieldText(s["alarm"]).c_str(), FieldText(s["uim"]).c_str(),
                    FieldText(s["irc"]).c_str());
    }
}

// What a scan does, from its checked arguments.
struct ScanPlan {
    LineSettings settings{};
    std::vector<int> asked;
    std::vector<int> simulatedControllers;
    std::string portName;   // empty until a simulated line gives one
    bool autoRate = false;  // --baud auto: the rate is found first
    std::vector<RateTrial> trials;
};

// 0, or the exit code after saying what is wrong.
int PlanScan(const ScanArguments& arguments, ScanPlan& plan) {
    std::string message;
    plan.autoRate = arguments.driver.line.baud == kAutoBaud;
    LineOptions line = arguments.driver.line;
    if (plan.autoRate) {
        // The port is checked at the first rate tried; the others differ in the rate alone.
        line.baud = RatesToTry().front();
    } else if (arguments.allRates) {
        return UsageError("scan", "--all-rates goes with --baud auto");
    }
    if (!MakeLineSettings(line, plan.settings, message)) {
        return UsageError("scan", message);
    }
    if (!ParseControllerList(arguments.ask, plan.asked, message) ||
        !ParseControllerList(arguments.controllers, plan.simulatedControllers, message)) {
        return UsageError("scan", message);
    }
    if (arguments.driver.port.empty()) {
        return kExitOk;
    }
    if (!DriverPortName(arguments.driver.port, plan.portName)) {
        return UsageError("scan", "the port name '" + arguments.driver.port +
                                      "' does not fit the host's 12 characters");
    }
    const PortCheck check = CheckPort(plan.portName, plan.settings);
    if (!check.ok) {
        (void)std::fprintf(stderr, "kivhost scan: %s\n", check.reason.c_str());
        return kExitUsage;
    }
    return kExitOk;
}

// The tags a scan needs: each controller's FSTAT and status tags, named as their addresses.
TagConfig ScanTags() {
    TagConfig config;
    for (int controller = 0; controller < 8; ++controller) {
        const std::string c = std::to_string(controller);
        config.tags.push_back({0, c + "FSTAT", c + "FSTAT", KIV_TYPE_ANALOG});
        for (const StatusTag& tag : kStatusTags) {
            config.tags.push_back({0, c + tag.suffix, c + tag.suffix, tag.dataType});
        }
    }
    return config;
}

// Asks each controller of the plan in turn, on a started line.
std::vector<Answer> AskControllers(RunSession& session, const ScanPlan& plan,
                                   const ScanArguments& arguments, bool quiet) {
    // The report of an acknowledged FSTAT comes within the driver's answer time (at least 1 s).
    const milliseconds reportWait(std::max(arguments.driver.answerTimeoutMs, 1000) + 500);
    std::vector<Answer> answers;
    for (const int controller : plan.asked) {
        if (!quiet) {
            (void)std::fprintf(stderr, "kivhost scan: asking controller %d of %s\n", controller,
                               plan.portName.c_str());
        }
        answers.push_back(Ask(session, controller, reportWait));
    }
    return answers;
}

std::string ControllerListText(const std::vector<int>& controllers) {
    std::string text;
    for (const int controller : controllers) {
        text += (text.empty() ? "" : ",") + std::to_string(controller);
    }
    return text;
}

// The rates tried, and those not, in words.
void PrintTrials(const std::vector<RateTrial>& trials) {
    std::printf("%-7s %s\n", "RATE", "ACKNOWLEDGED");
    std::string notTried;
    for (const RateTrial& trial : trials) {
        if (!trial.tried) {
            notTried += (notTried.empty() ? "" : ", ") + std::to_string(trial.baud);
            continue;
        }
        const std::string heard = ControllerListText(trial.acknowledged);
        std::printf("%-7d %s\n", trial.baud, heard.empty() ? "none" : heard.c_str());
    }
    if (!notTried.empty()) {
        std::printf("not tried: %s\n", notTried.c_str());
    }
}

Json TrialsJson(const ScanPlan& plan) {
    if (!plan.autoRate) {
        return nullptr;
    }
    Json list = Json::array();
    for (const RateTrial& trial : plan.trials) {
        list.push_back(
            {{"baud", trial.baud}, {"tried", trial.tried}, {"acknowledged", trial.acknowledged}});
    }
    return list;
}

// The answers as a table or as JSON; the exit code. No answers: no rate was found.
int PrintAnswers(const std::vector<Answer>& answers, const ScanPlan& plan, bool simulated,
                 bool json) {
    size_t answering = 0;
    for (const Answer& answer : answers) {
        answering += answer.answers ? 1 : 0;
    }
    const bool found = !plan.autoRate || !answers.empty();
    if (json) {
        Json list = Json::array();
        for (const Answer& answer : answers) {
            list.push_back({{"controller", answer.controller},
                            {"answers", answer.answers},
                            {"result", answer.result},
                            {"status", answer.answers ? answer.status : Json(nullptr)},
                            {"detail", ByteText(answer.detail)}});
        }
        std::printf("%s\n", Dump({{"port", ByteText(plan.portName)},
                                  {"simulated", simulated},
                                  {"baud", found ? Json(plan.settings.baudRate) : Json(nullptr)},
                                  {"rates", TrialsJson(plan)},
                                  {"controllers", std::move(list)}})
                                .c_str());
        return answering > 0 ? kExitOk : kExitRejected;
    }
    if (plan.autoRate) {
        PrintTrials(plan.trials);
    }
    if (!found) {
        std::printf("%s: no controller acknowledged at any rate tried\n", plan.portName.c_str());
        return kExitRejected;
    }
    PrintTable(answers);
    std::printf("%s: %zu of %zu controllers answer at %u baud\n", plan.portName.c_str(), answering,
                answers.size(), static_cast<unsigned>(plan.settings.baudRate));
    return answering > 0 ? kExitOk : kExitRejected;
}

// The simulated line of a scan without --port; false when it cannot start.
bool StartScanLine(ScanPlan& plan, std::unique_ptr<SimulatedLine>& simulated) {
    SimulatedLineOptions options;
    options.controllers = plan.simulatedControllers;
    options.eventsPerSecond = 0;
    options.baud = plan.settings.baudRate;
    std::string error;
    simulated = StartSimulatedLine(options, error);
    if (!simulated) {
        (void)std::fprintf(stderr, "kivhost scan: %s\n", error.c_str());
        return false;
    }
    plan.portName = simulated->PortName();
    return true;
}

// With --baud auto: the rate trial, and the rate found in the plan's settings; false when no
// controller acknowledged at any rate.
bool FindRate(ScanPlan& plan, const ScanArguments& arguments, bool quiet) {
    plan.trials = TryRates(plan.portName, plan.settings, plan.asked, arguments.allRates, quiet);
    for (const RateTrial& trial : plan.trials) {
        if (!trial.acknowledged.empty()) {
            plan.settings.baudRate = static_cast<uint16_t>(trial.baud);
            return true;
        }
    }
    return false;
}

// Cold-starts the driver on the line and asks the controllers; nothing when the start failed.
std::optional<std::vector<Answer>> ScanLine(DriverSession& driver, const ScanPlan& plan,
                                            const ScanArguments& arguments, bool quiet,
                                            std::unique_ptr<SimulatedLine> simulated) {
    Monitor monitor;
    RunSession session(driver, monitor);
    std::vector<RefusedTag> refused;
    HostLine& line = session.AddLine(arguments.driver.instance, ScanTags(), false,
                                     std::move(simulated), refused);
    std::vector<LogEntry> log;
    const int32_t result =
        line.ColdStart(plan.portName, plan.settings,
                       arguments.driver.answerTimeoutMs / kMsPerAnswerTimeoutUnit, log);
    if (result != KIV_OK) {
        (void)std::fprintf(stderr, "kivhost scan: the cold start on %s failed (result %d)\n",
                           plan.portName.c_str(), static_cast<int>(result));
        line.Stop(kLineStopBound);
        return std::nullopt;
    }
    (void)session.ExpectLog(kReceiverStarted, milliseconds(10000));
    std::vector<Answer> answers = AskControllers(session, plan, arguments, quiet);
    line.Stop(kLineStopBound);
    session.CloseSimulatedLines();
    return answers;
}

int RunScan(const GlobalOptions& global, const ScanArguments& arguments) {
    ScanPlan plan;
    if (const int code = PlanScan(arguments, plan); code != kExitOk) {
        return code;
    }
    DriverSession driver;
    if (!LoadDriver(global, driver)) {
        return kExitNoDriver;
    }
    std::string workDir;
    if (!MoveToWorkFolder("scan", arguments.workDir, workDir)) {
        return kExitUsage;
    }
    std::unique_ptr<SimulatedLine> simulated;
    if (plan.portName.empty() && !StartScanLine(plan, simulated)) {
        return kExitUsage;
    }
    const bool onSimulatedLine = arguments.driver.port.empty();
    if (plan.autoRate && !FindRate(plan, arguments, global.json)) {
        return PrintAnswers({}, plan, onSimulatedLine, global.json);
    }
    const auto answers = ScanLine(driver, plan, arguments, global.json, std::move(simulated));
    if (!answers) {
        return kExitRejected;
    }
    return PrintAnswers(*answers, plan, onSimulatedLine, global.json);
}

std::function<int()> SetUpScan(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<ScanArguments>();
    ScanArguments& a = *arguments;
    AddDriverLineOptions(app, a.driver, true);
    app.add_option("--ask", a.ask, "the controllers asked: 0,3,5 or 0-3 (default 0-7)");
    app.add_option("--controllers", a.controllers,
                   "simulated controllers: 0,3,5 or 0-3 (default 0,1)");
    app.add_flag("--all-rates", a.allRates,
                 "with --baud auto: try every rate, not only until controllers acknowledge");
    AddWorkFolderOption(app, a.workDir);
    return [arguments, &global] { return RunScan(global, *arguments); };
}

// The rest of the command's own --help text.
std::string ScanHelp() {
    return std::string(
               "Cold-starts an instance on the line (--port; by default a simulated line with the\n"
               "controllers of --controllers), waits for its receiver, asks each controller of "
               "--ask\n"
               "(default 0-7) for its status by writing its xFSTAT as a host does, and shows "
               "which\n"
               "answer, with the fields of their status reports: mode, keys, analog inputs 1 to "
               "4,\n"
               "controller text, version, and the tamper, alarm, UIM and IRC bits. Then it stops "
               "the\n"
               "instance. A controller that does not answer costs the driver's attempts (three\n"
               "answer times and pauses). The port is checked first, as 'kivhost port-check' "
               "does.\n") +
           "--baud auto finds the line's rate first: at each rate the system takes, 9600 and\n"
           "19200 first, then the rest from the fastest down, each controller of --ask is sent\n"
           "a status request and given " +
           std::to_string(kAcknowledgeWait.count()) +
           " ms and its frame's time on the wire to acknowledge.\n"
           "It stops at the first rate where one does (--all-rates: tries every rate), and the\n"
           "driver scans the line at that rate; the trial ends within " +
           std::to_string(kRateTrialBound.count()) +
           " s, rates that do not\n"
           "fit are not tried. The simulated line runs at 9600 baud then.\n"
           "--json prints {\"port\", \"simulated\", \"baud\", \"rates\", \"controllers\"}: baud "
           "the\n"
           "rate scanned (null when none was found), rates null without --baud auto, else each\n"
           "rate {\"baud\", \"tried\", \"acknowledged\"}; each controller {\"controller\",\n"
           "\"answers\", \"result\", \"status\", \"detail\"}; status holds {\"mode\", \"keys\",\n"
           "\"analog1\" to \"analog4\", \"text\", \"version\", \"tamper\", \"alarm\", \"uim\", "
           "\"irc\"}\n"
           "or is null.\n"
           "Exit status: 0 a controller answers, 1 none does (at any rate tried) or the cold\n"
           "start failed, 2 usage error or a port that does not open, 3 the driver cannot be\n"
           "loaded.\n";
}

}  // namespace

extern const Command kScanCommand = {"scan", "ask the controllers of a line for their status",
                                     ScanHelp, SetUpScan, nullptr};

}  // namespace kivhost
