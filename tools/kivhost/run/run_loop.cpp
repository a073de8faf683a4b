// kivhost run in phases.
#include "run/run_loop.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/exit_codes.h"
#include "system/console.h"
#include "system/simulated_line.h"

namespace kivhost {

namespace {

using std::chrono::milliseconds;

// How long a line's close may wait for the driver to let its client go.
constexpr milliseconds kLineStopBound{5000};

// Ctrl-C (and SIGTERM) ask the run to stop; the main loop looks at the flag.
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int /*signal*/) {
    gInterrupted = 1;
}

}  // namespace

RunLoop::RunLoop(DriverSession& driver, const RunPlan& plan, TraceFile& trace)
    : plan_(plan),
      session_(driver, monitor_),
      metrics_(plan.lines),
      notifier_(MakeServiceNotifier()),
      view_(plan.mode, plan.print, monitor_, trace, "kivhost run, driver " + driver.Path()),
      runner_(session_, monitor_, view_, stop_, plan.scriptPath) {}

RunLoop::~RunLoop() {
    if (commands_.joinable()) {
        session_.Interrupt();
        commands_.join();
    }
}

int RunLoop::Run() {
    if (!AddLines() || !StartGateway() || !StartMetrics()) {
        return kExitUsage;
    }
    ConnectSinks();
    ReportRefusedTags();
    StartView();
    ColdStartLines();
    StartCommands();
    WaitForStop();
    TearDown();
    return stop_.ExitCode();
}

bool RunLoop::AddLines() {
    for (int k = 0; k < plan_.lines; ++k) {
        std::unique_ptr<SimulatedLine> simulated;
        if (plan_.devices.empty()) {
            SimulatedLineOptions options;
            options.controllers = plan_.controllers;
            options.eventsPerSecond = plan_.rate;
            options.seed = plan_.seed + static_cast<unsigned>(k);
            options.baud = plan_.settings.baudRate;
            std::string error;
            simulated = StartSimulatedLine(options, error);
            if (!simulated) {
                (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
                return false;
            }
        }
        session_.AddLine(plan_.firstInstance + k, plan_.config, plan_.lines > 1,
                         std::move(simulated), refused_);
    }
    return true;
}

// The MQTT gateway: the monitor hands it every record; writes from the broker go through the
// session as the commands' writes do.
bool RunLoop::StartGateway() {
    if (plan_.mqtt.url.empty()) {
        return true;
    }
    MqttHost host;
    host.lines = plan_.lines;
    for (const auto& [line, name] : session_.TagNames()) {
        const std::string prefix = std::to_string(line) + ":";
        host.tags.push_back(
            {line,
             plan_.lines > 1 && name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name,
             session_.TagRecord(name).value("address", std::string())});
    }
    host.eventTypes = EventTypes();
    host.write = [this](int line, const std::string& tag, const std::string& value) {
        return WriteFromBroker(line, tag, value);
    };
    host.unrecordedStores = [this](int line) { return monitor_.UnrecordedStores(line); };
    std::string error;
    gateway_ = StartMqttGateway(plan_.mqtt, std::move(host), error);
    if (!gateway_) {
        (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
        return false;
    }
    published_ = gateway_.get();
    return true;
}

bool RunLoop::StartMetrics() {
    if (!plan_.serveMetrics) {
        return true;
    }
    std::string error;
    metricsServer_ = StartMetricsServer(
        plan_.metrics, [this] { return MetricsText(); }, error);
    if (!metricsServer_) {
        (void)std::fprintf(stderr, "kivhost run: %s\n", error.c_str());
        return false;
    }
    MetricsAddress bound = plan_.metrics;
    bound.port = metricsServer_->Port();
    (void)std::fprintf(stderr, "kivhost run: metrics on http://%s/metrics\n",
                       MetricsAddressText(bound).c_str());
    (void)std::fflush(stderr);
    return true;
}

// On the server's threads; the gateway outlives the server.
std::string RunLoop::MetricsText() {
    if (!gateway_) {
        return RenderMetrics(metrics_.Families(nullptr));
    }
    const std::vector<GatewayState> states = gateway_->States();
    return RenderMetrics(metrics_.Families(&states));
}

// Every record goes to the metrics and the gateway on the thread that made it; neither waits.
void RunLoop::ConnectSinks() {
    RunMetrics* counted = metricsServer_ ? &metrics_ : nullptr;
    MqttGateway* offered = gateway_.get();
    if (counted == nullptr && offered == nullptr) {
        return;
    }
    monitor_.SetSink([counted, offered](const Json& record) {
        if (counted != nullptr) {
            counted->Count(record);
        }
        if (offered != nullptr) {
            offered->Offer(record);
        }
    });
}

MqttWriteResult RunLoop::WriteFromBroker(int line, const std::string& tag,
                                         const std::string& value) {
    const std::string name = plan_.lines > 1 ? std::to_string(line) + ":" + tag : tag;
    MqttWriteResult written;
    const CommandOutcome outcome = session_.Write(name, value, &written.log);
    monitor_.Emit(ResultRecord(monitor_.Seconds(), "mqtt: write " + name + " " + value, outcome));
    written.done = outcome.extra.contains("result");
    written.result = written.done ? outcome.extra["result"].get<int>() : -1;
    if (!outcome.ok) {
        written.error = outcome.detail;
    } else if (MqttGateway* to = published_.load(); to != nullptr) {
        // The host keeps the value written: its retained topic says so.
        Json stored = session_.TagRecord(name);
        if (stored.is_object()) {
            stored["type"] = "tag";
            stored["line"] = line;
            to->Offer(stored);
        }
    }
    return written;
}

// Refused tags are reported before the start, as 'kivhost check' reports them.
void RunLoop::ReportRefusedTags() const {
    if (plan_.mode == ViewMode::kJson) {
        return;
    }
    for (const RefusedTag& tag : refused_) {
        std::printf("refused: %s:%zu %s %s: %s\n", plan_.tagsPath.c_str(), tag.fileLine,
                    tag.name.c_str(), tag.address.c_str(), tag.reason.c_str());
    }
}

void RunLoop::StartView() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // The live view draws the line being typed itself: the terminal gives it the keys.
    if (plan_.mode == ViewMode::kLive && plan_.scriptPath.empty() && BeginKeyInput()) {
        typing_ = std::make_shared<InputLine>();
        view_.ShowInput(typing_);
    }
    view_.ShowGateway(gateway_.get());
    // Only a view that prints every record wants a record of every repeated store.
    monitor_.RecordRepeatedStores(plan_.print == ViewPrint::kAll && plan_.mode != ViewMode::kLive);
    monitor_.Attach();
    view_.Start();
}

void RunLoop::ColdStartLines() {
    for (auto& line : session_.Lines()) {
        if (!ColdStart(*line)) {
            return;
        }
    }
}

bool RunLoop::ColdStart(HostLine& line) {
    const int number = line.Line();
    SimulatedLine* simulated = session_.Simulated(number);
    const auto index = static_cast<size_t>(number - 1);
    const std::string port =
        simulated != nullptr ? simulated->PortName() : plan_.portNames.at(index);
    view_.AddLine(number, port, line.InstanceNumber());
    std::vector<LogEntry> log;
    const int32_t result =
        line.ColdStart(port, plan_.settings, plan_.answerTimeoutMs / kMsPerAnswerTimeoutUnit, log);
    Json refusedJson = Json::array();
    for (const RefusedTag& tag : refused_) {
        if (tag.line == number) {
            refusedJson.push_back({{"name", ByteText(tag.name)},
                                   {"address", ByteText(tag.address)},
                                   {"fileLine", tag.fileLine},
                                   {"reason", ByteText(tag.reason)}});
        }
    }
    const std::string outcome =
        result == KIV_OK ? "done" : "failed, result " + std::to_string(result);
    // A stable name (a link) is shown beside the device the driver opens.
    const std::string device =
        simulated != nullptr ? simulated->DevicePath() : plan_.devices.at(index);
    const bool named = simulated == nullptr && device != port && device != "/dev/" + port;
    const std::string shownPort = named ? port + " (" + device + ")" : port;
    monitor_.Emit(
        {{"t", monitor_.Seconds()},
         {"type", "start"},
         {"line", number},
         {"port", ByteText(port)},
         {"device", ByteText(device)},
         {"simulated", simulated != nullptr},
         {"instance", line.InstanceNumber()},
         {"result", result},
         {"refused", refusedJson},
         {"workdir", ByteText(plan_.workDir)},
         {"text", "line " + std::to_string(number) + " on " + shownPort + ": cold start " +
                      outcome + "; the driver's files in " + plan_.workDir}});
    if (result != KIV_OK) {
        stop_.Request(kExitRejected, "the cold start of line " + std::to_string(number) + " on " +
                                         port + " failed (result " + std::to_string(result) + ")");
        return false;
    }
    if (simulated != nullptr) {
        simulated->StartDemo();
    }
    return true;
}

void RunLoop::StartCommands() {
    if (stop_.Requested()) {
        return;
    }
    if (!plan_.scriptPath.empty()) {
        commands_ = std::thread([this] { runner_.RunScript(plan_.script); });
        return;
    }
    auto input = std::make_shared<InputQueue>();
    if (typing_) {
        std::thread(ReadKeys, input, typing_).detach();
    } else {
        std::thread(ReadInput, input).detach();
    }
    commands_ = std::thread([this, input] { runner_.RunInput(input); });
}

void RunLoop::WaitForStop() {
    keeper_ = std::make_unique<ServiceKeeper>(*notifier_, LinesText());
    const auto started = std::chrono::steady_clock::now();
    TurnService();
    while (!stop_.Wait(milliseconds(50))) {
        TurnService();
        if (gInterrupted != 0) {
            stop_.Request(kExitOk, "interrupted");
        } else if (plan_.duration > 0 && std::chrono::steady_clock::now() - started >=
                                             std::chrono::duration<double>(plan_.duration)) {
            stop_.Request(kExitOk, "the duration passed");
        }
    }
}

// READY=1 and the watchdog's pings come from this loop alone: they stop when it hangs, or when
// a line's loop of the gateway does.
void RunLoop::TurnService() {
    if (stop_.Requested()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!gateway_) {
        keeper_->Turn(nullptr, now);
        return;
    }
    const std::vector<GatewayState> states = gateway_->States();
    keeper_->Turn(&states, now);
}

std::string RunLoop::LinesText() {
    const auto& lines = session_.Lines();
    if (lines.size() == 1) {
        return "line " + std::to_string(lines.front()->Line()) + " on " + lines.front()->Port();
    }
    return std::to_string(lines.size()) + " lines";
}

// The commands end first, then the gateway's writes, then the lines; the view and the
// gateway's queue last, once no driver thread makes records any more.
void RunLoop::TearDown() {
    if (keeper_) {
        keeper_->Stopping(stop_.Reason());
    }
    session_.Interrupt();
    if (commands_.joinable()) {
        commands_.join();
    }
    if (gateway_) {
        gateway_->StopWrites();
    }
    for (auto& line : session_.Lines()) {
        if (SimulatedLine* simulated = session_.Simulated(line->Line())) {
            simulated->StopDemo();
        }
        line->Stop(kLineStopBound);
    }
    monitor_.Detach();
    view_.Stop();
    EndKeyInput();
    if (metricsServer_) {
        metricsServer_->Stop();
    }
    if (gateway_) {
        // "offline" and what is still queued, within the flush bound.
        gateway_->Stop();
    }
    WriteTranscript();
    session_.CloseSimulatedLines();
    view_.PrintSummary(stop_.ExitCode(), stop_.Reason());
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void RunLoop::WriteTranscript() {
    if (plan_.transcriptPath.empty()) {
        return;
    }
    if (SimulatedLine* simulated = session_.Simulated(1)) {
        std::ofstream file(std::filesystem::path(plan_.transcriptPath), std::ios::binary);
        for (const std::string& entry : simulated->TranscriptJson()) {
            file << entry << '\n';
        }
        file.close();
        if (!file) {
            (void)std::fprintf(stderr,
                               "kivhost run: writing the simulator's transcript '%s' failed\n",
                               plan_.transcriptPath.c_str());
        }
    }
}

}  // namespace kivhost
