// kivhost scan: which controllers of a line answer, and their status. An instance on the line
// (a simulated one by default) asks each controller for its status (xFSTAT) in turn.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "installation.h"
#include "json_text.h"
#include "line_options.h"
#include "port_check.h"
#include "qorpro/qorpro_embed.h"
#include "run_session.h"
#include "simulated_line.h"
#include "tag_config.h"

namespace kivhost {

namespace {

using std::chrono::milliseconds;

struct ScanArguments {
    DriverLineOptions driver;
    std::string ask = "0-7";
    std::string controllers = "0,1";
    std::string workDir;
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
            answer.status[tag.member] = ByteText(text);
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

int RunScan(const GlobalOptions& global, const ScanArguments& arguments) {
    LineSettings settings{};
    std::string message;
    if (!MakeLineSettings(arguments.driver.line, settings, message)) {
        return UsageError("scan", message);
    }
    std::vector<int> asked;
    std::vector<int> simulatedControllers;
    if (!ParseControllerList(arguments.ask, asked, message) ||
        !ParseControllerList(arguments.controllers, simulatedControllers, message)) {
        return UsageError("scan", message);
    }
    if (arguments.driver.answerTimeoutMs < 0 || arguments.driver.answerTimeoutMs > 600000 ||
        arguments.driver.instance < 1 || arguments.driver.instance > 255) {
        return UsageError("scan", "--answer-timeout is 0 to 600000 ms, --instance 1 to 255");
    }
    std::string portName;
    if (!arguments.driver.port.empty()) {
        if (!DriverPortName(arguments.driver.port, portName)) {
            return UsageError("scan", "the port name '" + arguments.driver.port +
                                          "' does not fit the host's 12 characters");
        }
        const PortCheck check = CheckPort(portName, settings);
        if (!check.ok) {
            (void)std::fprintf(stderr, "kivhost scan: %s\n", check.reason.c_str());
            return kExitUsage;
        }
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
    if (portName.empty()) {
        SimulatedLineOptions options;
        options.controllers = simulatedControllers;
        options.eventsPerSecond = 0;
        std::string error;
        simulated = StartSimulatedLine(options, error);
        if (!simulated) {
            (void)std::fprintf(stderr, "kivhost scan: %s\n", error.c_str());
            return kExitUsage;
        }
        portName = simulated->PortName();
    }
    // The tags a scan needs: each controller's FSTAT and status tags, named as their addresses.
    TagConfig config;
    for (int controller = 0; controller < 8; ++controller) {
        const std::string c = std::to_string(controller);
        config.tags.push_back({0, c + "FSTAT", c + "FSTAT", KIV_TYPE_ANALOG});
        for (const StatusTag& tag : kStatusTags) {
            config.tags.push_back({0, c + tag.suffix, c + tag.suffix, tag.dataType});
        }
    }
    Monitor monitor;
    RunSession session(driver, monitor);
    std::vector<RefusedTag> refused;
    HostLine& line =
        session.AddLine(arguments.driver.instance, config, false, std::move(simulated), refused);
    std::vector<LogEntry> log;
    const int32_t result =
        line.ColdStart(portName, settings, arguments.driver.answerTimeoutMs / 10, log);
    if (result != KIV_OK) {
        (void)std::fprintf(stderr, "kivhost scan: the cold start on %s failed (result %d)\n",
                           portName.c_str(), static_cast<int>(result));
        line.Stop(milliseconds(5000));
        return kExitRejected;
    }
    (void)session.ExpectLog(kReceiverStarted, milliseconds(10000));
    // The report of an acknowledged FSTAT comes within the driver's answer time (at least 1 s).
    const milliseconds reportWait(std::max(arguments.driver.answerTimeoutMs, 1000) + 500);
    std::vector<Answer> answers;
    for (const int controller : asked) {
        if (!global.json) {
            (void)std::fprintf(stderr, "kivhost scan: asking controller %d of %s\n", controller,
                               portName.c_str());
        }
        answers.push_back(Ask(session, controller, reportWait));
    }
    line.Stop(milliseconds(5000));
    session.CloseSimulatedLines();

    size_t answering = 0;
    for (const Answer& answer : answers) {
        answering += answer.answers ? 1 : 0;
    }
    if (global.json) {
        Json list = Json::array();
        for (const Answer& answer : answers) {
            list.push_back({{"controller", answer.controller},
                            {"answers", answer.answers},
                            {"result", answer.result},
                            {"status", answer.answers ? answer.status : Json(nullptr)},
                            {"detail", ByteText(answer.detail)}});
        }
        std::printf("%s\n", Dump({{"port", ByteText(portName)},
                                  {"simulated", arguments.driver.port.empty()},
                                  {"controllers", std::move(list)}})
                                .c_str());
    } else {
        PrintTable(answers);
        std::printf("%s: %zu of %zu controllers answer\n", portName.c_str(), answering,
                    answers.size());
    }
    return answering > 0 ? kExitOk : kExitRejected;
}

}  // namespace

std::function<int()> SetUpScan(CLI::App& app, const GlobalOptions& global) {
    auto arguments = std::make_shared<ScanArguments>();
    ScanArguments& a = *arguments;
    AddDriverLineOptions(app, a.driver);
    app.add_option("--ask", a.ask, "the controllers asked: 0,3,5 or 0-3 (default 0-7)");
    app.add_option("--controllers", a.controllers,
                   "simulated controllers: 0,3,5 or 0-3 (default 0,1)");
    AddWorkFolderOption(app, a.workDir);
    return [arguments, &global] { return RunScan(global, *arguments); };
}

}  // namespace kivhost
