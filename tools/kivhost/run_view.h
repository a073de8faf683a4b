// What kivhost run shows: the monitor's records as JSON lines, as plain lines, or as a live
// view redrawn in place on a terminal; the frames go to the trace; the counters of each line
// make the summary. One thread of its own takes the records and shows them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "json_text.h"
#include "run_monitor.h"
#include "trace_file.h"

namespace kivhost {

enum class ViewMode { kJson, kPlain, kLive };

struct LineCounters {
    int line = 0;
    std::string port;
    int32_t instance = 0;
    uint64_t framesIn = 0;
    uint64_t framesOut = 0;
    uint64_t events = 0;
    uint64_t illegalFrames = 0;
    uint64_t timeouts = 0;
    uint64_t tagChanges = 0;
};

class RunView {
public:
    RunView(ViewMode mode, Monitor& monitor, TraceFile& trace, std::string title);
    ~RunView();
    RunView(const RunView&) = delete;
    RunView& operator=(const RunView&) = delete;

    void AddLine(int line, const std::string& port, int32_t instance);
    void Start();
    // Shows what is still queued and ends the thread.
    void Stop();
    // The summary record, and in plain and live mode the summary table on standard output.
    void PrintSummary(int exitCode, const std::string& reason);

private:
    void Loop();
    void Take(const Json& record);
    void PrintPlain(const Json& record) const;
    void Draw();
    LineCounters& Counters(const Json& record);

    ViewMode mode_;
    Monitor& monitor_;
    TraceFile& trace_;
    std::string title_;
    std::vector<LineCounters> lines_;
    LineCounters unattributed_;  // log lines no line could be told for
    uint64_t logLines_ = 0;
    std::deque<std::string> tags_, events_, framesIn_, framesOut_, log_, results_;
    std::string progress_;
    bool dirty_ = true;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kivhost
