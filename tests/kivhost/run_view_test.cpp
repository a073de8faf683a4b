// The view of kivhost run: what it counts of the monitor's records, per line, and its counters
// while lines are added as the view runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/monitor.h"
#include "kiv/kiv_abi.h"
#include "qorpro/qorpro_embed.h"
#include "view/record_text.h"
#include "view/run_view.h"
#include "view/trace_file.h"

namespace kivhost {
namespace {

// A view in JSON mode whose records go to a captured standard output.
class RunViewTest : public ::testing::Test {
protected:
    RunViewTest() { ::testing::internal::CaptureStdout(); }
    ~RunViewTest() override { (void)::testing::internal::GetCapturedStdout(); }

    Monitor monitor_;
    TraceFile trace_;
    RunView view_{ViewMode::kJson, ViewPrint::kAll, monitor_, trace_, "test"};
};

Json Frame(int line, const char* dir) {
    return {{"t", 0.0},   {"type", "frame"}, {"line", line},
            {"dir", dir}, {"text", "A"},     {"hex", "41"}};
}

Json Watched(const char* kind, Json controller, Json attempt, Json outcome) {
    return {{"t", 0.0},
            {"type", "monitor"},
            {"line", 1},
            {"kind", kind},
            {"controller", std::move(controller)},
            {"attempt", std::move(attempt)},
            {"outcome", std::move(outcome)}};
}

TEST_F(RunViewTest, CountsWhatEachRecordSays) {
    struct Case {
        const char* what;
        Json record;
        const char* counter;
        int count;
    };
    const Case cases[] = {
        {"a frame in", Frame(1, "in"), "framesIn", 1},
        {"a frame out", Frame(1, "out"), "framesOut", 1},
        {"an event", Watched("event", 2, nullptr, nullptr), "events", 1},
        {"an illegal frame", Watched("illegal frame", nullptr, nullptr, nullptr), "illegalFrames",
         1},
        {"an attempt timed out", Watched("attempt", 3, 0, "timed out"), "timeouts", 1},
        {"an attempt answered", Watched("attempt", 3, 0, "answered"), "timeouts", 0},
        {"a second attempt", Watched("attempt", 3, 1, "answered"), "retries", 1},
        {"silent in the poll", Watched("silent in the poll", 4, nullptr, nullptr), "timeouts", 1},
        {"another line's frame", Frame(2, "in"), "framesIn", 0},
    };
    for (const Case& c : cases) {
        Monitor monitor;
        RunView view(ViewMode::kJson, ViewPrint::kAll, monitor, trace_, "test");
        view.AddLine(1, "pty", 1);
        monitor.Emit(c.record);
        view.Start();
        view.Stop();  // shows what is queued first
        EXPECT_EQ(view.StatusJson()[0][c.counter], c.count) << c.what;
    }
}

// --print: which records each choice prints, in the JSON and the plain view alike; every
// record is counted whatever is printed.
TEST(RunViewPrint, EachChoicePrintsItsRecordsAndCountsThemAll) {
    const Json records[] = {
        Frame(1, "in"),
        Watched("event", 2, nullptr, nullptr),
        {{"t", 0.0},
         {"type", "tag"},
         {"line", 1},
         {"name", "T"},
         {"address", "PENUM"},
         {"value", 3},
         {"changed", true}},
        {{"t", 0.0}, {"type", "event"}, {"line", 1}, {"code", 9}, {"name", "door state 0"}},
        {{"t", 0.0}, {"type", "log"}, {"line", 1}, {"level", 32}, {"text", "RIRODI: START"}},
        {{"t", 0.0}, {"type", "result"}, {"line", nullptr}, {"command", "status"}, {"ok", true}},
    };
    const struct {
        const char* word;
        std::vector<std::string> printed;  // the records' types, in order
    } cases[] = {
        {"all", {"frame", "monitor", "tag", "event", "log", "result"}},
        {"events", {"event", "log", "result"}},
        {"log", {"log", "result"}},
    };
    for (const auto& c : cases) {
        for (const ViewMode mode : {ViewMode::kJson, ViewMode::kPlain}) {
            SCOPED_TRACE(std::string(c.word) + (mode == ViewMode::kJson ? " json" : " plain"));
            ViewPrint print = ViewPrint::kAll;
            ASSERT_TRUE(ViewPrintOf(c.word, print));
            Monitor monitor;
            TraceFile trace;
            RunView view(mode, print, monitor, trace, "test");
            view.AddLine(1, "pty", 1);
            ::testing::internal::CaptureStdout();
            for (const Json& record : records) {
                monitor.Emit(record);
            }
            view.Start();
            view.Stop();
            const std::string out = ::testing::internal::GetCapturedStdout();
            const size_t lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
            EXPECT_EQ(lines, c.printed.size()) << out;
            if (mode == ViewMode::kJson) {
                std::istringstream text(out);
                std::string line;
                for (const std::string& type : c.printed) {
                    ASSERT_TRUE(std::getline(text, line));
                    EXPECT_EQ(Json::parse(line)["type"], type);
                }
            }
            EXPECT_EQ(view.StatusJson()[0]["framesIn"], 1);
            EXPECT_EQ(view.StatusJson()[0]["events"], 1);
        }
    }
    ViewPrint print = ViewPrint::kAll;
    EXPECT_FALSE(ViewPrintOf("none", print));
}

// The driver stores the same values again and again. Unless every store is printed, only a
// tag's first store and its changes become records; the summary counts every store either way.
TEST(MonitorStores, RepeatsAreRecordedOnlyWhenAskedAndAlwaysCounted) {
    const double stored[] = {0, 0, 1, 1, 1};  // the first store keeps the value the tag had
    for (const bool every : {true, false}) {
        SCOPED_TRACE(every ? "every store recorded" : "repeats counted");
        qorReset();
        const int32_t gate = qorDefineTag("T", "PENUM", 0, KIV_TYPE_ANALOG);
        Monitor monitor;
        monitor.AddTag(gate, {1, "T", "PENUM", KIV_TYPE_ANALOG, TagRole::kOther});
        monitor.AddInstance(0, 1);
        monitor.RecordRepeatedStores(every);
        TraceFile trace;
        RunView view(ViewMode::kJson, ViewPrint::kLog, monitor, trace, "test");
        view.AddLine(1, "pty", 0);
        monitor.Attach();
        for (const double value : stored) {
            (void)qorSetValue(gate, value);
        }
        monitor.Detach();
        std::vector<bool> changes;
        for (const Json& record : monitor.Take(std::chrono::milliseconds(0))) {
            changes.push_back(record["changed"].get<bool>());
        }
        const std::vector<bool> recorded = every
                                               ? std::vector<bool>{false, false, true, false, false}
                                               : std::vector<bool>{false, true};
        EXPECT_EQ(changes, recorded);
        EXPECT_EQ(monitor.UnrecordedStores(1), every ? 0U : 3U);
        EXPECT_EQ(monitor.History(gate).stores, 5U);
        for (const bool record : changes) {
            monitor.Emit({{"t", 0.0}, {"type", "tag"}, {"line", 1}, {"changed", record}});
        }
        ::testing::internal::CaptureStdout();
        view.Start();
        view.Stop();
        view.PrintSummary(0, "");
        const std::string out = ::testing::internal::GetCapturedStdout();
        const Json summary = Json::parse(out);  // nothing else is printed with --print log
        EXPECT_EQ(summary["lines"][0]["tagStores"], 5) << out;
        EXPECT_EQ(summary["lines"][0]["tagChanges"], 1) << out;
    }
    qorReset();
}

TEST_F(RunViewTest, AControllerIsHeardByAReportOrAnAnswer) {
    view_.AddLine(1, "pty", 1);
    view_.Start();
    monitor_.Emit(Watched("status report", 5, nullptr, nullptr));
    monitor_.Emit(Watched("attempt", 2, 0, "answered"));
    monitor_.Emit(Watched("attempt", 6, 0, "timed out"));
    view_.Stop();
    EXPECT_EQ(view_.StatusJson()[0]["heard"], Json::array({2, 5}));
}

// Lines are added while the view's thread counts records and 'status' reads the counters.
TEST_F(RunViewTest, LinesAddedWhileTheViewRunsKeepEveryCount) {
    constexpr int kLines = 64;
    constexpr int kThreads = 4;
    constexpr int kFramesEach = 500;
    view_.AddLine(1, "pty1", 1);
    view_.Start();
    std::atomic<bool> adding{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this] {
            for (int k = 0; k < kFramesEach; ++k) {
                monitor_.Emit(Frame(1, "in"));
            }
        });
    }
    threads.emplace_back([this, &adding] {
        while (adding) {
            (void)view_.StatusJson();
            (void)view_.StatusText();
        }
    });
    for (int line = 2; line <= kLines; ++line) {
        view_.AddLine(line, "pty" + std::to_string(line), line);
    }
    adding = false;
    for (std::thread& thread : threads) {
        thread.join();
    }
    view_.Stop();
    const Json status = view_.StatusJson();
    ASSERT_EQ(status.size(), static_cast<size_t>(kLines));
    EXPECT_EQ(status[0]["framesIn"], kThreads * kFramesEach);
    EXPECT_EQ(status[kLines - 1]["port"], "pty64");
}

}  // namespace
}  // namespace kivhost

namespace {

TEST(WrapRows, BreaksAtBlanksIndentsTheRestAndKeepsEveryCharacter) {
    struct Case {
        const char* text;
        size_t width;
        size_t indent;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        {"short", 10, 4, {"short"}},
        {"one two three", 9, 2, {"one two", "  three"}},
        {"abcdefghij", 4, 1, {"abcd", " efg", " hij"}},  // no blank: cut hard
        {"a\nb c", 3, 1, {"a", " b", " c"}},             // a line end starts a row
        {"x", 20, 40, {"x"}},
        {"", 5, 1, {""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kivhost::WrapRows(c.text, c.width, c.indent), c.rows) << c.text;
    }
}

}  // namespace

// The trace takes a frame's bytes back from the record's hex: every byte value survives.
TEST(HexText, EveryByteSurvivesTheWayThereAndBack) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes += static_cast<char>(b);
    }
    EXPECT_EQ(kivhost::BytesOfHex(kivhost::HexBytes(bytes.data(), bytes.size())), bytes);
    EXPECT_EQ(kivhost::BytesOfHex("0A4b0"), std::string("\n\x4b"));
}
