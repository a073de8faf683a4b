// What kivhost run shows.
#include "view/run_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "system/console.h"

namespace kivhost {

namespace {

constexpr size_t kKeepRows = 40;
constexpr size_t kFramesEachWay = 3;
constexpr int kBarWidth = 30;
constexpr std::chrono::milliseconds kRedraw{200};

std::string Seconds(const Json& record) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%9.3f", record.value("t", 0.0));
    return text;
}

std::string LineLabel(const Json& record) {
    const Json& line = record["line"];
    return line.is_number() ? "L" + std::to_string(line.get<int>()) : "  ";
}

std::string ValueText(const Json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_null()) {
        return "-";
    }
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.10g", value.get<double>());
    return text;
}

void Push(std::deque<std::string>& rows, std::string row) {
    rows.push_back(std::move(row));
    while (rows.size() > kKeepRows) {
        rows.pop_front();
    }
}

std::string EventText(const Json& record) {
    std::string text = "event " + std::to_string(record.value("code", 0)) + " " +
                       record.value("name", std::string());
    if (record["unit"].is_number()) {
        char unit[16];
        (void)std::snprintf(unit, sizeof unit, "%02d", record["unit"].get<int>());
        text += ", " + record.value("unitKind", std::string()) + " " + unit;
    }
    if (record["key"].is_string()) {
        text += ", key " + record["key"].get<std::string>() + ": " + ValueText(record["holder"]);
    }
    if (record["time"].is_string()) {
        text += " (" + record["time"].get<std::string>() + ")";
    }
    return text;
}

std::string ProgressText(const Json& record) {
    const unsigned sent = record.value("sent", 0U);
    const unsigned total = record.value("total", 0U);
    const unsigned failed = record.value("failed", 0U);
    const int filled = total == 0 ? kBarWidth : static_cast<int>(kBarWidth * sent / total);
    return std::string(record.value("done", false) ? "download done " : "download ") + "[" +
           std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] " + std::to_string(sent) +
           " of " + std::to_string(total) + " lines sent, " + std::to_string(failed) + " failed";
}

std::string ResultText(const Json& record) {
    return "> " + record.value("command", std::string()) + ": " +
           (record.value("ok", false) ? "ok" : "FAILED") +
           (record.value("detail", std::string()).empty()
                ? std::string()
                : ", " + record.value("detail", std::string()));
}

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

RunView::RunView(ViewMode mode, Monitor& monitor, TraceFile& trace, std::string title)
    : mode_(mode), monitor_(monitor), trace_(trace), title_(std::move(title)) {}

RunView::~RunView() {
    Stop();
}

void RunView::AddLine(int line, const std::string& port, int32_t instance) {
    LineCounters counters;
    counters.line = line;
    counters.port = port;
    counters.instance = instance;
    // The view's thread may be reading the counters already (lines are added at their cold
    // start, after the view started).
    const std::lock_guard<std::mutex> lock(countersMutex_);
    lines_.push_back(counters);
}

void RunView::ShowInput(std::shared_ptr<InputLine> input) {
    input_ = std::move(input);
}

void RunView::Start() {
    if (mode_ == ViewMode::kLive) {
        (void)EnableTerminalSequences();
        std::printf("\x1b[2J");
    }
    thread_ = std::thread([this] { Loop(); });
}

void RunView::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void RunView::Loop() {
    auto lastDraw = std::chrono::steady_clock::now() - kRedraw;
    while (true) {
        const bool last = stop_;
        for (const Json& record : monitor_.Take(std::chrono::milliseconds(50))) {
            Take(record);
        }
        if (input_ && input_->TakeChange()) {
            dirty_ = true;
            lastDraw -= kRedraw;  // what is typed shows at once
        }
        if (mode_ == ViewMode::kLive && dirty_ &&
            (last || std::chrono::steady_clock::now() - lastDraw >= kRedraw)) {
            Draw();
            lastDraw = std::chrono::steady_clock::now();
        }
        (void)std::fflush(stdout);
        if (last) {
            return;
        }
    }
}

LineCounters& RunView::Counters(const Json& record) {
    const Json& line = record["line"];
    if (line.is_number()) {
        const int number = line.get<int>();
        if (number >= 1 && static_cast<size_t>(number) <= lines_.size()) {
            return lines_[static_cast<size_t>(number) - 1];
        }
    }
    return unattributed_;
}

void RunView::Take(const Json& record) {
    const std::string type = record.value("type", std::string());
    std::unique_lock<std::mutex> countersLock(countersMutex_);
    LineCounters& counters = Counters(record);
    const std::string when = Seconds(record) + " " + LineLabel(record) + " ";
    if (type == "frame") {
        const bool out = record.value("dir", std::string()) == "out";
        ++(out ? counters.framesOut : counters.framesIn);
        const std::string hex = record.value("hex", std::string());
        std::string bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        trace_.Write(record.value("t", 0.0), out, counters.line, bytes);
        Push(out ? framesOut_ : framesIn_, when + record.value("text", std::string()));
        while ((out ? framesOut_ : framesIn_).size() > kFramesEachWay) {
            (out ? framesOut_ : framesIn_).pop_front();
        }
    } else if (type == "tag") {
        ++counters.tagStores;
        if (record.value("changed", true)) {
            ++counters.tagChanges;
            char row[160];
            (void)std::snprintf(row, sizeof row, "%-22s %s", record.value("name", "").c_str(),
                                ValueText(record["value"]).c_str());
            Push(tags_, when + row);
        }
    } else if (type == "event") {
        Push(events_, when + EventText(record));
        char at[32];
        (void)std::snprintf(at, sizeof at, "%.3f s: ", record.value("t", 0.0));
        counters.lastEvent = at + EventText(record);
    } else if (type == "monitor") {
        Count(counters, record);
    } else if (type == "log") {
        ++logLines_;
        Push(log_, when + "[" + std::to_string(record.value("level", 0)) + "] " +
                       record.value("text", std::string()));
    } else if (type == "progress") {
        progress_ = when + ProgressText(record);
    } else if (type == "result") {
        // A result of several lines (help) takes a row each.
        const std::string text = ResultText(record);
        size_t at = 0;
        for (size_t end = text.find('\n'); at <= text.size(); end = text.find('\n', at)) {
            end = end == std::string::npos ? text.size() : end;
            Push(results_,
                 (at == 0 ? when : std::string(when.size() + 2, ' ')) + text.substr(at, end - at));
            at = end + 1;
        }
    }
    countersLock.unlock();
    dirty_ = true;
    if (mode_ == ViewMode::kJson) {
        std::printf("%s\n", Dump(record).c_str());
    } else if (mode_ == ViewMode::kPlain) {
        PrintPlain(record);
    }
}

void RunView::Count(LineCounters& counters, const Json& record) {
    const std::string kind = record.value("kind", std::string());
    // Null where it does not apply (the silent controller of a poll has no outcome).
    const std::string outcome =
        record["outcome"].is_string() ? record["outcome"].get<std::string>() : std::string();
    const Json& number = record["controller"];
    const int controller = number.is_number() ? number.get<int>() : -1;
    const bool named = controller >= 0 && controller < 8;
    if (kind == "event") {
        ++counters.events;
    } else if (kind == "illegal frame") {
        ++counters.illegalFrames;
    } else if (kind == "status report" && named) {
        ++counters.statusReports[controller];
        counters.heard[controller] = true;
    } else if (kind == "attempt" || kind == "silent in the poll") {
        if (named && outcome == "answered") {
            counters.heard[controller] = true;
        }
        if (record["attempt"].is_number() && record["attempt"].get<int>() > 0) {
            ++counters.retries;
        }
        if (kind != "attempt" || outcome == "timed out") {
            ++counters.timeouts;
            if (named) {
                ++counters.controllerTimeouts[controller];
            }
        }
    }
}

void RunView::PrintPlain(const Json& record) const {
    const std::string type = record.value("type", std::string());
    const std::string when = Seconds(record) + " " + LineLabel(record) + " ";
    std::string text;
    if (type == "frame") {
        text = record.value("dir", std::string()) + "  " + record.value("text", std::string());
    } else if (type == "tag") {
        text = "tag " + record.value("name", std::string()) + " = " + ValueText(record["value"]);
    } else if (type == "event") {
        text = EventText(record);
    } else if (type == "log") {
        text = "log [" + std::to_string(record.value("level", 0)) + "] " +
               record.value("text", std::string());
    } else if (type == "progress") {
        text = ProgressText(record);
    } else if (type == "result") {
        text = ResultText(record);
    } else if (type == "monitor") {
        const Json& controller = record["controller"];
        text = record.value("kind", std::string()) +
               (controller.is_number() ? ", controller " + std::to_string(controller.get<int>())
                                       : std::string());
        if (record["attempt"].is_number()) {
            text += ", attempt " + std::to_string(record["attempt"].get<int>() + 1) + " " +
                    record.value("outcome", std::string());
        }
        if (record["frame"].is_string()) {
            text += ": " + record["frame"].get<std::string>();
        }
    } else {
        text = record.value("text", std::string());
    }
    std::printf("%s%s\n", when.c_str(), text.c_str());
}

void RunView::Draw() {
    const TerminalSize size = OutputTerminalSize();
    const auto width = static_cast<size_t>(std::max(size.columns, 20));
    std::vector<std::string> screen;
    char header[256];
    (void)std::snprintf(header, sizeof header, "%s   %.1f s", title_.c_str(), monitor_.Seconds());
    screen.emplace_back(header);
    std::unique_lock<std::mutex> countersLock(countersMutex_);
    for (const LineCounters& line : lines_) {
        char row[256];
        (void)std::snprintf(row, sizeof row,
                            "L%d %-10s frames in %llu out %llu  events %llu  illegal %llu  "
                            "time-outs %llu  retries %llu",
                            line.line, line.port.c_str(),
                            static_cast<unsigned long long>(line.framesIn),
                            static_cast<unsigned long long>(line.framesOut),
                            static_cast<unsigned long long>(line.events),
                            static_cast<unsigned long long>(line.illegalFrames),
                            static_cast<unsigned long long>(line.timeouts),
                            static_cast<unsigned long long>(line.retries));
        screen.emplace_back(row);
    }
    countersLock.unlock();
    // What is left of the screen is shared out among the sections.
    const int fixed = static_cast<int>(screen.size()) + 5 + 2 * static_cast<int>(kFramesEachWay) +
                      (progress_.empty() ? 0 : 1) + 2;
    const int rows = std::max(size.rows - fixed, 8);
    const auto section = [&](const char* title, const std::deque<std::string>& items, int count) {
        screen.emplace_back(std::string("-- ") + title);
        const size_t shown = std::min(items.size(), static_cast<size_t>(std::max(count, 1)));
        for (size_t i = items.size() - shown; i < items.size(); ++i) {
            screen.push_back(items[i]);
        }
    };
    section("Tags changed", tags_, rows * 3 / 10);
    section("Events", events_, rows * 3 / 10);
    screen.emplace_back("-- Frames (last each way)");
    for (const std::string& row : framesIn_) {
        screen.push_back("in  " + row);
    }
    for (const std::string& row : framesOut_) {
        screen.push_back("out " + row);
    }
    section("Log", log_, rows * 2 / 10);
    if (!progress_.empty()) {
        screen.push_back(progress_);
    }
    section("Commands", results_, rows - rows * 8 / 10);
    // The view above, then a hint and the input line at the foot of the screen, each row
    // placed by itself so that nothing scrolls; the cursor waits after what is typed.
    const int viewRows = std::max(size.rows - 2, 1);
    std::string out;
    for (int i = 0; i < viewRows; ++i) {
        out += "\x1b[" + std::to_string(i + 1) + ";1H";
        if (static_cast<size_t>(i) < screen.size()) {
            out += screen[static_cast<size_t>(i)].substr(0, width);
        }
        out += "\x1b[K";
    }
    const std::string input = input_ ? input_->Text() : std::string();
    const std::string hint =
        "Type a command and Enter ('help' lists them); 'quit' or Ctrl-C stops.";
    out += "\x1b[" + std::to_string(viewRows + 1) + ";1H" + hint.substr(0, width) + "\x1b[K";
    // The end of a long input line stays in sight.
    const size_t room = width > 3 ? width - 3 : 1;
    const std::string shown = input.size() > room ? input.substr(input.size() - room) : input;
    out += "\x1b[" + std::to_string(viewRows + 2) + ";1H> " + shown + "\x1b[K";
    (void)std::fputs(out.c_str(), stdout);
    dirty_ = false;
}

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
    return text;
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
             {"lastEvent", line.lastEvent.empty() ? Json(nullptr) : ByteText(line.lastEvent)},
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
    for (const LineCounters& line : lines_) {
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
                              {"reason", ByteText(reason)},
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
