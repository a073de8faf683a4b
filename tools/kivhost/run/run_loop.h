// kivhost run from its cold starts to its summary, in phases: the lines and their simulators,
// the MQTT gateway, the view, the cold starts, the commands, the wait for a stop, the teardown.
// What the command line asked for arrives checked and read (RunPlan); the phases only run it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/driver_session.h"
#include "host/monitor.h"
#include "host/tag_config.h"
#include "mqtt/mqtt_gateway.h"
#include "run/command_runner.h"
#include "run/run_commands.h"
#include "run/run_session.h"
#include "run/stop_request.h"
#include "service/metrics_server.h"
#include "service/run_metrics.h"
#include "service/service_keeper.h"
#include "service/service_notifier.h"
#include "service/service_options.h"
#include "system/line_settings.h"
#include "view/run_view.h"
#include "view/trace_file.h"

namespace kivhost {

// A run as the command line asked for it, checked, its files read.
struct RunPlan {
    LineSettings settings{};
    std::vector<std::string> devices;    // --port as given, one a line; none: simulated lines
    std::vector<std::string> portNames;  // the driver's names of those ports
    std::vector<int> controllers;
    double rate = 0.5;
    unsigned seed = 1;
    int lines = 1;
    int firstInstance = 1;
    int answerTimeoutMs = 1000;
    std::string tagsPath;
    TagConfig config;
    std::string scriptPath;  // empty: commands from standard input
    std::vector<RunCommand> script;
    double duration = 0.0;       // seconds; 0: until stopped otherwise
    std::string transcriptPath;  // absolute; empty: none
    std::string workDir;         // absolute; the current folder
    MqttSettings mqtt;
    bool serveMetrics = false;  // --metrics
    MetricsAddress metrics;
    ViewMode mode = ViewMode::kPlain;
    ViewPrint print = ViewPrint::kAll;
};

class RunLoop {
public:
    RunLoop(DriverSession& driver, const RunPlan& plan, TraceFile& trace);
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Runs every phase; the exit code.
    int Run();

private:
    bool AddLines();
    bool StartGateway();
    // The metrics' server (--metrics), and the monitor's records handed to it and the gateway.
    bool StartMetrics();
    std::string MetricsText();
    void ConnectSinks();
    // A write that came from the broker, made as the commands' writes are.
    MqttWriteResult WriteFromBroker(int line, const std::string& tag, const std::string& value);
    void ReportRefusedTags() const;
    void StartView();
    void ColdStartLines();
    // The line's "start" record; false when its cold start failed.
    bool ColdStart(HostLine& line);
    void StartCommands();
    void WaitForStop();
    // What the service manager hears, on each turn of the loop of WaitForStop.
    void TurnService();
    std::string LinesText();
    void TearDown();
    void WriteTranscript();

    const RunPlan& plan_;
    Monitor monitor_;
    RunSession session_;
    std::vector<RefusedTag> refused_;
    std::unique_ptr<MqttGateway> gateway_;
    std::atomic<MqttGateway*> published_{nullptr};  // set once the gateway runs
    RunMetrics metrics_;
    std::unique_ptr<MetricsServer> metricsServer_;  // stopped before the gateway
    std::unique_ptr<ServiceNotifier> notifier_;
    std::unique_ptr<ServiceKeeper> keeper_;  // once the lines have started
    RunView view_;
    StopRequest stop_;
    std::shared_ptr<InputLine> typing_;  // the live view's input line, when the keys come to it
    CommandRunner runner_;
    std::thread commands_;
};

}  // namespace kivhost
