// What kivhost run shows: the monitor's records as JSON lines, as plain lines, or as a live
// view redrawn in place on a terminal; the frames go to the trace; the counters of each line
// make the summary. One thread of its own takes the records and shows them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/json_text.h"
#include "host/monitor.h"
#include "mqtt/mqtt_gateway.h"
#include "view/trace_file.h"

namespace kivhost {

enum class ViewMode { kJson, kPlain, kLive };

// Which records the plain and JSON views print (--print); the live view, the counters and the
// summary take every record whatever this says.
enum class ViewPrint {
    kAll,     // every record
    kEvents,  // events, log lines, results, progress and each line's start
    kLog,     // log lines, results, progress and each line's start
};

// --print's words for ViewPrint, in its order; false for a word that is none of them.
const std::vector<std::string>& ViewPrintWords();
bool ViewPrintOf(const std::string& word, ViewPrint& print);

// The line being typed in the live view, shared by the thread that reads the keys (which may
// outlive the view) and the view.
class InputLine {
public:
    void Set(const std::string& text) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            text_ = text;
        }
        changed_ = true;
    }
    std::string Text() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    // Whether it changed since the last call.
    bool TakeChange() { return changed_.exchange(false); }

private:
    std::mutex mutex_;
    std::string text_;
    std::atomic<bool> changed_{false};
};

struct LineCounters {
    int line = 0;
    std::string port;
    int32_t instance = 0;
    uint64_t framesIn = 0;
    uint64_t framesOut = 0;
    uint64_t events = 0;
    uint64_t illegalFrames = 0;
    uint64_t timeouts = 0;
    uint64_t tagChanges = 0;  // stores of a new value
    uint64_t tagStores = 0;   // every store, a repeated value too
    uint64_t retries = 0;     // attempts of a command after its first
    // By controller: unanswered attempts and poll queries, status reports published.
    uint64_t controllerTimeouts[8] = {};
    uint64_t statusReports[8] = {};
    bool heard[8] = {};     // a status report, or an answer to a command addressed to it
    std::string lastEvent;  // in words, with its time
};

class RunView {
public:
    RunView(ViewMode mode, ViewPrint print, Monitor& monitor, TraceFile& trace, std::string title);
    ~RunView();
    RunView(const RunView&) = delete;
    RunView& operator=(const RunView&) = delete;

    void AddLine(int line, const std::string& port, int32_t instance);
    // The live view's input line: what is typed so far, drawn after the prompt.
    void ShowInput(std::shared_ptr<InputLine> input);
    // The gateway whose connections the view and 'status' show (before Start; it outlives the
    // view's use of it: the run stops the view first).
    void ShowGateway(MqttGateway* gateway) { gateway_ = gateway; }
    // The gateway's state for 'status' as JSON: one member per line, null without a gateway.
    Json GatewayJson();
    void Start();
    // Shows what is still queued and ends the thread.
    void Stop();
    // The summary record, and in plain and live mode the summary table on standard output.
    void PrintSummary(int exitCode, const std::string& reason);
    // What 'status' answers: a line of words per line, and the same as JSON. Any thread.
    std::string StatusText();
    Json StatusJson();

private:
    // The frames the live view shows each way.
    static constexpr size_t kFramesEachWay = 3;

    void Loop();
    void Take(const Json& record);
    void PrintPlain(const Json& record) const;
    void Draw();
    // The live view's top: the title, each line's counters and the gateway's state, wrapped.
    std::vector<std::string> TopRows(size_t width);
    void Show(const std::vector<std::string>& screen, size_t width, int viewRows);
    // The gateway's state a row per line; none without a gateway.
    std::vector<std::string> GatewayRows();
    LineCounters& Counters(const Json& record);
    static void Count(LineCounters& counters, const Json& record);

    ViewMode mode_;
    ViewPrint print_;
    Monitor& monitor_;
    TraceFile& trace_;
    std::string title_;
    std::mutex countersMutex_;  // lines_: the view thread, AddLine (main) and 'status'
    std::vector<LineCounters> lines_;
    LineCounters unattributed_;  // records of no line of this run (none are expected)
    uint64_t logLines_ = 0;
    std::deque<std::string> tags_, events_, framesIn_, framesOut_, log_, results_;
    std::string progress_;
    std::shared_ptr<InputLine> input_;  // set before Start
    MqttGateway* gateway_ = nullptr;    // set before Start
    bool dirty_ = true;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kivhost
