// What kivhost run shows: the view's thread, and what it counts of each record.
#include "view/run_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "system/console.h"
#include "view/record_text.h"

namespace kivhost {

namespace {

constexpr size_t kKeepRows = 40;
constexpr std::chrono::milliseconds kRedraw{200};
// The view takes what came at most this often: with many lines, records arrive hundreds of times
// a second, and a turn for each (a wake-up, a flush) cost more than the records themselves.
constexpr std::chrono::milliseconds kTurn{20};

void Push(std::deque<std::string>& rows, std::string row) {
    rows.push_back(std::move(row));
    while (rows.size() > kKeepRows) {
        rows.pop_front();
    }
}

// Whether --print shows a record of 'type'. The records of a line's steady work (frames, tag
// stores, the driver's monitoring) come by the dozen for every event: a service that writes
// them all to the journal meets its rate limit, and the messages that matter are dropped.
bool Printed(ViewPrint print, const std::string& type) {
    if (print == ViewPrint::kAll) {
        return true;
    }
    if (type == "event") {
        return print == ViewPrint::kEvents;
    }
    return type == "log" || type == "result" || type == "progress" || type == "start";
}

}  // namespace

const std::vector<std::string>& ViewPrintWords() {
    static const std::vector<std::string> words = {"all", "events", "log"};
    return words;
}

bool ViewPrintOf(const std::string& word, ViewPrint& print) {
    const std::vector<std::string>& words = ViewPrintWords();
    const auto found = std::find(words.begin(), words.end(), word);
    if (found == words.end()) {
        return false;
    }
    print = static_cast<ViewPrint>(found - words.begin());
    return true;
}

RunView::RunView(ViewMode mode, ViewPrint print, Monitor& monitor, TraceFile& trace,
                 std::string title)
    : mode_(mode), print_(print), monitor_(monitor), trace_(trace), title_(std::move(title)) {}

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
        const auto turn = std::chrono::steady_clock::now();
        for (Json& record : monitor_.Take(std::chrono::milliseconds(50))) {
            Take(record);
            Release(record);
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
        if (!stop_) {
            std::this_thread::sleep_until(turn + kTurn);
        }
    }
}

LineCounters& RunView::Counters(const Json& record) {
    const Json& line = MemberOf(record, "line");
    if (line.is_number()) {
        const int number = line.get<int>();
        if (number >= 1 && static_cast<size_t>(number) <= lines_.size()) {
            return lines_[static_cast<size_t>(number) - 1];
        }
    }
    return unattributed_;
}

void RunView::Take(const Json& record) {
    const std::string& type = TextOf(record, "type");
    std::unique_lock<std::mutex> countersLock(countersMutex_);
    LineCounters& counters = Counters(record);
    // The rows of the live screen only: with many lines the other views take hundreds of
    // records a second.
    const bool live = mode_ == ViewMode::kLive;
    const std::string when = live ? SecondsText(record) + " " + LineLabel(record) + " " : "";
    if (type == "frame") {
        const bool out = TextOf(record, "dir") == "out";
        ++(out ? counters.framesOut : counters.framesIn);
        if (trace_.Active()) {
            trace_.Write(record.value("t", 0.0), out, counters.line,
                         BytesOfHex(TextOf(record, "hex")));
        }
        if (live) {
            Push(out ? framesOut_ : framesIn_, when + TextOf(record, "text"));
            while ((out ? framesOut_ : framesIn_).size() > kFramesEachWay) {
                (out ? framesOut_ : framesIn_).pop_front();
            }
        }
    } else if (type == "tag") {
        ++counters.tagStores;
        if (record.value("changed", true)) {
            ++counters.tagChanges;
        }
        if (live && record.value("changed", true)) {
            char row[160];
            (void)std::snprintf(row, sizeof row, "%-22s %s", record.value("name", "").c_str(),
                                ValueText(MemberOf(record, "value")).c_str());
            Push(tags_, when + row);
        }
    } else if (type == "event") {
        char at[32];
        (void)std::snprintf(at, sizeof at, "%.3f s: ", record.value("t", 0.0));
        const std::string text = EventText(record);
        counters.lastEvent.assign(at).append(text);  // in the room it has
        if (live) {
            Push(events_, when + text);
        }
    } else if (type == "monitor") {
        Count(counters, record);
    } else if (type == "log") {
        ++logLines_;
        Push(log_,
             when + "[" + std::to_string(record.value("level", 0)) + "] " + TextOf(record, "text"));
    } else if (type == "progress") {
        if (live) {
            progress_ = when + ProgressText(record);
        }
    } else if (type == "result") {
        // Whole: the live view wraps it to the screen's width.
        Push(results_, when + ResultText(record));
    }
    countersLock.unlock();
    dirty_ = true;
    if (!Printed(print_, type)) {
        return;
    }
    if (mode_ == ViewMode::kJson) {
        std::printf("%s\n", Dump(record).c_str());
    } else if (mode_ == ViewMode::kPlain) {
        PrintPlain(record);
    }
}

void RunView::Count(LineCounters& counters, const Json& record) {
    const std::string& kind = TextOf(record, "kind");
    // Null where it does not apply (the silent controller of a poll has no outcome).
    const std::string& outcome = TextOf(record, "outcome");
    const Json& number = MemberOf(record, "controller");
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
        if (MemberOf(record, "attempt").is_number() && MemberOf(record, "attempt").get<int>() > 0) {
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

}  // namespace kivhost
