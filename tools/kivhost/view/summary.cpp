// What kivhost run says of its lines: the answer to 'status', and the summary at the end.
#include <cstdio>

#include "system/console.h"
#include "view/record_text.h"
#include "view/run_view.h"

namespace kivhost {

namespace {

// A line's counters by controller, 0 to 7.
Json ControllerCounts(const LineCounters& line) {
    Json list = Json::array();
    for (int c = 0; c < 8; ++c) {
        list.push_back({{"controller", c},
                        {"timeouts", line.controllerTimeouts[c]},
                        {"statusReports", line.statusReports[c]}});
    }
    return list;
}

}  // namespace

std::string RunView::StatusText() {
    const std::lock_guard<std::mutex> lock(countersMutex_);
    std::string text;
    for (const LineCounters& line : lines_) {
        std::string heard;
        for (int c = 0; c < 8; ++c) {
            heard += line.heard[c] ? (heard.empty() ? "" : ",") + std::to_string(c) : "";
        }
        char row[256];
        (void)std::snprintf(row, sizeof row,
                            "line %d on %s: controllers heard %s; frames in %llu out %llu, events "
                            "%llu, illegal %llu, time-outs %llu, retries %llu\n  last event: %s",
                            line.line, line.port.c_str(), heard.empty() ? "none" : heard.c_str(),
                            static_cast<unsigned long long>(line.framesIn),
                            static_cast<unsigned long long>(line.framesOut),
                            static_cast<unsigned long long>(line.events),
                            static_cast<unsigned long long>(line.illegalFrames),
                            static_cast<unsigned long long>(line.timeouts),
                            static_cast<unsigned long long>(line.retries),
                            line.lastEvent.empty() ? "none" : line.lastEvent.c_str());
        text += (text.empty() ? "" : "\n") + std::string(row);
    }
    for (const std::string& row : GatewayRows()) {
        text += "\n" + row;
    }
    return text;
}

std::vector<std::string> RunView::GatewayRows() {
    std::vector<std::string> rows;
    if (gateway_ != nullptr) {
        for (const GatewayState& state : gateway_->States()) {
            rows.push_back(GatewayStateText(state));
        }
    }
    return rows;
}

Json RunView::GatewayJson() {
    if (gateway_ == nullptr) {
        return nullptr;
    }
    Json states = Json::array();
    for (const GatewayState& state : gateway_->States()) {
        states.push_back(GatewayStateJson(state));
    }
    return states;
}

Json RunView::StatusJson() {
    const std::lock_guard<std::mutex> lock(countersMutex_);
    Json lines = Json::array();
    for (const LineCounters& line : lines_) {
        Json heard = Json::array();
        for (int c = 0; c < 8; ++c) {
            if (line.heard[c]) {
                heard.push_back(c);
            }
        }
        lines.push_back(
            {{"line", line.line},
             {"port", ByteText(line.port)},
             {"heard", heard},
             {"lastEvent", line.lastEvent.empty() ? Json(nullptr) : Json(line.lastEvent)},
             {"framesIn", line.framesIn},
             {"framesOut", line.framesOut},
             {"events", line.events},
             {"illegalFrames", line.illegalFrames},
             {"timeouts", line.timeouts},
             {"retries", line.retries}});
    }
    return lines;
}

void RunView::PrintSummary(int exitCode, const std::string& reason) {
    // Every thread of the run has ended by now; only a reader of the terminal may be left.
    const int threads = OtherThreadCount();
    Json lines = Json::array();
    LineCounters total;
    for (LineCounters& line : lines_) {
        line.tagStores += monitor_.UnrecordedStores(line.line);  // counted, not recorded
        lines.push_back({{"line", line.line},
                         {"port", ByteText(line.port)},
                         {"instance", line.instance},
                         {"framesIn", line.framesIn},
                         {"framesOut", line.framesOut},
                         {"events", line.events},
                         {"illegalFrames", line.illegalFrames},
                         {"timeouts", line.timeouts},
                         {"tagChanges", line.tagChanges},
                         {"tagStores", line.tagStores},
                         {"retries", line.retries},
                         {"controllers", ControllerCounts(line)}});
        total.framesIn += line.framesIn;
        total.framesOut += line.framesOut;
        total.events += line.events;
        total.illegalFrames += line.illegalFrames;
        total.timeouts += line.timeouts;
        total.tagChanges += line.tagChanges;
        total.tagStores += line.tagStores;
    }
    if (mode_ == ViewMode::kJson) {
        const Json summary = {{"t", monitor_.Seconds()},
                              {"type", "summary"},
                              {"exit", exitCode},
                              {"reason", reason},
                              {"lines", lines},
                              {"logLines", logLines_},
                              {"threadsLeft", threads >= 0 ? Json(threads) : Json(nullptr)}};
        std::printf("%s\n", Dump(summary).c_str());
        (void)std::fflush(stdout);
        return;
    }
    if (mode_ == ViewMode::kLive) {
        std::printf("\x1b[%d;1H\x1b[K", std::max(OutputTerminalSize().rows, 1));
    }
    std::printf("\nSummary: %.1f s, %zu %s, exit status %d%s%s\n", monitor_.Seconds(),
                lines_.size(), lines_.size() == 1 ? "line" : "lines", exitCode,
                reason.empty() ? "" : ": ", reason.c_str());
    // 78 columns: the table fits a terminal of 80.
    std::printf("  %-4s %-12s %9s %6s %6s %7s %9s %7s %7s\n", "line", "port", "frames in", "out",
                "events", "illegal", "time-outs", "changes", "stores");
    const auto row = [](const std::string& label, const std::string& port, const LineCounters& c) {
        std::printf("  %-4s %-12s %9llu %6llu %6llu %7llu %9llu %7llu %7llu\n", label.c_str(),
                    port.c_str(), static_cast<unsigned long long>(c.framesIn),
                    static_cast<unsigned long long>(c.framesOut),
                    static_cast<unsigned long long>(c.events),
                    static_cast<unsigned long long>(c.illegalFrames),
                    static_cast<unsigned long long>(c.timeouts),
                    static_cast<unsigned long long>(c.tagChanges),
                    static_cast<unsigned long long>(c.tagStores));
    };
    for (const LineCounters& line : lines_) {
        row(std::to_string(line.line), line.port, line);
    }
    if (lines_.size() > 1) {
        row("all", "", total);
    }
    for (const LineCounters& line : lines_) {
        std::string byController;
        for (const Json& entry : ControllerCounts(line)) {
            if (entry["timeouts"].get<uint64_t>() + entry["statusReports"].get<uint64_t>() > 0) {
                byController += " " + std::to_string(entry["controller"].get<int>()) + ":" +
                                std::to_string(entry["timeouts"].get<uint64_t>()) + "/" +
                                std::to_string(entry["statusReports"].get<uint64_t>());
            }
        }
        std::printf("  line %d: %llu retries; time-outs/status reports by controller:%s\n",
                    line.line, static_cast<unsigned long long>(line.retries),
                    byController.empty() ? " none" : byController.c_str());
    }
    std::printf("  %llu log lines\n", static_cast<unsigned long long>(logLines_));
    (void)std::fflush(stdout);
}

}  // namespace kivhost
