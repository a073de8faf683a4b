// What kivhost run counts for its metrics, from the monitor's records: per line the frames each
// way, the events and when the last came, illegal frames, the driver's log lines and whether the
// line started; per line and controller the commands' attempts, retries and answer time-outs,
// the status reports and the controllers silent in the start-up poll. The gateway's
// connections are added at each scrape.
//
// Count runs on the driver's threads (the monitor's sink): it only adds to atomics, and the
// start record of a line takes a short lock. Families may run on any thread beside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "mqtt/mqtt_gateway.h"
#include "service/metrics_text.h"

namespace kivhost {

// The controllers a line may have, numbered from 0.
inline constexpr int kMetricsControllers = 8;

class RunMetrics {
public:
    // Lines 1 to 'lines'; records of other lines are not counted.
    explicit RunMetrics(int lines);
    RunMetrics(const RunMetrics&) = delete;
    RunMetrics& operator=(const RunMetrics&) = delete;

    // A record of the monitor (start, frame, event, monitor, log; others are not counted).
    void Count(const Json& record);

    // Every family now; the gateway's connections when a gateway runs.
    std::vector<MetricFamily> Families(const std::vector<GatewayState>* gateway) const;

private:
    using Counter = std::atomic<uint64_t>;
    struct ControllerCounts {
        Counter attempts{0};
        Counter retries{0};
        Counter timeouts{0};
        Counter statusReports{0};
        Counter pollSilent{0};
    };
    struct LineCounts {
        Counter framesIn{0};
        Counter framesOut{0};
        Counter illegalFrames{0};
        Counter events{0};
        Counter logLines{0};
        std::atomic<double> lastEvent{0.0};  // unix seconds; 0: none yet
        std::atomic<int> up{0};
        ControllerCounts controllers[kMetricsControllers];
    };
    struct LinePort {
        std::string port;
        std::string device;
    };

    LineCounts* LineOf(const Json& record) const;
    void CountMonitor(LineCounts& line, const Json& record);
    void CountStart(LineCounts& line, const Json& record);
    void AddLineFamilies(std::vector<MetricFamily>& families) const;
    // The family with a sample per line, its value from the line's counts.
    template <typename ValueOf>
    MetricFamily PerLine(MetricFamily family, ValueOf valueOf) const;
    MetricFamily FramesFamily() const;
    MetricFamily InfoFamily() const;
    void AddControllerFamilies(std::vector<MetricFamily>& families) const;

    const int lines_;
    const double startTime_;  // unix seconds
    std::unique_ptr<LineCounts[]> counts_;
    mutable std::mutex portMutex_;
    std::vector<LinePort> ports_;  // by line - 1, under portMutex_
};

// The gateway's connections as families: connected, messages queued, events dropped.
void AddGatewayFamilies(const std::vector<GatewayState>& gateway,
                        std::vector<MetricFamily>& families);

}  // namespace kivhost
