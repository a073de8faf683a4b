// The driver live on simulated lines, measured; prints numbers, passes or fails nothing.
//
//   latency   an event's last byte on the line to the host's tag change (pseudo-terminal)
//   rates     sustained events a second with none lost at 9600, 19200, 38400 and 57600 baud
//   command   an xFSTAT write until its acknowledgement, on an idle line and while events flow
//             at full rate (pseudo-terminal, and 57600 baud)
//   backlog   8 controllers with 2000 events each, drained at 57600 baud
//   idle      the CPU of one running instance on a quiet line
//   lines     16 lines in one process at 57600 baud against one line
//   cpu       the driver's CPU per event, each simulator in a process of its own: 1 and 32 lines
//             at 20 events a second each (KIV_CPU_LINES, KIV_CPU_RATE, KIV_CPU_SECONDS)
//   floor     the same lines without the driver: what waiting for a frame, reading it and
//             acknowledging it costs on this machine, and with a record appended to a file
//             (line_floor.h); 32 lines unless KIV_CPU_LINES says
//
// "kiv_line_bench" runs them all; "kiv_line_bench rates command" runs those named. The
// controller poll is moved out of the way (it would send its queries mid-measurement).
#include <cstdarg>
#include <ctime>
#include <map>
#include <sstream>

#include <sys/resource.h>

#include "external_lines.h"
#include "line_floor.h"
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

// The CPU time of this process so far, user and system, in seconds.
std::pair<double, double> OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

int EnvironmentNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// A driver instance on the pseudo-terminal of a simulator process, its "PENUM" watched.
struct ExternalLine {
    SimulatorProcess simulator;
    Instance instance;

    ExternalLine(size_t index, TagChanges& tags)
        : simulator(index), instance(static_cast<int32_t>(index + 1)) {
        const std::string name = "PENUM." + std::to_string(index + 1);
        int32_t gate = qorFindTag(name.c_str());
        if (gate < 0) {
            gate = qorDefineTag(name.c_str(), "PENUM", static_cast<int32_t>(index + 1),
                                KIV_TYPE_ANALOG);
        }
        tags.Watch(gate, index);
        if (!instance.Start(simulator.Device(), 9600)) {
            std::fprintf(stderr, "cold start failed on %s\n", simulator.Device().c_str());
            std::exit(1);
        }
    }
};

// 'lines' lines, 'rate' events a second each for 'seconds': the CPU this process (the driver)
// used from the first event to the last tag change, per event; the events that never reached
// their tag; the time from the feeder's command to the tag change.
void ExternalRun(TagChanges& tags, size_t lines, double rate, int seconds) {
    std::vector<std::unique_ptr<ExternalLine>> all;
    std::vector<int> inputs;
    for (size_t i = 0; i < lines; ++i) {
        all.push_back(std::make_unique<ExternalLine>(i, tags));
        inputs.push_back(all.back()->simulator.Input());
    }
    std::this_thread::sleep_for(milliseconds(2500));  // the receivers' start, the format command
    std::vector<size_t> before;
    for (size_t i = 0; i < lines; ++i) {
        before.push_back(tags.Count(i));
    }
    const int count = static_cast<int>(rate * seconds);
    const auto start = Clock::now() + milliseconds(100);
    const auto [userBefore, systemBefore] = OwnCpuSeconds();
    const pid_t feeder = StartFeeder(inputs, rate, count, start);
    size_t seen = 0;
    std::vector<double> latencies;
    // Looked at every 500 ms rather than woken by each tag change: a wake-up an event would be
    // the benchmark's CPU, not the driver's.
    const auto bound = start + std::chrono::seconds(seconds) + milliseconds(5000);
    for (size_t i = 0; i < lines; ++i) {
        while (tags.Count(i) < before[i] + static_cast<size_t>(count) && Clock::now() < bound) {
            std::this_thread::sleep_for(milliseconds(500));
        }
    }
    const auto [userAfter, systemAfter] = OwnCpuSeconds();
    int status = 0;
    waitpid(feeder, &status, 0);
    for (size_t i = 0; i < lines; ++i) {
        const std::vector<Clock::time_point> times = tags.Times(i);
        for (size_t e = 0; before[i] + e < times.size() && e < static_cast<size_t>(count); ++e) {
            const auto sent =
                start + std::chrono::nanoseconds(static_cast<int64_t>(1e9 * e / rate));
            latencies.push_back(Ms(times[before[i] + e] - sent));
            ++seen;
        }
    }
    const double user =
        1e6 * (userAfter - userBefore) / static_cast<double>(std::max<size_t>(seen, 1));
    const double system =
        1e6 * (systemAfter - systemBefore) / static_cast<double>(std::max<size_t>(seen, 1));
    Report(Format("driver CPU, %zu lines x %.0f events a second for %d s, simulators apart", lines,
                  rate, seconds),
           Format("%.1f us an event (user %.1f + system %.1f); %zu of %zu lost; feeder to tag "
                  "change median %.1f ms, 99th percentile %.1f ms",
                  user + system, user, system, lines * static_cast<size_t>(count) - seen,
                  lines * static_cast<size_t>(count), Quantile(latencies, 0.5),
                  Quantile(latencies, 0.99)));
}

// The floor's CPU per event on 'lines' lines with the feeder of ExternalRun.
double FloorRun(size_t lines, double rate, int seconds, bool records) {
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    std::vector<std::unique_ptr<FloorLine>> floors;
    std::vector<int> inputs;
    for (size_t i = 0; i < lines; ++i) {
        simulators.push_back(std::make_unique<SimulatorProcess>(i));
        floors.push_back(std::make_unique<FloorLine>(simulators.back()->Device(), i, records));
        inputs.push_back(simulators.back()->Input());
    }
    const auto count = static_cast<size_t>(rate * seconds);
    const auto start = Clock::now() + milliseconds(100);
    const auto [userBefore, systemBefore] = OwnCpuSeconds();
    const pid_t feeder = StartFeeder(inputs, rate, static_cast<int>(count), start);
    const auto bound = start + std::chrono::seconds(seconds) + milliseconds(5000);
    size_t seen = 0;
    for (const auto& line : floors) {
        while (line->Frames() < count && Clock::now() < bound) {
            std::this_thread::sleep_for(milliseconds(500));
        }
        seen += std::min(line->Frames(), count);
    }
    const auto [userAfter, systemAfter] = OwnCpuSeconds();
    int status = 0;
    waitpid(feeder, &status, 0);
    const double used = userAfter - userBefore + systemAfter - systemBefore;
    return 1e6 * used / static_cast<double>(std::max<size_t>(seen, 1));
}

void Floor(TagChanges&) {
    const double rate = EnvironmentNumber("KIV_CPU_RATE", 20);
    const int seconds = EnvironmentNumber("KIV_CPU_SECONDS", 20);
    const auto lines = static_cast<size_t>(EnvironmentNumber("KIV_CPU_LINES", 32));
    const std::string what =
        Format("floor, %zu lines x %.0f events a second for %d s", lines, rate, seconds);
    Report(what + ": wait, read, acknowledge",
           Format("%.1f us an event", FloorRun(lines, rate, seconds, false)));
    Report(what + ": and append the frame to a file",
           Format("%.1f us an event", FloorRun(lines, rate, seconds, true)));
}

void CpuPerEvent(TagChanges& tags) {
    const double rate = EnvironmentNumber("KIV_CPU_RATE", 20);
    const int seconds = EnvironmentNumber("KIV_CPU_SECONDS", 20);
    const int lines = EnvironmentNumber("KIV_CPU_LINES", 0);
    for (const int n : lines > 0 ? std::vector<int>{lines} : std::vector<int>{1, 32}) {
        ExternalRun(tags, static_cast<size_t>(n), rate, seconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The driver's files (an event log per line) go to a folder of the benchmark's own.
    const kivbench::ScratchFolder folder("kiv-line-bench");
    kiv::timingDefaults.pollDelayMs = 3600 * 1000;
    const std::map<std::string, void (*)(TagChanges&)> parts = {
        {"latency", Latency}, {"rates", Rates},        {"command", Command}, {"backlog", Backlog},
        {"idle", IdleCpu},    {"lines", SixteenLines}, {"cpu", CpuPerEvent}, {"floor", Floor}};
    std::vector<std::string> chosen(argv + 1, argv + argc);
    if (chosen.empty()) {
        chosen = {"latency", "rates", "command", "backlog", "idle", "lines", "cpu", "floor"};
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
