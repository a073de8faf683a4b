// The driver live on simulated lines, measured; prints numbers, passes or fails nothing.
//
//   latency   an event's last byte on the line to the host's tag change (pseudo-terminal)
//   rates     sustained events a second with none lost at 9600, 19200, 38400 and 57600 baud
//   command   an xFSTAT write until its acknowledgement, on an idle line and while events flow
//             at full rate (pseudo-terminal, and 57600 baud)
//   backlog   8 controllers with 2000 events each, drained at 57600 baud
//   idle      the CPU of one running instance on a quiet line
//   lines     16 lines in one process at 57600 baud against one line
//
// "kiv_line_bench" runs them all; "kiv_line_bench rates command" runs those named. The
// controller poll is moved out of the way (it would send its queries mid-measurement).
#include <cstdarg>
#include <ctime>
#include <map>
#include <sstream>

#include "line_rig.h"
#include "scratch_folder.h"

namespace {

using namespace linebench;

// What the summary table shows: one row per measurement.
std::vector<std::pair<std::string, std::string>> results;

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[200];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

void Report(const std::string& what, const std::string& measured) {
    std::printf("%s: %s\n", what.c_str(), measured.c_str());
    std::fflush(stdout);
    results.emplace_back(what, measured);
}

// Events one at a time at random moments: from the last byte on the line (the simulator records
// a frame once it is written) to the host's tag change.
void Latency(TagChanges& tags) {
    Line line(0, 0, tags, TwoControllers());
    line.Settle();
    std::mutex mutex;
    Clock::duration offset = Clock::duration::max();  // the simulator's clock against ours
    std::vector<Clock::time_point> written;
    line.simulator->SetListener([&](const vxs_sim::TranscriptEntry& entry) {
        const auto now = Clock::now().time_since_epoch();
        const std::lock_guard<std::mutex> lock(mutex);
        offset = std::min<Clock::duration>(offset, now - entry.at);
        if (entry.direction == vxs_sim::TranscriptEntry::Direction::kSent &&
            entry.kind == "event") {
            written.push_back(Clock::time_point(entry.at));  // shifted by the offset below
        }
    });
    constexpr int kEvents = 400;
    std::srand(7);
    const size_t before = tags.Count(0);
    for (int i = 0; i < kEvents; ++i) {
        line.simulator->InjectEvent(DoorEvent(i));
        if (!tags.WaitFor(0, before + static_cast<size_t>(i) + 1, milliseconds(5000))) {
            std::printf("latency: event %d was not seen\n", i);
            return;
        }
        std::this_thread::sleep_for(milliseconds(std::rand() % 40));
    }
    line.simulator->SetListener(nullptr);
    const std::vector<Clock::time_point> seen = tags.Times(0);
    std::vector<double> latencies;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < written.size() && before + i < seen.size(); ++i) {
            latencies.push_back(Ms(seen[before + i] - (written[i] + offset)));
        }
    }
    Report("event latency, last byte on the line to the tag change (400 events one at a time)",
           Format("median %.1f ms, 99th percentile %.1f ms, max %.1f ms", Quantile(latencies, 0.5),
                  Quantile(latencies, 0.99), Quantile(latencies, 1.0)));
}

struct Drain {
    double perSecond;  // events a second from the first injection to the last tag change
    size_t seen;       // tag changes
    size_t givenUp;    // events the simulator gave up
};

// 'count' events per line queued at once, sent one after another as the driver acknowledges
// them; how fast each line's tag sees them all.
std::vector<Drain> Sustained(TagChanges& tags, size_t lines, int baud, int count,
                             int controllers = 2) {
    std::vector<std::unique_ptr<Line>> all;
    vxs_sim::SimulatorOptions options = TwoControllers();
    options.controllers.clear();
    for (int c = 0; c < controllers; ++c) {
        options.controllers.push_back(c);
    }
    for (size_t i = 0; i < lines; ++i) {
        all.push_back(std::make_unique<Line>(i, baud, tags, options));
    }
    for (auto& line : all) {
        line->Settle();
    }
    std::vector<size_t> before;
    for (size_t i = 0; i < lines; ++i) {
        before.push_back(tags.Count(i));
    }
    const auto start = Clock::now();
    for (int e = 0; e < count; ++e) {
        for (auto& line : all) {
            line->simulator->InjectEvent(DoorEvent(e, controllers));
        }
    }
    std::vector<Drain> drains;
    for (size_t i = 0; i < lines; ++i) {
        tags.WaitFor(i, before[i] + static_cast<size_t>(count),
                     milliseconds(static_cast<int64_t>(count) * 200));
        const std::vector<Clock::time_point> seen = tags.Times(i);
        const size_t got = seen.size() - before[i];
        const double seconds = std::chrono::duration<double>(seen.back() - start).count();
        drains.push_back({static_cast<double>(got) / seconds, got, all[i]->GivenUp()});
    }
    return drains;
}

std::string Losses(const Drain& drain, int count) {
    if (drain.seen == static_cast<size_t>(count) && drain.givenUp == 0) {
        return "none lost";
    }
    return Format("%zu of %d reached the tag, %zu given up", drain.seen, count, drain.givenUp);
}

// The rig's own ceiling: the same simulator and relay, with a bare responder in the driver's
// place that writes the acknowledgement as soon as a frame's CR has come and does nothing else.
// Events a second until the simulator has had every acknowledgement.
double RigCeiling(int baud, int count) {
    Pty simulatorSide;
    Pty driverSide;
    auto simulator = vxs_sim::Simulator::OnDevice(simulatorSide.name, baud, TwoControllers());
    PacedRelay relay(simulatorSide.master, driverSide.master, baud);
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        while (!stop) {
            pollfd in{driverSide.slave, POLLIN, 0};
            char buffer[256];
            if (poll(&in, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = read(driverSide.slave, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\r') {
                    (void)!write(driverSide.slave, "\nA\r", 3);
                }
            }
        }
    });
    const auto start = Clock::now();
    for (int e = 0; e < count; ++e) {
        simulator->InjectEvent(DoorEvent(e));
    }
    (void)simulator->WaitUntilIdle(milliseconds(static_cast<int64_t>(count) * 200));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    responder.join();
    return count / seconds;
}

void Rates(TagChanges& tags) {
    const std::string text = vxs_sim::Simulator::OnPty()->InjectEvent(DoorEvent(0));
    for (const int baud : {9600, 19200, 38400, 57600}) {
        const double wire = WireEventsPerSecond(baud, text);
        const int count = std::max(120, static_cast<int>(wire * 5));
        const Drain drain = Sustained(tags, 1, baud, count).front();
        const double ceiling = RigCeiling(baud, count);
        Report(Format("sustained events, %d baud", baud),
               Format("%.1f a second, %.0f %% of the wire's %.1f", drain.perSecond,
                      100.0 * drain.perSecond / wire, wire) +
                   ", " + Losses(drain, count) +
                   Format("; a bare responder in the driver's place: %.1f (%.0f %%)", ceiling,
                          100.0 * ceiling / wire));
    }
}

// xFSTAT writes, one at a time with a pause: the time the write takes (until the controller's
// acknowledgement has come and the write returns).
std::vector<double> CommandTimes(Line& line, int samples) {
    std::vector<double> times;
    std::srand(11);
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        const int32_t result = line.instance->Command("0FSTAT", 0, 13);
        const auto end = Clock::now();
        if (result == KIV_OK) {
            times.push_back(Ms(end - start));
        }
        // The status report follows the acknowledgement; the next command after it.
        std::this_thread::sleep_for(milliseconds(40 + std::rand() % 30));
    }
    return times;
}

void Command(TagChanges& tags) {
    constexpr int kSamples = 100;
    for (const int baud : {0, 57600}) {
        const std::string where = baud == 0 ? "pseudo-terminal" : Format("%d baud", baud);
        {
            Line line(0, baud, tags, TwoControllers());
            line.Settle();
            const auto times = CommandTimes(line, kSamples);
            Report("command round trip (0FSTAT to its acknowledgement), idle line, " + where,
                   Format("median %.1f ms, 99th percentile %.1f ms, ", Quantile(times, 0.5),
                          Quantile(times, 0.99)) +
                       Format("%zu of %d answered", times.size(), kSamples));
        }
        {
            Line line(0, baud, tags, TwoControllers());
            line.Settle();
            for (int e = 0; e < 100000; ++e) {
                line.simulator->InjectEvent(DoorEvent(e));
            }
            const size_t before = tags.Count(0);
            const auto start = Clock::now();
            const auto times = CommandTimes(line, kSamples);
            const double rate = static_cast<double>(tags.Count(0) - before) /
                                std::chrono::duration<double>(Clock::now() - start).count();
            Report("command round trip while events flow at full rate, " + where,
                   Format("median %.1f ms, 99th percentile %.1f ms, ", Quantile(times, 0.5),
                          Quantile(times, 0.99)) +
                       Format("%zu of %d answered; ", times.size(), kSamples) +
                       Format("events meanwhile %.1f a second", rate));
        }
    }
}

void Backlog(TagChanges& tags) {
    constexpr int kControllers = 8;
    constexpr int kPerController = 2000;
    constexpr int kCount = kControllers * kPerController;
    const std::string text = vxs_sim::Simulator::OnPty()->InjectEvent(DoorEvent(0));
    const double wire = WireEventsPerSecond(57600, text);
    const Drain drain = Sustained(tags, 1, 57600, kCount, kControllers).front();
    Report("backlog of 8 controllers x 2000 events at 57600 baud",
           Format("drained in %.0f s (the wire's limit %.0f s), %.1f a second, ",
                  kCount / drain.perSecond, kCount / wire, drain.perSecond) +
               Losses(drain, kCount));
}

// The CPU time a thread used so far, in seconds.
double ThreadCpuSeconds(long thread) {
    char buffer[1024] = {};
    std::FILE* stat =
        std::fopen(("/proc/self/task/" + std::to_string(thread) + "/stat").c_str(), "r");
    if (stat == nullptr) {
        return 0;
    }
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, stat);
    (void)std::fclose(stat);
    const std::string text(buffer, length);
    // The fields after the command name in parentheses: state is the 3rd, utime the 14th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One instance on a line where nothing happens (controllers present, no events), once its
// start-up is over (the poll brought near and done): the CPU of the threads the cold start
// started, and of the whole process with its idle simulator.
void IdleCpu(TagChanges& tags) {
    const uint32_t pollDelay = kiv::timingDefaults.pollDelayMs;
    kiv::timingDefaults.pollDelayMs = 1000;
    std::vector<long> before;
    Line line(0, 0, tags, TwoControllers(), &before);
    kiv::timingDefaults.pollDelayMs = pollDelay;
    std::this_thread::sleep_for(milliseconds(10000));
    line.Settle();
    std::vector<long> driver;
    for (const long thread : Threads()) {
        if (std::find(before.begin(), before.end(), thread) == before.end()) {
            driver.push_back(thread);
        }
    }
    const auto driverCpu = [&] {
        double sum = 0;
        for (const long thread : driver) {
            sum += ThreadCpuSeconds(thread);
        }
        return sum;
    };
    constexpr int kSeconds = 30;
    const double driverBefore = driverCpu();
    const double processBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    const double driverUsed = driverCpu() - driverBefore;
    const double processUsed = ProcessCpuSeconds() - processBefore;
    Report("idle CPU of one running instance after its start-up",
           Format("%.3f %% of a core (%zu threads; with the idle simulator %.3f %%)",
                  100.0 * driverUsed / kSeconds, driver.size(), 100.0 * processUsed / kSeconds));
}

void SixteenLines(TagChanges& tags) {
    const std::string text = vxs_sim::Simulator::OnPty()->InjectEvent(DoorEvent(0));
    const int count = static_cast<int>(WireEventsPerSecond(57600, text) * 5);
    const double one = Sustained(tags, 1, 57600, count).front().perSecond;
    const auto sixteen = Sustained(tags, 16, 57600, count);
    double sum = 0;
    double slowest = sixteen.front().perSecond;
    size_t lost = 0;
    for (const Drain& drain : sixteen) {
        sum += drain.perSecond;
        slowest = std::min(slowest, drain.perSecond);
        lost += static_cast<size_t>(count) - std::min(drain.seen, static_cast<size_t>(count));
    }
    Report("16 lines in one process at 57600 baud, events a second per line",
           Format("%.1f on average, slowest %.1f: %.0f %% ", sum / 16, slowest,
                  100.0 * slowest / one) +
               Format("of one line's %.1f; %zu lost", one, lost));
}

}  // namespace

int main(int argc, char** argv) {
    // The driver's files (an event log per line) go to a folder of the benchmark's own.
    const kivbench::ScratchFolder folder("kiv-line-bench");
    kiv::timingDefaults.pollDelayMs = 3600 * 1000;
    const std::map<std::string, void (*)(TagChanges&)> parts = {
        {"latency", Latency}, {"rates", Rates},  {"command", Command},
        {"backlog", Backlog}, {"idle", IdleCpu}, {"lines", SixteenLines}};
    std::vector<std::string> chosen(argv + 1, argv + argc);
    if (chosen.empty()) {
        chosen = {"latency", "rates", "command", "backlog", "idle", "lines"};
    }
    TagChanges tags;
    for (const std::string& name : chosen) {
        const auto part = parts.find(name);
        if (part == parts.end()) {
            std::fprintf(stderr, "kiv_line_bench: no part '%s'\n", name.c_str());
            return 2;
        }
        part->second(tags);
    }
    std::printf("\n| What | Measured |\n|---|---|\n");
    for (const auto& [what, measured] : results) {
        std::printf("| %s | %s |\n", what.c_str(), measured.c_str());
    }
    return 0;
}
