// What kivhost run counts for its metrics.
#include "service/run_metrics.h"

#include <chrono>

namespace kivhost {

namespace {

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int NumberOf(const Json& record, const char* member, int otherwise) {
    const auto found = record.find(member);
    return found != record.end() && found->is_number_integer() ? found->get<int>() : otherwise;
}

void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

double Read(const std::atomic<uint64_t>& counter) {
    return static_cast<double>(counter.load(std::memory_order_relaxed));
}

MetricFamily Family(const char* name, const char* help, MetricType type) {
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

}  // namespace

RunMetrics::RunMetrics(int lines)
    : lines_(lines),
      startTime_(UnixNow()),
      counts_(std::make_unique<LineCounts[]>(static_cast<size_t>(lines))),
      ports_(static_cast<size_t>(lines)) {}

RunMetrics::LineCounts* RunMetrics::LineOf(const Json& record) const {
    const int line = NumberOf(record, "line", 0);
    return line >= 1 && line <= lines_ ? &counts_[static_cast<size_t>(line) - 1] : nullptr;
}

void RunMetrics::Count(const Json& record) {
    LineCounts* line = LineOf(record);
    if (line == nullptr) {
        return;
    }
    const std::string& type = TextOf(record, "type");
    if (type == "frame") {
        Add(TextOf(record, "dir") == "out" ? line->framesOut : line->framesIn);
    } else if (type == "event") {
        Add(line->events);
        line->lastEvent.store(UnixNow(), std::memory_order_relaxed);
    } else if (type == "monitor") {
        CountMonitor(*line, record);
    } else if (type == "log") {
        Add(line->logLines);
    } else if (type == "start") {
        CountStart(*line, record);
    }
}

// An attempt names its controller by its frame; a status report and a silent controller by the
// record. An event's monitor record is counted as its event record.
void RunMetrics::CountMonitor(LineCounts& line, const Json& record) {
    const std::string& kind = TextOf(record, "kind");
    if (kind == "illegal frame") {
        Add(line.illegalFrames);
        return;
    }
    const int number = NumberOf(record, "controller", -1);
    if (number < 0 || number >= kMetricsControllers) {
        return;
    }
    ControllerCounts& controller = line.controllers[number];
    if (kind == "attempt") {
        Add(controller.attempts);
        if (NumberOf(record, "attempt", 0) > 0) {
            Add(controller.retries);
        }
        if (TextOf(record, "outcome") == "timed out") {
            Add(controller.timeouts);
        }
    } else if (kind == "status report") {
        Add(controller.statusReports);
    } else if (kind == "silent in the poll") {
        Add(controller.pollSilent);
    }
}

void RunMetrics::CountStart(LineCounts& line, const Json& record) {
    line.up.store(NumberOf(record, "result", -1) == 0 ? 1 : 0, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(portMutex_);
    LinePort& port = ports_[static_cast<size_t>(&line - counts_.get())];
    port.port = TextOf(record, "port");
    port.device = TextOf(record, "device");
}

std::vector<MetricFamily> RunMetrics::Families(const std::vector<GatewayState>* gateway) const {
    std::vector<MetricFamily> families;
    AddLineFamilies(families);
    AddControllerFamilies(families);
    if (gateway != nullptr) {
        AddGatewayFamilies(*gateway, families);
    }
    MetricFamily start =
        Family("kivhost_start_time_seconds", "When this kivhost run started, in unix seconds.",
               MetricType::kGauge);
    start.samples.push_back({{}, startTime_});
    families.push_back(std::move(start));
    return families;
}

template <typename ValueOf>
MetricFamily RunMetrics::PerLine(MetricFamily family, ValueOf valueOf) const {
    for (int k = 0; k < lines_; ++k) {
        family.samples.push_back(
            {{{"line", std::to_string(k + 1)}}, valueOf(counts_[static_cast<size_t>(k)])});
    }
    return family;
}

void RunMetrics::AddLineFamilies(std::vector<MetricFamily>& families) const {
    struct Counted {
        const char* name;
        const char* help;
        Counter LineCounts::*counter;
    };
    static constexpr Counted kCounted[] = {
        {"kivhost_illegal_frames_total",
         "Frames received that the driver refused (too short, or a wrong checksum).",
         &LineCounts::illegalFrames},
        {"kivhost_events_total", "Events the driver published.", &LineCounts::events},
        {"kivhost_log_lines_total", "Log lines of the driver.", &LineCounts::logLines},
    };
    families.push_back(FramesFamily());
    for (const Counted& c : kCounted) {
        families.push_back(PerLine(Family(c.name, c.help, MetricType::kCounter),
                                   [&c](const LineCounts& line) { return Read(line.*c.counter); }));
    }
    families.push_back(
        PerLine(Family("kivhost_last_event_timestamp_seconds",
                       "When the line's last event came, in unix seconds; 0: none yet.",
                       MetricType::kGauge),
                [](const LineCounts& line) { return line.lastEvent.load(); }));
    families.push_back(PerLine(
        Family("kivhost_line_up", "1 when the line's cold start succeeded.", MetricType::kGauge),
        [](const LineCounts& line) { return static_cast<double>(line.up.load()); }));
    families.push_back(InfoFamily());
}

MetricFamily RunMetrics::FramesFamily() const {
    MetricFamily frames = Family("kivhost_frames_total",
                                 "Frames on the line: received (in) and sent (out), "
                                 "acknowledgements included.",
                                 MetricType::kCounter);
    for (int k = 0; k < lines_; ++k) {
        const LineCounts& line = counts_[static_cast<size_t>(k)];
        const std::string number = std::to_string(k + 1);
        frames.samples.push_back({{{"line", number}, {"direction", "in"}}, Read(line.framesIn)});
        frames.samples.push_back({{{"line", number}, {"direction", "out"}}, Read(line.framesOut)});
    }
    return frames;
}

// A line's port once its start record came.
MetricFamily RunMetrics::InfoFamily() const {
    MetricFamily info =
        Family("kivhost_line_info", "The line's port and device; always 1.", MetricType::kGauge);
    const std::lock_guard<std::mutex> lock(portMutex_);
    for (size_t k = 0; k < ports_.size(); ++k) {
        if (!ports_[k].port.empty()) {
            info.samples.push_back({{{"line", std::to_string(k + 1)},
                                     {"port", ports_[k].port},
                                     {"device", ports_[k].device}},
                                    1.0});
        }
    }
    return info;
}

void RunMetrics::AddControllerFamilies(std::vector<MetricFamily>& families) const {
    struct Counted {
        const char* name;
        const char* help;
        Counter ControllerCounts::*counter;
    };
    static constexpr Counted kCounted[] = {
        {"kivhost_command_attempts_total",
         "Attempts of commands to the controller, retries included.", &ControllerCounts::attempts},
        {"kivhost_command_retries_total", "Attempts of a command after its first.",
         &ControllerCounts::retries},
        {"kivhost_answer_timeouts_total",
         "Attempts of a command that the controller did not answer within the answer time.",
         &ControllerCounts::timeouts},
        {"kivhost_status_reports_total", "Status reports of the controller the driver published.",
         &ControllerCounts::statusReports},
        {"kivhost_poll_silent_total", "Start-up polls the controller did not answer.",
         &ControllerCounts::pollSilent},
    };
    for (const Counted& c : kCounted) {
        MetricFamily family = Family(c.name, c.help, MetricType::kCounter);
        for (int k = 0; k < lines_; ++k) {
            for (int controller = 0; controller < kMetricsControllers; ++controller) {
                const ControllerCounts& counts =
                    counts_[static_cast<size_t>(k)].controllers[controller];
                family.samples.push_back(
                    {{{"line", std::to_string(k + 1)}, {"controller", std::to_string(controller)}},
                     Read(counts.*c.counter)});
            }
        }
        families.push_back(std::move(family));
    }
}

void AddGatewayFamilies(const std::vector<GatewayState>& gateway,
                        std::vector<MetricFamily>& families) {
    MetricFamily connected =
        Family("kivhost_mqtt_connected", "1 while the line's connection to the MQTT broker is up.",
               MetricType::kGauge);
    MetricFamily queued =
        Family("kivhost_mqtt_queued_messages", "Messages of the line waiting for the broker.",
               MetricType::kGauge);
    MetricFamily dropped =
        Family("kivhost_mqtt_dropped_events_total",
               "Events of the line dropped because its queue was full (--mqtt-queue).",
               MetricType::kCounter);
    for (const GatewayState& state : gateway) {
        const std::string line = std::to_string(state.line);
        connected.samples.push_back({{{"line", line}}, state.connected ? 1.0 : 0.0});
        queued.samples.push_back({{{"line", line}}, static_cast<double>(state.queued)});
        dropped.samples.push_back({{{"line", line}}, static_cast<double>(state.dropped)});
    }
    for (MetricFamily* family : {&connected, &queued, &dropped}) {
        families.push_back(std::move(*family));
    }
}

}  // namespace kivhost
