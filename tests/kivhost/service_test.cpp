// kivhost run as a service: the metrics' text, what is counted from the monitor's records, the
// --metrics address, and what the service manager is told on the run loop's turns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "service/metrics_text.h"
#include "service/run_metrics.h"
#include "service/service_keeper.h"
#include "service/service_options.h"

namespace kivhost {
namespace {

TEST(MetricsText, FamiliesRenderWithEscapedLabelsAndTypes) {
    struct Case {
        MetricFamily family;
        const char* text;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {{"a_total", "Frames.", MetricType::kCounter, {{{{"line", "1"}, {"dir", "in"}}, 12}}},
         "# HELP a_total Frames.\n# TYPE a_total counter\na_total{line=\"1\",dir=\"in\"} 12\n"},
        {{"b", "back\\slash\nnew line", MetricType::kGauge, {{{}, 1.5}}},
         "# HELP b back\\\\slash\\nnew line\n# TYPE b gauge\nb 1.5\n"},
        {{"c", "h", MetricType::kGauge, {{{{"port", "a\"b\\c\nd"}}, 1}}},
         "# HELP c h\n# TYPE c gauge\nc{port=\"a\\\"b\\\\c\\nd\"} 1\n"},
        {{"d", "h", MetricType::kGauge, {{{}, nan}, {{}, inf}, {{}, -inf}, {{}, 1796848886.5}}},
         "# HELP d h\n# TYPE d gauge\nd NaN\nd +Inf\nd -Inf\nd 1796848886.5\n"},
        {{"e_total", "no samples", MetricType::kCounter, {}}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RenderMetrics({c.family}), c.text) << c.family.name;
    }
}

TEST(MetricsAddressTest, HostDefaultsToLoopback) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"9100", true, "127.0.0.1", 9100},
        {":0", true, "127.0.0.1", 0},
        {"0.0.0.0:9100", true, "0.0.0.0", 9100},
        {"[::1]:9100", true, "::1", 9100},
        {"localhost:65535", true, "localhost", 65535},
        {"host:", false, "", 0},
        {"65536", false, "", 0},
        {"-1", false, "", 0},
        {"+80", false, "", 0},
        {"[::1]9100", false, "", 0},
        {"nine", false, "", 0},
    };
    for (const Case& c : cases) {
        MetricsAddress address;
        std::string error;
        EXPECT_EQ(ParseMetricsAddress(c.text, address, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address.host, c.host) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
        } else {
            EXPECT_NE(error.find("--metrics"), std::string::npos) << error;
        }
    }
}

// The value of one sample in the rendered text; -1 when it is not there.
double SampleOf(const std::string& text, const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + sample.size() + 2));
}

TEST(RunMetricsTest, RecordsAreCountedByLineAndController) {
    RunMetrics metrics(2);
    const auto attempt = [](int controller, int number, const char* outcome) {
        return Json{{"type", "monitor"},        {"line", 2},         {"kind", "attempt"},
                    {"controller", controller}, {"attempt", number}, {"outcome", outcome}};
    };
    const Json records[] = {
        {{"type", "frame"}, {"line", 1}, {"dir", "in"}},
        {{"type", "frame"}, {"line", 1}, {"dir", "in"}},
        {{"type", "frame"}, {"line", 1}, {"dir", "out"}},
        {{"type", "frame"}, {"line", 3}, {"dir", "out"}},  // no such line
        {{"type", "event"}, {"line", 2}, {"code", 10}},
        {{"type", "monitor"}, {"line", 2}, {"kind", "event"}, {"controller", nullptr}},
        {{"type", "monitor"}, {"line", 1}, {"kind", "illegal frame"}, {"controller", nullptr}},
        attempt(3, 0, "timed out"),
        attempt(3, 1, "timed out"),
        attempt(3, 2, "answered"),
        {{"type", "monitor"}, {"line", 2}, {"kind", "status report"}, {"controller", 5}},
        {{"type", "monitor"}, {"line", 2}, {"kind", "silent in the poll"}, {"controller", 7}},
        {{"type", "log"}, {"line", 2}, {"level", 32}},
        {{"type", "log"}, {"line", nullptr}, {"level", 32}},
        {{"type", "start"},
         {"line", 1},
         {"port", "pts/\"3"},
         {"device", "/dev/pts/3"},
         {"result", 0}},
    };
    for (const Json& record : records) {
        metrics.Count(record);
    }
    const std::vector<GatewayState> gateway = {{1, true, 4, 2, ""}, {2, false, 0, 0, "down"}};
    const std::string text = RenderMetrics(metrics.Families(&gateway));
    struct Expected {
        const char* sample;
        double value;
    };
    const Expected expected[] = {
        {"kivhost_frames_total{line=\"1\",direction=\"in\"}", 2},
        {"kivhost_frames_total{line=\"1\",direction=\"out\"}", 1},
        {"kivhost_frames_total{line=\"2\",direction=\"out\"}", 0},
        {"kivhost_events_total{line=\"2\"}", 1},
        {"kivhost_illegal_frames_total{line=\"1\"}", 1},
        {"kivhost_log_lines_total{line=\"2\"}", 1},
        {"kivhost_command_attempts_total{line=\"2\",controller=\"3\"}", 3},
        {"kivhost_command_retries_total{line=\"2\",controller=\"3\"}", 2},
        {"kivhost_answer_timeouts_total{line=\"2\",controller=\"3\"}", 2},
        {"kivhost_answer_timeouts_total{line=\"2\",controller=\"0\"}", 0},
        {"kivhost_status_reports_total{line=\"2\",controller=\"5\"}", 1},
        {"kivhost_poll_silent_total{line=\"2\",controller=\"7\"}", 1},
        {"kivhost_line_up{line=\"1\"}", 1},
        {"kivhost_line_up{line=\"2\"}", 0},
        {"kivhost_line_info{line=\"1\",port=\"pts/\\\"3\",device=\"/dev/pts/3\"}", 1},
        {"kivhost_last_event_timestamp_seconds{line=\"1\"}", 0},
        {"kivhost_mqtt_connected{line=\"1\"}", 1},
        {"kivhost_mqtt_connected{line=\"2\"}", 0},
        {"kivhost_mqtt_queued_messages{line=\"1\"}", 4},
        {"kivhost_mqtt_dropped_events_total{line=\"1\"}", 2},
    };
    for (const Expected& e : expected) {
        EXPECT_EQ(SampleOf(text, e.sample), e.value) << e.sample;
    }
    EXPECT_GT(SampleOf(text, "kivhost_last_event_timestamp_seconds{line=\"2\"}"), 1.7e9);
    EXPECT_EQ(text.find("line=\"3\""), std::string::npos);
    EXPECT_EQ(RenderMetrics(metrics.Families(nullptr)).find("kivhost_mqtt"), std::string::npos);
}

// The driver's threads count while scrapes read (a storm for ThreadSanitizer).
TEST(RunMetricsTest, CountsFromSeveralThreadsWhileScraped) {
    RunMetrics metrics(2);
    constexpr int kThreads = 4;
    constexpr int kRecords = 2000;
    std::atomic<bool> done{false};
    std::thread scraper([&] {
        while (!done) {
            (void)RenderMetrics(metrics.Families(nullptr));
        }
    });
    std::vector<std::thread> counters;
    for (int k = 0; k < kThreads; ++k) {
        counters.emplace_back([&metrics, k] {
            const Json frame = {{"type", "frame"}, {"line", 1 + k % 2}, {"dir", "in"}};
            const Json start = {
                {"type", "start"}, {"line", 1 + k % 2}, {"port", "p"}, {"result", 0}};
            for (int n = 0; n < kRecords; ++n) {
                metrics.Count(n % 100 == 0 ? start : frame);
            }
        });
    }
    for (std::thread& counter : counters) {
        counter.join();
    }
    done = true;
    scraper.join();
    const std::string text = RenderMetrics(metrics.Families(nullptr));
    const double each = kThreads / 2 * (kRecords - kRecords / 100);
    EXPECT_EQ(SampleOf(text, "kivhost_frames_total{line=\"1\",direction=\"in\"}"), each);
    EXPECT_EQ(SampleOf(text, "kivhost_frames_total{line=\"2\",direction=\"in\"}"), each);
}

class FakeNotifier final : public ServiceNotifier {
public:
    explicit FakeNotifier(std::chrono::microseconds watchdog) : watchdog_(watchdog) {}
    void Notify(const std::string& state) override { said.push_back(state); }
    std::chrono::microseconds WatchdogInterval() const override { return watchdog_; }
    std::vector<std::string> said;

private:
    std::chrono::microseconds watchdog_;
};

using Clock = ServiceKeeper::Clock;
using std::chrono::milliseconds;

TEST(ServiceKeeperTest, ReadyOnceEveryConnectionWasTriedThenStatusOnChange) {
    FakeNotifier notifier(std::chrono::microseconds(0));
    ServiceKeeper keeper(notifier, "line 1 on ttyUSB0");
    const Clock::time_point t0 = Clock::now();
    std::vector<GatewayState> gateway = {{1, false, 0, 0, "not connected yet"}};
    keeper.Turn(&gateway, t0);
    EXPECT_TRUE(notifier.said.empty()) << "ready before the first connection was tried";
    gateway[0].looped = t0;
    gateway[0].reason = "cannot connect to b:1883: refused; trying again";
    keeper.Turn(&gateway, t0);
    keeper.Turn(&gateway, t0);  // nothing changed: nothing said
    gateway[0].connected = true;
    gateway[0].queued = 5;
    keeper.Turn(&gateway, t0);
    gateway[0].queued = 0;  // the queue is no state of the status
    keeper.Turn(&gateway, t0);
    keeper.Stopping("interrupted\n");
    const std::vector<std::string> expected = {
        "READY=1\nSTATUS=line 1 on ttyUSB0 running; MQTT not connected: cannot connect to "
        "b:1883: refused; trying again",
        "STATUS=line 1 on ttyUSB0 running; MQTT connected",
        "STOPPING=1\nSTATUS=stopping: interrupted ",
    };
    EXPECT_EQ(notifier.said, expected);
}

TEST(ServiceKeeperTest, StatusOfSeveralLinesNamesTheLineDown) {
    const std::vector<GatewayState> gateway = {{1, true, 0, 0, ""}, {2, false, 0, 0, "lost"}};
    EXPECT_EQ(ServiceStatusText("2 lines", &gateway),
              "2 lines running; MQTT 1 of 2 connected; L2: lost");
    EXPECT_EQ(ServiceStatusText("2 lines", nullptr), "2 lines running");
}

// The watchdog is pinged at half its interval from the turns, and not while a line's loop of
// the gateway has not gone round within the interval.
TEST(ServiceKeeperTest, WatchdogPingsAtHalfTheIntervalWhileEveryLoopTurns) {
    FakeNotifier notifier(milliseconds(1000));
    ServiceKeeper keeper(notifier, "line 1 on x");
    const Clock::time_point t0 = Clock::now();
    std::vector<GatewayState> gateway = {{1, true, 0, 0, ""}};
    struct Turn {
        int at;      // ms after t0
        int looped;  // ms after t0 the gateway's loop last went round
        bool ping;
    };
    const Turn turns[] = {{0, 0, true},       {200, 150, false},  {500, 450, true},
                          {900, 850, false},  {1000, 950, true},  {1500, 950, true},
                          {2000, 950, false}, {2100, 2050, true}, {2200, 2150, false}};
    for (const Turn& turn : turns) {
        gateway[0].looped = t0 + milliseconds(turn.looped);
        notifier.said.clear();
        keeper.Turn(&gateway, t0 + milliseconds(turn.at));
        const bool pinged = !notifier.said.empty() && notifier.said.back() == "WATCHDOG=1";
        EXPECT_EQ(pinged, turn.ping) << "turn at " << turn.at << " ms";
    }
}

}  // namespace
}  // namespace kivhost
